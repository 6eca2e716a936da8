// Reverse complement over UTF-8 text, one output byte per character.
#include "fasta/dna_sequence.hpp"

#include <cstdint>
#include <cstring>

namespace velko::fasta {
namespace {

// Every byte that starts a character maps to its complement; continuation bytes are skipped
// by the caller, so each multi-byte character yields one N through its lead byte.
constexpr std::array<char, 256> kComplement = [] {
    std::array<char, 256> table{};
    table.fill('N');
    table['A'] = 'T';
    table['C'] = 'G';
    table['G'] = 'C';
    table['T'] = 'A';
    return table;
}();

constexpr bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Pure ASCII: one output byte per input byte, a straight reversed table walk.
void reverse_ascii(const unsigned char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = kComplement[in[n - 1 - i]];
}

bool is_ascii(std::string_view text) {
    std::size_t i = 0;
    std::uint64_t high = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        high |= word;
    }
    for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
    return (high & 0x8080808080808080ULL) == 0;
}

}  // namespace

std::string reverse_complement(std::string_view text) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    if (is_ascii(text)) {
        out.resize(text.size());
        reverse_ascii(in, text.size(), out.data());
        return out;
    }
    out.reserve(text.size());
    for (std::size_t i = text.size(); i-- > 0;) {
        if (!is_continuation(in[i])) out.push_back(kComplement[in[i]]);
    }
    return out;
}

}  // namespace velko::fasta
