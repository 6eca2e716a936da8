// Sequence functions of velko_tools._core: the IUPAC reverse complement, and the records of a
// FASTA file handed out whole.
#include <nanobind/stl/string_view.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "fasta/dna_sequence.hpp"
#include "fasta/records.hpp"
#include "util/utf8.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

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

/// The records of one FASTA file as an iterator of (id, sequence) pairs, read with the lock
/// released one record at a time; a failure ends it.
class FastaRecords {
public:
    FastaRecords(const nb::bytes& path, const nb::str& name)
        : files_(one_file(path, name)), inputs_(files_) {
        const std::string& opened = inputs_.paths().front();
        // Opening a FIFO waits for its writer: Ctrl-C must end the wait.
        records_ = inputs_.naming([&] {
            return unlocked([&] { return std::make_unique<fasta::WholeRecords>(opened); });
        });
    }

    nb::tuple next() {
        if (!records_) throw nb::stop_iteration();
        std::string id;
        std::string sequence;
        bool more = false;
        try {
            more = inputs_.naming(
                [&] { return unlocked([&] { return records_->next(id, sequence); }); });
        } catch (...) {
            records_.reset();  // a reader that failed must not be read again
            throw;
        }
        if (!more) {
            records_.reset();
            throw nb::stop_iteration();
        }
        return nb::make_tuple(nb::str(id.data(), id.size()),
                              nb::bytes(sequence.data(), sequence.size()));
    }

private:
    static nb::list one_file(const nb::bytes& path, const nb::str& name) {
        nb::list files;
        files.append(nb::make_tuple(path, name));
        return files;
    }

    nb::list files_;  // holds the name that inputs_ borrows
    InputFiles inputs_;
    std::unique_ptr<fasta::WholeRecords> records_;
};

}  // namespace

void bind_sequences(nb::module_& m) {
    nb::class_<FastaRecords>(m, "FastaRecords",
                             "The records of a FASTA file (plain or gzip) as (id, sequence)\n"
                             "pairs, read as every read of velko_tools reads them: the same\n"
                             "rules and errors, one record kept at a time.")
        .def(nb::init<const nb::bytes&, const nb::str&>(), nb::arg("path"), nb::arg("name"))
        .def(
            "__iter__", [](nb::handle self) { return nb::borrow(self); },
            nb::sig("def __iter__(self) -> FastaRecords"))
        .def("__next__", &FastaRecords::next, nb::sig("def __next__(self) -> tuple[str, bytes]"));
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
