// Plain or gzip input through one read loop; every gzip member of a file is decompressed in turn.
#include "util/input_stream.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "util/fail.hpp"

namespace velko::util {

namespace {
constexpr std::size_t kCompressedChunk = 1 << 18;
}

struct InputStream::Inflater {
    z_stream stream{};
    std::vector<char> input = std::vector<char>(kCompressedChunk);
    bool in_member = false;  // between a member's header and its end
    bool at_eof = false;     // the descriptor is used up
    Inflater() {
        // 16 + MAX_WBITS: gzip wrapper only, so a zlib or raw deflate stream is refused.
        if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&stream); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

InputStream::InputStream(OsFile& file) : file_(file) {}

InputStream::~InputStream() = default;

std::size_t InputStream::read_raw(std::span<char> out) {
    if (pending_at_ < pending_.size()) {
        const std::size_t n = std::min(out.size(), pending_.size() - pending_at_);
        std::memcpy(out.data(), pending_.data() + pending_at_, n);
        pending_at_ += n;
        return n;
    }
    const std::ptrdiff_t n = file_.read(out);
    if (n < 0) {
        throw ReadError(os_error_text(file_.error()), ReadFault::kOs, file_.error());
    }
    bytes_read_ += static_cast<std::uint64_t>(n);
    return static_cast<std::size_t>(n);
}

void InputStream::start() {
    started_ = true;
    // Two bytes decide: the gzip magic 1f 8b. A shorter file is plain text.
    char magic[2];
    std::size_t got = 0;
    while (got < sizeof magic) {
        const std::size_t n = read_raw(std::span<char>(magic + got, sizeof magic - got));
        if (n == 0) break;
        got += n;
    }
    pending_.assign(magic, magic + got);
    if (got == 2 && static_cast<unsigned char>(pending_[0]) == 0x1f &&
        static_cast<unsigned char>(pending_[1]) == 0x8b) {
        inflater_ = std::make_unique<Inflater>();
    }
}

std::size_t InputStream::inflate_into(std::span<char> out) {
    Inflater& z = *inflater_;
    z_stream& s = z.stream;
    auto* const begin = reinterpret_cast<Bytef*>(out.data());
    s.next_out = begin;
    s.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size(), std::numeric_limits<uInt>::max()));
    for (;;) {
        if (s.avail_in == 0 && !z.at_eof) {
            const std::size_t n = read_raw(z.input);
            s.next_in = reinterpret_cast<Bytef*>(z.input.data());
            s.avail_in = static_cast<uInt>(n);
            z.at_eof = n == 0;
        }
        if (s.avail_in == 0 && z.at_eof) {
            if (z.in_member) throw ReadError("gzip stream ended early", ReadFault::kGzipTruncated);
            return static_cast<std::size_t>(s.next_out - begin);
        }
        z.in_member = true;
        const int status = inflate(&s, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            // A member ends; another may follow (as from `cat a.gz b.gz`).
            z.in_member = false;
            if (inflateReset(&s) != Z_OK) {
                throw ReadError("invalid gzip data", ReadFault::kGzipDamaged);
            }
        } else if (status == Z_DATA_ERROR || status == Z_NEED_DICT) {
            throw ReadError(std::string("invalid gzip data: ") +
                                (s.msg != nullptr ? s.msg : "corrupt stream"),
                            ReadFault::kGzipDamaged);
        } else if (status == Z_MEM_ERROR) {
            throw std::bad_alloc();
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            throw ReadError("invalid gzip data", ReadFault::kGzipDamaged);
        }
        if (s.next_out != begin) return static_cast<std::size_t>(s.next_out - begin);
    }
}

std::size_t InputStream::read(std::span<char> out) {
    if (out.empty()) return 0;
    if (!started_) start();
    return inflater_ ? inflate_into(out) : read_raw(out);
}

}  // namespace velko::util
