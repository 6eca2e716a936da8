// Every inflater built in reads the same gzip files to the same text, and damaged files to the
// same failure text, whether the file is regular (inflated ahead on a thread) or a pipe (inflated
// on the reading thread), whatever the size of the reads.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "util/failure.hpp"
#include "util/input_stream.hpp"
#include "util/os_file.hpp"

using velko::test::expect;
using velko::test::finish;

namespace {

using velko::util::Failure;
using velko::util::FailureKind;
using velko::util::GzipCodec;
using velko::util::InputStream;
using velko::util::OsFile;

std::string gzip(const std::string& text, int level) {
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        std::abort();
    }
    std::string out(deflateBound(&s, static_cast<uLong>(text.size())) + 64, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    s.avail_in = static_cast<uInt>(text.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    if (deflate(&s, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

std::string fasta(std::mt19937_64& random, std::size_t size) {
    std::string text;
    while (text.size() < size) {
        text += ">r" + std::to_string(text.size()) + " some description\n";
        const std::size_t width = 1 + random() % 120;
        for (std::size_t i = 0; i < width * (1 + random() % 40); ++i) {
            text += (i + 1) % width == 0 ? '\n' : "ACGTacgtN"[random() % 9];
        }
        text += '\n';
    }
    text.resize(size);
    return text;
}

struct Outcome {
    std::string text;
    std::string failure;
    FailureKind fault = FailureKind::kOs;
};

// Reads through a new descriptor of the same open file, as the reader opens its own.
Outcome drain(int fd, GzipCodec inflater, std::size_t read_size) {
    Outcome outcome;
    OsFile file = OsFile::open_read("/proc/self/fd/" + std::to_string(fd));
    if (!file.is_open()) std::abort();
    InputStream input(file, inflater);
    std::vector<char> buffer(read_size);
    try {
        while (const std::size_t n = input.read(buffer)) outcome.text.append(buffer.data(), n);
    } catch (const Failure& error) {
        outcome.failure = error.what();
        outcome.fault = error.kind;
    }
    return outcome;
}

// Reads `data` as a regular file, or through a pipe fed by a child process.
Outcome read_as(const std::string& data, GzipCodec inflater, std::size_t read_size, bool pipe) {
    if (!pipe) {
        char name[] = "/tmp/velko-gzip-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
            std::abort();
        }
        unlink(name);
        lseek(fd, 0, SEEK_SET);
        Outcome outcome = drain(fd, inflater, read_size);
        close(fd);
        return outcome;
    }
    int ends[2];
    if (::pipe(ends) != 0) std::abort();
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        std::size_t at = 0;
        while (at < data.size()) {
            const ssize_t n = write(ends[1], data.data() + at, data.size() - at);
            if (n <= 0) _exit(1);
            at += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(ends[1]);
    Outcome outcome = drain(ends[0], inflater, read_size);
    close(ends[0]);
    waitpid(child, nullptr, 0);
    return outcome;
}

// Reads `data` every way and checks the text (when `text` is given) and the failure text.
void check(const std::string& label, const std::string& data, const std::string* text,
           const std::string& failure) {
    std::vector<GzipCodec> inflaters = {GzipCodec::kZlib};
    if (velko::util::has_codec(GzipCodec::kIsal)) inflaters.push_back(GzipCodec::kIsal);
    for (const GzipCodec inflater : inflaters) {
        for (const std::size_t read_size : {std::size_t{1} << 20, std::size_t{4093}}) {
            for (const bool pipe : {false, true}) {
                // A pipe is always inflated by zlib: once is enough.
                if (pipe && inflater != GzipCodec::kZlib) continue;
                const std::string how =
                    label + " via " + std::string(velko::util::codec_name(inflater)) +
                    (pipe ? ", pipe" : ", file") + ", reads of " + std::to_string(read_size);
                const Outcome got = read_as(data, inflater, read_size, pipe);
                expect(got.failure == failure, how + ": failure '" + got.failure + "'");
                const auto fault = failure == "gzip stream ended early"
                                       ? FailureKind::kGzipTruncated
                                       : FailureKind::kGzipDamaged;
                expect(failure.empty() || got.fault == fault, how + ": fault kind");
                if (text != nullptr) expect(got.text == *text, how + ": text differs");
            }
        }
    }
}

}  // namespace

int main() {
    std::mt19937_64 random(2024);
    const std::string ended = "gzip stream ended early";
    // Sizes around the block and chunk edges, a stored (level 0) stream among them.
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{262143}, std::size_t{262144},
          std::size_t{262145}, std::size_t{3} << 20}) {
        for (const int level : {0, 1, 6, 9}) {
            const std::string text = fasta(random, size);
            const std::string packed = gzip(text, level);
            const std::string label =
                std::to_string(size) + " bytes, level " + std::to_string(level);
            check(label, packed, &text, "");
            if (size == 0) continue;
            // Members of every size, back to back, read as one text.
            const std::size_t cut = size / 3;
            const std::string members = gzip(text.substr(0, cut), level) +
                                        gzip(std::string(), level) + gzip(text.substr(cut), level);
            check(label + ", three members", members, &text, "");
            check(label + ", cut in half", packed.substr(0, packed.size() / 2), nullptr, ended);
            check(label + ", trailer cut", packed.substr(0, packed.size() - 3), nullptr, ended);
            // Zero padding after a member, or between members, is skipped; anything else after
            // a member must start another.
            const std::string zeros(512, '\0');
            check(label + ", one zero byte after", packed + std::string(1, '\0'), &text, "");
            check(label + ", zero padding after", packed + zeros, &text, "");
            check(label + ", zeros between members",
                  gzip(text.substr(0, cut), level) + zeros + gzip(text.substr(cut), level) + zeros,
                  &text, "");
            check(label + ", junk after", packed + "trailing junk", nullptr,
                  "invalid gzip data: incorrect header check");
            check(label + ", junk after padding", packed + zeros + "junk", nullptr,
                  "invalid gzip data: incorrect header check");
            check(label + ", member cut after padding", packed + zeros + packed.substr(0, 5),
                  nullptr, ended);
        }
    }
    // A flipped byte in the data, a bad length in the trailer, an unknown method: zlib's texts.
    const std::string text = fasta(random, 100000);
    const std::string packed = gzip(text, 6);
    std::string flipped = packed;
    for (std::size_t i = 10; i < 40; ++i) flipped[i] = static_cast<char>(flipped[i] ^ 0x55);
    check("flipped", flipped, nullptr, "invalid gzip data: invalid stored block lengths");
    std::string bad_length = packed;
    bad_length[bad_length.size() - 1] = static_cast<char>(bad_length.back() ^ 1);
    check("bad length", bad_length, nullptr, "invalid gzip data: incorrect length check");
    std::string bad_crc = packed;
    bad_crc[bad_crc.size() - 5] = static_cast<char>(bad_crc[bad_crc.size() - 5] ^ 1);
    check("bad crc", bad_crc, nullptr, "invalid gzip data: incorrect data check");
    std::string method = packed;
    method[2] = 7;
    check("method", method, nullptr, "invalid gzip data: unknown compression method");
    // Every damage at every place in a small stream reads the same through each inflater.
    const std::string small_text = fasta(random, 3000);
    const std::string small = gzip(small_text, 6);
    for (std::size_t at = 0; at < small.size(); at += 7) {
        std::string damaged = small;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x21);
        const Outcome reference = read_as(damaged, GzipCodec::kZlib, 1 << 20, true);
        check("flip at " + std::to_string(at), damaged, nullptr, reference.failure);
    }
    return finish("gzip_inflaters");
}
