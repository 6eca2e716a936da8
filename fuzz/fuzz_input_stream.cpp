// InputStream: plain bytes pass unchanged, gzip members decompress to their concatenated
// contents whatever the read sizes, and arbitrary bytes after the magic never crash or hang.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/failure.hpp"
#include "util/input_stream.hpp"
#include "util/os_file.hpp"

namespace {

int memory_file(const std::string& bytes) {
    const int fd = memfd_create("input", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    if (!bytes.empty() &&
        write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::abort();
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string gzip(const std::string& text) {
    z_stream s{};
    if (deflateInit2(&s, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        std::abort();
    std::string out(deflateBound(&s, text.size()) + 32, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    s.avail_in = static_cast<uInt>(text.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    if (deflate(&s, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// Reads `content` back through an InputStream in chunks of varying size; false when the stream
// reports an error.
bool read_all(const std::string& content, std::size_t step, std::string& out) {
    const int fd = memory_file(content);
    bool ok = true;
    try {
        // The stream reads through an open file of its own; /proc hands out a fresh
        // descriptor of the memory file, starting at offset 0.
        velko::util::OsFile file =
            velko::util::OsFile::open_read("/proc/self/fd/" + std::to_string(fd));
        if (!file.is_open()) std::abort();
        velko::util::InputStream input(file);
        std::vector<char> buffer(step);
        for (std::size_t round = 0;; ++round) {
            const std::size_t want = 1 + (round * 7919) % step;
            const std::size_t n = input.read(std::span<char>(buffer.data(), want));
            if (n == 0) break;
            out.append(buffer.data(), n);
        }
    } catch (const velko::util::Failure&) {
        ok = false;
    }
    close(fd);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = 1 + data[0] % 64;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string out;
    const bool ok = read_all(text, step, out);
    const bool magic = text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1f &&
                       static_cast<unsigned char>(text[1]) == 0x8b;
    if (!magic && (!ok || out != text)) std::abort();
    // The same text as one, two or three gzip members.
    const std::size_t cut1 = text.size() / 3, cut2 = 2 * text.size() / 3;
    const std::string last = gzip(text.substr(cut2));
    const std::string members =
        data[0] & 1 ? gzip(text)
                    : gzip(text.substr(0, cut1)) + gzip(text.substr(cut1, cut2 - cut1)) + last;
    out.clear();
    if (!read_all(members, step, out) || out != text) std::abort();
    // A member cut short is an error, never a silently shorter text. (A cut that falls exactly
    // between two members cannot be told from a shorter file, so the cut keeps part of the last.)
    const std::size_t tail = data[0] & 1 ? members.size() : last.size();
    // At least the magic bytes stay: a one-byte file is plain text.
    const std::size_t drop = 1 + data[0] % (tail - 2);
    out.clear();
    if (read_all(members.substr(0, members.size() - drop), step, out)) std::abort();
    return 0;
}
