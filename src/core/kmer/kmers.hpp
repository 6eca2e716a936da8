// The k-mer vocabulary: how many k-mers a length has and their text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velko::kmer {

/// The largest k whose 4^k k-mers can even be numbered in 64 bits with room for the byte count.
inline constexpr std::uint8_t kMaxRepresentableK = 31;

/// 4^k, the number of k-mers of length k. Throws std::bad_alloc for k > kMaxRepresentableK,
/// whose tables could never be held (require_kmer_memory refuses them first, with a message).
[[nodiscard]] std::uint64_t kmer_space(std::uint8_t k);

/// Refuses (util::MemoryRefused) a result of 4^k items of `per_kmer` bytes each and `extra`
/// bytes more that would not fit: "k = 14 needs about 2.0 GiB (4^14 counts), more than the
/// 1.2 GiB available", with `items` naming what there are 4^k of.
void require_kmer_memory(std::uint8_t k, std::uint64_t per_kmer, std::uint64_t extra,
                         std::string_view items);

/// A count list of 4^k zeros, after require_kmer_memory for it.
[[nodiscard]] std::vector<std::uint64_t> zero_counts(std::uint8_t k);

/// Writes the k letters of the k-mer at position `index` (base 4, A = 0 ... T = 3, first
/// letter most significant) into `out`.
void write_kmer(std::uint8_t k, std::uint64_t index, std::span<char> out);

/// Appends the k letters of each code (as write_kmer writes them), one after another.
void append_kmers(std::string& out, std::uint8_t k, std::span<const std::uint64_t> codes);

/// Appends one "KMER<TAB>COUNT" line per code: its k letters (as write_kmer), a tab, its count
/// in decimal and a line feed, codes[i] going with counts[i] (as many of each).
void append_count_lines(std::string& out, std::uint8_t k, std::span<const std::uint64_t> codes,
                        std::span<const std::uint32_t> counts);
/// As above, for 64-bit counts.
void append_count_lines(std::string& out, std::uint8_t k, std::span<const std::uint64_t> codes,
                        std::span<const std::uint64_t> counts);

/// The position of the reverse complement of the k-mer at `index`.
[[nodiscard]] std::uint64_t reverse_complement_index(std::uint8_t k, std::uint64_t index);

}  // namespace velko::kmer
