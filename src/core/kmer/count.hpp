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
#include "kmer/window_kernel.hpp"

namespace velko::kmer {

/// Counts the k-mer windows of one text that arrives in consecutive pieces (a FASTA record's
/// trimmed sequence lines), exactly as counting the concatenated text at once would: the
/// counting driver with upper-case letters that stops at the first bad byte, and what velko's
/// messages need to say which window failed.
class SequenceCounter {
public:
    /// `counts` must hold 4^k zeros. The reverse strand, when wanted, is ReverseStrand's. `path`
    /// picks the letter-block routine; every path gives the same counts.
    SequenceCounter(std::uint8_t k, std::span<std::uint64_t> counts,
                    PackPath path = best_pack_path());
    /// Feeds the next bytes of the text. Never throws: the first bad window is remembered and
    /// counting stops there.
    void feed(std::string_view piece);
    /// Ends the text: returns the number of windows, or throws util::Failure exactly as counting
    /// the whole text at once does: an abort with the character-boundary message (the text's
    /// first <=256 bytes and "[...]" when longer), or the invalid base of the first bad window.
    std::uint64_t finish();

private:
    void keep_context(std::string_view piece);
    [[nodiscard]] unsigned char byte_at(std::uint64_t position) const;
    [[nodiscard]] bool is_boundary(std::uint64_t position) const;
    [[noreturn]] void fail_first_window() const;
    [[noreturn]] void fail_boundary(std::uint64_t position) const;

    std::uint8_t k_;
    std::span<std::uint64_t> counts_;
    WindowCounter<Letters::kUpper, Invalid::kStop> windows_;
    std::uint64_t size_ = 0;                  // bytes fed so far
    std::optional<std::uint64_t> first_bad_;  // first byte no window may hold
    // The text's first bytes, which an abort message quotes: a fixed array, as a heap copy
    // would cost a short text more than counting it. Left uninitialised: only the first
    // head_size_ bytes are ever read.
    std::array<char, 257> head_;
    std::size_t head_size_ = 0;
    // Bytes [context_start_, context_start_ + context_.size()) of the text: before a bad byte,
    // the last few fed; after it, those around it, which settle which window fails first.
    std::string context_;
    std::uint64_t context_start_ = 0;
};

/// Adds the reverse strand into forward counts in place (counts[i] += counts[revcomp(i)], computed
/// pairwise so it is exact), for a text whose forward counting succeeded.
void add_reverse_strand(std::uint8_t k, std::span<std::uint64_t> counts);

/// Adds a text's reverse strand to its forward counts, exactly, the cheapest way for the text.
/// Every counting of both strands goes through here, whole texts and FASTA records alike.
///
/// The reverse strand's windows are the reverse complements of the forward ones: either count
/// those windows, or give every count the forward count of its partner k-mer. The first costs
/// per window, the second per k-mer of the list, so a text takes the first while it has few
/// windows for its k. Its reverse-complement window codes are kept as its pieces stream past,
/// up to a bound; past the bound the text pairs its counts instead. For k up to 6 the lists are
/// a few KiB, as short reads have by the thousand: one branch-free pass over a copy, through a
/// partner table fixed at compile time.
class ReverseStrand {
public:
    explicit ReverseStrand(std::uint8_t k);

    /// Starts the next text.
    void start();
    /// Sees the next piece of the text, as the forward counter does.
    void feed(std::string_view piece);
    /// Adds the reverse strand of the text just counted to its forward `counts`; only for a text
    /// whose forward counting succeeded (a byte other than A, C, G, T gives wrong codes here).
    void add(std::span<std::uint64_t> counts);

private:
    std::uint8_t k_;
    std::uint64_t limit_ = 0;             // most windows kept per text; 0 when none are
    unsigned top_shift_ = 0;              // where a new letter enters the reverse-complement code
    std::vector<std::uint64_t> windows_;  // reverse-complement codes of the text's windows
    std::vector<std::uint64_t> scratch_;
    std::uint64_t letters_ = 0;  // bytes of the text seen
    std::uint64_t rc_code_ = 0;
    bool keeping_ = false;
};

/// The counts of `text`, and with `use_rev_complement` those of its reverse complement added.
/// Throws std::bad_alloc when 4^k counts cannot fit, util::Failure when a window is not a k-mer.
[[nodiscard]] KmerCountResult count_text(std::string_view text, std::uint8_t k,
                                         bool use_rev_complement);

}  // namespace velko::kmer
