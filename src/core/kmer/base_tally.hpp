// What a file's sequence is made of, tallied in the same read that counts its k-mers.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velko::kmer {

/// A file's records, the bytes of their sequence lines, and how many of those bytes are each
/// base (A, C, G, T, either case): its length and GC share without a second read.
struct BaseTally {
    std::uint64_t records = 0;
    std::uint64_t letters = 0;
    std::array<std::uint64_t, 4> bases{};  // A, C, G, T

    /// Adds a piece of sequence.
    void add(std::string_view text);
};

}  // namespace velko::kmer
