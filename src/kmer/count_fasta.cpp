// Per-record k-mer counts of a FASTA file, counted as the reader streams each record past.
#include "kmer/count_fasta.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fasta/reader.hpp"
#include "kmer/count.hpp"
#include "kmer/kmers.hpp"
#include "util/dna.hpp"
#include "util/fail.hpp"
#include "util/memory.hpp"
#include "util/messages.hpp"
#include "util/quote_path.hpp"

namespace velko::kmer {
namespace {

constexpr std::uint64_t kMinBlockBytes = std::uint64_t{256} << 10;
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t{64} << 20;
constexpr std::size_t kBatchBytes = std::size_t{64} << 10;

[[noreturn]] void fail_read(std::string_view path, std::string_view cause) {
    std::string message(util::kErrUnwrap);
    message += ": Failed to read fasta from ";
    message += util::quote_path(path);
    message += "\n\nCaused by:\n    ";
    message += cause;
    fail_in({.path = std::string(path)}, message);
}

// Zeroed count lists for the records of one file, carved from blocks of a quarter of what the
// results hold so far (256 KiB to 64 MiB, or one list when a list is larger): a few system calls
// serve thousands of short records. Every list handed out is counted against the memory limit,
// so a k whose results cannot fit fails with bad_alloc instead of getting the process killed;
// the system is asked for that limit only once the results grow large.
class CountStore {
public:
    explicit CountStore(std::uint8_t k) : k_(k) {}

    CountList take() {
        if (list_size_ == 0) {
            // Only now: a file without records never needs 4^k counts, whatever k is.
            list_size_ = kmer_space(k_);
            list_bytes_ = util::saturating_mul(list_size_, sizeof(std::uint64_t));
        }
        require(util::saturating_mul(live_ + 1, list_bytes_));
        if (pool_.room() < list_size_) new_block();
        ++live_;
        return pool_.take(static_cast<std::size_t>(list_size_));
    }

private:
    void new_block() {
        const std::uint64_t wanted =
            std::clamp(util::saturating_mul(live_, list_bytes_) / 4, kMinBlockBytes,
                       kMaxBlockBytes);
        const std::uint64_t lists = std::max<std::uint64_t>(1, wanted / list_bytes_);
        const std::uint64_t bytes = util::saturating_mul(lists, list_bytes_);
        require(bytes);
        pool_.new_block(static_cast<std::size_t>(lists * list_size_));
    }

    void require(std::uint64_t bytes) {
        if (bytes <= util::kUncheckedBytes) return;
        if (!limit_) limit_ = util::memory_limit();
        if (bytes > *limit_) throw std::bad_alloc();
    }

    std::uint8_t k_;
    std::uint64_t list_size_ = 0;
    std::uint64_t list_bytes_ = 0;
    std::optional<std::uint64_t> limit_;  // asked for once, when first needed
    std::uint64_t live_ = 0;              // lists handed out
    CountPool pool_;
};

// Adds each record's reverse strand to its counts, exactly, the cheapest way for the record.
// The reverse strand's windows are the reverse complements of the forward ones: either count
// those windows, or give every count the forward count of its partner k-mer. The first costs
// per window, the second per k-mer of the list, so a record takes the first while it has few
// windows for its k. Its reverse-complement window codes are kept as its pieces stream past,
// up to a bound; past the bound the record pairs its counts instead.
class ReverseStrand {
public:
    explicit ReverseStrand(std::uint8_t k) : k_(k) {
        if (k <= kSmallK) {
            partner_.resize(std::size_t{1} << (2 * k));
            for (std::size_t i = 0; i < partner_.size(); ++i) {
                partner_[i] = static_cast<std::uint32_t>(reverse_complement_index(k, i));
            }
        } else if (k <= kMaxRepresentableK) {
            limit_ = std::min((std::uint64_t{1} << (2 * k)) / 4, kMostWindowsKept);
            top_shift_ = 2U * (k - 1U);
        }
    }

    /// Starts the next record.
    void start() {
        windows_.clear();
        letters_ = 0;
        rc_code_ = 0;
        keeping_ = limit_ > 0;
    }

    /// Sees the next piece of the record's text.
    void feed(std::string_view piece) {
        if (!keeping_) return;
        for (const char byte : piece) {
            // A byte other than A, C, G, T yields a wrong code, but then the forward count of
            // the record aborts (some window holds that byte), and this one is never used.
            const std::uint64_t complement =
                3U - (util::kDnaCode[static_cast<unsigned char>(byte)] & 3U);
            rc_code_ = (rc_code_ >> 2) | (complement << top_shift_);
            if (++letters_ < k_) continue;
            if (windows_.size() == limit_) {
                keeping_ = false;
                return;
            }
            windows_.push_back(rc_code_);
        }
    }

    /// Adds the reverse strand of the record just counted.
    void add(CountList& counts) {
        if (!partner_.empty()) {
            add_small(counts);
        } else if (keeping_) {
            std::uint64_t* const c = counts.data();
            for (const std::uint64_t window : windows_) ++c[window];
        } else {
            add_reverse_strand(k_, counts);
        }
    }

private:
    // Lists of a few KiB, as short reads have by the thousand: one branch-free pass over a copy.
    static constexpr std::uint8_t kSmallK = 6;
    // Keeping more windows than a quarter of the list, or than this, costs more than pairing.
    static constexpr std::uint64_t kMostWindowsKept = std::uint64_t{1} << 20;

    void add_small(CountList& counts) {
        scratch_.assign(counts.begin(), counts.end());
        const std::uint64_t* const before = scratch_.data();
        std::uint64_t* const c = counts.data();
        for (std::size_t i = 0; i < counts.size(); ++i) c[i] = before[i] + before[partner_[i]];
    }

    std::uint8_t k_;
    std::vector<std::uint32_t> partner_;  // the reverse complement of every k-mer, for small k
    std::vector<std::uint64_t> scratch_;
    std::uint64_t limit_ = 0;             // most windows kept per record; 0 when none are
    unsigned top_shift_ = 0;              // where a new letter enters the reverse-complement code
    std::vector<std::uint64_t> windows_;  // reverse-complement codes of the record's windows
    std::uint64_t letters_ = 0;           // bytes of the record seen
    std::uint64_t rc_code_ = 0;
    bool keeping_ = false;
};

}  // namespace

FastaCounts count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement) {
    try {
        fasta::Reader reader(path);
        FastaCounts results;
        CountStore store(k);
        ReverseStrand reverse(k);
        std::string batch;
        while (reader.next_record()) {
            KmerCountResult result{.k = k, .total = 0, .counts = store.take()};
            SequenceCounter counter(k, result.counts);
            if (use_rev_complement) reverse.start();
            // Lines are gathered into larger pieces: counting a piece has a fixed cost that
            // 60-letter lines would pay a million times over.
            const auto count = [&](std::string_view text) {
                counter.feed(text);
                if (use_rev_complement) reverse.feed(text);
            };
            std::string_view piece;
            while (reader.next_piece(piece)) {
                if (batch.size() + piece.size() > kBatchBytes && !batch.empty()) {
                    count(batch);
                    batch.clear();
                }
                if (piece.size() >= kBatchBytes) {
                    count(piece);
                } else {
                    batch.append(piece);
                }
            }
            if (!batch.empty()) {
                count(batch);
                batch.clear();
            }
            result.total = counter.finish();
            if (use_rev_complement) {
                reverse.add(result.counts);
                result.total *= 2;
            }
            // Ids are not looked up here: a hash map probe per record costs more than the
            // record itself for short reads, and the dict that receives the results settles
            // repeated ids the same way, the later replacing the earlier.
            results.emplace_back(std::string(reader.id()), std::move(result));
        }
        return results;
    } catch (const ReadError& error) {
        fail_read(path, error.what());
    }
}

}  // namespace velko::kmer
