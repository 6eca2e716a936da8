// One gzip member per call, through ISA-L's deflate when it is built in and zlib's otherwise;
// both behind the same slice loop, which polls for interruption between slices.
#include "util/gzip_member.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/isal.hpp"
#include "util/memory.hpp"

namespace velko::util {

int isal_level(int level) noexcept {
    if (level <= 1) return 0;
    if (level <= 3) return 1;
    if (level <= 6) return 2;
    return 3;
}

namespace {

// Input handed to the encoder at once: between two slices the interrupt hook may be asked, and
// a slice takes a few milliseconds at the slowest level.
constexpr std::size_t kSlice = std::size_t{1} << 20;

// What one encoder call did: input bytes used, output bytes written, and whether the member
// (deflate data and trailer) is complete.
struct Step {
    std::size_t consumed = 0;
    std::size_t produced = 0;
    bool member_end = false;
};

std::uint32_t clamp32(std::size_t n) {
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

Failure refused(std::string reason) {
    return Failure({.kind = FailureKind::kRefused, .reason = std::move(reason)});
}

class ZlibEncoder {
public:
    explicit ZlibEncoder(int level) {
        // 16 + MAX_WBITS: the gzip wrapper, whose header zlib writes without a name or a time.
        // Memory level 8 is zlib's default, which Python's gzip and zlib modules use too.
        if (deflateInit2(&stream_, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
            Z_OK) {
            throw std::bad_alloc();
        }
    }
    ~ZlibEncoder() { deflateEnd(&stream_); }
    ZlibEncoder(const ZlibEncoder&) = delete;
    ZlibEncoder& operator=(const ZlibEncoder&) = delete;

    Step step(std::span<const char> in, std::span<char> out, bool last) {
        z_stream& s = stream_;
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        s.avail_in = clamp32(in.size());
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = clamp32(out.size());
        const uInt avail_in = s.avail_in;
        const uInt avail_out = s.avail_out;
        const bool finish = last && avail_in == in.size();
        const int status = deflate(&s, finish ? Z_FINISH : Z_NO_FLUSH);
        if (status == Z_STREAM_ERROR) throw refused("zlib refused its deflate state");
        return {avail_in - s.avail_in, avail_out - s.avail_out, status == Z_STREAM_END};
    }

private:
    z_stream stream_{};
};

#if VELKO_HAVE_ISAL
// The fixed header of a member as zlib writes it on Unix: deflate, no flags, no time, the
// extra flags of the level (4: fastest, 2: smallest), operating system 3.
void append_header(std::string& out, int level) {
    const char extra = level == kSmallestLevel ? 2 : level == kFastestLevel ? 4 : 0;
    const std::array<char, 10> header{'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, extra, 3};
    out.append(header.data(), header.size());
}

class IsalEncoder {
public:
    explicit IsalEncoder(int level)
        : stream_(std::make_unique<isal_zstream>()), level_buf_(level_buffer(level)) {
        isal_deflate_init(stream_.get());
        stream_->level = static_cast<std::uint32_t>(level);
        stream_->level_buf = level_buf_.data();
        stream_->level_buf_size = static_cast<std::uint32_t>(level_buf_.size());
        // The header is written by hand (as zlib writes its own); ISA-L adds the trailer.
        stream_->gzip_flag = IGZIP_GZIP_NO_HDR;
    }

    Step step(std::span<const char> in, std::span<char> out, bool last) {
        isal_zstream& s = *stream_;
        s.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
        s.avail_in = clamp32(in.size());
        s.next_out = reinterpret_cast<std::uint8_t*>(out.data());
        s.avail_out = clamp32(out.size());
        const std::uint32_t avail_in = s.avail_in;
        const std::uint32_t avail_out = s.avail_out;
        s.end_of_stream = last && avail_in == in.size() ? 1 : 0;
        if (isal_deflate(&s) != COMP_OK) throw refused("ISA-L refused its deflate state");
        return {avail_in - s.avail_in, avail_out - s.avail_out,
                s.internal_state.state == ZSTATE_END};
    }

private:
    // The working memory each level asks for (none for level 0), at ISA-L's suggested size.
    static std::vector<std::uint8_t> level_buffer(int level) {
        switch (level) {
            case 1:
                return std::vector<std::uint8_t>(ISAL_DEF_LVL1_DEFAULT);
            case 2:
                return std::vector<std::uint8_t>(ISAL_DEF_LVL2_DEFAULT);
            case 3:
                return std::vector<std::uint8_t>(ISAL_DEF_LVL3_DEFAULT);
            default:
                return {};
        }
    }

    std::unique_ptr<isal_zstream> stream_;
    std::vector<std::uint8_t> level_buf_;
};
#endif

// Feeds `text` to `encoder` a slice at a time, the output growing at the end of `out` as it
// fills: tables compress to a third or less, so room for half the text rarely needs to grow.
template <class Encoder>
void encode(std::string& out, std::string_view text, Encoder& encoder) {
    std::size_t used = out.size();
    const std::uint64_t first_room = text.size() / 2 + 4096;
    require_memory(saturating_add(used, first_room), "the gzip text of one chunk of rows");
    out.resize(used + static_cast<std::size_t>(first_room));
    std::size_t at = 0;
    for (;;) {
        // Never a call with only a few bytes of room, which an encoder may fill with nothing.
        if (out.size() - used < 256) {
            const std::size_t more = std::max<std::size_t>(out.size() / 2, 4096);
            require_memory(saturating_add(out.size(), more), "the gzip text of one chunk of rows");
            out.resize(out.size() + more);
        }
        const std::size_t slice = std::min(kSlice, text.size() - at);
        const bool last = at + slice == text.size();
        const Step done = encoder.step(text.substr(at, slice), std::span(out).subspan(used), last);
        at += done.consumed;
        used += done.produced;
        if (done.member_end) break;
        poll_interrupt(done.consumed);
    }
    out.resize(used);
}

}  // namespace

void append_gzip_member(std::string& out, std::string_view text, int level, GzipCodec deflater) {
    if (level < kFastestLevel || level > kSmallestLevel) {
        throw refused("gzip level must be from 1 to 9, not " + std::to_string(level));
    }
    if (!has_codec(deflater)) {
        throw refused("this build has no " + std::string(codec_name(deflater)) + " deflate");
    }
    const std::size_t start = out.size();
    try {
#if VELKO_HAVE_ISAL
        if (deflater == GzipCodec::kIsal) {
            append_header(out, level);
            IsalEncoder encoder(isal_level(level));
            encode(out, text, encoder);
            return;
        }
#endif
        ZlibEncoder encoder(level);
        encode(out, text, encoder);
    } catch (...) {
        // No half member: what the caller had stays as it was.
        out.resize(start);
        throw;
    }
}

}  // namespace velko::util
