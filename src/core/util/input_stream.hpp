// The bytes of an open file, decompressed on the fly when the file is gzip-compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "util/failure.hpp"
#include "util/gzip_codec.hpp"
#include "util/os_file.hpp"

namespace velko::util {

/// Reads an open file (not owned) as plain bytes, or, when the file starts with the gzip magic
/// bytes, as the concatenated decompressed contents of all its gzip members.
///
/// A compressed regular file is inflated ahead on a second thread while the caller works on
/// what came before, so the two costs overlap; other files are inflated on the calling thread.
/// Either way the bytes, their order and the failure texts are the same.
class InputStream {
public:
    explicit InputStream(OsFile& file, GzipCodec inflater = default_codec());
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    /// Stops and joins the inflating thread, if any.
    ~InputStream();

    /// Fills the front of `out`; returns the number of bytes, 0 only at the end of the input.
    /// Throws util::Failure: an OS error, damaged gzip data ("invalid gzip data: incorrect
    /// header check") or a gzip stream that ended early; the path is left to the caller.
    std::size_t read(std::span<char> out);

    /// Bytes taken from the file so far (compressed bytes for a gzip file, which may be read
    /// ahead of what read() has handed out).
    [[nodiscard]] std::uint64_t bytes_read() const;

    /// True once the first read has seen the gzip magic bytes.
    [[nodiscard]] bool compressed() const { return gzip_ != nullptr; }

private:
    class Gzip;

    std::size_t read_raw(std::span<char> out);
    void start();

    OsFile& file_;
    GzipCodec inflater_;
    std::uint64_t bytes_read_ = 0;  // by read_raw; a Gzip counts its own
    bool started_ = false;
    // Bytes read ahead while looking for the magic bytes, handed out before reading on.
    std::vector<char> pending_;
    std::size_t pending_at_ = 0;
    std::unique_ptr<Gzip> gzip_;
};

/// Reads the file at `path`, plain or gzip-compressed, in pieces of at most `piece_bytes`,
/// calling feed(piece) on each and polling the thread's interrupt hook between them. Throws
/// util::Failure located in the file (of kind `kind`): the OS error of opening or reading it,
/// damaged or truncated gzip data; util::Interrupted; and whatever feed throws.
void read_pieces(std::string_view path, FileKind kind, std::size_t piece_bytes,
                 const std::function<void(std::string_view)>& feed);

}  // namespace velko::util
