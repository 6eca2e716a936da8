// Counting the k-mers of every record of a FASTA file, each record on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "kmer/count_result.hpp"

namespace velko::kmer {

/// One result per record identifier; a later record replaces an earlier one of the same id.
using FastaCounts = std::unordered_map<std::string, KmerCountResult>;

/// The k-mer counts of each record of the FASTA file at `path`, with the reverse strand added
/// when `use_rev_complement`. Reads the file once, holding no record in memory. Throws Abort
/// when the file cannot be read or a record cannot be counted, std::bad_alloc when the results
/// would not fit in memory.
[[nodiscard]] FastaCounts count_fasta(std::string_view path, std::uint8_t k,
                                      bool use_rev_complement);

}  // namespace velko::kmer
