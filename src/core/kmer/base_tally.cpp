#include "kmer/base_tally.hpp"

#include <algorithm>
#include <cstddef>

#include "kmer/window_kernel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velko::kmer {
namespace {

#if defined(__SSE2__)
// The four byte counters of a block summed into 64 bits.
std::uint64_t sum_bytes(__m128i counts) {
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif

}  // namespace

void BaseTally::add(std::string_view text) {
    letters += text.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time: setting bit 5 folds A C G T onto a c g t and maps no other byte
    // there, so four compares count both cases. Byte counters take at most 255 blocks before
    // they are summed.
    const __m128i fold = _mm_set1_epi8(0x20);
    const __m128i a = _mm_set1_epi8('a');
    const __m128i c = _mm_set1_epi8('c');
    const __m128i g = _mm_set1_epi8('g');
    const __m128i t = _mm_set1_epi8('t');
    while (n - i >= 16) {
        const std::size_t blocks = std::min<std::size_t>((n - i) / 16, 255);
        __m128i count_a = _mm_setzero_si128();
        __m128i count_c = count_a;
        __m128i count_g = count_a;
        __m128i count_t = count_a;
        for (std::size_t b = 0; b < blocks; ++b, i += 16) {
            const __m128i v =
                _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), fold);
            count_a = _mm_sub_epi8(count_a, _mm_cmpeq_epi8(v, a));
            count_c = _mm_sub_epi8(count_c, _mm_cmpeq_epi8(v, c));
            count_g = _mm_sub_epi8(count_g, _mm_cmpeq_epi8(v, g));
            count_t = _mm_sub_epi8(count_t, _mm_cmpeq_epi8(v, t));
        }
        bases[0] += sum_bytes(count_a);
        bases[1] += sum_bytes(count_c);
        bases[2] += sum_bytes(count_g);
        bases[3] += sum_bytes(count_t);
    }
#endif
    std::array<std::uint64_t, 5> rest{};
    for (; i < n; ++i) ++rest[kBaseCode<Letters::kEither>[bytes[i]]];
    for (std::size_t code = 0; code < bases.size(); ++code) bases[code] += rest[code];
}

}  // namespace velko::kmer
