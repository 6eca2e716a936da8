// The parts of velko_tools._core, each binding one area of the core into the module.
#pragma once

#include <nanobind/nanobind.h>

namespace velko::tools {

namespace nb = nanobind;

/// The exception translator: every core failure as its velko_tools exception.
void register_failures();

/// reverse_complement.
void bind_sequences(nb::module_& m);

/// k-mer counting of FASTA files into tables.
void bind_kmers(nb::module_& m);

/// Sparse k-mer counts of FASTA files up to k = 32.
void bind_sparse(nb::module_& m);

/// Profile-search hits and the top-hit table.
void bind_hits(nb::module_& m);

/// Rows of numbers as tab-separated text, for the table writers.
void bind_text(nb::module_& m);

}  // namespace velko::tools
