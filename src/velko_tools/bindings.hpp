// The parts of velko_tools._core, each binding one area of the core into the module.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace velko::tools {

namespace nb = nanobind;

/// reverse_complement.
void bind_sequences(nb::module_& m);

/// k-mer counting of FASTA files into tables, and the exceptions of reading them.
void bind_kmers(nb::module_& m);

/// Sparse k-mer counts of FASTA files up to k = 32.
void bind_sparse(nb::module_& m);

/// Inside a catch block of a k-mer count over `paths` (named in Python by `names`): raises the
/// velko_tools exception of the failure being handled, naming its file as the caller gave it;
/// rethrows any other.
[[noreturn]] void raise_count_failure(const std::vector<std::string>& paths, nb::list names);

/// Profile-search hits and the top-hit table.
void bind_hits(nb::module_& m);

/// Rows of numbers as tab-separated text, for the table writers.
void bind_text(nb::module_& m);

}  // namespace velko::tools
