// Sequence functions of velko_tools._core: the IUPAC reverse complement.
#include <nanobind/stl/string_view.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "fasta/dna_sequence.hpp"
#include "util/utf8.hpp"
#include "velko_tools/bindings.hpp"

namespace velko::tools {
namespace {

using util::is_continuation;

nb::str reverse_complement(std::string_view seq, bool rna) {
    std::string out(seq.size(), '\0');
    const std::size_t bad = fasta::reverse_complement_iupac(seq, out, rna);
    if (bad == seq.size()) return nb::str(out.data(), out.size());
    // The text is UTF-8 from a str: name the whole character and count characters, not bytes.
    std::size_t position = 0;
    for (std::size_t i = 0; i < bad; ++i) {
        if (!is_continuation(static_cast<unsigned char>(seq[i]))) ++position;
    }
    std::size_t end = bad + 1;
    while (end < seq.size() && is_continuation(static_cast<unsigned char>(seq[end]))) ++end;
    const nb::str character(seq.data() + bad, end - bad);
    throw nb::value_error(
        nb::str("invalid character {!r} at position {}").format(character, position).c_str());
}

}  // namespace

void bind_sequences(nb::module_& m) {
    m.def("reverse_complement", &reverse_complement, nb::arg("seq"), nb::kw_only(),
          nb::arg("rna") = false,
          nb::sig("def reverse_complement(seq: str, *, rna: bool = False) -> str"),
          "The reverse complement of a DNA or RNA sequence over the IUPAC codes.\n\n"
          "A C G T U R Y S W K M B D H V N map to their complements in either case (the case\n"
          "is kept; U pairs with A, and A pairs with T, or with U when rna is true), and '-'\n"
          "and '.' stay as they are:\n"
          "reverse_complement('ACGTacgtNNRY') == 'RYNNacgtACGT'. Any other character raises\n"
          "ValueError naming it and its position.");
}

}  // namespace velko::tools
