// The FASTA reader: a file streamed record by record, each header first, then its sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/failure.hpp"
#include "util/input_stream.hpp"
#include "util/memory.hpp"
#include "util/os_file.hpp"
#include "util/reused_buffer.hpp"
#include "util/utf8.hpp"

namespace velko::fasta {

/// Where a piece of sequence gathered into a stretch starts: its offset in the stretch, and its
/// 1-based line and byte column in the file.
struct PiecePlace {
    std::size_t at;
    std::uint64_t line;
    std::uint64_t column;
};

/// Streams the records of a FASTA file without holding a record in memory: beyond its buffer it
/// keeps only the record ids, counted in memory(); descriptions and white space are scanned, not
/// kept. Reading polls util::poll_interrupt, so a long read can be stopped.
///
/// Every line must be valid UTF-8 and the first line must start with '>'. Each header line
/// starts a record, whose id is the header up to its first white-space character; the
/// sequence is every following line up to the next header, each with its trailing Unicode
/// white space trimmed. The reader reads one line ahead: the call that ends a record's
/// sequence has already read and checked the next header, so its errors come first.
/// Failures throw util::Failure, which the caller locates (Failure::locate) in its file: a
/// format failure whose reason is "Expected > at record start." or "stream did not contain
/// valid UTF-8" (with its line), an OS error (os_error 0 for a NUL in the path), or a gzip
/// failure. After one the reader must not be used again.
class Reader {
public:
    /// Bytes read from the file at once; a line longer than this is handed out in pieces.
    static constexpr std::size_t kBufferSize = std::size_t{1} << 18;

    /// Opens `path` for reading; throws util::Failure when it cannot (a NUL in the path too).
    explicit Reader(std::string_view path);
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// Moves to the next record, skipping what is left of the current one's sequence; false
    /// at the end of the file. Throws util::Failure.
    [[nodiscard]] bool next_record();

    /// The current record's identifier (possibly empty), valid until the next next_record().
    [[nodiscard]] std::string_view id() const { return id_; }

    /// The memory the reader keeps beyond its buffer (record ids, white space held back), to
    /// which a caller adds what it keeps of the records: one account for the whole call.
    [[nodiscard]] util::MemoryAccount& memory() { return memory_; }

    /// Sets `piece` to the next part of the current record's sequence: a trimmed line, or a
    /// part of one longer than the buffer, never empty, valid until the next call. False when
    /// the sequence is over. Throws util::Failure.
    [[nodiscard]] bool next_piece(std::string_view& piece);

    /// A stretch size that spares lines their fixed cost each, yet stays in the core's caches.
    static constexpr std::size_t kStretchBytes = std::size_t{64} << 10;

    /// Sets `text` to the next stretch of the current record's sequence: the pieces next_piece
    /// would hand out, gathered in `scratch` until they reach `at_least` bytes or the sequence
    /// ends, or one piece that long by itself, handed out in place. Never empty, valid until
    /// the next call; false when the sequence is over. With `places`, it is set to where each
    /// piece of the stretch starts. Whole lines inside the buffer are gathered in one pass,
    /// which spares short lines most of the cost of a piece each. Throws util::Failure.
    [[nodiscard]] bool next_stretch(std::string_view& text, std::string& scratch,
                                    std::size_t at_least,
                                    std::vector<PiecePlace>* places = nullptr);

    /// Bytes taken from the file so far (compressed bytes for a gzip file).
    [[nodiscard]] std::uint64_t bytes_read() const { return input_->bytes_read(); }
    /// True once a record has been read from a gzip file.
    [[nodiscard]] bool compressed() const { return input_->compressed(); }

private:
    enum class Line { kSequence, kHeader, kEnd };

    Line start_line();
    void read_header_line();
    void append_kept(std::string& kept, std::string_view bytes, const char* what);
    bool line_piece(std::string_view& piece);
    std::size_t gather_lines(std::string& out, std::size_t used, std::size_t at_least,
                             std::vector<PiecePlace>* places);

    // Lines are gathered 16 bytes at a time, so up to this many bytes past their end are read
    // and written; lines up to kMostGatheredLine bytes fit past a stretch's `at_least`.
    static constexpr std::size_t kCopySlack = 16;
    static constexpr std::size_t kMostGatheredLine = 4096;
    void hold_space(const util::Byte* begin, const util::Byte* end);
    bool replay_space(std::string_view& piece);
    void drop_held();
    void refill();
    [[nodiscard]] const util::Byte* whole_end(std::size_t begin, std::size_t end, bool line_ended);

    util::OsFile file_;
    std::optional<util::InputStream> input_;
    util::ReusedBuffer buffer_;
    std::size_t begin_ = 0;      // first byte not yet consumed
    std::size_t end_ = 0;        // end of the bytes read
    std::size_t ascii_end_ = 0;  // [begin_, ascii_end_) is known to hold ASCII only
    bool eof_ = false;
    bool started_ = false;  // the first line has been looked at
    bool in_record_ = false;
    bool in_line_ = false;             // inside a sequence line, at begin_
    Line ahead_ = Line::kEnd;          // what ended the last sequence: the next header or the end
    std::string id_;                   // the current record's id
    std::string ahead_id_;             // the next record's, read ahead
    std::uint64_t lines_ = 0;          // line ends consumed
    std::uint64_t line_consumed_ = 0;  // bytes of the current sequence line already handed out
    // Where the last piece handed out starts: 1-based line, 1-based byte column in it.
    std::uint64_t piece_line_ = 0;
    std::uint64_t piece_column_ = 0;
    // White space read past the buffer inside a sequence line: dropped if it ends the line,
    // handed out if more sequence follows. A run of one character repeated is kept as a
    // record (a NUL, which is never white space, the count, the character's size and bytes),
    // so a long run costs nothing however long; anything else is kept as it is.
    std::string held_;
    std::size_t last_run_ = std::string::npos;  // where in held_ the last run record starts
    bool replaying_ = false;
    std::size_t replay_at_ = 0;      // what of held_ has been handed out
    std::uint64_t replay_left_ = 0;  // repeats left of the run record at replay_at_
    std::string replay_;
    util::MemoryAccount memory_;
};

}  // namespace velko::fasta
