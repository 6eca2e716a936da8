// Counting the k-mers of every record of a FASTA file, each record on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kmer/count_result.hpp"

namespace velko::kmer {

/// One result per record, in file order, keyed by the record's id. Ids may repeat: for each id
/// the last entry is the one that counts, as when filling a map in this order.
using FastaCounts = std::vector<std::pair<std::string, KmerCountResult>>;

/// The k-mer counts of each record of the FASTA file at `path`, with the reverse strand added
/// when `use_rev_complement`. Reads the file once, holding no record in memory. Throws
/// util::Failure (located in the file) when the file cannot be read or a record cannot be counted,
/// std::bad_alloc when the results would not fit in memory.
[[nodiscard]] FastaCounts count_fasta(std::string_view path, std::uint8_t k,
                                      bool use_rev_complement);

}  // namespace velko::kmer
