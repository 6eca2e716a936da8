// FASTA reading through one large buffer: line scanning, strict UTF-8, white-space trimming.
#include "fasta/reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "fasta/path_escape_tables.hpp"
#include "util/fail.hpp"

namespace velko::fasta {
namespace {

constexpr std::string_view kExpectedHeader = "Expected > at record start.";
constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";
constexpr std::string_view kNulInPath = "data provided contains a nul byte";

using Byte = unsigned char;

[[noreturn]] void throw_read_error(std::string_view cause, std::uint64_t line = 0) {
    throw ReadError(std::string(cause), ReadFault::format, 0, line);
}

[[noreturn]] void throw_os_error(int error) {
    throw ReadError(os_error_text(error), ReadFault::os, error);
}

[[noreturn]] void throw_invalid_utf8(std::uint64_t line) { throw_read_error(kInvalidUtf8, line); }

// Lowest allowed second byte and highest, by lead byte, for strict decoding: no overlongs (E0,
// F0), no surrogates (ED), nothing above U+10FFFF (F4). Length 0 marks a byte that cannot lead.
struct Lead {
    std::uint8_t length;
    Byte low;
    Byte high;
};

constexpr std::array<Lead, 256> kLeads = [] {
    std::array<Lead, 256> table{};
    for (int b = 0; b < 0x80; ++b) table[static_cast<std::size_t>(b)] = {1, 0, 0};
    for (int b = 0xC2; b <= 0xDF; ++b) table[static_cast<std::size_t>(b)] = {2, 0x80, 0xBF};
    for (int b = 0xE0; b <= 0xEF; ++b) table[static_cast<std::size_t>(b)] = {3, 0x80, 0xBF};
    table[0xE0] = {3, 0xA0, 0xBF};
    table[0xED] = {3, 0x80, 0x9F};
    for (int b = 0xF0; b <= 0xF4; ++b) table[static_cast<std::size_t>(b)] = {4, 0x80, 0xBF};
    table[0xF0] = {4, 0x90, 0xBF};
    table[0xF4] = {4, 0x80, 0x8F};
    return table;
}();

constexpr bool is_continuation(Byte byte) { return (byte & 0xC0) == 0x80; }

// The length of the ASCII-only prefix of [p, p + n), found a word at a time.
std::size_t ascii_prefix(const Byte* p, std::size_t n) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t words[4];
        std::memcpy(words, p + i, 32);
        if (((words[0] | words[1] | words[2] | words[3]) & kHigh) != 0) break;
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        if ((word & kHigh) != 0) break;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// Checks [p, end) as UTF-8 and returns the end of its whole characters. When the line goes on
// past `end` (`line_ended` false), a character cut by `end` is left for the next look instead
// of being refused; any byte that no continuation could make valid is refused at once.
const Byte* check_utf8(const Byte* p, const Byte* end, bool line_ended, std::uint64_t line) {
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const Lead lead = kLeads[*p];
        if (lead.length == 0) throw_invalid_utf8(line);
        const auto available = static_cast<std::size_t>(end - p);
        const std::size_t present = std::min<std::size_t>(lead.length, available);
        if (present > 1 && (p[1] < lead.low || p[1] > lead.high)) throw_invalid_utf8(line);
        for (std::size_t i = 2; i < present; ++i) {
            if (!is_continuation(p[i])) throw_invalid_utf8(line);
        }
        if (present < lead.length) {
            if (line_ended) throw_invalid_utf8(line);
            return p;
        }
        p += lead.length;
    }
    return end;
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

template <std::size_t N>
bool in_ranges(const std::array<CodeRange, N>& ranges, char32_t cp) {
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                        [](char32_t c, const CodeRange& r) { return c < r.first; });
    return after != ranges.begin() && cp <= std::prev(after)->last;
}

// Decodes one character of valid UTF-8 at `p`; returns it and advances `p`.
char32_t decode(const Byte*& p) {
    const Byte b = *p++;
    if (b < 0x80) return b;
    const std::size_t length = kLeads[b].length;
    char32_t cp = b & (0xFF >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (*p++ & 0x3F);
    return cp;
}

constexpr char kHexDigits[] = "0123456789abcdef";

void append_code_escape(std::string& out, char32_t cp) {
    char digits[8];
    std::size_t n = 0;
    do {
        digits[n++] = kHexDigits[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0) out += digits[--n];
    out += '}';
}

}  // namespace

std::string quote_path(std::string_view path) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const Byte*>(path.data());
    const auto* end = p + path.size();
    while (p < end) {
        const Byte* start = p;
        const char32_t cp = decode(p);
        switch (cp) {
            case U'"':
                out += "\\\"";
                continue;
            case U'\\':
                out += "\\\\";
                continue;
            case U'\t':
                out += "\\t";
                continue;
            case U'\r':
                out += "\\r";
                continue;
            case U'\n':
                out += "\\n";
                continue;
            case U'\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (in_ranges(kNotPrintable, cp) || in_ranges(kGraphemeExtend, cp)) {
            append_code_escape(out, cp);
        } else {
            out.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
        }
    }
    out += '"';
    return out;
}

Reader::Reader(std::string_view path)
    : buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {
    // The system call would stop at the first NUL and open some other file.
    if (path.find('\0') != std::string_view::npos) throw_read_error(kNulInPath);
    const std::string name(path);
    // Nothing after the open may throw: a constructor that throws leaves no destructor to
    // close the file.
    do {
        fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw_os_error(errno);
    input_.emplace(fd_);  // allocates nothing until the first read
}

Reader::~Reader() {
    if (fd_ >= 0) ::close(fd_);
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
    std::size_t n = 0;
    try {
        // Plain text, or the decompressed text of a gzip file.
        n = input_->read(std::span<char>(buffer_.get() + end_, capacity_ - end_));
    } catch (const util::InputError& error) {
        constexpr ReadFault kFaults[] = {ReadFault::os, ReadFault::gzip_damaged,
                                         ReadFault::gzip_truncated};
        throw ReadError(error.message, kFaults[static_cast<int>(error.fault)], error.os_error);
    }
    if (n == 0) {
        eof_ = true;
        return;
    }
    end_ += n;
    // One scan per read spares most lines their own UTF-8 check, as sequence is ASCII. The
    // scan resumes where the known prefix ends, which after a non-ASCII byte stays put (and
    // costs nothing) until that byte leaves the buffer.
    const auto* bytes = reinterpret_cast<const Byte*>(buffer_.get());
    ascii_end_ += ascii_prefix(bytes + ascii_end_, end_ - ascii_end_);
}

void Reader::check_line(std::size_t begin, std::size_t end) const {
    if (end <= ascii_end_) return;
    const auto* bytes = reinterpret_cast<const Byte*>(buffer_.get());
    check_utf8(bytes + begin, bytes + end, true, lines_ + 1);
}

Reader::Line Reader::start_line() {
    if (begin_ == end_ && !eof_) refill();
    if (begin_ == end_) return Line::end;
    if (buffer_[begin_] != '>') return Line::sequence;
    read_header_line();
    return Line::header;
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
        if (ahead_ == Line::sequence) {
            // The whole line is read first: a line that is not UTF-8 is reported as such.
            in_line_ = true;
            line_consumed_ = 0;
            while (line_piece(rest)) {
            }
            throw_read_error(kExpectedHeader, 1);
        }
    }
    if (ahead_ == Line::end) return false;
    header_.swap(ahead_header_);
    id_size_ = find_space(header_).first;
    in_record_ = true;
    return true;
}

bool Reader::next_piece(std::string_view& piece) {
    while (in_record_) {
        if (!in_line_) {
            const Line line = start_line();
            if (line != Line::sequence) {
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
