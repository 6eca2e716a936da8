// FracMinHash sketches: canonical k-mers hashed with MurmurHash3 as their ASCII text, the hashes
// at or below a threshold kept per record or per file.
#include "kmer/sketch.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <string_view>
#include <utility>

#include "fasta/reader.hpp"
#include "kmer/record_walker.hpp"
#include "kmer/row_facts.hpp"
#include "kmer/window_kernel.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELKO_SKETCH_AVX512 1
#endif

namespace velko::kmer {
namespace {

constexpr std::uint64_t kC1 = 0x87c37b91114253d5ULL;
constexpr std::uint64_t kC2 = 0x4cf5ad432745937fULL;

// Kept hashes wait unsorted until this many, then are sorted and merged into the row's set, so
// that a row of a large file at scaled 1 holds each distinct hash about once, not each window.
constexpr std::size_t kCompactFrom = std::size_t{1} << 20;
// A vector of kept hashes starts with room for this many.
constexpr std::size_t kLeastReserve = 1024;
// Above k = 32 windows are read from the letters themselves, kept in a buffer cut back to the
// last k - 1 letters whenever it reaches this size.
constexpr std::size_t kTextKeep = 4096;

[[nodiscard]] constexpr std::uint64_t fmix64(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

// MurmurHash3's mixing of a block's first and second word before they join h1 and h2.
[[nodiscard]] constexpr std::uint64_t mix_first(std::uint64_t k) {
    return std::rotl(k * kC1, 31) * kC2;
}
[[nodiscard]] constexpr std::uint64_t mix_second(std::uint64_t k) {
    return std::rotl(k * kC2, 33) * kC1;
}

// MurmurHash3_x64_128's h1 over `n` bytes given as little-endian words, the bytes past `n` zero
// up to the end of the block after the last whole one. A tail word of zeros mixes in nothing,
// so both tail words are mixed whatever the tail's length.
[[nodiscard]] inline std::uint64_t murmur_words(const std::uint64_t* words, std::size_t n,
                                                std::uint64_t seed) {
    std::uint64_t h1 = seed;
    std::uint64_t h2 = seed;
    const std::size_t blocks = n / 16;
    for (std::size_t b = 0; b < blocks; ++b) {
        h1 ^= mix_first(words[2 * b]);
        h1 = (std::rotl(h1, 27) + h2) * 5 + 0x52dce729;
        h2 ^= mix_second(words[2 * b + 1]);
        h2 = (std::rotl(h2, 31) + h1) * 5 + 0x38495ab5;
    }
    h2 ^= mix_second(words[2 * blocks + 1]);
    h1 ^= mix_first(words[2 * blocks]);
    h1 ^= n;
    h2 ^= n;
    h1 += h2;
    h2 += h1;
    return fmix64(h1) + fmix64(h2);
}

// The ASCII text of four letters packed in a byte (first letter in the high bits), as a
// little-endian word: first letter lowest.
constexpr std::array<std::uint32_t, 256> kAscii4 = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t word = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const auto letter =
                static_cast<std::uint8_t>(util::kDnaLetters[(b >> (6 - 2 * i)) & 3]);
            word |= std::uint32_t{letter} << (8 * i);
        }
        table[b] = word;
    }
    return table;
}();

// Up to k = 32 the text of a window is 4 words at most, with two more of zeros for the tail.
constexpr std::size_t kCodeWords = 6;
// Canonical codes wait in a batch this size to be hashed together, eight at a time where the
// processor has the vector instructions for it.
constexpr std::size_t kCodeBatch = 512;
// The vector kernels cut a stretch into pieces of this many letters: their streams stay in the
// first-level cache.
constexpr std::size_t kStreamLetters = 8192;
constexpr std::size_t kStreamWords = kStreamLetters / 32 + 3;

#ifdef VELKO_SKETCH_AVX512
// GCC 12's AVX-512 intrinsics start from an undefined vector (_mm512_undefined_epi32), which it
// then warns of as an uninitialized read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The target of every vector kernel here: 64-bit lane multiplies (DQ), byte masks (BW), byte
// permutes and bit-field gathers within a lane (VBMI), double-width shifts (VBMI2).
#define VELKO_SKETCH_TARGET "avx512f,avx512dq,avx512bw,avx512vbmi,avx512vbmi2"

// Whether this processor runs the vector kernels.
[[nodiscard]] bool has_avx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2");
}

__attribute__((target(VELKO_SKETCH_TARGET))) inline __m512i avx512_fmix(__m512i k) {
    k = _mm512_xor_si512(k, _mm512_srli_epi64(k, 33));
    k = _mm512_mullo_epi64(k, _mm512_set1_epi64(static_cast<long long>(0xff51afd7ed558ccdULL)));
    k = _mm512_xor_si512(k, _mm512_srli_epi64(k, 33));
    k = _mm512_mullo_epi64(k, _mm512_set1_epi64(static_cast<long long>(0xc4ceb9fe1a85ec53ULL)));
    return _mm512_xor_si512(k, _mm512_srli_epi64(k, 33));
}

// murmur_words over the text of eight canonical codes of k <= 32 letters at once: each lane's
// letters are gathered two bits each into bytes (vpmultishiftqb) and looked up as ASCII
// (vpermb). The text's words and MurmurHash3's whole blocks are constants of each instance, so
// its loops unroll and the words stay in registers.
template <unsigned words, unsigned blocks>
struct Hash8 {
    // Plain arrays: std::array drops the vector type's alignment attribute.
    __m512i gather[4];
    __mmask64 valid[4];
    __m512i letters;
    __m512i c1;
    __m512i c2;
    __m512i length;
    __m512i seed;

    __attribute__((target(VELKO_SKETCH_TARGET))) Hash8(unsigned k, std::uint64_t seed_value) {
        for (unsigned w = 0; w < words; ++w) {
            std::uint64_t control = 0;
            std::uint64_t mask = 0;
            for (unsigned b = 0; b < 8; ++b) {
                const unsigned letter = 8 * w + b;
                if (letter >= k) break;
                control |= std::uint64_t{2 * (k - 1 - letter)} << (8 * b);
                mask |= std::uint64_t{1} << b;
            }
            gather[w] = _mm512_set1_epi64(static_cast<long long>(control));
            // A bit a byte of the vector: the word's letters in each of the eight lanes.
            valid[w] = _cvtu64_mask64(mask * 0x0101010101010101ULL);
        }
        letters = _mm512_set1_epi32(0x54474341);  // "ACGT" in each dword
        c1 = _mm512_set1_epi64(static_cast<long long>(kC1));
        c2 = _mm512_set1_epi64(static_cast<long long>(kC2));
        length = _mm512_set1_epi64(static_cast<long long>(k));
        seed = _mm512_set1_epi64(static_cast<long long>(seed_value));
    }

    [[nodiscard]] __attribute__((target(VELKO_SKETCH_TARGET), always_inline)) inline __m512i
    operator()(__m512i code) const {
        __m512i text[6];
        for (__m512i& word : text) word = _mm512_setzero_si512();
        for (unsigned w = 0; w < words; ++w) {
            const __m512i picked = _mm512_multishift_epi64_epi8(gather[w], code);
            // vpermb reads the low six bits of each byte: the letter's two and the next
            // letters', so the table repeats "ACGT" throughout.
            text[w] = _mm512_maskz_permutexvar_epi8(valid[w], picked, letters);
        }
        __m512i h1 = seed;
        __m512i h2 = seed;
        for (unsigned b = 0; b < blocks; ++b) {
            __m512i k1 = _mm512_mullo_epi64(text[2 * b], c1);
            k1 = _mm512_mullo_epi64(_mm512_rol_epi64(k1, 31), c2);
            h1 = _mm512_add_epi64(_mm512_rol_epi64(_mm512_xor_si512(h1, k1), 27), h2);
            h1 = _mm512_add_epi64(_mm512_add_epi64(h1, _mm512_slli_epi64(h1, 2)),
                                  _mm512_set1_epi64(0x52dce729));
            __m512i k2 = _mm512_mullo_epi64(text[2 * b + 1], c2);
            k2 = _mm512_mullo_epi64(_mm512_rol_epi64(k2, 33), c1);
            h2 = _mm512_add_epi64(_mm512_rol_epi64(_mm512_xor_si512(h2, k2), 31), h1);
            h2 = _mm512_add_epi64(_mm512_add_epi64(h2, _mm512_slli_epi64(h2, 2)),
                                  _mm512_set1_epi64(0x38495ab5));
        }
        // A tail word past the text is zeros, which mix in nothing.
        if (2 * blocks + 1 < words) {
            __m512i k2 = _mm512_mullo_epi64(text[2 * blocks + 1], c2);
            h2 = _mm512_xor_si512(h2, _mm512_mullo_epi64(_mm512_rol_epi64(k2, 33), c1));
        }
        if (2 * blocks < words) {
            __m512i k1 = _mm512_mullo_epi64(text[2 * blocks], c1);
            h1 = _mm512_xor_si512(h1, _mm512_mullo_epi64(_mm512_rol_epi64(k1, 31), c2));
        }
        h1 = _mm512_xor_si512(h1, length);
        h2 = _mm512_xor_si512(h2, length);
        h1 = _mm512_add_epi64(h1, h2);
        h2 = _mm512_add_epi64(h2, h1);
        return _mm512_add_epi64(avx512_fmix(h1), avx512_fmix(h2));
    }
};

// Appends the hashes at or below `limit` to kept[out...]; returns the new end. Stores a whole
// vector: room for 8 past the end is the caller's.
__attribute__((target(VELKO_SKETCH_TARGET), always_inline)) inline std::size_t keep_below(
    __m512i hashes, __m512i limit, std::uint64_t* kept, std::size_t out) {
    const __mmask8 below = _mm512_cmple_epu64_mask(hashes, limit);
    if (below != 0) [[unlikely]] {
        _mm512_storeu_si512(kept + out, _mm512_maskz_compress_epi64(below, hashes));
        out += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(below)));
    }
    return out;
}

// Hashes codes[0, n - n % 8) and writes the hashes at or below `max_hash` to `kept`; returns
// how many. Sixteen codes go through at a time: one group's multiplies wait on their
// predecessors for most of their latency, which the other group's fill.
template <unsigned words, unsigned blocks>
__attribute__((target(VELKO_SKETCH_TARGET))) std::size_t hash_codes_avx512(
    const std::uint64_t* codes, std::size_t n, unsigned k, std::uint64_t seed,
    std::uint64_t max_hash, std::uint64_t* kept) {
    const Hash8<words, blocks> hash(k, seed);
    const __m512i limit = _mm512_set1_epi64(static_cast<long long>(max_hash));
    std::size_t out = 0;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i first = hash(_mm512_loadu_si512(codes + i));
        const __m512i second = hash(_mm512_loadu_si512(codes + i + 8));
        out = keep_below(first, limit, kept, out);
        out = keep_below(second, limit, kept, out);
    }
    if (i + 8 <= n) out = keep_below(hash(_mm512_loadu_si512(codes + i)), limit, kept, out);
    return out;
}

// hash_codes_avx512 of the instance for k.
__attribute__((target(VELKO_SKETCH_TARGET))) std::size_t hash_codes_avx512(
    const std::uint64_t* codes, std::size_t n, unsigned k, std::uint64_t seed,
    std::uint64_t max_hash, std::uint64_t* kept) {
    if (k <= 8) return hash_codes_avx512<1, 0>(codes, n, k, seed, max_hash, kept);
    if (k < 16) return hash_codes_avx512<2, 0>(codes, n, k, seed, max_hash, kept);
    if (k == 16) return hash_codes_avx512<2, 1>(codes, n, k, seed, max_hash, kept);
    if (k <= 24) return hash_codes_avx512<3, 1>(codes, n, k, seed, max_hash, kept);
    if (k < 32) return hash_codes_avx512<4, 1>(codes, n, k, seed, max_hash, kept);
    return hash_codes_avx512<4, 2>(codes, n, k, seed, max_hash, kept);
}

// A stretch of sequence as three streams of 32 letters a word:
// - forward: the 2-bit codes (A = 0, C = 1, G = 2, T = 3), the first letter in the high bits, so
//   that the 2k bits from any letter on are the k-mer's code as the rolling loop makes it;
// - reverse: the complements' codes, the first letter in the low bits, so that the 2k bits from
//   any letter on are the code of the k-mer's reverse complement;
// - bad: one bit a letter, set where the byte is not a base (either case), lowest first.
// Writes words [0, 2 * ceil(n / 64)); the letters past n are bad.
__attribute__((target(VELKO_SKETCH_TARGET))) void encode_streams(const unsigned char* bytes,
                                                                 std::size_t n,
                                                                 std::uint64_t* forward,
                                                                 std::uint64_t* reverse,
                                                                 std::uint32_t* bad) {
    const __m512i lower = _mm512_set1_epi8(0x20);
    const __m512i two_bits = _mm512_set1_epi8(3);
    const __m512i one_bit = _mm512_set1_epi8(1);
    for (std::size_t i = 0, w = 0; i < n; i += 64, w += 2) {
        const std::size_t m = std::min<std::size_t>(64, n - i);
        const __mmask64 load = m == 64 ? ~__mmask64{0} : (__mmask64{1} << m) - 1;
        const __m512i text = _mm512_maskz_loadu_epi8(load, bytes + i);
        const __m512i folded = _mm512_or_si512(text, lower);
        const __mmask64 base = _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('a')) |
                               _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('c')) |
                               _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('g')) |
                               _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('t'));
        // Bits 2-1 of A, C, G, T (either case) are 0, 1, 3, 2: bit 2 flips the last two.
        const __m512i code =
            _mm512_xor_si512(_mm512_and_si512(_mm512_srli_epi16(text, 1), two_bits),
                             _mm512_and_si512(_mm512_srli_epi16(text, 2), one_bit));
        // Four codes to a byte, by multiplying pairs together twice: the first letter high for
        // the forward stream, low for the reverse one.
        const __m512i high_first = _mm512_madd_epi16(
            _mm512_maddubs_epi16(code, _mm512_set1_epi16(0x0104)), _mm512_set1_epi32(0x00010010));
        const __m512i low_first = _mm512_madd_epi16(
            _mm512_maddubs_epi16(code, _mm512_set1_epi16(0x0401)), _mm512_set1_epi32(0x00100001));
        const __m128i high_bytes = _mm512_cvtepi32_epi8(high_first);
        const __m128i low_bytes = _mm512_cvtepi32_epi8(low_first);
        forward[w] = __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(high_bytes)));
        forward[w + 1] =
            __builtin_bswap64(static_cast<std::uint64_t>(_mm_extract_epi64(high_bytes, 1)));
        // A complement's code is the code's bits flipped.
        reverse[w] = ~static_cast<std::uint64_t>(_mm_cvtsi128_si64(low_bytes));
        reverse[w + 1] = ~static_cast<std::uint64_t>(_mm_extract_epi64(low_bytes, 1));
        const std::uint64_t not_base = ~static_cast<std::uint64_t>(base);
        bad[w] = static_cast<std::uint32_t>(not_base);
        bad[w + 1] = static_cast<std::uint32_t>(not_base >> 32);
    }
}

// The canonical codes of the windows of k <= 32 letters starting at [from, to) of the streams,
// those holding no bad letter, in order; returns how many. Writes up to 8 words past the last.
// The streams must hold a word past the one of letter to + k - 1 (read, never used).
__attribute__((target(VELKO_SKETCH_TARGET))) std::size_t canonical_windows(
    const std::uint64_t* forward, const std::uint64_t* reverse, const std::uint32_t* bad,
    std::size_t from, std::size_t to, unsigned k, std::uint64_t* out) {
    const __m512i lanes = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m128i drop = _mm_cvtsi32_si128(static_cast<int>(64 - 2 * k));
    const __m512i mask = _mm512_set1_epi64(
        static_cast<long long>(k == 32 ? UINT64_MAX : (std::uint64_t{1} << (2 * k)) - 1));
    const __m512i letters = _mm512_set1_epi64(static_cast<long long>((std::uint64_t{1} << k) - 1));
    std::size_t found = 0;
    for (std::size_t group = from & ~std::size_t{7}; group < to; group += 8) {
        const std::size_t w = group >> 5;
        const __m512i offset =
            _mm512_add_epi64(lanes, _mm512_set1_epi64(static_cast<long long>(group & 31)));
        const __m512i shift = _mm512_add_epi64(offset, offset);
        const __m512i f = _mm512_srl_epi64(
            _mm512_shldv_epi64(_mm512_set1_epi64(static_cast<long long>(forward[w])),
                               _mm512_set1_epi64(static_cast<long long>(forward[w + 1])), shift),
            drop);
        const __m512i r = _mm512_and_si512(
            _mm512_shrdv_epi64(_mm512_set1_epi64(static_cast<long long>(reverse[w])),
                               _mm512_set1_epi64(static_cast<long long>(reverse[w + 1])), shift),
            mask);
        const std::uint64_t bad_bits = bad[w] | (std::uint64_t{bad[w + 1]} << 32);
        __mmask8 clean = _mm512_testn_epi64_mask(
            _mm512_srlv_epi64(_mm512_set1_epi64(static_cast<long long>(bad_bits)), offset),
            letters);
        if (group < from) clean &= static_cast<__mmask8>(0xffU << (from - group));
        if (group + 8 > to) clean &= static_cast<__mmask8>(0xffU >> (group + 8 - to));
        // A < C < G < T in both codes, so the smaller code is the smaller text.
        _mm512_storeu_si512(out + found,
                            _mm512_maskz_compress_epi64(clean, _mm512_min_epu64(f, r)));
        found += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(clean)));
    }
    return found;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// The sketch of one row at a time: hashes kept as windows are fed, the row's set built at its
// end. A consumer of walk_records.
class Sketcher {
public:
    Sketcher(const SketchOptions& options, util::MemoryAccount& account, SketchTable& out)
        : k_(options.k),
          seed_(options.seed),
          max_hash_(options.max_hash == 0 ? UINT64_MAX : options.max_hash),
          per_file_(options.per_file),
          abundance_(options.abundance),
          account_(account),
          out_(out) {
        if (k_ <= 32) {
#ifdef VELKO_SKETCH_AVX512
            vector_ = has_avx512();
#endif
            mask_ = k_ == 32 ? UINT64_MAX : (std::uint64_t{1} << (2U * k_)) - 1;
            top_ = 2U * k_ - 2U;
            shift_ = 64U - 2U * k_;
            for (unsigned w = 0; w < 4; ++w) {
                const unsigned bytes = std::clamp<unsigned>(k_ > 8 * w ? k_ - 8 * w : 0, 0, 8);
                word_masks_[w] = bytes == 8 ? UINT64_MAX : (std::uint64_t{1} << (8 * bytes)) - 1;
            }
        }
        out_.indptr.push_back(0);
    }
    ~Sketcher() { account_.release(charged_); }
    Sketcher(const Sketcher&) = delete;
    Sketcher& operator=(const Sketcher&) = delete;

    void start(std::string_view /*id*/) {
        forward_ = 0;
        reverse_ = 0;
        run_ = 0;
        text_.clear();
        // No letter before the record's first: a window reaching back there is no window.
        stream_forward_[0] = 0;
        stream_reverse_[0] = 0;
        stream_bad_[0] = UINT32_MAX;
    }

    std::size_t feed(const unsigned char* bytes, std::size_t n) {
        if (k_ > 32) {
            feed_text(bytes, n);
            return n;
        }
#ifdef VELKO_SKETCH_AVX512
        if (vector_) {
            for (std::size_t at = 0; at < n; at += kStreamLetters) {
                feed_streams(bytes + at, std::min(kStreamLetters, n - at));
            }
            return n;
        }
#endif
        feed_codes(bytes, n);
        return n;
    }

    void end(std::string_view id, std::uint64_t /*size*/) {
        if (!per_file_) end_row(id);
    }

    // Closes the row of a whole file, named `id`.
    void end_file(std::string_view id) {
        if (per_file_) end_row(id);
        settle();
    }

private:
    template <unsigned words>
    [[nodiscard]] std::uint64_t hash_code(std::uint64_t code) const {
        std::array<std::uint64_t, kCodeWords> text{};
        const std::uint64_t aligned = code << shift_;
        for (unsigned w = 0; w < words; ++w) {
            const unsigned high = 56 - 16 * w;
            text[w] = (std::uint64_t{kAscii4[(aligned >> high) & 0xff]} |
                       (std::uint64_t{kAscii4[(aligned >> (high - 8)) & 0xff]} << 32)) &
                      word_masks_[w];
        }
        return murmur_words(text.data(), k_, seed_);
    }

    // Up to k = 32: both strands' 2-bit codes roll along, and the smaller is the canonical
    // k-mer, since the codes order A < C < G < T as their letters do. The codes are hashed in
    // batches.
    void feed_codes(const unsigned char* bytes, std::size_t n) {
        std::uint64_t forward = forward_;
        std::uint64_t reverse = reverse_;
        std::uint64_t run = run_;
        std::size_t batched = 0;
        // In locals: the batch is a member, and a store to it could alias any other member,
        // which the loop would then read from memory at every byte.
        const std::uint64_t mask = mask_;
        const unsigned top = top_;
        const std::uint64_t k = k_;
        std::uint64_t* const batch = batch_.data();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t code = kBaseCode<Letters::kEither>[bytes[i]];
            if (code == kNotBase) [[unlikely]] {
                run = 0;
                continue;
            }
            forward = ((forward << 2) | code) & mask;
            reverse = (reverse >> 2) | ((3 - code) << top);
            if (++run >= k) {
                batch[batched++] = std::min(forward, reverse);
                if (batched == kCodeBatch) [[unlikely]] {
                    hash_batch(batched);
                    batched = 0;
                }
            }
        }
        hash_batch(batched);
        forward_ = forward;
        reverse_ = reverse;
        run_ = run;
    }

#ifdef VELKO_SKETCH_AVX512
    // Up to k = 32 with the vector kernels: the piece becomes streams (encode_streams) behind a
    // first word that holds the 32 letters before it, and its windows are read out of them
    // eight at a time, with no loop carried from one letter to the next.
    void feed_streams(const unsigned char* bytes, std::size_t n) {
        std::uint64_t* const forward = stream_forward_.data();
        std::uint64_t* const reverse = stream_reverse_.data();
        std::uint32_t* const bad = stream_bad_.data();
        const std::size_t coded = 2 * ((n + 63) / 64);
        encode_streams(bytes, n, forward + 1, reverse + 1, bad + 1);
        for (std::size_t w = coded + 1; w < kStreamWords; ++w) {
            forward[w] = 0;
            reverse[w] = 0;
            bad[w] = UINT32_MAX;
        }
        // Windows start at letters [33 - k, 33 + n - k) of the streams: the first ends on the
        // piece's first letter, the last on its last.
        const std::size_t from = 33 - std::size_t{k_};
        const std::size_t to = 33 + n - std::size_t{k_};
        for (std::size_t at = from; at < to; at += kCodeBatch - 8) {
            const std::size_t found = canonical_windows(
                forward, reverse, bad, at, std::min(to, at + kCodeBatch - 8), k_, batch_.data());
            hash_batch(found);
        }
        // The piece's last 32 letters (with those before it, if it is shorter) lead the next.
        const std::size_t w = n / 32;
        const unsigned shift = 2 * static_cast<unsigned>(n % 32);
        if (shift == 0) {
            stream_forward_[0] = forward[w];
            stream_reverse_[0] = reverse[w];
        } else {
            stream_forward_[0] = (forward[w] << shift) | (forward[w + 1] >> (64 - shift));
            stream_reverse_[0] = (reverse[w] >> shift) | (reverse[w + 1] << (64 - shift));
        }
        stream_bad_[0] =
            static_cast<std::uint32_t>((bad[w] | (std::uint64_t{bad[w + 1]} << 32)) >> (n % 32));
    }
#endif

    void hash_batch(std::size_t n) {
        std::size_t done = 0;
#ifdef VELKO_SKETCH_AVX512
        if (vector_) {
            const std::size_t found =
                hash_codes_avx512(batch_.data(), n, k_, seed_, max_hash_, kept_.data());
            for (std::size_t i = 0; i < found; ++i) keep(kept_[i]);
            done = n - n % 8;
        }
#endif
        if (k_ <= 8) {
            hash_scalar<1>(done, n);
        } else if (k_ <= 16) {
            hash_scalar<2>(done, n);
        } else if (k_ <= 24) {
            hash_scalar<3>(done, n);
        } else {
            hash_scalar<4>(done, n);
        }
    }

    template <unsigned words>
    void hash_scalar(std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const std::uint64_t hash = hash_code<words>(batch_[i]);
            if (hash <= max_hash_) [[unlikely]]
                keep(hash);
        }
    }

    // Above k = 32: the window's letters and their reverse complement compared as text.
    void feed_text(const unsigned char* bytes, std::size_t n) {
        std::array<char, kMaxSketchK> reverse{};
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t code = kBaseCode<Letters::kEither>[bytes[i]];
            if (code == kNotBase) {
                text_.clear();
                continue;
            }
            if (text_.size() >= kTextKeep) text_.erase(0, text_.size() - (k_ - 1U));
            text_.push_back(util::kDnaLetters[code]);
            if (text_.size() < k_) continue;
            const char* window = text_.data() + text_.size() - k_;
            for (std::size_t j = 0; j < k_; ++j) {
                reverse[j] = util::kComplement[static_cast<unsigned char>(window[k_ - 1 - j])];
            }
            const char* canonical =
                std::memcmp(reverse.data(), window, k_) < 0 ? reverse.data() : window;
            const std::uint64_t hash = murmur3_h1(canonical, k_, seed_);
            if (hash <= max_hash_) keep(hash);
        }
    }

    void keep(std::uint64_t hash) {
        reserve_more(pending_, 1);
        pending_.push_back(hash);
        if (pending_.size() >= kCompactFrom && pending_.size() >= held_.size()) {
            compact();
            settle();
        }
    }

    // Sorts the pending hashes and merges their runs into the row's set.
    void compact() {
        if (pending_.empty()) return;
        std::sort(pending_.begin(), pending_.end());
        std::vector<std::uint64_t> hashes;
        std::vector<std::uint64_t> counts;
        const std::size_t most = held_.size() + pending_.size();
        charge_ahead(util::saturating_mul(most, abundance_ ? 16 : 8));
        hashes.reserve(most);
        if (abundance_) counts.reserve(hashes.capacity());
        std::size_t h = 0;
        const auto take_held = [&] {
            hashes.push_back(held_[h]);
            if (abundance_) counts.push_back(held_counts_[h]);
            ++h;
        };
        for (std::size_t i = 0; i < pending_.size();) {
            const std::uint64_t hash = pending_[i];
            std::size_t j = i + 1;
            while (j < pending_.size() && pending_[j] == hash) ++j;
            while (h < held_.size() && held_[h] < hash) take_held();
            std::uint64_t count = j - i;
            if (h < held_.size() && held_[h] == hash) {
                if (abundance_) count += held_counts_[h];
                ++h;
            }
            hashes.push_back(hash);
            if (abundance_) counts.push_back(count);
            i = j;
        }
        while (h < held_.size()) take_held();
        held_ = std::move(hashes);
        held_counts_ = std::move(counts);
        pending_.clear();
    }

    void end_row(std::string_view id) {
        compact();
        reserve_more(out_.hashes, held_.size());
        if (abundance_) reserve_more(out_.counts, held_counts_.size());
        reserve_more(out_.indptr, 1);
        out_.hashes.insert(out_.hashes.end(), held_.begin(), held_.end());
        if (abundance_) {
            out_.counts.insert(out_.counts.end(), held_counts_.begin(), held_counts_.end());
        }
        out_.indptr.push_back(out_.hashes.size());
        out_.ids.emplace_back(id);
        held_.clear();
        held_counts_.clear();
        settle();
    }

    // Makes room for `extra` more values in `values`, doubling as push_back would, with the
    // memory charged before it is taken: a refusal then says what needed it, where the
    // allocation itself would fail with a bare bad_alloc.
    void reserve_more(std::vector<std::uint64_t>& values, std::size_t extra) {
        if (values.size() + extra <= values.capacity()) return;
        const std::size_t grown =
            std::max({values.size() + extra, 2 * values.capacity(), kLeastReserve});
        charge_ahead(util::saturating_mul(grown - values.capacity(), sizeof(std::uint64_t)));
        values.reserve(grown);
    }

    void charge_ahead(std::uint64_t bytes) {
        account_.charge(bytes, "a sketch");
        charged_ += bytes;
    }

    // Brings the account to what the row and the table hold now, giving back what they no
    // longer do.
    void settle() {
        const std::uint64_t words = pending_.capacity() + held_.capacity() +
                                    held_counts_.capacity() + out_.hashes.capacity() +
                                    out_.counts.capacity() + out_.indptr.capacity();
        const std::uint64_t bytes = words * sizeof(std::uint64_t);
        if (bytes > charged_) {
            account_.charge(bytes - charged_, "a sketch");
        } else {
            account_.release(charged_ - bytes);
        }
        charged_ = bytes;
    }

    std::uint8_t k_;
    std::uint64_t seed_;
    std::uint64_t max_hash_;
    bool per_file_;
    bool abundance_;
    util::MemoryAccount& account_;
    SketchTable& out_;
    std::uint64_t mask_ = 0;
    unsigned top_ = 0;
    unsigned shift_ = 0;
    std::array<std::uint64_t, 4> word_masks_{};
    bool vector_ = false;
    std::array<std::uint64_t, kCodeBatch> batch_{};
    // The hashes a vector kernel kept, and room for a vector's store past them.
    std::array<std::uint64_t, kCodeBatch + 8> kept_{};
    std::array<std::uint64_t, kStreamWords> stream_forward_{};
    std::array<std::uint64_t, kStreamWords> stream_reverse_{};
    std::array<std::uint32_t, kStreamWords> stream_bad_{};
    std::uint64_t forward_ = 0;
    std::uint64_t reverse_ = 0;
    std::uint64_t run_ = 0;
    std::string text_;
    std::vector<std::uint64_t> pending_;
    std::vector<std::uint64_t> held_;
    std::vector<std::uint64_t> held_counts_;
    std::uint64_t charged_ = 0;
};

void sketch_file(const std::string& path, const SketchOptions& options, SketchTable& out,
                 std::atomic<std::uint64_t>& bytes_done, const std::atomic<bool>& cancelled) {
    fasta::Reader reader(path);
    Sketcher sketcher(options, reader.memory(), out);
    // Windows with a byte other than a base are skipped, never an error: the sketch never stops.
    if (!walk_records<Invalid::kSkip>(reader, path, options.k, sketcher,
                                      WalkShared{bytes_done, cancelled})) {
        return;
    }
    sketcher.end_file(path);
}

}  // namespace

std::uint64_t murmur3_h1(const void* data, std::size_t n, std::uint64_t seed) {
    const std::size_t words = 2 * (n / 16) + 2;
    std::array<std::uint64_t, 2 * (kMaxSketchK / 16) + 2> fixed{};
    std::vector<std::uint64_t> grown;
    std::uint64_t* text = fixed.data();
    if (words > fixed.size()) {
        grown.assign(words, 0);
        text = grown.data();
    }
    std::memcpy(text, data, n);
    return murmur_words(text, n, seed);
}

SketchJob::SketchJob(std::vector<std::string> paths, SketchOptions options, unsigned threads)
    : options_(options), rows_(paths.size()), files_(std::move(paths)) {
    const unsigned workers = std::max(
        1U, std::min<unsigned>(std::max(1U, threads), static_cast<unsigned>(rows_.size())));
    files_.start(workers, [this](std::size_t i, util::InterruptHook& /*hook*/) {
        try {
            sketch_file(files_.paths()[i], options_, rows_[i], files_.bytes_done(),
                        files_.cancelled());
        } catch (...) {
            rows_[i] = SketchTable{};
            throw;
        }
    });
}

SketchTable SketchJob::take() {
    files_.finish();
    SketchTable table;
    table.indptr.push_back(0);
    std::size_t hashes = 0;
    for (const SketchTable& file : rows_) hashes += file.hashes.size();
    table.hashes.reserve(hashes);
    if (options_.abundance) table.counts.reserve(hashes);
    for (std::size_t f = 0; f < rows_.size(); ++f) {
        SketchTable& file = rows_[f];
        const std::uint64_t base = table.hashes.size();
        for (std::size_t r = 1; r < file.indptr.size(); ++r) {
            table.indptr.push_back(base + file.indptr[r]);
        }
        table.hashes.insert(table.hashes.end(), file.hashes.begin(), file.hashes.end());
        table.counts.insert(table.counts.end(), file.counts.begin(), file.counts.end());
        append_row_facts(table, file, file.ids.size(), f);
        file = SketchTable{};
    }
    return table;
}

}  // namespace velko::kmer
