// All-against-all comparison of sketches: the match side's hashes sorted into an index, each query
// row looked up in it, and the rows it meets tallied in a counter per thread.
#include "kmer/sketch_compare.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <tuple>
#include <utility>

#include "util/memory.hpp"

namespace velko::kmer {
namespace {

// Entries per prefix of the directory, about: few enough that a hash's entries are found in the
// cache line or two the directory points at, which costs 2 bytes an entry.
constexpr std::uint64_t kEntriesPerPrefix = 4;
constexpr unsigned kMostDirectoryBits = 30;
// How many hashes of a row ahead the directory, and then the entries, are fetched.
constexpr std::uint64_t kDirectoryAhead = 16;
constexpr std::uint64_t kEntriesAhead = 8;
// The prefixes are sorted in this many groups, taken by the threads in turn.
constexpr std::size_t kSortGroups = 1024;
// Query rows are compared in chunks of about this many hashes, so that threads share the work
// evenly and a cancel is seen soon.
constexpr std::uint64_t kChunkHashes = std::uint64_t{1} << 16;

// Runs body(step, state) for every step in [0, steps) on `threads` threads (the caller's among
// them), each with its own state from make(); stops early once `cancelled` is set or a step
// threw, and rethrows the first failure after every thread has stopped.
template <class Make, class Body>
void parallel_steps(unsigned threads, std::size_t steps, const std::atomic<bool>& cancelled,
                    Make&& make, Body&& body) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    const auto loop = [&] {
        try {
            auto state = make();
            for (;;) {
                const std::size_t step = next.fetch_add(1);
                if (step >= steps || failed.load() || cancelled.load()) break;
                body(step, state);
            }
        } catch (...) {
            failed.store(true);
            const std::lock_guard lock(failure_mutex);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads && t < steps; ++t) {
        try {
            helpers.emplace_back(loop);
        } catch (const std::system_error&) {
            break;  // fewer threads than asked: those running take every step
        }
    }
    loop();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

[[nodiscard]] bool reaches(SketchMetric metric, double threshold, std::uint64_t common,
                           std::uint64_t query_size, std::uint64_t match_size) {
    const auto shared = static_cast<double>(common);
    switch (metric) {
        case SketchMetric::kJaccard:
            return shared / static_cast<double>(query_size + match_size - common) >= threshold;
        case SketchMetric::kContainment:
            return shared / static_cast<double>(query_size) >= threshold;
        case SketchMetric::kMaxContainment:
            return shared / static_cast<double>(std::min(query_size, match_size)) >= threshold;
    }
    return false;
}

}  // namespace

CompareJob::CompareJob(SketchRows query, SketchRows match, bool self, SketchMetric metric,
                       double threshold, unsigned threads)
    : query_(query),
      match_(match),
      self_(self),
      metric_(metric),
      threshold_(threshold),
      threads_(std::max(1U, threads)) {
    const std::uint64_t entries = match_.hashes.size();
    directory_bits_ = std::min<unsigned>(
        kMostDirectoryBits, static_cast<unsigned>(std::bit_width(
                                std::max<std::uint64_t>(1, entries / kEntriesPerPrefix))));
    const std::uint64_t bytes = util::saturating_add(
        util::saturating_mul(entries, sizeof(std::uint64_t) + sizeof(std::uint32_t)),
        (std::uint64_t{1} << directory_bits_) * sizeof(std::uint64_t));
    util::require_memory(bytes, [&] {
        return util::MemoryNeed{.what = "comparing sketches",
                                .detail = std::to_string(entries) + " hashes indexed"};
    });
    driver_ = std::thread([this] { run(); });
}

CompareJob::~CompareJob() {
    cancel();
    if (driver_.joinable()) driver_.join();
}

bool CompareJob::wait_for(unsigned milliseconds) {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return done_; });
}

SketchPairs CompareJob::take() {
    driver_.join();
    if (failure_) std::rethrow_exception(failure_);
    SketchPairs pairs;
    std::size_t total = 0;
    for (const SketchPairs& chunk : found_) total += chunk.query.size();
    pairs.query.reserve(total);
    pairs.match.reserve(total);
    pairs.intersection.reserve(total);
    for (SketchPairs& chunk : found_) {
        pairs.query.insert(pairs.query.end(), chunk.query.begin(), chunk.query.end());
        pairs.match.insert(pairs.match.end(), chunk.match.begin(), chunk.match.end());
        pairs.intersection.insert(pairs.intersection.end(), chunk.intersection.begin(),
                                  chunk.intersection.end());
        chunk = SketchPairs{};
    }
    return pairs;
}

void CompareJob::run() {
    try {
        build_index(threads_);
        compare(threads_);
    } catch (...) {
        failure_ = std::current_exception();
    }
    const std::lock_guard lock(mutex_);
    done_ = true;
    finished_.notify_all();
}

void CompareJob::build_index(unsigned threads) {
    // Hashes of a sketch lie below its largest kept hash, a small part of the 64-bit range at a
    // large scaled: the prefixes are taken below the largest hash indexed, so they share the
    // entries evenly.
    for (const std::uint64_t hash : match_.hashes) largest_ = std::max(largest_, hash);
    const unsigned width = static_cast<unsigned>(std::bit_width(largest_));
    shift_ = width > directory_bits_ ? width - directory_bits_ : 0;
    const unsigned shift = shift_;
    const auto prefix = [shift](std::uint64_t hash) {
        return static_cast<std::size_t>(hash >> shift);
    };
    const std::size_t prefixes = std::size_t{1} << directory_bits_;
    directory_.assign(prefixes + 1, 0);
    for (const std::uint64_t hash : match_.hashes) ++directory_[prefix(hash) + 1];
    for (std::size_t p = 1; p <= prefixes; ++p) directory_[p] += directory_[p - 1];
    index_hashes_.resize(match_.hashes.size());
    index_rows_.resize(match_.hashes.size());
    std::vector<std::uint64_t> next(directory_.begin(), directory_.end() - 1);
    // Rows in order, so each prefix's entries arrive ordered by row within a hash.
    for (std::size_t r = 0; r < match_.rows(); ++r) {
        for (std::uint64_t i = match_.indptr[r]; i < match_.indptr[r + 1]; ++i) {
            const std::uint64_t hash = match_.hashes[i];
            const std::uint64_t at = next[prefix(hash)]++;
            index_hashes_[at] = hash;
            index_rows_[at] = static_cast<std::uint32_t>(r);
        }
        if (cancelled_.load(std::memory_order_relaxed)) return;
    }
    next = {};
    const std::size_t groups = std::min(kSortGroups, prefixes);
    const std::size_t per_group = (prefixes + groups - 1) / groups;
    using Entry = std::pair<std::uint64_t, std::uint32_t>;
    parallel_steps(
        threads, groups, cancelled_, [] { return std::vector<Entry>{}; },
        [&](std::size_t group, std::vector<Entry>& entries) {
            const std::size_t first = group * per_group;
            const std::size_t last = std::min(prefixes, first + per_group);
            for (std::size_t p = first; p < last; ++p) {
                const std::uint64_t begin = directory_[p];
                const std::uint64_t end = directory_[p + 1];
                if (end - begin < 2) continue;
                entries.clear();
                for (std::uint64_t i = begin; i < end; ++i) {
                    entries.emplace_back(index_hashes_[i], index_rows_[i]);
                }
                std::sort(entries.begin(), entries.end());
                for (std::uint64_t i = begin; i < end; ++i) {
                    std::tie(index_hashes_[i], index_rows_[i]) = entries[i - begin];
                }
            }
        });
}

void CompareJob::compare(unsigned threads) {
    if (cancelled_.load()) return;
    const std::size_t rows = query_.rows();
    const std::uint64_t hashes = query_.hashes.size();
    chunk_rows_ = std::max<std::size_t>(
        1, static_cast<std::size_t>(static_cast<double>(rows) * static_cast<double>(kChunkHashes) /
                                    static_cast<double>(std::max<std::uint64_t>(1, hashes))));
    const std::size_t chunks = (rows + chunk_rows_ - 1) / chunk_rows_;
    found_.assign(chunks, SketchPairs{});
    const unsigned shift = shift_;
    const std::size_t matches = match_.rows();
    struct Scratch {
        std::vector<std::uint32_t> common;
        std::vector<std::uint64_t> touched;
    };
    parallel_steps(
        threads, chunks, cancelled_,
        [&] { return Scratch{std::vector<std::uint32_t>(matches), {}}; },
        [&](std::size_t chunk, Scratch& scratch) {
            SketchPairs& out = found_[chunk];
            const std::size_t last = std::min(rows, (chunk + 1) * chunk_rows_);
            for (std::size_t q = chunk * chunk_rows_; q < last; ++q) {
                const std::uint64_t row_end = query_.indptr[q + 1];
                for (std::uint64_t i = query_.indptr[q]; i < row_end; ++i) {
                    const std::uint64_t hash = query_.hashes[i];
                    if (hash > largest_) break;  // the row's hashes ascend
                    // Each lookup misses the caches twice (the directory, then the entries):
                    // both are fetched ahead, the directory for a hash further on than the
                    // entries, whose place it gives.
                    if (i + kDirectoryAhead < row_end) {
                        const std::uint64_t later = query_.hashes[i + kDirectoryAhead];
                        if (later <= largest_) __builtin_prefetch(&directory_[later >> shift]);
                    }
                    if (i + kEntriesAhead < row_end) {
                        const std::uint64_t later = query_.hashes[i + kEntriesAhead];
                        if (later <= largest_) {
                            const std::uint64_t from = directory_[later >> shift];
                            __builtin_prefetch(index_hashes_.data() + from);
                            __builtin_prefetch(index_rows_.data() + from);
                        }
                    }
                    const auto p = static_cast<std::size_t>(hash >> shift);
                    const std::uint64_t* const indexed = index_hashes_.data();
                    const std::uint64_t* at = std::lower_bound(indexed + directory_[p],
                                                               indexed + directory_[p + 1], hash);
                    const std::uint64_t* const end = indexed + directory_[p + 1];
                    for (; at != end && *at == hash; ++at) {
                        const std::uint32_t row =
                            index_rows_[static_cast<std::size_t>(at - indexed)];
                        // Within a hash rows ascend: in one table only the rows after this one.
                        if (self_ && row <= q) continue;
                        if (scratch.common[row]++ == 0) scratch.touched.push_back(row);
                    }
                }
                std::sort(scratch.touched.begin(), scratch.touched.end());
                const std::uint64_t query_size = query_.size(q);
                for (const std::uint64_t m : scratch.touched) {
                    const std::uint64_t common = std::exchange(scratch.common[m], 0);
                    if (!reaches(metric_, threshold_, common, query_size, match_.size(m))) {
                        continue;
                    }
                    out.query.push_back(q);
                    out.match.push_back(m);
                    out.intersection.push_back(common);
                }
                scratch.touched.clear();
            }
        });
}

}  // namespace velko::kmer
