// The top-hit reader on arbitrary bytes: it ends (no hang), and whatever it accepts writes back
// and reads again as the same table.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>

#include "hmmer/tophit_file.hpp"
#include "util/failure.hpp"

namespace {

using Scores = std::map<std::pair<std::string, std::string>, std::pair<double, double>>;

Scores scores(const velko::hmmer::TopHitTable& table) {
    Scores out;
    const auto names = table.profile_names();
    table.for_each_gene([&](std::string_view gene, auto hits) {
        for (const auto& hit : hits) {
            out[{std::string(gene), names[hit.profile]}] = {hit.e_val, hit.bit_score};
        }
    });
    return out;
}

bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

std::string memory_path(const std::uint8_t* data, std::size_t size, int& fd) {
    fd = memfd_create("tophit", MFD_CLOEXEC);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int fd = -1;
    velko::hmmer::TopHitFile file{memory_path(data, size, fd), {}};
    bool read = true;
    try {
        velko::hmmer::read_tophit_file(file.path, file.table);
    } catch (const velko::util::Failure&) {
        read = false;
    }
    close(fd);
    if (!read) return 0;
    char dir[] = "/tmp/velko-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    const std::string copy = std::string(dir) + "/top.tsv";
    file.path = copy;
    bool written = true;
    try {
        velko::hmmer::write_tophit_file(file.path, file.table);
    } catch (const velko::util::Failure&) {
        written = false;  // identifiers that would not read back are refused, not written
    }
    if (written) {
        velko::hmmer::TopHitFile again{copy, {}};
        velko::hmmer::read_tophit_file(again.path, again.table);
        const Scores before = scores(file.table), after = scores(again.table);
        if (before.size() != after.size()) std::abort();
        for (auto a = before.begin(), b = after.begin(); a != before.end(); ++a, ++b) {
            if (a->first != b->first || !same(a->second.first, b->second.first) ||
                !same(a->second.second, b->second.second)) {
                std::abort();
            }
        }
        unlink(copy.c_str());
    }
    rmdir(dir);
    return 0;
}
