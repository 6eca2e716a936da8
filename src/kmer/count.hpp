// Counting the k-mer windows of a text, whole or in pieces, and adding the opposite strand.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kmer/count_result.hpp"
#include "kmer/letter_block.hpp"

namespace velko::kmer {

/// Which windows a SequenceCounter counts: the text's own, or also those of its reverse complement.
enum class Strands { kForward, kBoth };

/// Counts the k-mer windows of one text that arrives in consecutive pieces (a FASTA record's
/// trimmed sequence lines), exactly as counting the concatenated text at once would.
class SequenceCounter {
public:
    /// `counts` must hold 4^k zeros. With Strands::kBoth each window is also counted at its
    /// reverse complement's position, exactly as counting the reverse-complement text too would,
    /// and finish() returns twice the windows: cheaper than add_reverse_strand for texts much
    /// shorter than 4^k (a second increment per window instead of a pass over all 4^k counts).
    /// `path` picks the letter-block routine; every path gives the same counts.
    SequenceCounter(std::uint8_t k, std::span<std::uint64_t> counts,
                    Strands strands = Strands::kForward, PackPath path = best_pack_path());
    /// Feeds the next bytes of the text. Never throws: the first bad window is remembered and
    /// counting stops there.
    void feed(std::string_view piece);
    /// Ends the text: returns the number of windows, or throws velko::Abort (via fail()) with
    /// exactly the message counting the whole text at once gives (character-boundary message with
    /// the text's first <=256 bytes and "[...]" when longer, or the Option::unwrap() message).
    std::uint64_t finish();

private:
    [[nodiscard]] std::size_t count_windows(std::string_view piece);
    [[nodiscard]] std::size_t count_near(const unsigned char* bytes, std::size_t i,
                                         std::size_t size);
    [[nodiscard]] std::size_t count_far(const unsigned char* bytes, std::size_t i,
                                        std::size_t size);
    void keep_context(std::string_view piece);
    [[nodiscard]] unsigned char byte_at(std::uint64_t position) const;
    [[nodiscard]] bool is_boundary(std::uint64_t position) const;
    [[noreturn]] void fail_first_window() const;
    [[noreturn]] void fail_boundary(std::uint64_t position) const;

    std::uint8_t k_;
    Strands strands_;
    std::span<std::uint64_t> counts_;
    PackPath path_;
    // Extra count tables for long texts: each window takes the next table in turn (counts_
    // first, then these), summed into counts_ when the text ends.
    std::vector<std::uint64_t> turns_;
    std::uint64_t mask_;
    unsigned top_shift_;         // where a letter enters the reverse-complement code
    std::uint64_t letters_ = 0;  // 2-bit codes of the letters so far, the latest least significant
    std::uint64_t complement_ = 0;  // the last k letters complemented, the latest most significant
    std::uint64_t size_ = 0;   // bytes fed so far
    std::optional<std::uint64_t> first_bad_;  // first byte no window may hold
    // The text's first bytes, which an abort message quotes: a fixed array, as a heap copy
    // would cost a short text more than counting it.
    std::array<char, 257> head_;  // NOLINT: only the first head_size_ bytes are ever read
    std::size_t head_size_ = 0;
    // Bytes [context_start_, context_start_ + context_.size()) of the text: before a bad byte,
    // the last few fed; after it, those around it, which settle which window fails first.
    std::string context_;
    std::uint64_t context_start_ = 0;
};

/// Adds the reverse strand into forward counts in place (counts[i] += counts[revcomp(i)], computed
/// pairwise so it is exact), for a text whose forward counting succeeded.
void add_reverse_strand(std::uint8_t k, std::span<std::uint64_t> counts);

/// The counts of `text`, and with `use_rev_complement` those of its reverse complement added.
/// Throws std::bad_alloc when 4^k counts cannot fit, Abort when a window is not a k-mer.
[[nodiscard]] KmerCountResult count_text(std::string_view text, std::uint8_t k,
                                         bool use_rev_complement);

}  // namespace velko::kmer
