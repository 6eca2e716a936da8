// FASTA reading through one large buffer: line scanning, strict UTF-8, white-space trimming.
#include "fasta/reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VELKO_SSE2 1
#else
#define VELKO_SSE2 0
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELKO_GATHER_AVX512 1
#endif

#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/utf8.hpp"

namespace velko::fasta {
namespace {

constexpr std::string_view kExpectedHeader = "Expected > at record start.";
constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";
// What a refusal names when white space held back from a sequence line outgrows memory.
constexpr const char* kHeldSpace = "white space inside a sequence line";

using util::Byte;

[[noreturn]] void throw_read_error(std::string_view cause, std::uint64_t line,
                                   util::SourceLocation origin = util::SourceLocation::current()) {
    throw util::Failure({.kind = util::FailureKind::kFormat,
                         .file = util::FileKind::kFasta,
                         .line = line,
                         .reason = std::string(cause)},
                        origin);
}

[[noreturn]] void throw_invalid_utf8(
    std::uint64_t line, util::SourceLocation origin = util::SourceLocation::current()) {
    throw_read_error(kInvalidUtf8, line, origin);
}

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

#ifdef VELKO_GATHER_AVX512
// Byte masks (BW) and byte compression (VBMI2).
#define VELKO_GATHER_TARGET "avx512f,avx512bw,avx512vbmi2,bmi,bmi2,popcnt"

[[nodiscard]] bool has_avx512_gather() {
    static const bool has = __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vbmi2");
    return has;
}

// How far gather_plain_lines got: the bytes read (up to just past a line feed), the bytes
// written, the lines taken.
struct PlainLines {
    std::size_t read = 0;
    std::size_t written = 0;
    std::uint64_t lines = 0;
};

// GCC 12's AVX-512 intrinsics start from an undefined vector, which it then warns of.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Copies the lines of in[0, n) to `out` without their line feeds, 64 bytes at a time, while
// they are plain: no byte of 0x80 or above, no white space but the line feed, no '>'; such a
// line is what the scalar loop would copy whole, with nothing to trim. Stops at the start of the
// first line that is not plain, for the scalar loop. The place of each non-empty line goes to
// `places` when given: at `out_base` plus its offset in `out`, line numbers from `first_line`.
// `out` has room for n bytes.
__attribute__((target(VELKO_GATHER_TARGET))) PlainLines
gather_plain_lines(const char* in, std::size_t n, char* out, std::size_t out_base,
                   std::uint64_t first_line, std::vector<PiecePlace>* places) {
    PlainLines done;
    std::size_t written = 0;
    std::size_t line_start = 0;  // where the line being copied starts in `out`
    std::uint64_t line = first_line;
    const __m512i feed = _mm512_set1_epi8('\n');
    const __m512i space = _mm512_set1_epi8(' ');
    const __m512i header = _mm512_set1_epi8('>');
    const __m512i tab = _mm512_set1_epi8('\t');
    const __m512i four = _mm512_set1_epi8(4);
    for (std::size_t at = 0; at < n; at += 64) {
        const std::size_t m = std::min<std::size_t>(64, n - at);
        __mmask64 live = m == 64 ? ~__mmask64{0} : (__mmask64{1} << m) - 1;
        const __m512i bytes = _mm512_maskz_loadu_epi8(live, in + at);
        __mmask64 ends = _mm512_cmpeq_epi8_mask(bytes, feed) & live;
        // White space is 9 to 13 and 32; the line feed (10) is the one kept apart.
        const __mmask64 odd =
            (_mm512_movepi8_mask(bytes) | _mm512_cmpeq_epi8_mask(bytes, space) |
             _mm512_cmpeq_epi8_mask(bytes, header) |
             (_mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, tab), four) & ~ends)) &
            live;
        bool last = false;
        if (odd != 0) {
            // Only the lines that end before the first odd byte are taken.
            const __mmask64 before = (__mmask64{1} << std::countr_zero(odd)) - 1;
            ends &= before;
            if (ends == 0) break;
            live = (~__mmask64{0}) >> std::countl_zero(ends);  // through the last line feed
            last = true;
        }
        const __mmask64 letters = live & ~ends;
        const auto count = static_cast<unsigned>(std::popcount(letters));
        _mm512_mask_storeu_epi8(out + written,
                                count == 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1,
                                _mm512_maskz_compress_epi8(letters, bytes));
        if (ends != 0) {
            if (places != nullptr) {
                // Every line of a block gets a slot, written without a branch; the slots of
                // empty lines are taken back. Before the j-th line feed at `end`, the block
                // holds end - j letters.
                const std::size_t from = places->size();
                places->resize(from + static_cast<std::size_t>(std::popcount(ends)));
                PiecePlace* place = places->data() + from;
                std::size_t j = 0;
                for (__mmask64 rest = ends; rest != 0; rest &= rest - 1, ++j) {
                    const auto end = static_cast<std::size_t>(std::countr_zero(rest));
                    const std::size_t line_end = written + end - j;
                    *place = {out_base + line_start, line, 1};
                    place += static_cast<std::ptrdiff_t>(line_end > line_start);
                    line_start = line_end;
                    ++line;
                }
                places->resize(static_cast<std::size_t>(place - places->data()));
            } else {
                line += static_cast<std::uint64_t>(std::popcount(ends));
            }
            const unsigned final_end = 63U - static_cast<unsigned>(std::countl_zero(ends));
            done.read = at + final_end + 1;
            done.written =
                written +
                static_cast<std::size_t>(std::popcount(
                    letters &
                    ((final_end == 63 ? ~__mmask64{0} : (__mmask64{1} << (final_end + 1)) - 1))));
            done.lines = line - first_line;
            line_start = done.written;
        }
        written += count;
        if (last) break;
    }
    return done;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

Reader::Reader(std::string_view path)
    : file_(util::OsFile::open_read(path)),
      // Slack included: gathering lines reads up to kCopySlack bytes past what it keeps (made
      // zeroed, or left as the last file left it).
      buffer_(kBufferSize + kCopySlack) {
    // A NUL is refused before the system call (error() 0), which would open another file.
    if (!file_.is_open()) {
        throw util::os_failure(util::FileKind::kFasta, util::FileStep::kRead, path, file_.error());
    }
    input_.emplace(file_);  // allocates nothing until the first read
}

void Reader::refill() {
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        ascii_end_ = ascii_end_ > begin_ ? ascii_end_ - begin_ : 0;
        begin_ = 0;
    }
    // Every caller has consumed all but a character cut by the buffer's end (at most three
    // bytes): a header is scanned as it passes, white space is held back outside the buffer.
    // Plain text, or the decompressed text of a gzip file.
    const std::size_t n = input_->read(std::span<char>(buffer_.data() + end_, kBufferSize - end_));
    util::poll_interrupt(n);
    if (n == 0) {
        eof_ = true;
        return;
    }
    end_ += n;
}

const Byte* Reader::whole_end(std::size_t begin, std::size_t end, bool line_ended) {
    const auto* bytes = reinterpret_cast<const Byte*>(buffer_.data());
    // Sequence is ASCII: a quick scan for a byte with its high bit set spares most lines the
    // full UTF-8 check. What is known to be ASCII only grows, so no byte is scanned twice.
    if (ascii_end_ < end) {
        const std::size_t from = std::max(ascii_end_, begin);
        ascii_end_ = from + util::ascii_prefix(bytes + from, end - from);
    }
    if (end <= ascii_end_) return bytes + end;
    return check_utf8(bytes + begin, bytes + end, line_ended, lines_ + 1);
}

Reader::Line Reader::start_line() {
    if (begin_ == end_ && !eof_) refill();
    if (begin_ == end_) return Line::kEnd;
    if (buffer_.data()[begin_] != '>') return Line::kSequence;
    read_header_line();
    return Line::kHeader;
}

void Reader::read_header_line() {
    // The header is scanned as it passes: the id (up to the first white space) is kept, the
    // rest is only checked as UTF-8, so a header of any length needs no more than the buffer.
    ahead_id_.clear();
    bool in_id = true;
    ++begin_;  // the '>'
    for (;;) {
        const char* const base = buffer_.data();
        const auto* newline =
            static_cast<const char*>(std::memchr(base + begin_, '\n', end_ - begin_));
        const bool ended = newline != nullptr || eof_;
        const std::size_t stop =
            newline != nullptr ? static_cast<std::size_t>(newline - base) : end_;
        const Byte* whole = whole_end(begin_, stop, ended);
        const auto whole_at = static_cast<std::size_t>(reinterpret_cast<const char*>(whole) - base);
        if (in_id) {
            const std::string_view text(base + begin_, whole_at - begin_);
            const auto [space, length] = find_space(text);
            append_kept(ahead_id_, text.substr(0, space), "a record id");
            in_id = length == 0;
        }
        if (ended) {
            begin_ = newline != nullptr ? stop + 1 : end_;
            if (newline != nullptr) ++lines_;
            return;
        }
        begin_ = whole_at;
        refill();
    }
}

void Reader::append_kept(std::string& kept, std::string_view bytes, const char* what) {
    // Grown by doubling, as the string would be, but charged to the account first, so that
    // an id or a run of white space too large for memory is refused instead of killing us.
    const std::size_t capacity = kept.capacity();
    if (kept.size() + bytes.size() > capacity) {
        const std::size_t larger = std::max(capacity * 2, kept.size() + bytes.size());
        memory_.charge(larger, what);
        kept.reserve(larger);
        memory_.release(capacity);
    }
    kept += bytes;
}

void Reader::hold_space(const Byte* begin, const Byte* end) {
    // Shorter repeats are kept as they are: a record would not be smaller.
    constexpr std::uint64_t kShortestRun = 16;
    constexpr std::size_t kRecordHead = 10;  // the NUL, the count, the character's size
    while (begin < end) {
        const std::size_t size = *begin < 0x80 ? 1 : *begin == 0xC2 ? 2 : 3;
        const std::string_view character(reinterpret_cast<const char*>(begin), size);
        std::uint64_t count = 1;
        while (begin + (count + 1) * size <= end &&
               std::memcmp(begin + count * size, begin, size) == 0) {
            ++count;
        }
        begin += count * size;
        if (last_run_ != std::string::npos && last_run_ + kRecordHead + size == held_.size() &&
            held_.compare(last_run_ + kRecordHead, size, character) == 0) {
            // the run goes on from the last read
            std::uint64_t total = 0;
            std::memcpy(&total, held_.data() + last_run_ + 1, sizeof(total));
            total += count;
            std::memcpy(held_.data() + last_run_ + 1, &total, sizeof(total));
        } else if (count >= kShortestRun) {
            last_run_ = held_.size();
            std::array<char, kRecordHead> record{};
            std::memcpy(record.data() + 1, &count, sizeof(count));
            record[9] = static_cast<char>(size);
            append_kept(held_, {record.data(), record.size()}, kHeldSpace);
            append_kept(held_, character, kHeldSpace);
        } else {
            last_run_ = std::string::npos;
            for (std::uint64_t i = 0; i < count; ++i) append_kept(held_, character, kHeldSpace);
        }
    }
}

bool Reader::replay_space(std::string_view& piece) {
    constexpr std::size_t kReplayBytes = std::size_t{1} << 16;
    if (replay_at_ < held_.size() && held_[replay_at_] != '\0') {
        // bytes kept as they were: handed out in place, up to the next run record
        const std::size_t stop = std::min(held_.find('\0', replay_at_), held_.size());
        piece = std::string_view(held_).substr(replay_at_, stop - replay_at_);
        replay_at_ = stop;
        return true;
    }
    if (replay_at_ < held_.size()) {
        const std::size_t size = static_cast<unsigned char>(held_[replay_at_ + 9]);
        const std::string_view character = std::string_view(held_).substr(replay_at_ + 10, size);
        if (replay_left_ == 0) std::memcpy(&replay_left_, held_.data() + replay_at_ + 1, 8);
        const std::uint64_t n = std::min<std::uint64_t>(replay_left_, kReplayBytes / size);
        replay_.clear();
        for (std::uint64_t i = 0; i < n; ++i) replay_ += character;
        replay_left_ -= n;
        if (replay_left_ == 0) replay_at_ += 10 + size;
        piece = replay_;
        return true;
    }
    drop_held();
    return false;
}

void Reader::drop_held() {
    memory_.release(held_.capacity());
    std::string().swap(held_);
    last_run_ = std::string::npos;
    replaying_ = false;
    replay_at_ = 0;
    replay_left_ = 0;
}

bool Reader::line_piece(std::string_view& piece) {
    while (in_line_) {
        if (replaying_ && replay_space(piece)) {
            piece_line_ = lines_ + 1;
            piece_column_ = line_consumed_ + 1;
            line_consumed_ += piece.size();
            return true;
        }
        char* const base = buffer_.data();
        const auto* start = reinterpret_cast<const Byte*>(base + begin_);
        const auto* newline =
            static_cast<const char*>(std::memchr(base + begin_, '\n', end_ - begin_));
        if (newline != nullptr || eof_) {
            const std::size_t stop =
                newline != nullptr ? static_cast<std::size_t>(newline - base) : end_;
            const Byte* kept = trim_end(start, whole_end(begin_, stop, true));
            if (kept != start && !held_.empty()) {
                replaying_ = true;  // the white space held back lies inside the line
                continue;
            }
            drop_held();  // white space that ends the line is not sequence
            begin_ = newline != nullptr ? stop + 1 : end_;
            in_line_ = false;
            piece_line_ = lines_ + 1;
            piece_column_ = line_consumed_ + 1;
            if (newline != nullptr) ++lines_;
            if (kept == start) return false;
            piece = {reinterpret_cast<const char*>(start), static_cast<std::size_t>(kept - start)};
            return true;
        }
        // The line goes on past the buffer: hand out what is certain to stay; white space that
        // may turn out to end the line is held back, and a character cut by the buffer's end
        // waits for the rest of its bytes.
        const Byte* whole = whole_end(begin_, end_, false);
        const Byte* kept = trim_end(start, whole);
        if (kept != start) {
            if (!held_.empty()) {
                replaying_ = true;
                continue;
            }
            piece = {reinterpret_cast<const char*>(start), static_cast<std::size_t>(kept - start)};
            piece_line_ = lines_ + 1;
            piece_column_ = line_consumed_ + 1;
            line_consumed_ += piece.size();
            begin_ = static_cast<std::size_t>(reinterpret_cast<const char*>(kept) - base);
            return true;
        }
        hold_space(start, whole);
        begin_ = static_cast<std::size_t>(reinterpret_cast<const char*>(whole) - base);
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
    id_.swap(ahead_id_);
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

std::size_t Reader::gather_lines(std::string& out, std::size_t used, std::size_t at_least,
                                 std::vector<PiecePlace>* places) {
    // Lines that are ASCII need no UTF-8 check, and their only white space to trim is ASCII:
    // each is copied out 16 bytes at a time while its end and any byte with the high bit set
    // are looked for in the same bytes, then trimmed; the bytes copied past its end are
    // overwritten by the next line. Anything else (a header, a line the buffer cuts, a line
    // that is not ASCII, a line longer than the room left) is left to next_piece.
    const char* const base = buffer_.data();
    char* const room = out.data();
    const std::size_t room_end = out.size() - kCopySlack;
    std::size_t at = begin_;
#ifdef VELKO_GATHER_AVX512
    // The lines that fit the room, up to the last line feed read, go 64 bytes at a time while
    // they are plain; the loop below takes what is left.
    if (used < at_least && at < end_ && has_avx512_gather()) {
        const std::size_t span = std::min(end_ - at, room_end - used);
        const void* const feed = memrchr(base + at, '\n', span);
        if (feed != nullptr) {
            const auto n = static_cast<std::size_t>(static_cast<const char*>(feed) - base) + 1 - at;
            const PlainLines got =
                gather_plain_lines(base + at, n, room + used, used, lines_ + 1, places);
            if (got.lines != 0) {
                at += got.read;
                used += got.written;
                lines_ += got.lines;
                piece_line_ = lines_;
                piece_column_ = 1;
            }
        }
    }
#endif
    while (used < at_least && at < end_ && base[at] != '>') {
        std::size_t length = 0;
        bool found = false;
        bool ascii = true;
        while (at + length < end_ && used + length < room_end) {
#if VELKO_SSE2
            const __m128i bytes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + at + length));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(room + used + length), bytes);
            const auto ends = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
            auto high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
            if (ends != 0) {
                const auto end = static_cast<unsigned>(std::countr_zero(ends));
                high &= (1U << end) - 1;
                length += end;
                found = true;
            } else {
                length += kCopySlack;
            }
            if (high != 0) ascii = false;
            if (found || !ascii) break;
#else
            std::memcpy(room + used + length, base + at + length, kCopySlack);
            const auto* chunk = reinterpret_cast<const Byte*>(base + at + length);
            std::size_t i = 0;
            while (i < kCopySlack && chunk[i] != '\n' && chunk[i] < 0x80) ++i;
            length += i;
            found = i < kCopySlack && chunk[i] == '\n';
            ascii = i == kCopySlack || chunk[i] < 0x80;
            if (found || !ascii) break;
#endif
        }
        // A line feed past the bytes read is a leftover of an earlier read.
        if (!found || !ascii || at + length >= end_ || used + length > room_end) break;
        std::size_t kept = length;
        while (kept > 0 && is_ascii_space(static_cast<Byte>(base[at + kept - 1]))) --kept;
        piece_line_ = lines_ + 1;
        piece_column_ = 1;
        if (kept > 0) {
            if (places != nullptr) places->push_back({used, piece_line_, 1});
            used += kept;
        }
        ++lines_;
        at += length + 1;
    }
    begin_ = at;
    return used;
}

bool Reader::next_stretch(std::string_view& text, std::string& scratch, std::size_t at_least,
                          std::vector<PiecePlace>* places) {
    // `scratch` keeps its size from call to call (its bytes are written before they are read),
    // with room past `at_least` for the last line and the copying's overrun.
    const std::size_t wanted = at_least + kMostGatheredLine + kCopySlack;
    if (scratch.size() < wanted) scratch.resize(wanted);
    if (places != nullptr) places->clear();
    std::size_t used = 0;
    while (in_record_ && used < at_least) {
        if (!in_line_) {
            used = gather_lines(scratch, used, at_least, places);
            if (used >= at_least) break;
        }
        std::string_view piece;
        if (!next_piece(piece)) break;
        if (used == 0 && piece.size() >= at_least) {
            if (places != nullptr) places->push_back({0, piece_line_, piece_column_});
            text = piece;
            return true;
        }
        if (places != nullptr) places->push_back({used, piece_line_, piece_column_});
        if (scratch.size() < used + piece.size() + kCopySlack) {
            scratch.resize(used + piece.size() + kCopySlack);
        }
        std::memcpy(scratch.data() + used, piece.data(), piece.size());
        used += piece.size();
    }
    text = std::string_view(scratch.data(), used);
    return used != 0;
}

}  // namespace velko::fasta
