// Reverse complement over UTF-8 text, one output byte per character.
#include "fasta/dna_sequence.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "util/dna.hpp"
#include "util/memory.hpp"
#include "util/utf8.hpp"

namespace velko::fasta {
namespace {

// Every byte that starts a character maps to its complement; continuation bytes are skipped
// by the caller, so each multi-byte character yields one N through its lead byte.
using util::is_continuation;
using util::kComplement;

// Every IUPAC code to its complement (the code of the complementary set of bases), in both cases;
// 0 marks a byte without one. `a_pairs_with` is what A and a become: T in DNA, U in RNA.
constexpr std::array<char, 256> iupac_complement(char a_pairs_with) {
    std::array<char, 256> table{};
    constexpr std::string_view from = "ACGTURYSWKMBDHVN";
    constexpr std::string_view to = "TGCAAYRSWMKVHDBN";
    for (std::size_t i = 0; i < from.size(); ++i) {
        const char complement = from[i] == 'A' ? a_pairs_with : to[i];
        table[static_cast<unsigned char>(from[i])] = complement;
        table[static_cast<unsigned char>(from[i] - 'A' + 'a')] =
            static_cast<char>(complement - 'A' + 'a');
    }
    table['-'] = '-';
    table['.'] = '.';
    return table;
}

constexpr std::array<char, 256> kIupacComplementDna = iupac_complement('T');
constexpr std::array<char, 256> kIupacComplementRna = iupac_complement('U');

// Sixteen letters at a time: the four letters are found by byte comparisons, and the reversal is
// two 8-byte swaps (a byte shuffle is not in baseline x86-64). Returns false, leaving `out`
// unfinished, when the text is not pure ASCII and characters must be walked one by one.
using Bytes16 = unsigned char __attribute__((vector_size(16)));

bool reverse_ascii(const unsigned char* in, std::size_t n, char* out) {
    Bytes16 high{};
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        Bytes16 x;
        std::memcpy(&x, in + n - i - 16, 16);
        high |= x;
        const auto a = reinterpret_cast<Bytes16>(x == 'A');
        const auto c = reinterpret_cast<Bytes16>(x == 'C');
        const auto g = reinterpret_cast<Bytes16>(x == 'G');
        const auto t = reinterpret_cast<Bytes16>(x == 'T');
        const Bytes16 complement =
            (a & 'T') | (c & 'G') | (g & 'C') | (t & 'A') | (~(a | c | g | t) & 'N');
        std::uint64_t halves[2];
        std::memcpy(halves, &complement, 16);
        const std::uint64_t first = __builtin_bswap64(halves[1]);
        const std::uint64_t second = __builtin_bswap64(halves[0]);
        std::memcpy(out + i, &first, 8);
        std::memcpy(out + i + 8, &second, 8);
    }
    unsigned char rest = 0;
    for (; i < n; ++i) {
        rest |= in[n - 1 - i];
        out[i] = kComplement[in[n - 1 - i]];
    }
    for (int lane = 0; lane < 16; ++lane) rest |= high[lane];
    return (rest & 0x80) == 0;
}

}  // namespace

DnaSequence copy_sequence(std::string_view text) {
    std::string copy;
    copy.reserve(text.size());
    util::advise_huge_pages(copy.data(), text.size());
    copy.append(text);
    return {std::move(copy)};
}

std::size_t reverse_complement_iupac(std::string_view text, std::span<char> out, bool rna) {
    const auto& table = rna ? kIupacComplementRna : kIupacComplementDna;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char complement = table[static_cast<unsigned char>(text[i])];
        if (complement == 0) return i;
        out[n - 1 - i] = complement;
    }
    return n;
}

std::string reverse_complement(std::string_view text) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size());
    // A fresh 100 MB output otherwise spends more time in page faults than in complementing.
    util::advise_huge_pages(out.data(), text.size());
    out.resize(text.size());
    if (reverse_ascii(in, text.size(), out.data())) return out;
    out.clear();
    for (std::size_t i = text.size(); i-- > 0;) {
        if (!is_continuation(in[i])) out.push_back(kComplement[in[i]]);
    }
    return out;
}

}  // namespace velko::fasta
