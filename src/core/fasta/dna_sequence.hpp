// DnaSequence: a DNA text and its reverse complement.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace velko::fasta {

/// The reverse complement of UTF-8 text, character by character: A<->T, C<->G, anything else N.
[[nodiscard]] std::string reverse_complement(std::string_view text);

/// Writes into `out` (text.size() bytes) the reverse complement of `text` over the IUPAC codes
/// A C G T U R Y S W K M B D H V N in either case (case kept), with '-' and '.' kept as they are;
/// A pairs with T, or with U when `rna`. Returns text.size(), or the position of the first byte
/// that has no complement; `out` is then unfinished.
[[nodiscard]] std::size_t reverse_complement_iupac(std::string_view text, std::span<char> out,
                                                   bool rna = false);

/// One DNA sequence held as text, stored exactly as given.
struct DnaSequence {
    std::string seq;

    /// A new sequence holding the reverse complement of this one.
    [[nodiscard]] DnaSequence rev_complement() const { return {reverse_complement(seq)}; }
};

/// A sequence holding a copy of `text`; a large copy is placed so that it faults in quickly.
[[nodiscard]] DnaSequence copy_sequence(std::string_view text);

}  // namespace velko::fasta
