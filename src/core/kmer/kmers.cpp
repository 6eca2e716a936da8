// K-mer numbering and k-mer text.
#include "kmer/kmers.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "util/dna.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"

namespace velko::kmer {
namespace {

// The four letters of each byte of a code (its first letter from the two highest bits): a
// dump writes a k-mer four letters at a time.
constexpr std::array<std::array<char, 4>, 256> kByteLetters = [] {
    std::array<std::array<char, 4>, 256> table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte) {
        for (std::size_t i = 0; i < 4; ++i)
            table[byte][i] = util::kDnaLetters[(byte >> (6 - 2 * i)) & 3];
    }
    return table;
}();

// Room for a k-mer of k <= 32, its tab, a 20-digit count and the line feed.
constexpr std::size_t kLineRoom = 32 + 1 + 20 + 1;

// Writes the k letters of `code` at `at`, the last four at a time.
void put_letters(char* at, std::uint8_t k, std::uint64_t code) {
    std::size_t left = k;
    while (left >= 4) {
        left -= 4;
        std::memcpy(at + left, kByteLetters[code & 0xff].data(), 4);
        code >>= 8;
    }
    while (left > 0) {
        at[--left] = util::kDnaLetters[code & 3];
        code >>= 2;
    }
}

template <class Count>
void append_lines(std::string& out, std::uint8_t k, std::span<const std::uint64_t> codes,
                  std::span<const Count> counts) {
    const std::size_t start = out.size();
    out.resize(start + codes.size() * kLineRoom);
    char* at = out.data() + start;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        put_letters(at, k, codes[i]);
        at += k;
        *at++ = '\t';
        at = std::to_chars(at, at + 20, counts[i]).ptr;
        *at++ = '\n';
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
}

}  // namespace

std::uint64_t kmer_space(std::uint8_t k) {
    if (k > kMaxRepresentableK) throw std::bad_alloc();
    return std::uint64_t{1} << (2 * k);
}

void require_kmer_memory(std::uint8_t k, std::uint64_t per_kmer, std::uint64_t extra,
                         std::string_view items) {
    const std::uint64_t bytes =
        k > kMaxRepresentableK
            ? UINT64_MAX
            : util::saturating_add(util::saturating_mul(kmer_space(k), per_kmer), extra);
    util::require_memory(bytes, [&] {
        std::string k_text = std::to_string(k);
        return util::MemoryNeed{
            .what = "k = " + k_text,
            .detail = "4^" + k_text + " " + std::string(items),
            .exact_bytes =
                std::ldexp(static_cast<double>(per_kmer), 2 * k) + static_cast<double>(extra),
        };
    });
}

std::vector<std::uint64_t> zero_counts(std::uint8_t k) {
    require_kmer_memory(k, sizeof(std::uint64_t), 0, "counts");
    const std::uint64_t n = kmer_space(k);
    std::vector<std::uint64_t> counts;
    counts.reserve(n);
    // Counting reads the list at random: with k >= 10, huge pages more than halve its cost.
    util::advise_huge_pages(counts.data(), n * sizeof(std::uint64_t));
    // Zeroing gigabytes takes a while: in slices, so that it can be stopped.
    constexpr std::uint64_t kSlice = std::uint64_t{1} << 22;
    while (counts.size() < n) {
        const std::uint64_t size = std::min<std::uint64_t>(n, counts.size() + kSlice);
        counts.resize(static_cast<std::size_t>(size));
        util::poll_interrupt(kSlice);
    }
    return counts;
}

void write_kmer(std::uint8_t k, std::uint64_t index, std::span<char> out) {
    for (std::size_t i = k; i-- > 0;) {
        out[i] = util::kDnaLetters[index & 3];
        index >>= 2;
    }
}

void append_kmers(std::string& out, std::uint8_t k, std::span<const std::uint64_t> codes) {
    const std::size_t start = out.size();
    out.resize(start + codes.size() * k);
    char* at = out.data() + start;
    for (const std::uint64_t code : codes) {
        put_letters(at, k, code);
        at += k;
    }
}

void append_count_lines(std::string& out, std::uint8_t k, std::span<const std::uint64_t> codes,
                        std::span<const std::uint32_t> counts) {
    append_lines(out, k, codes, counts);
}

void append_count_lines(std::string& out, std::uint8_t k, std::span<const std::uint64_t> codes,
                        std::span<const std::uint64_t> counts) {
    append_lines(out, k, codes, counts);
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
