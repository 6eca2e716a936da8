// Letters checked and packed 32 at a time, with SIMD where the processor has it, and the k-mer
// windows of packed letters counted into one or several count tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace velko::kmer {

/// Letters in one packed block: their 2-bit codes fill one 64-bit word.
inline constexpr std::size_t kPackedLetters = 32;

/// The ways to check and pack a block: plain C++, or SSE4.2 / AVX2 compares and shuffles.
enum class PackPath { kPortable, kSse42, kAvx2 };

/// The fastest path this processor runs (chosen at run time on x86-64; portable elsewhere).
[[nodiscard]] PackPath best_pack_path() noexcept;

/// True when this processor runs `path`.
[[nodiscard]] bool runs_pack_path(PackPath path) noexcept;

/// "portable", "sse4.2" or "avx2".
[[nodiscard]] std::string_view pack_path_name(PackPath path) noexcept;

/// Counts the windows of a text that end in the whole blocks of `bytes`, k <= 8 letters each:
/// window code `rolling & mask`, where `rolling` holds the text's letters so far, two bits each,
/// the latest lowest (as `rolling * 4 + code` builds it). The window ending at the i-th byte is
/// counted in tables[i % tables.size()], so repeats such as poly-A runs add to different
/// counters in turn instead of waiting on each other. Letters are A C G T, and a c g t too with
/// `either_case`.
///
/// Stops before the first block that holds any other byte, counting none of its windows, and
/// returns the bytes done: a multiple of kPackedLetters. `rolling` then holds the letters up to
/// there. `tables` holds 1, 2 or 4 tables of mask + 1 counts each, mask + 1 = 4^k.
std::size_t count_letter_blocks(std::span<const unsigned char> bytes, std::uint64_t& rolling,
                                std::uint64_t mask, std::span<std::uint64_t* const> tables,
                                bool either_case, PackPath path);

}  // namespace velko::kmer
