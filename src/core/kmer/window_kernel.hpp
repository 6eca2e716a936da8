// The k-mer window kernel: blocks of letters counted through a rolling code, checked as they go.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kmer/letter_block.hpp"
#include "util/dna.hpp"

namespace velko::kmer {

/// Which bytes are bases: upper-case A C G T only, or also their lower-case (soft-masked) forms.
enum class Letters { kUpper, kEither };

/// The code kBaseCode gives a byte that is not a base.
inline constexpr std::uint8_t kNotBase = util::kNotDna;

/// The 2-bit code of every byte (A = 0, C = 1, G = 2, T = 3), or kNotBase.
template <Letters letters>
inline constexpr std::array<std::uint8_t, 256> kBaseCode = [] {
    std::array<std::uint8_t, 256> table = util::kDnaCode;
    if constexpr (letters == Letters::kEither) {
        for (std::uint8_t code = 0; code < util::kDnaLetters.size(); ++code) {
            table[static_cast<unsigned char>(util::kDnaLetters[code] - 'A' + 'a')] = code;
        }
    }
    return table;
}();

/// Letters are counted in blocks of this many, so the test for a bad letter is one branch per
/// block.
inline constexpr std::size_t kKernelBlock = 64;

/// Counts the window ending at each byte of [bytes, bytes + n), whose previous letters are in
/// `rolling`, and adds these letters to `rolling`. Returns whether every byte was a base; the
/// check is folded into the count, which is cheaper than a pass of its own while bad bytes are
/// rare. A byte that is not a base counts the windows over it at meaningless positions: the
/// caller either fails the record or takes exactly those counts back with uncount_block from
/// the same rolling code. The code is kept unmasked (one multiply-add per letter): letters older
/// than the window reach only bits the mask drops.
template <Letters letters>
[[nodiscard]] inline bool count_block(const unsigned char* bytes, std::size_t n,
                                      std::uint64_t& rolling, std::uint64_t mask,
                                      std::uint64_t* counts) {
    unsigned seen = 0;
    std::uint64_t code = rolling;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned letter = kBaseCode<letters>[bytes[i]];
        seen |= letter;
        code = code * 4 + letter;
        ++counts[code & mask];
    }
    rolling = code;
    return (seen & kNotBase) == 0;
}

/// Undoes count_block over the same bytes from the same rolling code.
template <Letters letters>
inline void uncount_block(const unsigned char* bytes, std::size_t n, std::uint64_t rolling,
                          std::uint64_t mask, std::uint64_t* counts) {
    for (std::size_t i = 0; i < n; ++i) {
        rolling = rolling * 4 + kBaseCode<letters>[bytes[i]];
        --counts[rolling & mask];
    }
}

/// What a counter does with a byte that is not a base.
enum class Invalid {
    kStop,  // the first one ends counting; the caller decides whether that is an error
    kSkip,  // windows holding it are left out, and counting goes on after it
};

/// Count lists up to this size stay in the core's own caches; larger ones are prefetched.
inline constexpr std::size_t kCachedCounts = std::size_t{1} << 16;

/// A piece this many times longer than its count list is counted into several tables in turn
/// (four up to k = 5, two at k = 6, where they still fit the fast caches; one beyond): the extra
/// tables and their sum cost less than the waits they spare on repeats. Packing is what makes
/// the increments the bottleneck; the portable path, limited by its per-letter work, keeps one.
inline constexpr std::size_t kTurnsFrom = 16;

/// The one counting driver: counts the forward k-mer windows of one record whose sequence
/// arrives in pieces, into 4^k counts the caller owns and zeroed, exactly as counting the whole
/// record at once would. Windows never span records: start() begins the next. Every way of
/// counting k-mers goes through here, so each speed-up reaches them all; the policies are
/// template parameters, so the strict path pays nothing for the lenient ones:
/// - `letters`: which bytes are bases (upper case only, or soft-masked lower case too);
/// - `invalid`: a bad byte stops the record and is reported by its offset (first_bad(), from
///   which the caller builds its own error), or the windows over it are skipped.
/// Clean stretches take the fastest kernel for k: packed letter blocks up to k = 8 (grouped
/// windows on long records, several tables in turn on repeats), and beyond, where the counts
/// outgrow the caches, window indexes computed a block ahead and prefetched.
template <Letters letters, Invalid invalid>
class WindowCounter {
public:
    WindowCounter(std::uint8_t k, std::uint64_t* counts, std::uint64_t mask,
                  PackPath path = best_pack_path())
        : k_(k),
          counts_(counts),
          mask_(mask),
          path_(path),
          packed_(k >= 1 && k <= 8),
          groups_(k, counts) {}

    /// Starts a new record; counts keep adding up.
    void start() {
        finish();
        rolling_ = 0;
        run_ = 0;
        size_ = 0;
        counted_ = 0;
        first_bad_ = kNone;
    }

    /// Counts the windows that end in `piece`. With Invalid::kStop, a bad byte stops counting
    /// for the rest of the record (first_bad() says where).
    void feed(const unsigned char* bytes, std::size_t n) {
        if (invalid == Invalid::kStop && first_bad_ != kNone) {
            size_ += n;
            return;
        }
        std::size_t i = 0;
        while (i < n) {
            if (run_ + 1 >= k_) {
                // A full window's worth of letters: clean blocks take the fast kernels, and a
                // block that holds a bad byte (or a warm-up) is counted again byte by byte.
                i += count_clean(bytes + i, n - i);
                if (i == n) break;
            }
            const std::size_t stop = std::min(n, i + kKernelBlock);
            if (!count_bytes(bytes, i, stop)) {
                first_bad_ += size_;
                size_ += n;
                return;
            }
            i = stop;
        }
        size_ += n;
    }

    /// Ends the record: its counts are complete only after this (or the next start()).
    void finish() {
        groups_.drain();
        if (turns_.empty()) return;
        const std::size_t n = mask_ + 1;
        for (std::size_t t = 0; t < turns_.size(); t += n) {
            for (std::size_t i = 0; i < n; ++i) counts_[i] += turns_[t + i];
        }
        turns_ = {};
    }

    /// Bytes of the record so far.
    [[nodiscard]] std::uint64_t size() const { return size_; }
    /// Windows counted in the record.
    [[nodiscard]] std::uint64_t counted() const { return counted_; }
    /// Windows of the record left out (Invalid::kSkip), given its size.
    [[nodiscard]] std::uint64_t skipped() const {
        const std::uint64_t windows = size_ >= k_ ? size_ - k_ + 1 : 0;
        return windows - counted_;
    }
    /// The record offset of the byte that stopped counting, if one did.
    [[nodiscard]] bool stopped() const { return first_bad_ != kNone; }
    [[nodiscard]] std::uint64_t first_bad() const { return first_bad_; }

private:
    // Counts the windows ending in the clean blocks at the start of [bytes, bytes + n), the
    // window before them complete in rolling_; stops before the first block holding a bad
    // byte, counting none of its windows. Returns the bytes done.
    std::size_t count_clean(const unsigned char* bytes, std::size_t n) {
        std::size_t done = mask_ >= kCachedCounts ? count_far(bytes, n) : count_near(bytes, n);
        run_ += done;
        counted_ += done;
        return done;
    }

    std::size_t count_near(const unsigned char* bytes, std::size_t n) {
        std::size_t i = 0;
        if (packed_) {
            if (size_ + n >= groups_.worth_from()) {
                i = groups_.count({bytes, n}, rolling_, letters == Letters::kEither, path_);
            } else {
                const std::size_t size = mask_ + 1;
                const std::size_t turns = path_ == PackPath::kPortable ? 1
                                          : k_ <= 5                    ? 4
                                          : k_ == 6                    ? 2
                                                                       : 1;
                if (turns_.empty() && turns > 1 && n >= kTurnsFrom * size) {
                    turns_.assign((turns - 1) * size, 0);
                }
                std::array<std::uint64_t*, 4> tables{counts_};
                std::size_t used = 1;
                for (std::size_t t = 0; t < turns_.size(); t += size) {
                    tables[used++] = turns_.data() + t;
                }
                i = count_letter_blocks({bytes, n}, rolling_, mask_, {tables.data(), used},
                                        letters == Letters::kEither, path_);
            }
            // Stopped at a packed block holding a bad byte: the caller takes it byte by byte
            // and comes back here for the clean blocks after it.
            if (n - i >= kPackedLetters) return i;
        }
        // What is left: the letters short of a packed block.
        while (i < n) {
            const std::size_t stop = std::min(n, i + kKernelBlock);
            const std::uint64_t rolling = rolling_;
            if (!count_block<letters>(bytes + i, stop - i, rolling_, mask_, counts_)) {
                if constexpr (invalid == Invalid::kSkip) {
                    uncount_block<letters>(bytes + i, stop - i, rolling, mask_, counts_);
                }
                rolling_ = rolling;
                break;
            }
            i = stop;
        }
        return i;
    }

    // A count list larger than the caches costs a miss per window: each block's indexes are
    // computed and prefetched one block before they are counted, so the misses overlap.
    std::size_t count_far(const unsigned char* bytes, std::size_t n) {
        std::uint64_t* const counts = counts_;
        const std::uint64_t mask = mask_;
        std::uint64_t rolling = rolling_;
        std::array<std::uint64_t, kKernelBlock> first{};
        std::array<std::uint64_t, kKernelBlock> second{};
        std::uint64_t* ahead = first.data();
        std::uint64_t* due = second.data();
        std::size_t due_count = 0;
        std::size_t i = 0;
        while (i < n) {
            const std::size_t count = std::min(n - i, kKernelBlock);
            const std::uint64_t before = rolling;
            unsigned seen = 0;
            for (std::size_t j = 0; j < count; ++j) {
                const unsigned code = kBaseCode<letters>[bytes[i + j]];
                seen |= code;
                rolling = rolling * 4 + code;
                ahead[j] = rolling & mask;
                __builtin_prefetch(counts + ahead[j], 1);
            }
            for (std::size_t j = 0; j < due_count; ++j) ++counts[due[j]];
            due_count = 0;
            if ((seen & kNotBase) != 0) {
                rolling = before;
                break;
            }
            std::swap(ahead, due);
            due_count = count;
            i += count;
        }
        for (std::size_t j = 0; j < due_count; ++j) ++counts[due[j]];
        rolling_ = rolling;
        return i;
    }

    // Byte by byte, for the blocks that hold a bad byte or end a warm-up: kept out of line so
    // the loops over clean blocks stay the same small loops for every policy. With kStop,
    // returns false at a bad byte, leaving its offset in the piece in first_bad_.
    [[gnu::noinline]] bool count_bytes(const unsigned char* bytes, std::size_t i,
                                       std::size_t stop) {
        for (; i < stop; ++i) {
            const unsigned code = kBaseCode<letters>[bytes[i]];
            if (code == kNotBase) {
                if constexpr (invalid == Invalid::kStop) {
                    first_bad_ = i;
                    return false;
                }
                run_ = 0;
                continue;
            }
            rolling_ = rolling_ * 4 + code;
            if (++run_ >= k_) {
                ++counts_[rolling_ & mask_];
                ++counted_;
            }
        }
        return true;
    }

    static constexpr std::uint64_t kNone = ~std::uint64_t{0};

    std::uint8_t k_;
    std::uint64_t* counts_;
    std::uint64_t mask_;
    PackPath path_;
    bool packed_;          // k fits the packed kernel
    WindowGroups groups_;  // a long record's windows, a group at a time
    // Extra count tables for repeats, each window taking the next table in turn (counts_
    // first), summed into counts_ when the record ends.
    std::vector<std::uint64_t> turns_;
    std::uint64_t rolling_ = 0;
    std::uint64_t run_ = 0;  // bases since the last byte that is not one
    std::uint64_t size_ = 0;
    std::uint64_t counted_ = 0;
    std::uint64_t first_bad_ = kNone;
};

}  // namespace velko::kmer
