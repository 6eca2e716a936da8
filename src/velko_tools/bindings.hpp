// The parts of velko_tools._core, each binding one area of the core into the module.
#pragma once

#include <nanobind/nanobind.h>

namespace velko::tools {

namespace nb = nanobind;

/// reverse_complement.
void bind_sequences(nb::module_& m);

/// k-mer counting of FASTA files into tables, and the exceptions of reading them.
void bind_kmers(nb::module_& m);

/// Profile-search hits and the top-hit table.
void bind_hits(nb::module_& m);

/// Rows of numbers as tab-separated text, for the table writers.
void bind_text(nb::module_& m);

}  // namespace velko::tools
