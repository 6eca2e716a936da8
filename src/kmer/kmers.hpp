// The k-mer vocabulary: how many k-mers a length has, their text, and the memory bound.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velko::kmer {

/// The largest k whose 4^k k-mers can even be numbered in 64 bits with room for the byte count.
inline constexpr std::uint8_t kMaxRepresentableK = 31;

/// 4^k, the number of k-mers of length k. Throws std::bad_alloc for k > kMaxRepresentableK,
/// whose tables could never be held.
[[nodiscard]] std::uint64_t kmer_space(std::uint8_t k);

/// a * b, or UINT64_MAX when the product does not fit: byte estimates saturate, never wrap.
[[nodiscard]] std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);

/// a + b, saturating like saturating_mul.
[[nodiscard]] std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

/// The memory a new result may take: the machine's physical memory, lowered to what the kernel
/// reports available now and to what is left under the cgroup limit when one is set.
[[nodiscard]] std::uint64_t memory_limit();

/// Estimates up to this many bytes are let through without asking the system: memory_limit()
/// reads several files, which costs far more than the small work it would guard.
inline constexpr std::uint64_t kUncheckedBytes = std::uint64_t{64} << 20;

/// Refuses, by throwing std::bad_alloc, a peak of `bytes` that exceeds memory_limit(): a result
/// that cannot fit must fail before it is built, not get the process killed halfway. Peaks up to
/// kUncheckedBytes pass unchecked.
void require_memory(std::uint64_t bytes);

/// A count list of 4^k zeros, after require_memory for it.
[[nodiscard]] std::vector<std::uint64_t> zero_counts(std::uint8_t k);

/// Writes the k letters of the k-mer at position `index` (base 4, A = 0 ... T = 3, first
/// letter most significant) into `out`.
void write_kmer(std::uint8_t k, std::uint64_t index, std::span<char> out);

/// The position of the reverse complement of the k-mer at `index`.
[[nodiscard]] std::uint64_t reverse_complement_index(std::uint8_t k, std::uint64_t index);

}  // namespace velko::kmer
