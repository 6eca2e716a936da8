// Reverse complement: one letter per character, only A C G T N, an involution on A C G T.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fasta/dna_sequence.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string result = velko::fasta::reverse_complement(text);
    std::size_t characters = 0;
    bool acgt = true;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
        acgt = acgt && (c == 'A' || c == 'C' || c == 'G' || c == 'T');
    }
    if (result.size() != characters) std::abort();
    for (std::size_t i = 0; i < result.size(); ++i) {
        const char c = result[i];
        if (c != 'A' && c != 'C' && c != 'G' && c != 'T' && c != 'N') std::abort();
    }
    if (acgt && velko::fasta::reverse_complement(result) != text) std::abort();
    return 0;
}
