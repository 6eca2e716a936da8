// K-mer numbering, k-mer text and the memory bound that keeps large k from killing the process.
#include "kmer/kmers.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <new>
#include <string>

#include "util/memory.hpp"

namespace velko::kmer {
namespace {

constexpr std::array<char, 4> kLetters = {'A', 'C', 'G', 'T'};

// The first number in a file such as /sys/fs/cgroup/memory.max, or UINT64_MAX when the file is
// absent or holds no number ("max").
std::uint64_t read_number(const char* path) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text)) return UINT64_MAX;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return UINT64_MAX;
    return value;
}

// MemAvailable of /proc/meminfo in bytes: what can still be had without swapping or the OOM
// killer stepping in. UINT64_MAX when it cannot be read.
std::uint64_t available_memory() {
    std::ifstream file("/proc/meminfo");
    std::string name;
    std::uint64_t kib = 0;
    std::string unit;
    while (file >> name >> kib >> unit) {
        if (name == "MemAvailable:") return saturating_mul(kib, 1024);
    }
    return UINT64_MAX;
}

}  // namespace

std::uint64_t kmer_space(std::uint8_t k) {
    if (k > kMaxRepresentableK) throw std::bad_alloc();
    return std::uint64_t{1} << (2 * k);
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t memory_limit() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    std::uint64_t physical = UINT64_MAX;
    if (pages > 0 && page_size > 0) {
        physical = saturating_mul(static_cast<std::uint64_t>(pages),
                                  static_cast<std::uint64_t>(page_size));
    }
    const std::uint64_t cgroup_max = read_number("/sys/fs/cgroup/memory.max");
    const std::uint64_t cgroup_used = read_number("/sys/fs/cgroup/memory.current");
    const std::uint64_t cgroup_left =
        cgroup_max == UINT64_MAX || cgroup_used == UINT64_MAX || cgroup_used > cgroup_max
            ? cgroup_max
            : cgroup_max - cgroup_used;
    return std::min({physical, available_memory(), cgroup_left});
}

void require_memory(std::uint64_t bytes) {
    if (bytes > kUncheckedBytes && bytes > memory_limit()) throw std::bad_alloc();
}

std::vector<std::uint64_t> zero_counts(std::uint8_t k) {
    const std::uint64_t n = kmer_space(k);
    require_memory(saturating_mul(n, sizeof(std::uint64_t)));
    std::vector<std::uint64_t> counts;
    counts.reserve(n);
    // Counting reads the list at random: with k >= 10, huge pages more than halve its cost.
    advise_huge_pages(counts.data(), n * sizeof(std::uint64_t));
    counts.resize(n);
    return counts;
}

void write_kmer(std::uint8_t k, std::uint64_t index, std::span<char> out) {
    for (std::size_t i = k; i-- > 0;) {
        out[i] = kLetters[index & 3];
        index >>= 2;
    }
}

std::uint64_t reverse_complement_index(std::uint8_t k, std::uint64_t index) {
    if (k == 0) return 0;
    // Complementing a letter flips both bits of its code (A 00 <-> T 11, C 01 <-> G 10); the
    // letters are then reversed as 2-bit groups across the whole word.
    std::uint64_t x = ~index;
    x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((x & 0x0F0F0F0F0F0F0F0FULL) << 4);
    x = __builtin_bswap64(x);
    return x >> (64 - 2 * k);
}

}  // namespace velko::kmer
