// FASTA reading through one large buffer: line scanning, strict UTF-8, white-space trimming.
#include "fasta/reader.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "util/fail.hpp"
#include "util/messages.hpp"
#include "util/utf8.hpp"

namespace velko::fasta {
namespace {

constexpr std::string_view kExpectedHeader = "Expected > at record start.";
constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

using util::Byte;

[[noreturn]] void throw_read_error(std::string_view cause, std::uint64_t line = 0) {
    throw ReadError(std::string(cause), ReadFault::kFormat, 0, line);
}

[[noreturn]] void throw_os_error(int error) {
    throw ReadError(os_error_text(error), ReadFault::kOs, error);
}

[[noreturn]] void throw_invalid_utf8(std::uint64_t line) { throw_read_error(kInvalidUtf8, line); }

// The end of the whole characters of [p, end), as util::whole_characters_end, refusing
// invalid UTF-8 with the reader's error for line `line`.
const Byte* check_utf8(const Byte* p, const Byte* end, bool line_ended, std::uint64_t line) {
    const Byte* whole = util::whole_characters_end(p, end, line_ended);
    if (whole == nullptr) throw_invalid_utf8(line);
    return whole;
}

// White space is Unicode White_Space: 09-0D and 20, C2 85, C2 A0, E1 9A 80, E2 80 80..8A,
// E2 80 A8, E2 80 A9, E2 80 AF, E2 81 9F and E3 80 80. Lead bytes never occur inside another
// character, so a match at a lead byte is a match of the whole character.
constexpr bool is_ascii_space(Byte b) { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

constexpr bool is_space3(Byte b0, Byte b1, Byte b2) {
    switch (b0) {
        case 0xE1:
            return b1 == 0x9A && b2 == 0x80;
        case 0xE2:
            if (b1 == 0x80) return b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
            return b1 == 0x81 && b2 == 0x9F;
        case 0xE3:
            return b1 == 0x80 && b2 == 0x80;
        default:
            return false;
    }
}

// The end of [begin, end) without its trailing white space; [begin, end) is whole characters.
const Byte* trim_end(const Byte* begin, const Byte* end) {
    while (end > begin) {
        const Byte last = end[-1];
        if (last < 0x80) {
            if (!is_ascii_space(last)) break;
            --end;
        } else if (end - begin >= 2 && end[-2] == 0xC2 && (last == 0x85 || last == 0xA0)) {
            end -= 2;
        } else if (end - begin >= 3 && is_space3(end[-3], end[-2], last)) {
            end -= 3;
        } else {
            break;
        }
    }
    return end;
}

// The position of the first white-space character of [begin, end) and its length in bytes.
std::pair<std::size_t, std::size_t> find_space(std::string_view text) {
    const auto* p = reinterpret_cast<const Byte*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Byte b = p[i];
        if (is_ascii_space(b)) return {i, 1};
        if (b == 0xC2 && i + 1 < n && (p[i + 1] == 0x85 || p[i + 1] == 0xA0)) return {i, 2};
        if (b >= 0xE1 && b <= 0xE3 && i + 2 < n && is_space3(b, p[i + 1], p[i + 2])) return {i, 3};
    }
    return {n, 0};
}

}  // namespace

Reader::Reader(std::string_view path)
    : file_(util::OsFile::open_read(path)),
      buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {
    // A NUL is refused before the system call, which would stop there and open another file.
    if (file_.has_nul()) throw_read_error(util::kNulByteInData);
    if (!file_.is_open()) throw_os_error(file_.error());
    input_.emplace(file_);  // allocates nothing until the first read
}

std::optional<std::string_view> Reader::description() const {
    if (id_size_ == header_.size()) return std::nullopt;
    const std::string_view rest = std::string_view(header_).substr(id_size_);
    return rest.substr(find_space(rest).second);
}

void Reader::refill() {
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        ascii_end_ = ascii_end_ > begin_ ? ascii_end_ - begin_ : 0;
        begin_ = 0;
    }
    if (end_ == capacity_) {
        // Only a header line, or a run of white space inside a sequence line, longer than the
        // buffer gets here: both must be whole before they can be used.
        auto larger = std::make_unique_for_overwrite<char[]>(capacity_ * 2);
        std::memcpy(larger.get(), buffer_.get(), end_);
        buffer_ = std::move(larger);
        capacity_ *= 2;
    }
    // Plain text, or the decompressed text of a gzip file.
    const std::size_t n = input_->read(std::span<char>(buffer_.get() + end_, capacity_ - end_));
    if (n == 0) {
        eof_ = true;
        return;
    }
    end_ += n;
    // One scan per read spares most lines their own UTF-8 check, as sequence is ASCII. The
    // scan resumes where the known prefix ends, which after a non-ASCII byte stays put (and
    // costs nothing) until that byte leaves the buffer.
    const auto* bytes = reinterpret_cast<const Byte*>(buffer_.get());
    ascii_end_ += util::ascii_prefix(bytes + ascii_end_, end_ - ascii_end_);
}

void Reader::check_line(std::size_t begin, std::size_t end) const {
    if (end <= ascii_end_) return;
    const auto* bytes = reinterpret_cast<const Byte*>(buffer_.get());
    check_utf8(bytes + begin, bytes + end, true, lines_ + 1);
}

Reader::Line Reader::start_line() {
    if (begin_ == end_ && !eof_) refill();
    if (begin_ == end_) return Line::kEnd;
    if (buffer_[begin_] != '>') return Line::kSequence;
    read_header_line();
    return Line::kHeader;
}

void Reader::read_header_line() {
    std::size_t scanned = begin_;
    const char* newline = nullptr;
    for (;;) {
        newline =
            static_cast<const char*>(std::memchr(buffer_.get() + scanned, '\n', end_ - scanned));
        if (newline != nullptr || eof_) break;
        scanned = end_ - begin_;  // offsets shift to the front on refill
        refill();
    }
    const auto* line = reinterpret_cast<const Byte*>(buffer_.get() + begin_);
    const auto* line_end = newline != nullptr ? reinterpret_cast<const Byte*>(newline)
                                              : reinterpret_cast<const Byte*>(buffer_.get() + end_);
    check_line(begin_,
               static_cast<std::size_t>(reinterpret_cast<const char*>(line_end) - buffer_.get()));
    const Byte* kept = trim_end(line + 1, line_end);
    ahead_header_.assign(reinterpret_cast<const char*>(line + 1),
                         static_cast<std::size_t>(kept - line - 1));
    begin_ = newline != nullptr ? static_cast<std::size_t>(newline - buffer_.get()) + 1 : end_;
    if (newline != nullptr) ++lines_;
}

bool Reader::line_piece(std::string_view& piece) {
    while (in_line_) {
        char* const base = buffer_.get();
        const auto* start = reinterpret_cast<const Byte*>(base + begin_);
        const auto* newline =
            static_cast<const char*>(std::memchr(base + begin_, '\n', end_ - begin_));
        if (newline != nullptr || eof_) {
            const auto* line_end = newline != nullptr ? reinterpret_cast<const Byte*>(newline)
                                                      : reinterpret_cast<const Byte*>(base + end_);
            check_line(begin_,
                       static_cast<std::size_t>(reinterpret_cast<const char*>(line_end) - base));
            const Byte* kept = trim_end(start, line_end);
            begin_ = newline != nullptr ? static_cast<std::size_t>(newline - base) + 1 : end_;
            in_line_ = false;
            piece_line_ = lines_ + 1;
            piece_column_ = line_consumed_ + 1;
            if (newline != nullptr) ++lines_;
            if (kept == start) return false;
            piece = {reinterpret_cast<const char*>(start), static_cast<std::size_t>(kept - start)};
            return true;
        }
        // The line goes on past the buffer: hand out what is certain to stay, holding back a
        // character cut by the buffer end and white space that may turn out to end the line.
        const Byte* whole =
            end_ <= ascii_end_
                ? reinterpret_cast<const Byte*>(base + end_)
                : check_utf8(start, reinterpret_cast<const Byte*>(base + end_), false, lines_ + 1);
        const Byte* kept = trim_end(start, whole);
        if (kept != start) {
            piece = {reinterpret_cast<const char*>(start), static_cast<std::size_t>(kept - start)};
            piece_line_ = lines_ + 1;
            piece_column_ = line_consumed_ + 1;
            line_consumed_ += piece.size();
            begin_ = static_cast<std::size_t>(reinterpret_cast<const char*>(kept) - base);
            return true;
        }
        refill();
    }
    return false;
}

bool Reader::next_record() {
    std::string_view rest;
    while (in_record_ && next_piece(rest)) {
    }
    if (!started_) {
        started_ = true;
        ahead_ = start_line();
        if (ahead_ == Line::kSequence) {
            // The whole line is read first: a line that is not UTF-8 is reported as such.
            in_line_ = true;
            line_consumed_ = 0;
            while (line_piece(rest)) {
            }
            throw_read_error(kExpectedHeader, 1);
        }
    }
    if (ahead_ == Line::kEnd) return false;
    header_.swap(ahead_header_);
    id_size_ = find_space(header_).first;
    in_record_ = true;
    return true;
}

bool Reader::next_piece(std::string_view& piece) {
    while (in_record_) {
        if (!in_line_) {
            const Line line = start_line();
            if (line != Line::kSequence) {
                ahead_ = line;
                in_record_ = false;
                return false;
            }
            in_line_ = true;
            line_consumed_ = 0;
        }
        if (line_piece(piece)) return true;
    }
    return false;
}

}  // namespace velko::fasta
