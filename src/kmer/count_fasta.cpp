// Per-record k-mer counts of a FASTA file, counted as the reader streams each record past.
#include "kmer/count_fasta.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fasta/reader.hpp"
#include "kmer/count.hpp"
#include "kmer/kmers.hpp"
#include "util/fail.hpp"

namespace velko::kmer {
namespace {

constexpr std::string_view kUnwrapError = "called `Result::unwrap()` on an `Err` value: ";

constexpr std::uint64_t kMinBlockBytes = std::uint64_t{2} << 20;
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t{64} << 20;

[[noreturn]] void fail_read(std::string_view path, std::string_view cause) {
    std::string message(kUnwrapError);
    message += "Failed to read fasta from ";
    message += fasta::quote_path(path);
    message += "\n\nCaused by:\n    ";
    message += cause;
    fail(message);
}

// Zeroed count lists for the records of one file. They are carved from blocks of a quarter of
// what the results hold so far (2 to 64 MiB, or one list when a list is larger): a few system
// calls serve thousands of short records, and a result kept after the others are dropped holds
// at most one block. Every list handed out is counted against the memory limit, so a k whose
// results cannot fit fails with bad_alloc instead of getting the process killed.
class CountStore {
public:
    explicit CountStore(std::uint8_t k) : k_(k) {}

    CountList take() {
        if (list_size_ == 0) {
            // Only now: a file without records never needs 4^k counts, whatever k is.
            list_size_ = kmer_space(k_);
            list_bytes_ = saturating_mul(list_size_, sizeof(std::uint64_t));
            limit_ = memory_limit();
        }
        if (saturating_mul(live_ + 1, list_bytes_) > limit_) throw std::bad_alloc();
        if (left_ == 0) new_block();
        CountList list(block_, next_, static_cast<std::size_t>(list_size_));
        next_ += list_size_;
        --left_;
        ++live_;
        return list;
    }

private:
    void new_block() {
        const std::uint64_t wanted =
            std::clamp(saturating_mul(live_, list_bytes_) / 4, kMinBlockBytes, kMaxBlockBytes);
        const std::uint64_t lists = std::max<std::uint64_t>(1, wanted / list_bytes_);
        const std::uint64_t bytes = saturating_mul(lists, list_bytes_);
        if (bytes > limit_) throw std::bad_alloc();
        block_ = map_zeroed_block(static_cast<std::size_t>(bytes));
        next_ = static_cast<std::uint64_t*>(block_.get());
        left_ = lists;
    }

    std::uint8_t k_;
    std::uint64_t list_size_ = 0;
    std::uint64_t list_bytes_ = 0;
    std::uint64_t limit_ = 0;
    std::uint64_t live_ = 0;  // lists handed out
    std::shared_ptr<void> block_;
    std::uint64_t* next_ = nullptr;
    std::uint64_t left_ = 0;
};

// Adds each record's reverse strand to its counts, exactly, the cheapest way for the record.
// The reverse strand's windows are the reverse complements of the forward ones, so every count
// gains the forward count of its partner k-mer.
class ReverseStrand {
public:
    explicit ReverseStrand(std::uint8_t k) : k_(k) {
        if (k <= kSmallK) {
            partner_.resize(std::size_t{1} << (2 * k));
            for (std::size_t i = 0; i < partner_.size(); ++i) {
                partner_[i] = static_cast<std::uint32_t>(reverse_complement_index(k, i));
            }
        }
    }

    void add(std::uint64_t windows, CountList& counts) {
        if (!partner_.empty()) {
            add_small(counts);
        } else if (windows < counts.size() / kSparseShare) {
            add_sparse(windows, counts);
        } else {
            add_reverse_strand(k_, counts);
        }
    }

private:
    // Lists of a few KiB, as short reads have by the thousand: one branch-free pass over a copy.
    static constexpr std::uint8_t kSmallK = 6;
    // Below this share of windows per count, a record takes the sparse way, and its scratch
    // stays under half the size of its count list.
    static constexpr std::uint64_t kSparseShare = 4;

    void add_small(CountList& counts) {
        scratch_.assign(counts.begin(), counts.end());
        const std::uint64_t* const before = scratch_.data();
        std::uint64_t* const c = counts.data();
        for (std::size_t i = 0; i < counts.size(); ++i) c[i] = before[i] + before[partner_[i]];
    }

    // Few windows for a large list: only the non-zero counts have a partner to raise, and
    // finding them is one read of the list, much cheaper than pairing every count. Windows
    // bound the non-zero counts, and so the scratch.
    void add_sparse(std::uint64_t windows, CountList& counts) {
        scratch_.resize(2 * (windows + 1));
        std::uint64_t* const nonzero = scratch_.data();
        std::uint64_t* const values = nonzero + windows + 1;
        const std::uint64_t* const c = counts.data();
        std::size_t n = 0;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            nonzero[n] = i;  // kept only when the count is not zero: no branch to mispredict
            n += c[i] != 0 ? 1 : 0;
        }
        // Every value is read before any is raised: a k-mer may be its own partner's partner.
        for (std::size_t j = 0; j < n; ++j) values[j] = c[nonzero[j]];
        for (std::size_t j = 0; j < n; ++j) {
            counts[reverse_complement_index(k_, nonzero[j])] += values[j];
        }
    }

    std::uint8_t k_;
    std::vector<std::uint32_t> partner_;  // the reverse complement of every k-mer, for small k
    std::vector<std::uint64_t> scratch_;
};

}  // namespace

FastaCounts count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement) {
    try {
        fasta::Reader reader(path);
        FastaCounts results;
        CountStore store(k);
        ReverseStrand reverse(k);
        while (reader.next_record()) {
            KmerCountResult result{.k = k, .total = 0, .counts = store.take()};
            SequenceCounter counter(k, result.counts);
            std::string_view piece;
            while (reader.next_piece(piece)) counter.feed(piece);
            result.total = counter.finish();
            if (use_rev_complement) {
                reverse.add(result.total, result.counts);
                result.total *= 2;
            }
            // Ids are not looked up here: a hash map probe per record costs more than the
            // record itself for short reads, and the dict that receives the results settles
            // repeated ids the same way, the later replacing the earlier.
            results.emplace_back(std::string(reader.id()), std::move(result));
        }
        return results;
    } catch (const fasta::ReadError& error) {
        fail_read(path, error.what());
    }
}

}  // namespace velko::kmer
