// DnaSequence: a DNA text and its reverse complement.
#pragma once

#include <string>
#include <string_view>

namespace velko::fasta {

/// The reverse complement of UTF-8 text, character by character: A<->T, C<->G, anything else N.
[[nodiscard]] std::string reverse_complement(std::string_view text);

/// One DNA sequence held as text, stored exactly as given.
struct DnaSequence {
    std::string seq;

    /// A new sequence holding the reverse complement of this one.
    [[nodiscard]] DnaSequence rev_complement() const { return {reverse_complement(seq)}; }
};

/// A sequence holding a copy of `text`; a large copy is placed so that it faults in quickly.
[[nodiscard]] DnaSequence copy_sequence(std::string_view text);

}  // namespace velko::fasta
