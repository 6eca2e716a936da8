// Sparse k-mer counts: 2-bit rolling codes collected per row, counted by radix sort.
#include "kmer/sparse.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string_view>
#include <thread>
#include <utility>

#include "fasta/reader.hpp"
#include "kmer/count_list.hpp"
#include "kmer/record_walker.hpp"
#include "kmer/row_facts.hpp"
#include "kmer/window_kernel.hpp"
#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"
#include "util/os_file.hpp"

namespace velko::kmer {
namespace {

// Occurrences are rolled into a buffer this size, small enough to stay in the core's caches,
// and moved from there into the row in bulk.
constexpr std::size_t kRollBuffer = std::size_t{1} << 15;
// The input is rolled this many bytes at a time, so both strands' occurrences of a slice fit
// the buffer.
constexpr std::size_t kRollSlice = kRollBuffer / 2;
// A row's occurrences stay in one array up to this many; past it they go by prefix into buckets
// of chunks, which need no copy to grow and are sorted one at a time.
constexpr std::size_t kFlatMost = std::size_t{1} << 21;
constexpr unsigned kPrefixBits = 8;
// A prefix of up to this many bits is taken instead where it saves the occurrences a byte each.
constexpr unsigned kWidestPrefixBits = 10;
// The bytes of one chunk of every bucket together: the chunks being filled take about as much
// whatever the number of buckets.
constexpr std::size_t kChunkBytesAll = std::size_t{40} << 20;
// The fewest and most entries of a chunk (Occurrences::chunk_entries).
constexpr std::size_t kLeastChunkEntries = std::size_t{1} << 10;
constexpr std::size_t kMostChunkEntries = std::size_t{1} << 15;
// Up to this many occurrences a row is sorted by comparison; radix passes cost more than they
// save on so few.
constexpr std::size_t kComparisonSortMost = 64;
// Up to this many occurrences (128 KiB) are sorted in one part.
constexpr std::size_t kOnePartMost = std::size_t{1} << 14;
// Larger sets are split into parts of about this many (two arrays of them fit the core's
// nearest cache), by at most kMostSplitBits of their top bits.
constexpr std::size_t kPartKeys = std::size_t{1} << 11;
constexpr unsigned kMostSplitBits = 12;
// A bucket larger than this (input of a few k-mers repeated) is sorted in place by comparison
// rather than by radix passes, which would need a second copy of it.
constexpr std::size_t kRadixBucketMost = std::size_t{1} << 23;

constexpr std::uint64_t kNarrowMost = UINT32_MAX;
// A stretch of occurrences that repeats every kRepeatPeriod codes (a homopolymer, a di-, tri-,
// tetra- or hexanucleotide repeat, on one strand or, interleaved, on both) and is at least
// kRepeatLeast long is counted as it streams instead of being kept.
constexpr std::size_t kRepeatPeriod = 12;
constexpr std::size_t kRepeatLeast = 128;
// The most codes a row counts that way; a row of more is no low-complexity input, and its
// stretches are kept like any occurrence.
constexpr std::size_t kMostRepeats = 96;

[[nodiscard]] std::uint64_t code_mask(unsigned bits) {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Reserves room for `more` entries past the end of each of a row table's arrays. Throws
// std::bad_alloc.
void reserve_runs(std::vector<std::uint64_t>& codes, SparseCounts& counts, std::size_t more) {
    const auto reserve = [more](auto& items) { items.reserve(items.size() + more); };
    reserve(codes);
    if (counts.is_wide) {
        reserve(counts.wide);
    } else {
        reserve(counts.narrow);
    }
}

// The digit width of each radix pass over `n` keys: wide enough for few passes, narrow enough
// that a pass's histogram stays small beside the keys it sorts (a histogram's prefix sum costs
// a step per slot, whatever n).
[[nodiscard]] unsigned digit_bits(std::size_t n) {
    const auto log = static_cast<unsigned>(std::bit_width(n));
    return std::clamp(log > 2 ? log - 2 : 1U, 6U, 11U);
}

// LSD radix passes over [keys, keys + n) on `passes` digits of `digit` bits from the lowest, all
// histograms taken in one read of the keys; passes whose digit is the same in every key are
// skipped. Returns which of keys and spare holds the result.
template <unsigned passes>
std::uint64_t* radix_passes(std::uint64_t* keys, std::uint64_t* spare, std::size_t n,
                            unsigned digit) {
    // Parts are often a few thousand keys: only the histograms used are cleared.
    constexpr std::size_t kMostSlots = std::size_t{1} << 11;
    std::array<std::array<std::uint32_t, kMostSlots>, passes> histograms;
    const std::size_t slots = std::size_t{1} << digit;
    const std::uint64_t mask = slots - 1;
    for (auto& histogram : histograms) std::fill_n(histogram.begin(), slots, 0U);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = keys[i];
        for (unsigned p = 0; p < passes; ++p) ++histograms[p][(key >> (digit * p)) & mask];
    }
    for (unsigned p = 0; p < passes; ++p) {
        auto& histogram = histograms[p];
        const unsigned shift = digit * p;
        if (histogram[(keys[0] >> shift) & mask] == n) continue;
        std::uint32_t at = 0;
        for (std::size_t s = 0; s < slots; ++s) at += std::exchange(histogram[s], at);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = keys[i];
            spare[histogram[(key >> shift) & mask]++] = key;
        }
        std::swap(keys, spare);
    }
    return keys;
}

// Sorts [keys, keys + n) (fewer than 2^32) ascending on their low `bits` bits (the others being
// equal) through `spare` (as large); returns which of the two holds the result.
std::uint64_t* radix_sort(std::uint64_t* keys, std::uint64_t* spare, std::size_t n, unsigned bits) {
    if (n <= kComparisonSortMost || bits == 0) {
        std::sort(keys, keys + n);
        return keys;
    }
    const unsigned widest = digit_bits(n);
    const unsigned passes = (bits + widest - 1) / widest;
    // Digits as even as the passes allow: 26 bits in three passes are 9, 9 and 8.
    const unsigned digit = (bits + passes - 1) / passes;
    switch (passes) {
        case 1:
            return radix_passes<1>(keys, spare, n, digit);
        case 2:
            return radix_passes<2>(keys, spare, n, digit);
        case 3:
            return radix_passes<3>(keys, spare, n, digit);
        case 4:
            return radix_passes<4>(keys, spare, n, digit);
        case 5:
            return radix_passes<5>(keys, spare, n, digit);
        case 6:
            return radix_passes<6>(keys, spare, n, digit);
        case 7:
            return radix_passes<7>(keys, spare, n, digit);
        case 8:
            return radix_passes<8>(keys, spare, n, digit);
        case 9:
            return radix_passes<9>(keys, spare, n, digit);
        case 10:
            return radix_passes<10>(keys, spare, n, digit);
        default:
            return radix_passes<11>(keys, spare, n, digit);
    }
}

// Sorts the `n` codes that `each_key(f)` hands to f one by one (equal above their low `bits`
// bits) and appends their runs in order. A first pass splits them by their top bits into
// `spare`, into parts of about kPartKeys, small enough for the core's nearest cache, where the
// passes over the rest cost little; that pass is the only one that misses it. `each_key` is
// called at most twice. `spare` is resized to n, `keys` to n or to the largest part.
template <class EachKey, class Append>
void sort_and_count(EachKey&& each_key, std::size_t n, std::vector<std::uint64_t>& keys,
                    std::vector<std::uint64_t>& spare, unsigned bits, Append&& append) {
    if (n <= kOnePartMost || bits <= 8 || n > kRadixBucketMost) {
        keys.resize(n);
        if (n <= kRadixBucketMost) spare.resize(n);
        std::size_t at = 0;
        each_key([&](std::uint64_t key) { keys[at++] = key; });
        if (n > kRadixBucketMost) {
            // Input of a few k-mers repeated: one bucket holds most of it, sorted in place.
            std::sort(keys.begin(), keys.end());
            append(std::span<const std::uint64_t>(keys));
            return;
        }
        const std::uint64_t* sorted = radix_sort(keys.data(), spare.data(), n, bits);
        append(std::span<const std::uint64_t>(sorted, n));
        return;
    }
    spare.resize(n);
    const unsigned split =
        std::min({static_cast<unsigned>(std::bit_width(n / kPartKeys)), kMostSplitBits, bits - 1});
    const unsigned top = bits - split;
    const std::size_t parts = std::size_t{1} << split;
    const std::uint64_t mask = parts - 1;
    std::array<std::uint32_t, (std::size_t{1} << kMostSplitBits) + 1> starts;
    std::fill_n(starts.begin(), parts + 1, 0U);
    each_key([&](std::uint64_t key) { ++starts[((key >> top) & mask) + 1]; });
    std::size_t largest = 0;
    for (std::size_t b = 1; b <= parts; ++b) {
        largest = std::max<std::size_t>(largest, starts[b]);
        starts[b] += starts[b - 1];
    }
    keys.resize(largest);
    std::array<std::uint32_t, std::size_t{1} << kMostSplitBits> next;
    std::copy_n(starts.begin(), parts, next.begin());
    each_key([&](std::uint64_t key) { spare[next[(key >> top) & mask]++] = key; });
    for (std::size_t b = 0; b < parts; ++b) {
        const std::size_t size = starts[b + 1] - starts[b];
        if (size == 0) continue;
        const std::uint64_t* sorted = radix_sort(spare.data() + starts[b], keys.data(), size, top);
        append(std::span<const std::uint64_t>(sorted, size));
    }
}

// sort_and_count over the codes of `codes`.
template <class Append>
void sort_and_count(std::span<const std::uint64_t> codes, std::vector<std::uint64_t>& keys,
                    std::vector<std::uint64_t>& spare, unsigned bits, Append&& append) {
    sort_and_count(
        [codes](auto&& f) {
            for (const std::uint64_t key : codes) f(key);
        },
        codes.size(), keys, spare, bits, std::forward<Append>(append));
}

// Appends each run of equal codes in sorted `sorted` that is at least `min_count` long, or whose
// code is in sorted `keep` (a code whose count is not complete yet). Runs are found without a
// branch on the keys: most runs are short and of random length, and a branch per run would
// mispredict about as often as it is taken.
template <class Count>
void append_runs(std::span<const std::uint64_t> sorted, std::uint64_t min_count,
                 std::vector<std::uint64_t>& codes, std::vector<Count>& counts,
                 std::span<const std::uint64_t> keep = {}) {
    const std::size_t n = sorted.size();
    if (n == 0) return;
    const std::size_t start = codes.size();
    codes.resize(start + n);
    counts.resize(start + n);
    std::uint64_t* const code = codes.data() + start;
    Count* const count = counts.data() + start;
    // Each key writes its code at the current run and its position as the run's end so far;
    // a key unlike the one before it first moves to the next run.
    std::size_t run = 0;
    code[0] = sorted[0];
    for (std::size_t i = 1; i < n; ++i) {
        count[run] = static_cast<Count>(i);
        run += static_cast<std::size_t>(sorted[i] != sorted[i - 1]);
        code[run] = sorted[i];
    }
    count[run] = static_cast<Count>(n);
    const std::size_t runs = run + 1;
    for (std::size_t r = runs - 1; r > 0; --r) count[r] -= count[r - 1];
    std::size_t kept = runs;
    if (min_count > 1 || !keep.empty()) {
        kept = 0;
        for (std::size_t r = 0; r < runs; ++r) {
            const bool wanted =
                count[r] >= min_count ||
                (!keep.empty() && std::binary_search(keep.begin(), keep.end(), code[r]));
            code[kept] = code[r];
            count[kept] = count[r];
            kept += static_cast<std::size_t>(wanted);
        }
    }
    codes.resize(start + kept);
    counts.resize(start + kept);
}

void append_runs(std::span<const std::uint64_t> sorted, std::uint64_t min_count,
                 std::vector<std::uint64_t>& codes, SparseCounts& counts,
                 std::span<const std::uint64_t> keep = {}) {
    if (counts.is_wide) {
        append_runs(sorted, min_count, codes, counts.wide, keep);
    } else {
        append_runs(sorted, min_count, codes, counts.narrow, keep);
    }
}

// The sorted runs of one bucket, until they join the row in bucket order.
struct BucketCounts {
    std::vector<std::uint64_t> codes;
    SparseCounts counts;
    bool ready = false;
};

// Runs `body(failed)` on the calling thread and on threads - 1 helpers, each helper with `hook`
// installed for its polls; `failed` turns true once any of them threw, so that the others stop
// at their next step. The helpers are joined before this returns or throws, the caller's own
// failure first, else the first helper's.
template <class Body>
void on_threads(unsigned threads, util::InterruptHook& hook, Body&& body) {
    std::atomic<bool> failed{false};
    std::vector<std::thread> helpers;
    // Helpers stop at their next step when this thread unwinds (an interrupt, a refusal) and
    // are joined before what they read goes away.
    struct Joiner {
        std::vector<std::thread>& threads;
        std::atomic<bool>& failed;
        ~Joiner() {
            failed.store(true);
            for (std::thread& thread : threads) thread.join();
        }
    } joiner{helpers, failed};
    std::exception_ptr helper_failure;
    std::mutex failure_mutex;
    for (unsigned t = 1; t < threads; ++t) {
        helpers.emplace_back([&] {
            const util::InterruptScope scope(hook);
            try {
                body(failed);
            } catch (...) {
                failed.store(true);
                const std::lock_guard lock(failure_mutex);
                if (!helper_failure) helper_failure = std::current_exception();
            }
        });
    }
    body(failed);
    for (std::thread& thread : helpers) thread.join();
    helpers.clear();
    if (helper_failure) std::rethrow_exception(helper_failure);
}

// A code and how many times it occurs: what a bucket too large to sort in its memory share is
// reduced to on disk, a piece at a time.
struct Run {
    std::uint64_t code;
    std::uint64_t count;
};

// A part of a bucket on disk: its occurrences as they came, or runs (each piece's codes sorted
// and counted, so that a code may have a run from every piece).
struct Partition {
    util::OsFile file;
    std::uint64_t entries = 0;
    bool runs = false;
};

// A partition too large for its memory share is split by this many more bits of its codes,
// into as many temporary files open at once.
constexpr unsigned kSplitBits = 4;
// The least memory a thread counts a split bucket in, so that pieces stay large enough for the
// runs of one to gather many occurrences of a frequent k-mer.
constexpr std::uint64_t kLeastShare = std::uint64_t{1} << 20;

template <class T>
std::span<char> as_writable_bytes(std::vector<T>& items) {
    return {reinterpret_cast<char*>(items.data()), items.size() * sizeof(T)};
}

// Sorts `runs` by code and adds up the counts of each code into one run.
void merge_runs(std::vector<Run>& runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.code < b.code; });
    std::size_t kept = 0;
    for (const Run& run : runs) {
        if (kept > 0 && runs[kept - 1].code == run.code) {
            runs[kept - 1].count += run.count;
        } else {
            runs[kept++] = run;
        }
    }
    runs.resize(kept);
}

// Calls `emit(code, count)` for each run of equal codes in sorted `sorted`.
template <class Emit>
void emit_runs(std::span<const std::uint64_t> sorted, Emit& emit) {
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i + 1;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        emit(sorted[i], std::uint64_t{j - i});
        i = j;
    }
}

// The occurrences of one row: in one array while few, then by prefix in buckets of chunks.
// Everything held is charged to the reader's memory account.
class Occurrences {
public:
    Occurrences(unsigned bits, const SparseOptions& options, util::MemoryAccount& account)
        : bits_(bits),
          prefix_bits_(prefix_bits(bits)),
          width_(std::max(1U, (bits - prefix_bits_ + 7) / 8)),
          options_(options),
          account_(account),
          chunk_entries_(chunk_entries(options.memory)) {}

    ~Occurrences() { account_.release(charged_); }
    Occurrences(const Occurrences&) = delete;
    Occurrences& operator=(const Occurrences&) = delete;

    [[nodiscard]] std::uint64_t size() const { return size_; }
    // A row still in one array, and that array: such a row may be counted elsewhere, and then
    // emptied with clear().
    [[nodiscard]] bool is_flat() const { return buckets_.empty() && repeats_.empty(); }
    [[nodiscard]] std::span<const std::uint64_t> flat() const { return flat_; }
    void clear() {
        flat_.clear();
        size_ = 0;
        stored_ = 0;
    }

    // Takes the occurrences rolled into [data, data + n).
    void add(const std::uint64_t* data, std::size_t n) {
        if (n == 0) return;
        size_ += n;
        // Low-complexity input rolls a few codes over and over, each equal to the one
        // kRepeatPeriod places before it. Kept, a long poly-A record would be a bucket of one
        // k-mer that no memory bound splits; counted here, it is one count.
        std::size_t kept = 0;  // data before this is stored or counted
        for (std::size_t i = kRepeatPeriod; i < n;) {
            if (data[i] != data[i - kRepeatPeriod]) {
                ++i;
                continue;
            }
            std::size_t j = i + 1;
            while (j < n && data[j] == data[j - kRepeatPeriod]) ++j;
            // [from, j) repeats its first kRepeatPeriod codes; a stretch just counted may hold
            // some of them.
            const std::size_t from = std::max(i - kRepeatPeriod, kept);
            if (j - from >= kRepeatLeast && count_repeat(data + from, j - from)) {
                store(data + kept, from - kept);
                kept = j;
            }
            i = j;
        }
        store(data + kept, n - kept);
    }

    // Keeps the occurrences [data, data + n) to be sorted and counted at the end of the row.
    void store(const std::uint64_t* data, std::size_t n) {
        if (n == 0) return;
        stored_ += n;
        if (buckets_.empty()) {
            if (flat_.size() + n <= kFlatMost) {
                grow_flat(flat_.size() + n);
                flat_.insert(flat_.end(), data, data + n);
                return;
            }
            to_buckets();
        }
        scatter(data, n);
    }

    // Counts the row into `codes` and `counts` (appended, ascending) and empties it. Buckets
    // are sorted on `threads` threads, each installing `hook` for its polls.
    void count_into(std::vector<std::uint64_t>& codes, SparseCounts& counts, unsigned threads,
                    util::InterruptHook& hook) {
        if (size_ > kNarrowMost && !counts.is_wide) counts.widen();
        const std::size_t start = codes.size();
        std::sort(repeats_.begin(), repeats_.end());
        std::vector<std::uint64_t> keep;
        for (const auto& [code, count] : repeats_) keep.push_back(code);
        if (buckets_.empty()) {
            sort_and_count(std::span<const std::uint64_t>(flat_), keys_, scratch_, bits_,
                           [&](std::span<const std::uint64_t> sorted) {
                               append_runs(sorted, options_.min_count, codes, counts, keep);
                           });
            flat_.clear();
        } else {
            count_buckets(codes, counts, threads, hook, keep);
        }
        if (counts.is_wide) {
            add_repeats(codes, counts.wide, start);
        } else {
            add_repeats(codes, counts.narrow, start);
        }
        repeats_.clear();
        size_ = 0;
        stored_ = 0;
    }

private:
    // The bits of a code that choose its bucket: 8, or up to kWidestPrefixBits where the rest
    // then fits a byte fewer (at k = 21, 32 bits in 4 bytes instead of 34 in 5).
    [[nodiscard]] static unsigned prefix_bits(unsigned bits) {
        const unsigned least = std::min(kPrefixBits, bits);
        const unsigned bytes = (bits - least + 7) / 8;
        if (bytes > 1 && bits - 8 * (bytes - 1) <= kWidestPrefixBits) return bits - 8 * (bytes - 1);
        return least;
    }

    // Entries of a chunk: the chunks being filled, one a bucket, take about kChunkBytesAll, or
    // under a memory bound a quarter of it, so that each spill writes most of what is held.
    [[nodiscard]] std::size_t chunk_entries(std::uint64_t memory) const {
        const std::uint64_t all =
            memory == 0 ? kChunkBytesAll : std::min<std::uint64_t>(kChunkBytesAll, memory / 4);
        const std::uint64_t per_bucket = all / (std::uint64_t{width_} << prefix_bits_);
        return static_cast<std::size_t>(
            std::clamp<std::uint64_t>(per_bucket, kLeastChunkEntries, kMostChunkEntries));
    }

    struct Bucket {
        // Mapped straight from the system, so a chunk let go after sorting is memory given back
        // for the row's counts, not a hole in the heap. An occurrence is held as the bits below
        // the bucket's prefix, in the fewest whole bytes (Occurrences::width_).
        std::vector<std::shared_ptr<void>> chunks;
        std::size_t size = 0;  // in the chunks before the last while collecting; all after
        util::OsFile spill;    // occurrences written out when the row outgrew its memory
        std::size_t spilled = 0;
    };

    // Where the next occurrence of a bucket goes in its last chunk, and that chunk's end: apart
    // from the buckets, so that those of every bucket lie close together for the scatter.
    struct Fill {
        unsigned char* cursor = nullptr;
        unsigned char* limit = nullptr;
    };

    // The occurrences bucket `b` holds in memory.
    [[nodiscard]] std::size_t in_memory(std::size_t b) const {
        const Bucket& bucket = buckets_[b];
        if (bucket.chunks.empty()) return 0;
        const auto* first = static_cast<const unsigned char*>(bucket.chunks.back().get());
        return bucket.size + static_cast<std::size_t>(fills_[b].cursor - first) / width_;
    }

    // The bytes of a chunk: its entries, and room for the whole word the last one is stored
    // as.
    [[nodiscard]] std::size_t chunk_bytes() const {
        return chunk_entries_ * width_ + sizeof(std::uint64_t);
    }

    // Calls f(code) for the first `n` occurrences of bucket `b`'s chunks, in order.
    template <class F>
    void for_each_packed(std::size_t b, std::size_t n, F&& f) const {
        const Bucket& bucket = buckets_[b];
        const std::uint64_t prefix = std::uint64_t{b} << (bits_ - prefix_bits_);
        const std::uint64_t mask = code_mask(bits_ - prefix_bits_);
        for (std::size_t at = 0; at < n; at += chunk_entries_) {
            const auto* bytes =
                static_cast<const unsigned char*>(bucket.chunks[at / chunk_entries_].get());
            const std::size_t entries = std::min(chunk_entries_, n - at);
            for (std::size_t i = 0; i < entries; ++i) {
                std::uint64_t low = 0;
                std::memcpy(&low, bytes + i * width_, sizeof low);
                f(prefix | (low & mask));
            }
        }
    }

    // Adds the `length` occurrences from `stretch`, which repeat every kRepeatPeriod, to the
    // row's repeat counts; false, counting nothing, when that would pass kMostRepeats codes.
    bool count_repeat(const std::uint64_t* stretch, std::size_t length) {
        const auto find = [&](std::uint64_t code) {
            return std::find_if(repeats_.begin(), repeats_.end(),
                                [code](const auto& repeat) { return repeat.first == code; });
        };
        std::size_t added = 0;
        for (std::size_t r = 0; r < kRepeatPeriod; ++r) {
            const bool earlier = std::find(stretch, stretch + r, stretch[r]) != stretch + r;
            if (!earlier && find(stretch[r]) == repeats_.end()) ++added;
        }
        if (repeats_.size() + added > kMostRepeats) return false;
        for (std::size_t r = 0; r < kRepeatPeriod; ++r) {
            // Positions r, r + period, ... of the stretch.
            const std::uint64_t count = (length - r + kRepeatPeriod - 1) / kRepeatPeriod;
            const auto at = find(stretch[r]);
            if (at == repeats_.end()) {
                repeats_.emplace_back(stretch[r], count);
            } else {
                at->second += count;
            }
        }
        return true;
    }

    // Merges the repeat counts (sorted) into the row's codes and counts from `start`, ascending,
    // where the codes they name were kept whatever their count; a code that still falls short
    // of min_count then goes.
    template <class Count>
    void add_repeats(std::vector<std::uint64_t>& codes, std::vector<Count>& counts,
                     std::size_t start) {
        for (const auto& [code, count] : repeats_) {
            const auto at = std::lower_bound(codes.begin() + static_cast<std::ptrdiff_t>(start),
                                             codes.end(), code);
            const auto index = at - codes.begin();
            if (at != codes.end() && *at == code) {
                counts[static_cast<std::size_t>(index)] += static_cast<Count>(count);
            } else {
                codes.insert(at, code);
                counts.insert(counts.begin() + index, static_cast<Count>(count));
            }
            if (counts[static_cast<std::size_t>(index)] < options_.min_count) {
                codes.erase(codes.begin() + index);
                counts.erase(counts.begin() + index);
            }
        }
    }

    [[noreturn]] void fail_spill(int error) const {
        throw util::os_failure(util::FileKind::kNone, util::FileStep::kWrite,
                               options_.spill_directory, error);
    }

    // Writes every bucket's occurrences to its temporary file and lets its chunks go: the row
    // goes on in memory from empty, its prefix partitions growing on disk.
    void spill_all() {
        for (std::size_t b = 0; b < buckets_.size(); ++b) {
            Bucket& bucket = buckets_[b];
            if (in_memory(b) == 0) continue;
            write_chunks(b, in_memory(b));
            const std::uint64_t freed = bucket.chunks.size() * chunk_bytes();
            bucket.chunks.clear();
            fills_[b] = Fill{};
            bucket.size = 0;
            charged_release(freed);
            chunk_bytes_ -= freed;
        }
    }

    // Appends the codes of the first `n` occurrences of bucket `b`'s chunks to its temporary
    // file (opened on first use), whole; the chunks stay, for the caller to let go.
    void write_chunks(std::size_t b, std::size_t n) {
        Bucket& bucket = buckets_[b];
        if (!bucket.spill.is_open()) {
            bucket.spill = util::OsFile::open_temporary(options_.spill_directory);
            if (!bucket.spill.is_open()) fail_spill(bucket.spill.error());
        }
        std::vector<std::uint64_t> codes;
        codes.reserve(std::min(chunk_entries_, n));
        const auto flush = [&] {
            if (!bucket.spill.write_all({reinterpret_cast<const char*>(codes.data()),
                                         codes.size() * sizeof(std::uint64_t)})) {
                fail_spill(bucket.spill.error());
            }
            util::poll_interrupt(codes.size() * sizeof(std::uint64_t));
            codes.clear();
        };
        for_each_packed(b, n, [&](std::uint64_t code) {
            codes.push_back(code);
            if (codes.size() == chunk_entries_) flush();
        });
        if (!codes.empty()) flush();
        bucket.spilled += n;
    }

    // Reads bytes [offset, offset + buffer.size()) of a temporary file into `buffer`.
    void read_back(util::OsFile& file, std::span<char> buffer, std::uint64_t offset) const {
        for (std::size_t at = 0; at < buffer.size();) {
            const std::ptrdiff_t got = file.read_at(buffer.subspan(at), offset + at);
            if (got <= 0) fail_spill(got < 0 ? file.error() : EIO);
            at += static_cast<std::size_t>(got);
        }
    }

    // Reads back the occurrences a bucket spilled, into `out`.
    void read_spilled(Bucket& bucket, std::vector<std::uint64_t>& out) const {
        out.resize(bucket.spilled);
        read_back(bucket.spill, as_writable_bytes(out), 0);
        bucket.spill = util::OsFile{};
    }

    // Counts a partition of codes alike above their low `low_bits` bits in about `share` bytes
    // of memory, calling `emit(code, count)` for each code in ascending order. One that does
    // not fit is read a piece at a time, each piece's codes sorted and counted into runs that go
    // by their next kSplitBits bits to partitions of their own, counted in turn: a few distinct
    // k-mers repeated shrink to a few runs a piece, many distinct ones spread over the
    // partitions, and once no bits are left every code of a partition is the same.
    template <class Emit>
    void count_partition(Partition& part, unsigned low_bits, std::uint64_t share,
                         Emit& emit) const {
        const auto n = static_cast<std::size_t>(part.entries);
        if (n == 0) return;
        if (!part.runs && n <= share / (3 * sizeof(std::uint64_t))) {
            std::vector<std::uint64_t> codes(n);
            read_back(part.file, as_writable_bytes(codes), 0);
            part.file = util::OsFile{};
            std::vector<std::uint64_t> keys;
            std::vector<std::uint64_t> spare;
            sort_and_count(std::span<const std::uint64_t>(codes), keys, spare, low_bits,
                           [&](std::span<const std::uint64_t> sorted) { emit_runs(sorted, emit); });
            return;
        }
        if (part.runs && n <= share / sizeof(Run)) {
            std::vector<Run> runs(n);
            read_back(part.file, as_writable_bytes(runs), 0);
            part.file = util::OsFile{};
            merge_runs(runs);
            for (const Run& run : runs) emit(run.code, run.count);
            return;
        }
        // Occurrences of one piece and their runs take a share.
        const std::size_t piece = std::max<std::size_t>(
            1, static_cast<std::size_t>(
                   share / (part.runs ? sizeof(Run) : sizeof(std::uint64_t) + sizeof(Run))));
        std::vector<std::uint64_t> codes;
        std::vector<Run> runs;
        const auto read_piece = [&](std::size_t at) {
            const std::size_t size = std::min(piece, n - at);
            if (part.runs) {
                runs.resize(size);
                read_back(part.file, as_writable_bytes(runs), at * sizeof(Run));
                merge_runs(runs);
            } else {
                codes.resize(size);
                read_back(part.file, as_writable_bytes(codes), at * sizeof(std::uint64_t));
                std::sort(codes.begin(), codes.end());
                runs.clear();
                auto add = [&](std::uint64_t code, std::uint64_t count) {
                    runs.push_back({code, count});
                };
                emit_runs(std::span<const std::uint64_t>(codes), add);
            }
            util::poll_interrupt(size * sizeof(std::uint64_t));
        };
        if (low_bits == 0) {
            // Every code of the partition is the same: its count is the sum of its entries'.
            std::uint64_t code = 0;
            std::uint64_t count = 0;
            for (std::size_t at = 0; at < n; at += piece) {
                read_piece(at);
                code = runs.front().code;
                for (const Run& run : runs) count += run.count;
            }
            part.file = util::OsFile{};
            emit(code, count);
            return;
        }
        const unsigned sub_bits = std::min(kSplitBits, low_bits);
        const unsigned shift = low_bits - sub_bits;
        const std::uint64_t sub_mask = (std::uint64_t{1} << sub_bits) - 1;
        std::array<Partition, std::size_t{1} << kSplitBits> parts;
        for (std::size_t at = 0; at < n; at += piece) {
            read_piece(at);
            // The runs ascend, so those of one part lie together.
            for (std::size_t i = 0; i < runs.size();) {
                const std::uint64_t s = (runs[i].code >> shift) & sub_mask;
                std::size_t j = i + 1;
                while (j < runs.size() && ((runs[j].code >> shift) & sub_mask) == s) ++j;
                Partition& sub = parts[s];
                if (!sub.file.is_open()) {
                    sub.file = util::OsFile::open_temporary(options_.spill_directory);
                    if (!sub.file.is_open()) fail_spill(sub.file.error());
                    sub.runs = true;
                }
                if (!sub.file.write_all(
                        {reinterpret_cast<const char*>(runs.data() + i), (j - i) * sizeof(Run)})) {
                    fail_spill(sub.file.error());
                }
                sub.entries += j - i;
                i = j;
            }
        }
        part.file = util::OsFile{};
        codes = {};
        runs = {};
        for (Partition& sub : parts) count_partition(sub, shift, share, emit);
    }

    void charge(std::uint64_t bytes) {
        account_.charge(bytes, [&] {
            return util::MemoryNeed{.what = "the k-mer occurrences of a row",
                                    .detail = std::to_string(size_) + " occurrences"};
        });
        charged_ += bytes;
    }

    void grow_flat(std::size_t wanted) {
        if (wanted <= flat_.capacity()) return;
        const std::size_t capacity = std::max(wanted, flat_.capacity() * 2);
        charge((capacity - flat_.capacity()) * sizeof(std::uint64_t));
        flat_.reserve(capacity);
    }

    void to_buckets() {
        buckets_.resize(std::size_t{1} << prefix_bits_);
        fills_.resize(buckets_.size());
        std::vector<std::uint64_t> flat = std::move(flat_);
        flat_ = {};
        scatter(flat.data(), flat.size());
    }

    void scatter(const std::uint64_t* data, std::size_t n) {
        const unsigned shift = bits_ - prefix_bits_;
        const unsigned width = width_;
        Fill* const fills = fills_.data();
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t b = data[i] >> shift;
            Fill& fill = fills[b];
            if (fill.cursor == fill.limit) new_chunk(b);
            // The whole code is stored; the next entry overwrites the bytes above the width.
            std::memcpy(fill.cursor, &data[i], sizeof data[i]);
            fill.cursor += width;
        }
    }

    void new_chunk(std::size_t b) {
        Bucket& bucket = buckets_[b];
        const std::uint64_t bytes = chunk_bytes();
        const bool spills = !options_.spill_directory.empty();
        if (options_.memory != 0 && chunk_bytes_ + bytes > options_.memory) {
            if (!spills) {
                throw util::MemoryRefused(chunk_bytes_ + bytes, options_.memory,
                                          util::MemoryNeed{
                                              .what = "the k-mer occurrences of a row",
                                              .detail = std::to_string(size_) + " occurrences",
                                          });
            }
            spill_all();
        }
        try {
            charge(bytes);
        } catch (const util::MemoryRefused&) {
            if (!spills || chunk_bytes_ == 0) throw;
            // What the machine allows is the bound when none was given: past it, out of core.
            account_.release(bytes);
            spill_all();
            charge(bytes);
        }
        chunk_bytes_ += bytes;
        if (!bucket.chunks.empty()) bucket.size += chunk_entries_;
        bucket.chunks.push_back(map_zeroed_block(chunk_bytes()));
        Fill& fill = fills_[b];
        fill.cursor = static_cast<unsigned char*>(bucket.chunks.back().get());
        fill.limit = fill.cursor + chunk_entries_ * width_;
    }

    // Sorts and counts each bucket, on `threads` threads taking buckets in turn; each bucket's
    // runs join the row as soon as those of every bucket before it have. The row's arrays are
    // reserved for every occurrence being distinct, which costs address space only: pages
    // arrive as runs are written, while the chunks sorted are let go.
    void count_buckets(std::vector<std::uint64_t>& codes, SparseCounts& counts, unsigned threads,
                       util::InterruptHook& hook, std::span<const std::uint64_t> keep) {
        const bool spilled = std::any_of(buckets_.begin(), buckets_.end(),
                                         [](const Bucket& bucket) { return bucket.spilled != 0; });
        // What each thread may sort a spilled bucket in: one that needs more is counted from
        // disk in parts (count_partition), so that a bound holds whatever the input.
        const std::uint64_t budget =
            !spilled ? 0 : (options_.memory != 0 ? options_.memory : util::memory_headroom() / 2);
        const std::uint64_t share = std::max(kLeastShare, budget / threads);
        std::vector<char> split(buckets_.size());
        std::uint64_t per_thread = 0;
        for (std::size_t b = 0; b < buckets_.size(); ++b) {
            Bucket& bucket = buckets_[b];
            bucket.size = in_memory(b);
            const std::size_t n = bucket.size + bucket.spilled;
            // Each thread reads back what spilled, gathers the bucket into one array and radix
            // sorts it through a second.
            const std::uint64_t need =
                (std::uint64_t{bucket.spilled} + n + std::min(n, kRadixBucketMost)) *
                sizeof(std::uint64_t);
            split[b] = bucket.spilled != 0 && need > share;
            per_thread = std::max(per_thread, split[b] ? share : need);
        }
        charge(std::uint64_t{threads} * per_thread);
        const unsigned shift = bits_ - prefix_bits_;
        const bool wide = counts.is_wide;
        std::vector<BucketCounts> done(buckets_.size());
        std::mutex join_mutex;
        std::size_t joined = 0;
        try {
            reserve_runs(codes, counts, stored_ + repeats_.size());
        } catch (const std::bad_alloc&) {
            // The address space is limited: the arrays grow as the runs come, each step charged.
        }
        // Under the lock: appends the runs of every finished bucket that is next in order.
        const auto join_ready = [&] {
            for (; joined < done.size() && done[joined].ready; ++joined) {
                BucketCounts& bucket = done[joined];
                charge(bucket.codes.size() * (sizeof(std::uint64_t) + (wide ? 8U : 4U)));
                codes.insert(codes.end(), bucket.codes.begin(), bucket.codes.end());
                if (wide) {
                    counts.wide.insert(counts.wide.end(), bucket.counts.wide.begin(),
                                       bucket.counts.wide.end());
                } else {
                    counts.narrow.insert(counts.narrow.end(), bucket.counts.narrow.begin(),
                                         bucket.counts.narrow.end());
                }
                bucket = BucketCounts{};
                bucket.ready = true;
            }
        };
        std::atomic<std::size_t> next{0};
        on_threads(threads, hook, [&](const std::atomic<bool>& failed) {
            std::vector<std::uint64_t> keys;
            std::vector<std::uint64_t> spare;
            std::vector<std::uint64_t> from_disk;
            for (;;) {
                const std::size_t b = next.fetch_add(1);
                if (b >= buckets_.size() || failed.load(std::memory_order_relaxed)) return;
                Bucket& bucket = buckets_[b];
                BucketCounts& out = done[b];
                if (wide) out.counts.widen();
                if (split[b] != 0) {
                    keys = {};
                    spare = {};
                    from_disk = {};
                    write_chunks(b, bucket.size);
                    Partition whole{.file = std::move(bucket.spill), .entries = bucket.spilled};
                    auto emit = [&](std::uint64_t code, std::uint64_t count) {
                        if (count < options_.min_count &&
                            !std::binary_search(keep.begin(), keep.end(), code)) {
                            return;
                        }
                        out.codes.push_back(code);
                        if (wide) {
                            out.counts.wide.push_back(count);
                        } else {
                            out.counts.narrow.push_back(static_cast<std::uint32_t>(count));
                        }
                    };
                    count_partition(whole, shift, share, emit);
                } else {
                    // What spilled is read back whole; what did not is unpacked as it is
                    // sorted, twice at most, rather than into an array of its own.
                    from_disk.clear();
                    if (bucket.spilled != 0) read_spilled(bucket, from_disk);
                    const auto each_key = [&](auto&& f) {
                        for (const std::uint64_t key : from_disk) f(key);
                        for_each_packed(b, bucket.size, f);
                    };
                    sort_and_count(each_key, from_disk.size() + bucket.size, keys, spare, shift,
                                   [&](std::span<const std::uint64_t> sorted) {
                                       append_runs(sorted, options_.min_count, out.codes,
                                                   out.counts, keep);
                                   });
                }
                const std::uint64_t freed = bucket.chunks.size() * chunk_bytes();
                bucket.chunks.clear();
                {
                    const std::lock_guard lock(join_mutex);
                    charged_release(freed);
                    chunk_bytes_ -= freed;
                    out.ready = true;
                    join_ready();
                }
                util::poll_interrupt(keys.size() * sizeof(std::uint64_t));
            }
        });
        charged_release(std::uint64_t{threads} * per_thread);
        buckets_.clear();
        fills_.clear();
    }

    void charged_release(std::uint64_t bytes) {
        account_.release(bytes);
        charged_ -= std::min(charged_, bytes);
    }

    unsigned bits_;
    unsigned prefix_bits_;
    unsigned width_;  // bytes an occurrence takes in a chunk
    const SparseOptions& options_;
    util::MemoryAccount& account_;
    std::uint64_t charged_ = 0;
    std::size_t chunk_entries_;
    std::uint64_t chunk_bytes_ = 0;
    std::uint64_t size_ = 0;    // occurrences taken
    std::uint64_t stored_ = 0;  // of those, kept to be sorted
    // (code, count) of the codes of repeating stretches, counted as they came.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> repeats_;
    std::vector<std::uint64_t> flat_;
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint64_t> scratch_;
    std::vector<Bucket> buckets_;
    std::vector<Fill> fills_;  // one a bucket
};

// Rows of records small enough to stay in one array, waiting to be sorted together: a record's
// sort runs on one thread, so a file of many records sorts a batch of them on every thread at
// once instead. Rows join the table in the order they were added. Everything held is charged
// to the reader's memory account.
class RecordBatch {
public:
    RecordBatch(unsigned bits, std::uint64_t min_count, util::MemoryAccount& account)
        : bits_(bits), min_count_(min_count), account_(account) {}
    ~RecordBatch() { account_.release(charged_); }
    RecordBatch(const RecordBatch&) = delete;
    RecordBatch& operator=(const RecordBatch&) = delete;

    // True once the batch holds enough occurrences to be worth sorting on every thread.
    [[nodiscard]] bool full() const { return keys_.size() >= kBatchMost; }

    // Takes a copy of a row's occurrences and the facts of its row.
    void add(std::span<const std::uint64_t> occurrences, std::string_view id, std::uint64_t windows,
             std::uint64_t skipped) {
        if (keys_.size() + occurrences.size() > keys_.capacity()) {
            const std::size_t capacity =
                std::max(keys_.size() + occurrences.size(), 2 * keys_.capacity());
            charge((capacity - keys_.capacity()) * sizeof(std::uint64_t));
            keys_.reserve(capacity);
        }
        keys_.insert(keys_.end(), occurrences.begin(), occurrences.end());
        rows_.push_back({std::string(id), windows, skipped, keys_.size()});
    }

    // Sorts and counts the rows waiting, on `threads` threads taking rows in turn, and appends
    // them to `out` in order; the batch is empty after.
    void flush(SparseTable& out, unsigned threads, util::InterruptHook& hook) {
        if (rows_.empty()) return;
        // A row's counts take at most a code and a count per occurrence.
        const std::uint64_t counted = keys_.size() * (sizeof(std::uint64_t) * 3 / 2);
        charge(counted);
        std::vector<RowCounts> done(rows_.size());
        std::atomic<std::size_t> next{0};
        on_threads(threads, hook, [&](const std::atomic<bool>& failed) {
            std::vector<std::uint64_t> keys;
            std::vector<std::uint64_t> spare;
            for (;;) {
                const std::size_t r = next.fetch_add(1);
                if (r >= rows_.size() || failed.load(std::memory_order_relaxed)) return;
                const std::size_t from = r == 0 ? 0 : rows_[r - 1].end;
                const std::span<const std::uint64_t> row(keys_.data() + from, rows_[r].end - from);
                sort_and_count(row, keys, spare, bits_, [&](std::span<const std::uint64_t> sorted) {
                    append_runs(sorted, min_count_, done[r].codes, done[r].counts);
                });
                util::poll_interrupt(row.size() * sizeof(std::uint64_t));
            }
        });
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            RowCounts& row = done[r];
            out.codes.insert(out.codes.end(), row.codes.begin(), row.codes.end());
            if (out.counts.is_wide) {
                out.counts.wide.insert(out.counts.wide.end(), row.counts.begin(), row.counts.end());
            } else {
                out.counts.narrow.insert(out.counts.narrow.end(), row.counts.begin(),
                                         row.counts.end());
            }
            row = RowCounts{};
            out.ids.push_back(std::move(rows_[r].id));
            out.windows.push_back(rows_[r].windows);
            out.skipped.push_back(rows_[r].skipped);
            out.indptr.push_back(out.codes.size());
        }
        account_.release(counted);
        charged_ -= counted;
        keys_.clear();
        rows_.clear();
    }

private:
    // Up to this many occurrences (16 MiB) wait before the batch is sorted.
    static constexpr std::size_t kBatchMost = std::size_t{1} << 21;

    struct Row {
        std::string id;
        std::uint64_t windows;
        std::uint64_t skipped;
        std::size_t end;  // where its occurrences end in keys_
    };
    // A row in one array of fewer than 2^32 occurrences: 32-bit counts.
    struct RowCounts {
        std::vector<std::uint64_t> codes;
        std::vector<std::uint32_t> counts;
    };

    void charge(std::uint64_t bytes) {
        account_.charge(bytes, [&] {
            return util::MemoryNeed{.what = "the k-mer occurrences of a batch of records",
                                    .detail = std::to_string(keys_.size()) + " occurrences"};
        });
        charged_ += bytes;
    }

    unsigned bits_;
    std::uint64_t min_count_;
    util::MemoryAccount& account_;
    std::uint64_t charged_ = 0;
    std::vector<std::uint64_t> keys_;
    std::vector<Row> rows_;
};

// The rolling state of one record: the forward code and its reverse complement kept in step, so
// each window's reverse complement costs a shift and an or, not k steps.
struct Roll {
    std::uint64_t forward = 0;
    std::uint64_t reverse = 0;
    std::uint64_t run = 0;  // bases since the last byte that is not one
};

// Rolls the windows ending in [bytes, bytes + n) into `out` (room for 2n codes); returns the
// codes written. With Invalid::kStop it stops at a byte that is not a base, setting `bad` to
// its offset.
template <TableStrands strands, Invalid invalid>
std::size_t roll(const unsigned char* bytes, std::size_t n, std::uint8_t k, Roll& state,
                 std::uint64_t* out, std::size_t& bad) {
    const std::uint64_t mask = code_mask(2U * k);
    const unsigned top = 2U * k - 2U;
    std::uint64_t forward = state.forward;
    std::uint64_t reverse = state.reverse;
    std::uint64_t run = state.run;
    std::uint64_t* const start = out;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t code = kBaseCode<Letters::kEither>[bytes[i]];
        if (code == kNotBase) [[unlikely]] {
            if constexpr (invalid == Invalid::kStop) {
                bad = i;
                break;
            }
            run = 0;
            continue;
        }
        forward = ((forward << 2) | code) & mask;
        reverse = (reverse >> 2) | ((3 - code) << top);
        if (++run >= k) {
            if constexpr (strands == TableStrands::kForward) {
                *out++ = forward;
            } else if constexpr (strands == TableStrands::kBoth) {
                *out++ = forward;
                *out++ = reverse;
            } else {
                *out++ = std::min(forward, reverse);
            }
        }
    }
    state = {forward, reverse, run};
    return static_cast<std::size_t>(out - start);
}

// Hands the occurrences one thread rolls to a second thread, which keeps them (repeats counted,
// the rest scattered into buckets) while the first reads and rolls on: a large row counted with
// threads to spare would otherwise be read on one of them while the others wait for its sort.
// The occurrences are only touched by the second thread until drain() returns.
class KeepingThread {
public:
    KeepingThread(Occurrences& occurrences, util::InterruptHook& hook)
        : occurrences_(occurrences), hook_(hook) {
        thread_ = std::thread([this] { keep(); });
    }

    ~KeepingThread() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_keeper_.notify_one();
        thread_.join();
    }

    KeepingThread(const KeepingThread&) = delete;
    KeepingThread& operator=(const KeepingThread&) = delete;

    // Where the next codes go, with room for kRollBuffer of them.
    [[nodiscard]] std::uint64_t* room() {
        Buffer& buffer = buffers_[filling_];
        return buffer.codes.get() + buffer.size;
    }

    // Takes the `n` codes just written at room(); a buffer nearly full goes to the keeper.
    void wrote(std::size_t n) {
        buffers_[filling_].size += n;
        if (buffers_[filling_].size > kCapacity - kRollBuffer) hand_over();
    }

    // Hands over what is written and waits until every code is kept; rethrows the keeper's
    // failure (util::MemoryRefused, a spill that could not be written, an interrupt).
    void drain() {
        if (buffers_[filling_].size > 0) hand_over();
        std::unique_lock lock(mutex_);
        wake_filler_.wait(lock, [&] { return queued_ == 0 || failure_; });
        rethrow(lock);
    }

private:
    static constexpr std::size_t kBuffers = 3;
    // A buffer goes over once it holds more than three rolls' worth, so one hand-over carries
    // many small records.
    static constexpr std::size_t kCapacity = 4 * kRollBuffer;

    struct Buffer {
        // Written before read: no need to clear it.
        std::unique_ptr<std::uint64_t[]> codes =
            std::make_unique_for_overwrite<std::uint64_t[]>(kCapacity);
        std::size_t size = 0;
    };

    void rethrow(std::unique_lock<std::mutex>& lock) {
        if (!failure_) return;
        const std::exception_ptr failure = failure_;
        lock.unlock();
        std::rethrow_exception(failure);
    }

    // Queues the buffer being filled and waits for one that is free to fill next.
    void hand_over() {
        std::unique_lock lock(mutex_);
        ++queued_;
        wake_keeper_.notify_one();
        filling_ = (filling_ + 1) % kBuffers;
        wake_filler_.wait(lock, [&] { return queued_ < kBuffers || failure_; });
        rethrow(lock);
    }

    // The keeper: takes the queued buffers in order until stopped.
    void keep() {
        const util::InterruptScope scope(hook_);
        std::size_t next = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_keeper_.wait(lock, [&] { return queued_ > 0 || stopping_; });
            if (queued_ == 0) return;
            // Stopping with buffers queued: the count failed or was cancelled, and what they
            // hold is not wanted.
            const bool wanted = !stopping_;
            lock.unlock();
            Buffer& buffer = buffers_[next];
            std::exception_ptr failure;
            if (wanted && !failed_.load(std::memory_order_relaxed)) {
                try {
                    occurrences_.add(buffer.codes.get(), buffer.size);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            buffer.size = 0;
            next = (next + 1) % kBuffers;
            lock.lock();
            if (failure && !failure_) {
                failure_ = failure;
                failed_.store(true, std::memory_order_relaxed);
            }
            --queued_;
            wake_filler_.notify_one();
        }
    }

    Occurrences& occurrences_;
    util::InterruptHook& hook_;
    std::array<Buffer, kBuffers> buffers_;
    std::size_t filling_ = 0;  // the buffer the roller writes to
    std::mutex mutex_;
    std::condition_variable wake_keeper_;
    std::condition_variable wake_filler_;
    std::size_t queued_ = 0;  // buffers handed over and not yet kept
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::atomic<bool> failed_{false};
    std::thread thread_;  // last: it starts once everything it reads is made
};

// Rows of records: their counts together hold at most as many entries as the file has bytes (per
// strand counted), so the table's arrays are reserved for that once, which costs address space
// only (pages arrive as runs are written), instead of doubling row after row, which copies them
// and faults in fresh pages at every step. A gzip file or one of unknown size grows as it goes,
// as does a table whose reservation the system refuses.
void reserve_rows(const std::string& path, bool compressed, std::uint64_t per_window,
                  SparseTable& out) {
    struct stat status{};
    if (compressed || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    const auto most = static_cast<std::uint64_t>(status.st_size) * per_window;
    if (most > (std::uint64_t{1} << 40)) return;
    const auto entries = static_cast<std::size_t>(most);
    try {
        reserve_runs(out.codes, out.counts, entries);
    } catch (const std::bad_alloc&) {
        // The address space is limited: the arrays grow as they would have.
    }
}

// Counts each record into a sparse row of its own, or every record into one row for the file.
template <TableStrands strands, Invalid invalid>
class SparseRows {
public:
    static constexpr std::uint64_t kPerWindow = strands == TableStrands::kBoth ? 2 : 1;

    SparseRows(fasta::Reader& reader, const std::string& path, const SparseOptions& options,
               unsigned sort_threads, SparseTable& out, util::InterruptHook& hook)
        : reader_(reader),
          path_(path),
          options_(options),
          sort_threads_(sort_threads),
          out_(out),
          hook_(hook),
          // Kept on a thread of their own, the occurrences are charged to an account of their
          // own: the reader's is this thread's.
          occurrences_(2U * options.k, options,
                       keeps_apart(options, sort_threads) ? own_account_ : reader.memory()),
          reserved_(options.per_file),
          // Rows of records with threads to spare are sorted in batches, on every thread at once.
          batched_(!options.per_file && sort_threads > 1),
          records_(2U * options.k, options.min_count, reader.memory()),
          buffer_(kRollBuffer) {
        out_.indptr.push_back(0);
    }

    void start(std::string_view /*id*/) {
        state_ = Roll{};
        counted_ = 0;
    }

    std::size_t feed(const unsigned char* bytes, std::size_t n) {
        for (std::size_t at = 0; at < n;) {
            const std::size_t slice = std::min(kRollSlice, n - at);
            std::size_t bad = slice;
            std::uint64_t* const codes = keeping_ ? keeper_->room() : buffer_.data();
            const std::size_t written =
                roll<strands, invalid>(bytes + at, slice, options_.k, state_, codes, bad);
            if (keeping_) {
                keeper_->wrote(written);
            } else {
                occurrences_.add(codes, written);
                row_codes_ += written;
                if (row_codes_ >= kKeepApartFrom && keeps_apart(options_, sort_threads_)) {
                    // Started for the first large row, so that counts of small files start no
                    // thread.
                    if (!keeper_) keeper_ = std::make_unique<KeepingThread>(occurrences_, hook_);
                    keeping_ = true;
                }
            }
            counted_ += written / kPerWindow;
            if (invalid == Invalid::kStop && bad < slice) return at + bad;
            at += slice;
        }
        return n;
    }

    void end(std::string_view id, std::uint64_t size) {
        const std::uint64_t windows = size >= options_.k ? size - options_.k + 1 : 0;
        if (options_.per_file) {
            file_windows_ += windows;
            file_counted_ += counted_;
        } else {
            end_row(id, counted_, windows);
        }
    }

    // After the last record: the file's row, when there is one per file, and the rows still
    // waiting in a batch.
    void end_file() {
        if (options_.per_file) end_row(path_, file_counted_, file_windows_);
        records_.flush(out_, sort_threads_, hook_);
    }

private:
    // A row goes on to the keeping thread once it has this many codes: the hand-over at its end
    // then costs little beside the row, and rows of short records never wait for one.
    static constexpr std::uint64_t kKeepApartFrom = kRollBuffer;

    // Whether large rows are kept on a thread of their own: with threads to spare (the sort's,
    // idle while a row is read).
    static bool keeps_apart(const SparseOptions& options, unsigned sort_threads) {
        return sort_threads > 1 && options.window.width == 0;
    }

    void end_row(std::string_view id, std::uint64_t counted, std::uint64_t windows) {
        if (keeping_) keeper_->drain();
        keeping_ = false;
        row_codes_ = 0;
        if (!reserved_) {
            reserved_ = true;
            reserve_rows(path_, reader_.compressed(), kPerWindow, out_);
        }
        if (batched_ && occurrences_.is_flat()) {
            records_.add(occurrences_.flat(), id, counted * kPerWindow,
                         (windows - counted) * kPerWindow);
            occurrences_.clear();
            if (records_.full()) records_.flush(out_, sort_threads_, hook_);
            return;
        }
        // The rows before this one first, which sorts its buckets on every thread itself.
        records_.flush(out_, sort_threads_, hook_);
        occurrences_.count_into(out_.codes, out_.counts, sort_threads_, hook_);
        out_.ids.emplace_back(id);
        out_.windows.push_back(counted * kPerWindow);
        out_.skipped.push_back((windows - counted) * kPerWindow);
        out_.indptr.push_back(out_.codes.size());
    }

    fasta::Reader& reader_;
    const std::string& path_;
    const SparseOptions& options_;
    unsigned sort_threads_;
    SparseTable& out_;
    util::InterruptHook& hook_;
    util::MemoryAccount own_account_;
    Occurrences occurrences_;
    std::unique_ptr<KeepingThread> keeper_;  // stops before the occurrences it fills go
    bool keeping_ = false;                   // the row's occurrences go to the keeper
    std::uint64_t row_codes_ = 0;            // codes the row took before that
    bool reserved_;
    bool batched_;
    RecordBatch records_;
    std::vector<std::uint64_t> buffer_;
    Roll state_;
    std::uint64_t counted_ = 0;
    std::uint64_t file_windows_ = 0;
    std::uint64_t file_counted_ = 0;
};

// Reads one file and counts its rows, stopping early when cancelled.
template <TableStrands strands, Invalid invalid>
void count_file(const std::string& path, const SparseOptions& options, unsigned sort_threads,
                SparseTable& out, WalkShared shared, util::InterruptHook& hook) {
    fasta::Reader reader(path);
    SparseRows<strands, invalid> rows(reader, path, options, sort_threads, out, hook);
    BaseTally tally;  // zeros unless asked for
    BaseTally* const tallied = options.tally ? &tally : nullptr;
    if (options.window.width > 0) {
        RecordWindows<invalid, SparseRows<strands, invalid>> windows(rows, options.window,
                                                                     out.places, reader.memory());
        if (!walk_records<invalid>(reader, path, options.k, windows, shared, tallied)) return;
    } else if (!walk_records<invalid>(reader, path, options.k, rows, shared, tallied)) {
        return;
    }
    rows.end_file();
    out.tallies.push_back(tally);
}

template <TableStrands strands>
void count_file(const std::string& path, const SparseOptions& options, unsigned sort_threads,
                SparseTable& out, WalkShared shared, util::InterruptHook& hook) {
    if (options.invalid == Invalid::kStop) {
        count_file<strands, Invalid::kStop>(path, options, sort_threads, out, shared, hook);
    } else {
        count_file<strands, Invalid::kSkip>(path, options, sort_threads, out, shared, hook);
    }
}

}  // namespace

namespace {

// The count at `i` of either width.
std::uint64_t count_at(const SparseCounts& counts, std::size_t i) {
    return counts.is_wide ? counts.wide[i] : counts.narrow[i];
}

}  // namespace

SparseTable sum_rows(const SparseTable& table, std::uint64_t min_count) {
    SparseTable sum;
    const std::size_t rows = table.indptr.empty() ? 0 : table.indptr.size() - 1;
    std::uint64_t windows = 0;
    std::uint64_t skipped = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        windows += table.windows[r];
        skipped += table.skipped[r];
    }
    sum.windows.push_back(windows);
    sum.skipped.push_back(skipped);
    sum.indptr.push_back(0);
    // A sum reaches 2^32 only where the occurrences of all rows together do.
    if (windows > kNarrowMost) sum.counts.widen();
    // A merge of the sorted rows, the smallest code first from a heap of (code, row).
    using Head = std::pair<std::uint64_t, std::size_t>;
    std::vector<Head> heap;
    std::vector<std::size_t> at(table.indptr.begin(), table.indptr.end() - (rows > 0 ? 1 : 0));
    const auto later = [](const Head& a, const Head& b) { return a > b; };
    for (std::size_t r = 0; r < rows; ++r) {
        if (at[r] < table.indptr[r + 1]) heap.emplace_back(table.codes[at[r]], r);
    }
    std::make_heap(heap.begin(), heap.end(), later);
    std::uint64_t steps = 0;
    while (!heap.empty()) {
        const std::uint64_t code = heap.front().first;
        std::uint64_t count = 0;
        while (!heap.empty() && heap.front().first == code) {
            std::pop_heap(heap.begin(), heap.end(), later);
            const std::size_t r = heap.back().second;
            count += count_at(table.counts, at[r]++);
            if (at[r] < table.indptr[r + 1]) {
                heap.back().first = table.codes[at[r]];
                std::push_heap(heap.begin(), heap.end(), later);
            } else {
                heap.pop_back();
            }
        }
        if (count >= min_count) {
            sum.codes.push_back(code);
            if (sum.counts.is_wide) {
                sum.counts.wide.push_back(count);
            } else {
                sum.counts.narrow.push_back(static_cast<std::uint32_t>(count));
            }
        }
        if (++steps % (std::uint64_t{1} << 16) == 0) util::poll_interrupt(std::uint64_t{1} << 20);
    }
    sum.indptr.push_back(sum.codes.size());
    return sum;
}

void SparseCounts::widen() {
    if (is_wide) return;
    wide.assign(narrow.begin(), narrow.end());
    narrow = {};
    is_wide = true;
}

SparseJob::SparseJob(std::vector<std::string> paths, SparseOptions options, unsigned threads)
    : options_(options), rows_(paths.size()), files_(std::move(paths)) {
    threads = std::max(1U, threads);
    const unsigned workers =
        std::max(1U, std::min<unsigned>(threads, static_cast<unsigned>(rows_.size())));
    sort_threads_ = std::max(1U, threads / workers);
    files_.start(workers, [this](std::size_t i, util::InterruptHook& hook) {
        const std::string& path = files_.paths()[i];
        const WalkShared shared{files_.bytes_done(), files_.cancelled()};
        try {
            switch (options_.strands) {
                case TableStrands::kForward:
                    count_file<TableStrands::kForward>(path, options_, sort_threads_, rows_[i],
                                                       shared, hook);
                    break;
                case TableStrands::kBoth:
                    count_file<TableStrands::kBoth>(path, options_, sort_threads_, rows_[i], shared,
                                                    hook);
                    break;
                case TableStrands::kCanonical:
                    count_file<TableStrands::kCanonical>(path, options_, sort_threads_, rows_[i],
                                                         shared, hook);
                    break;
            }
        } catch (...) {
            rows_[i] = SparseTable{};  // the job fails, or was cancelled: its rows are not wanted
            throw;
        }
    });
}

SparseTable SparseJob::take() {
    files_.finish();
    SparseTable table;
    table.indptr.push_back(0);
    if (rows_.size() == 1) {
        // One file's rows are the table as they are: no copy of the largest arrays.
        table = std::move(rows_[0]);
        table.files.assign(table.ids.size(), 0);
        rows_.clear();
        return table;
    }
    std::size_t codes = 0;
    bool wide = false;
    for (const SparseTable& file : rows_) {
        codes += file.codes.size();
        wide = wide || file.counts.is_wide;
    }
    if (wide) table.counts.widen();
    table.codes.reserve(codes);
    for (std::size_t f = 0; f < rows_.size(); ++f) {
        SparseTable& file = rows_[f];
        const std::uint64_t base = table.codes.size();
        for (std::size_t r = 1; r < file.indptr.size(); ++r) {
            table.indptr.push_back(base + file.indptr[r]);
        }
        table.codes.insert(table.codes.end(), file.codes.begin(), file.codes.end());
        file.codes = {};
        if (wide) {
            file.counts.widen();
            table.counts.wide.insert(table.counts.wide.end(), file.counts.wide.begin(),
                                     file.counts.wide.end());
        } else {
            table.counts.narrow.insert(table.counts.narrow.end(), file.counts.narrow.begin(),
                                       file.counts.narrow.end());
        }
        append_row_facts(table, file, file.ids.size(), f);
        table.tallies.insert(table.tallies.end(), file.tallies.begin(), file.tallies.end());
        file = SparseTable{};
    }
    return table;
}

}  // namespace velko::kmer
