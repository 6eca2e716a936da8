// Letters checked and packed 32 at a time, with SIMD where the processor has it, and the k-mer
// windows of packed letters counted into one or several count tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

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

/// One increment for several windows: a long text's windows are taken in groups of consecutive
/// ones (four for k <= 4, two up to k = 8), and each group is tallied once under the code of
/// the letters it spans (k + 3 or k + 1). Splitting those codes back into their windows costs
/// a pass over the whole tally, so a text takes this route only once it is long enough to pay
/// for it (worth_from()). The tally is allocated on the first count and drained into the
/// caller's counts by drain(); the counts are exactly those the windows would have given.
class WindowGroups {
public:
    /// Groups for windows of k letters, 1 <= k <= 8, drained into `counts` (4^k of them).
    WindowGroups(std::uint8_t k, std::uint64_t* counts);

    /// Letters a text should have before its windows are grouped (k <= 8 only).
    [[nodiscard]] std::uint64_t worth_from() const { return std::uint64_t{16} << (2 * span_); }

    /// As count_letter_blocks: counts the windows ending in the whole blocks of `bytes`, which
    /// follow at least k - 1 letters of the text held in `rolling`, and stops before the first
    /// block holding another byte. Returns the bytes done, a multiple of kPackedLetters.
    std::size_t count(std::span<const unsigned char> bytes, std::uint64_t& rolling,
                      bool either_case, PackPath path);

    /// Adds the tallied windows to the counts and empties the tally.
    void drain();

private:
    std::uint8_t k_;
    unsigned group_;  // windows per group
    unsigned span_;   // letters per group: k + group - 1
    std::uint64_t* counts_;
    std::vector<std::uint32_t> tally_;  // 4^span_ entries once used
    std::uint64_t tallied_ = 0;         // groups since the last drain, kept below 2^32
};

}  // namespace velko::kmer
