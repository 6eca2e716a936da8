// KmerCountResult: the k, the number of windows counted and one count per k-mer.
#pragma once

#include <cstdint>

#include "kmer/count_list.hpp"

namespace velko::kmer {

/// Counts of one text: counts[i] belongs to k-mer i of the list for k. Built from Python it holds
/// whatever was given, unchecked.
struct KmerCountResult {
    std::uint8_t k = 0;
    std::uint64_t total = 0;
    CountList counts;
};

}  // namespace velko::kmer
