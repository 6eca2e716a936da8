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

// The reverse strand of a record with fewer windows than counts: only its non-zero counts have
// a partner to feed, and finding them is one read of the list, much cheaper than pairing every
// count. The snapshot keeps a k-mer's own reverse complement (or itself) from being read after
// it was raised.
void add_reverse_strand_sparse(std::uint8_t k, CountList& counts,
                               std::vector<std::pair<std::uint64_t, std::uint64_t>>& scratch) {
    scratch.clear();
    const std::uint64_t* const c = counts.data();
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (c[i] != 0) scratch.emplace_back(i, c[i]);
    }
    for (const auto& [index, count] : scratch) counts[reverse_complement_index(k, index)] += count;
}

}  // namespace

FastaCounts count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement) {
    try {
        fasta::Reader reader(path);
        FastaCounts results;
        CountStore store(k);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> scratch;
        while (reader.next_record()) {
            KmerCountResult result{.k = k, .total = 0, .counts = store.take()};
            SequenceCounter counter(k, result.counts);
            std::string_view piece;
            while (reader.next_piece(piece)) counter.feed(piece);
            result.total = counter.finish();
            if (use_rev_complement) {
                if (result.total < result.counts.size()) {
                    add_reverse_strand_sparse(k, result.counts, scratch);
                } else {
                    add_reverse_strand(k, result.counts);
                }
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
