// Packing 32 letters into one word of 2-bit codes (AVX2, SSE4.2 or plain C++) and counting the
// windows of each word with a shift and a mask apiece.
#include "kmer/letter_block.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "kmer/window_kernel.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define VELKO_X86 1
#else
#define VELKO_X86 0
#endif

namespace velko::kmer {
namespace {

constexpr unsigned kNotLetter = kNotBase;

// The code of each byte, upper-case letters only or either case.
template <bool either_case>
constexpr const auto& kLetterCode = kBaseCode<(either_case ? Letters::kEither : Letters::kUpper)>;

// The windows ending at each of the 32 letters of `word`, whose letters before are `previous`.
// With k <= 8 the first eight windows reach back into `previous` and read `joint`; the others
// lie in `word` alone. A rotation (one instruction with BMI2) serves as the shift: the bits it
// wraps around land above the 16 that the mask keeps.
template <std::size_t tables>
[[gnu::always_inline]] inline void count_word(std::uint64_t previous, std::uint64_t word,
                                              std::uint64_t mask, std::uint64_t* const* counts) {
    const std::uint64_t joint = (previous << 16) | (word >> 48);
#pragma GCC unroll 8
    for (unsigned i = 0; i < 8; ++i) {
        ++counts[i % tables][std::rotr(joint, static_cast<int>(2 * (7 - i))) & mask];
    }
#pragma GCC unroll 24
    for (unsigned i = 8; i < kPackedLetters; ++i) {
        ++counts[i % tables][std::rotr(word, static_cast<int>(2 * (31 - i))) & mask];
    }
}

// Packed blocks: `pack` checks 32 letters and packs them into one word, or refuses them.
template <std::size_t tables, class Pack>
[[gnu::always_inline]] inline std::size_t count_packed(std::span<const unsigned char> bytes,
                                                       std::uint64_t& rolling, std::uint64_t mask,
                                                       std::uint64_t* const* table_list,
                                                       Pack pack) {
    std::array<std::uint64_t*, tables> counts{};
    for (std::size_t t = 0; t < tables; ++t) counts[t] = table_list[t];
    std::uint64_t previous = rolling;
    std::size_t done = 0;
    for (; done + kPackedLetters <= bytes.size(); done += kPackedLetters) {
        std::uint64_t word = 0;
        if (!pack(bytes.data() + done, word)) break;
        count_word<tables>(previous, word, mask, counts.data());
        previous = word;
    }
    rolling = previous;
    return done;
}

template <class Pack>
[[gnu::always_inline]] inline std::size_t count_any(std::span<const unsigned char> bytes,
                                                    std::uint64_t& rolling, std::uint64_t mask,
                                                    std::span<std::uint64_t* const> tables,
                                                    Pack pack) {
    switch (tables.size()) {
        case 4:
            return count_packed<4>(bytes, rolling, mask, tables.data(), pack);
        case 2:
            return count_packed<2>(bytes, rolling, mask, tables.data(), pack);
        default:
            return count_packed<1>(bytes, rolling, mask, tables.data(), pack);
    }
}

// Groups of `group` windows, one increment each: a group's code is that of the letters from
// the first window's first to the last window's last, k + group - 1 of them (at most 9, so the
// first groups of a word reach at most eight letters back, into `joint`).
template <unsigned group, class Pack>
[[gnu::always_inline]] inline std::size_t count_grouped(std::span<const unsigned char> bytes,
                                                        std::uint64_t& rolling,
                                                        std::uint64_t span_mask,
                                                        std::uint32_t* tally, Pack pack) {
    std::uint64_t previous = rolling;
    std::size_t done = 0;
    for (; done + kPackedLetters <= bytes.size(); done += kPackedLetters) {
        std::uint64_t word = 0;
        if (!pack(bytes.data() + done, word)) break;
        const std::uint64_t joint = (previous << 16) | (word >> 48);
#pragma GCC unroll 16
        for (unsigned end = group - 1; end < kPackedLetters; end += group) {
            const std::uint64_t code = end < 8 ? std::rotr(joint, static_cast<int>(2 * (7 - end)))
                                               : std::rotr(word, static_cast<int>(2 * (31 - end)));
            ++tally[code & span_mask];
        }
        previous = word;
    }
    rolling = previous;
    return done;
}

template <class Pack>
[[gnu::always_inline]] inline std::size_t count_any_grouped(std::span<const unsigned char> bytes,
                                                            std::uint64_t& rolling, unsigned group,
                                                            std::uint64_t span_mask,
                                                            std::uint32_t* tally, Pack pack) {
    if (group == 4) return count_grouped<4>(bytes, rolling, span_mask, tally, pack);
    return count_grouped<2>(bytes, rolling, span_mask, tally, pack);
}

// Grouped windows leave too few increments for the rolling code to keep up with: the portable
// path packs a block letter by letter first, as the SIMD paths do at once.
template <bool either_case>
inline bool pack_portable(const unsigned char* bytes, std::uint64_t& word) {
    const auto& code_of = kLetterCode<either_case>;
    std::uint64_t packed = 0;
    unsigned seen = 0;
    for (std::size_t i = 0; i < kPackedLetters; ++i) {
        const unsigned letter = code_of[bytes[i]];
        seen |= letter;
        packed = packed * 4 + (letter & 3U);
    }
    if ((seen & kNotLetter) != 0) return false;
    word = packed;
    return true;
}

// Without SIMD, packing first costs more than it saves: each letter goes into the rolling code
// and is counted at once, and the rare block found to hold a bad byte is counted back out.
template <std::size_t tables, bool either_case>
std::size_t count_rolling(std::span<const unsigned char> bytes, std::uint64_t& rolling,
                          std::uint64_t mask, std::uint64_t* const* table_list) {
    std::array<std::uint64_t*, tables> counts{};
    for (std::size_t t = 0; t < tables; ++t) counts[t] = table_list[t];
    const auto& code_of = kLetterCode<either_case>;
    std::size_t done = 0;
    for (; done + kPackedLetters <= bytes.size(); done += kPackedLetters) {
        const unsigned char* const block = bytes.data() + done;
        std::uint64_t code = rolling;
        unsigned seen = 0;
        for (std::size_t i = 0; i < kPackedLetters; ++i) {
            const unsigned letter = code_of[block[i]];
            seen |= letter;
            code = code * 4 + letter;
            ++counts[i % tables][code & mask];
        }
        if ((seen & kNotLetter) != 0) {
            code = rolling;
            for (std::size_t i = 0; i < kPackedLetters; ++i) {
                code = code * 4 + code_of[block[i]];
                --counts[i % tables][code & mask];
            }
            break;
        }
        rolling = code;
    }
    return done;
}

std::size_t grouped_portable(std::span<const unsigned char> bytes, std::uint64_t& rolling,
                             unsigned group, std::uint64_t span_mask, std::uint32_t* tally,
                             bool either_case) {
    if (either_case) {
        return count_any_grouped(bytes, rolling, group, span_mask, tally, pack_portable<true>);
    }
    return count_any_grouped(bytes, rolling, group, span_mask, tally, pack_portable<false>);
}

template <bool either_case>
std::size_t count_portable(std::span<const unsigned char> bytes, std::uint64_t& rolling,
                           std::uint64_t mask, std::span<std::uint64_t* const> tables) {
    switch (tables.size()) {
        case 4:
            return count_rolling<4, either_case>(bytes, rolling, mask, tables.data());
        case 2:
            return count_rolling<2, either_case>(bytes, rolling, mask, tables.data());
        default:
            return count_rolling<1, either_case>(bytes, rolling, mask, tables.data());
    }
}

#if VELKO_X86

// A letter's code from the low four bits of its byte, the same in either case: A/a 1 -> 0,
// C/c 3 -> 1, T/t 4 -> 3, G/g 7 -> 2. Other bytes were refused before this is read.
#define VELKO_NIBBLE_CODES 0, 0, 0, 1, 3, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0

[[gnu::target("sse4.2"), gnu::always_inline]] inline __m128i letters_sse42(__m128i v) {
    return _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('A')), _mm_cmpeq_epi8(v, _mm_set1_epi8('C'))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('G')), _mm_cmpeq_epi8(v, _mm_set1_epi8('T'))));
}

// Sixteen letters, known good, as four bytes of codes, the first letter of each byte the most
// significant: pairs, then quads of letters by multiply-adds, one byte at the bottom of each
// 32-bit lane, then gathered.
[[gnu::target("sse4.2"), gnu::always_inline]] inline std::uint32_t pack16_sse42(__m128i v) {
    const __m128i codes =
        _mm_shuffle_epi8(_mm_setr_epi8(VELKO_NIBBLE_CODES), _mm_and_si128(v, _mm_set1_epi8(0x0F)));
    const __m128i pairs = _mm_maddubs_epi16(codes, _mm_set1_epi16(0x0104));
    const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010010));
    const __m128i gathered = _mm_shuffle_epi8(
        quads, _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(gathered));
}

template <bool either_case>
[[gnu::target("sse4.2"), gnu::always_inline]] inline bool pack_sse42(const unsigned char* bytes,
                                                                     std::uint64_t& word) {
    const __m128i case_bit = _mm_set1_epi8(either_case ? ~0x20 : ~0);
    const __m128i low =
        _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), case_bit);
    const __m128i high =
        _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16)), case_bit);
    if (_mm_movemask_epi8(_mm_and_si128(letters_sse42(low), letters_sse42(high))) != 0xFFFF) {
        return false;
    }
    const std::uint64_t in_order = pack16_sse42(low) | (std::uint64_t{pack16_sse42(high)} << 32);
    word = __builtin_bswap64(in_order);  // the first letters to the top
    return true;
}

template <bool either_case>
[[gnu::target("avx2,bmi2"), gnu::always_inline]] inline bool pack_avx2(const unsigned char* bytes,
                                                                       std::uint64_t& word) {
    const __m256i v = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)),
                                       _mm256_set1_epi8(either_case ? ~0x20 : ~0));
    const __m256i letters =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('A')),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8('C'))),
                        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('G')),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8('T'))));
    if (_mm256_movemask_epi8(letters) != -1) return false;
    const __m256i codes =
        _mm256_shuffle_epi8(_mm256_setr_epi8(VELKO_NIBBLE_CODES, VELKO_NIBBLE_CODES),
                            _mm256_and_si256(v, _mm256_set1_epi8(0x0F)));
    const __m256i pairs = _mm256_maddubs_epi16(codes, _mm256_set1_epi16(0x0104));
    const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010010));
    const __m256i gathered = _mm256_shuffle_epi8(
        quads, _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4,
                                8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
    const auto low = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(gathered));
    const auto high =
        static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(gathered, 1)));
    word = __builtin_bswap64(low | (std::uint64_t{high} << 32));
    return true;
}

#undef VELKO_NIBBLE_CODES

[[gnu::target("sse4.2")]] std::size_t grouped_sse42(std::span<const unsigned char> bytes,
                                                    std::uint64_t& rolling, unsigned group,
                                                    std::uint64_t span_mask, std::uint32_t* tally,
                                                    bool either_case) {
    if (either_case) {
        return count_any_grouped(bytes, rolling, group, span_mask, tally, pack_sse42<true>);
    }
    return count_any_grouped(bytes, rolling, group, span_mask, tally, pack_sse42<false>);
}

[[gnu::target("avx2,bmi2")]] std::size_t grouped_avx2(std::span<const unsigned char> bytes,
                                                      std::uint64_t& rolling, unsigned group,
                                                      std::uint64_t span_mask, std::uint32_t* tally,
                                                      bool either_case) {
    if (either_case) {
        return count_any_grouped(bytes, rolling, group, span_mask, tally, pack_avx2<true>);
    }
    return count_any_grouped(bytes, rolling, group, span_mask, tally, pack_avx2<false>);
}

[[gnu::target("sse4.2")]] std::size_t count_sse42(std::span<const unsigned char> bytes,
                                                  std::uint64_t& rolling, std::uint64_t mask,
                                                  std::span<std::uint64_t* const> tables,
                                                  bool either_case) {
    if (either_case) return count_any(bytes, rolling, mask, tables, pack_sse42<true>);
    return count_any(bytes, rolling, mask, tables, pack_sse42<false>);
}

[[gnu::target("avx2,bmi2")]] std::size_t count_avx2(std::span<const unsigned char> bytes,
                                                    std::uint64_t& rolling, std::uint64_t mask,
                                                    std::span<std::uint64_t* const> tables,
                                                    bool either_case) {
    if (either_case) return count_any(bytes, rolling, mask, tables, pack_avx2<true>);
    return count_any(bytes, rolling, mask, tables, pack_avx2<false>);
}

#endif

}  // namespace

bool runs_pack_path(PackPath path) noexcept {
#if VELKO_X86
    switch (path) {
        case PackPath::kAvx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
        case PackPath::kSse42:
            return __builtin_cpu_supports("sse4.2");
        case PackPath::kPortable:
            return true;
    }
#endif
    return path == PackPath::kPortable;
}

PackPath best_pack_path() noexcept {
    if (runs_pack_path(PackPath::kAvx2)) return PackPath::kAvx2;
    if (runs_pack_path(PackPath::kSse42)) return PackPath::kSse42;
    return PackPath::kPortable;
}

std::string_view pack_path_name(PackPath path) noexcept {
    switch (path) {
        case PackPath::kAvx2:
            return "avx2";
        case PackPath::kSse42:
            return "sse4.2";
        case PackPath::kPortable:
            break;
    }
    return "portable";
}

std::size_t count_letter_blocks(std::span<const unsigned char> bytes, std::uint64_t& rolling,
                                std::uint64_t mask, std::span<std::uint64_t* const> tables,
                                bool either_case, PackPath path) {
#if VELKO_X86
    if (path == PackPath::kAvx2) return count_avx2(bytes, rolling, mask, tables, either_case);
    if (path == PackPath::kSse42) return count_sse42(bytes, rolling, mask, tables, either_case);
#endif
    if (either_case) return count_portable<true>(bytes, rolling, mask, tables);
    return count_portable<false>(bytes, rolling, mask, tables);
}

WindowGroups::WindowGroups(std::uint8_t k, std::uint64_t* counts)
    : k_(k), group_(k <= 4 ? 4 : 2), span_(k + group_ - 1), counts_(counts) {}

std::size_t WindowGroups::count(std::span<const unsigned char> bytes, std::uint64_t& rolling,
                                bool either_case, PackPath path) {
    if (tally_.empty()) tally_.assign(std::size_t{1} << (2 * span_), 0);
    // A tally entry holds 32 bits: drain before a run of groups could carry one past them.
    constexpr std::uint64_t kMostTallied = std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t groups = bytes.size() / group_;
    if (tallied_ + groups > kMostTallied) drain();
    if (groups > kMostTallied) bytes = bytes.first(kMostTallied / kPackedLetters * kPackedLetters);
    const std::uint64_t span_mask = tally_.size() - 1;
    std::uint32_t* const tally = tally_.data();
    std::size_t done = 0;
#if VELKO_X86
    if (path == PackPath::kAvx2) {
        done = grouped_avx2(bytes, rolling, group_, span_mask, tally, either_case);
    } else if (path == PackPath::kSse42) {
        done = grouped_sse42(bytes, rolling, group_, span_mask, tally, either_case);
    } else {
        done = grouped_portable(bytes, rolling, group_, span_mask, tally, either_case);
    }
#else
    done = grouped_portable(bytes, rolling, group_, span_mask, tally, either_case);
#endif
    tallied_ += done / group_;
    return done;
}

void WindowGroups::drain() {
    if (tallied_ == 0) return;
    // The window at place j of a group leaves `before` = j letters of the group in front of it
    // and `after` = group - 1 - j behind: its code is the middle of the group's code, and every
    // group code with that middle adds to it. Walking codes in order keeps the reads sequential.
    const std::uint64_t kmers = std::uint64_t{1} << (2 * k_);
    const std::uint32_t* const tally = tally_.data();
    for (unsigned before = 0; before < group_; ++before) {
        const unsigned after = group_ - 1 - before;
        const std::uint64_t heads = std::uint64_t{1} << (2 * before);
        const std::uint64_t tails = std::uint64_t{1} << (2 * after);
        const std::uint32_t* entry = tally;
        for (std::uint64_t head = 0; head < heads; ++head) {
            for (std::uint64_t kmer = 0; kmer < kmers; ++kmer) {
                std::uint64_t sum = 0;
                for (std::uint64_t tail = 0; tail < tails; ++tail) sum += entry[tail];
                counts_[kmer] += sum;
                entry += tails;
            }
        }
    }
    std::fill(tally_.begin(), tally_.end(), 0);
    tallied_ = 0;
}

}  // namespace velko::kmer
