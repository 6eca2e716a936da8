// Pairs of sketches that share hashes, found through an inverted index of one side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace velko::kmer {

/// Rows of sketches in compressed-row form, as SketchTable holds them: row r is
/// hashes[indptr[r], indptr[r + 1]), ascending and without repeats.
struct SketchRows {
    std::span<const std::uint64_t> indptr;
    std::span<const std::uint64_t> hashes;

    [[nodiscard]] std::size_t rows() const { return indptr.empty() ? 0 : indptr.size() - 1; }
    [[nodiscard]] std::uint64_t size(std::size_t r) const { return indptr[r + 1] - indptr[r]; }
};

/// What a pair must reach to be reported: hashes in common over the union (jaccard), over the
/// query's (containment), or over the smaller sketch's (max_containment).
enum class SketchMetric { kJaccard, kContainment, kMaxContainment };

/// Pairs found, in query order, then match order within a query.
struct SketchPairs {
    std::vector<std::uint64_t> query;
    std::vector<std::uint64_t> match;
    std::vector<std::uint64_t> intersection;
};

/// Finds, on worker threads, every pair of a query row and a match row that share a hash and
/// whose metric is at least a threshold, while the caller waits, may cancel and polls for
/// signals. With `self`, queries and matches are one table and each unordered pair of distinct
/// rows is reported once (query before match).
class CompareJob {
public:
    /// Starts comparing; `query` and `match` must outlive the job. Throws util::MemoryRefused
    /// when the index would not fit.
    CompareJob(SketchRows query, SketchRows match, bool self, SketchMetric metric, double threshold,
               unsigned threads);
    /// Cancels the workers and waits for them.
    ~CompareJob();
    CompareJob(const CompareJob&) = delete;
    CompareJob& operator=(const CompareJob&) = delete;

    /// Waits up to `milliseconds` for the workers; true once all have finished.
    [[nodiscard]] bool wait_for(unsigned milliseconds);
    /// Asks the workers to stop soon.
    void cancel() { cancelled_.store(true); }
    /// Once finished: the pairs, or the first failure of a worker, rethrown.
    [[nodiscard]] SketchPairs take();

private:
    void run();
    void build_index(unsigned threads);
    void compare(unsigned threads);

    SketchRows query_;
    SketchRows match_;
    bool self_;
    SketchMetric metric_;
    double threshold_;
    unsigned threads_;
    // The index: every hash of the match side and the row holding it, ordered by hash, then
    // row, in two arrays (12 bytes an entry).
    std::vector<std::uint64_t> index_hashes_;
    std::vector<std::uint32_t> index_rows_;
    unsigned directory_bits_ = 0;
    std::uint64_t largest_ = 0;             // the largest hash indexed
    unsigned shift_ = 0;                    // a hash's prefix is hash >> shift_
    std::vector<std::uint64_t> directory_;  // where the entries of each top-bits prefix start
    std::vector<SketchPairs> found_;        // one per chunk of query rows
    std::size_t chunk_rows_ = 1;
    std::atomic<bool> cancelled_{false};
    std::exception_ptr failure_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread driver_;  // last: it runs on the members above
};

}  // namespace velko::kmer
