// Oligonucleotide composition: counting over both strands, tetranucleotide z-scores, L1 rows.
#include "kmer/composition.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "fasta/reader.hpp"
#include "kmer/kmers.hpp"
#include "kmer/record_walker.hpp"
#include "kmer/row_facts.hpp"
#include "kmer/window_kernel.hpp"
#include "util/interrupt.hpp"

namespace velko::kmer {
namespace {

// Makes z-score rows of one file's records: each record is counted on its own, then kept as a
// row, added to the file's counts, or left out for being shorter than the least length.
class ZscoreConsumer {
public:
    ZscoreConsumer(const ZscoreOptions& options, ZscoreRows& out,
                   const std::function<void(std::uint64_t)>& charge)
        : options_(options), out_(out), charge_(charge), counter_(record_.data()) {}

    void start(std::string_view id) {
        record_.fill(0);
        counter_.start(id);
    }
    std::size_t feed(const unsigned char* bytes, std::size_t n) { return counter_.feed(bytes, n); }
    void end(std::string_view id, std::uint64_t size) {
        counter_.end(id, size);
        if (size < options_.min_length) return;
        if (options_.per_file) {
            for (std::size_t i = 0; i < kOligoColumns; ++i) file_[i] += record_[i];
            file_size_ += size;
            return;
        }
        charge_(kTetraColumns * sizeof(double) + sizeof(std::string) + id.size());
        add_row(record_.data(), size);
        out_.ids.emplace_back(id);
    }
    // The file's one row, when rows are per file.
    void finish() {
        if (options_.per_file) add_row(file_.data(), file_size_);
    }

private:
    void add_row(std::uint64_t* counts, std::uint64_t size) {
        add_reverse_strands(counts);
        const std::size_t at = out_.zscores.size();
        out_.zscores.resize(at + kTetraColumns);
        tetra_zscores(counts, out_.zscores.data() + at);
        out_.sizes.push_back(size);
    }

    const ZscoreOptions& options_;
    ZscoreRows& out_;
    const std::function<void(std::uint64_t)>& charge_;
    std::array<std::uint64_t, kOligoColumns> record_{};
    std::array<std::uint64_t, kOligoColumns> file_{};
    std::uint64_t file_size_ = 0;
    OligoCounter counter_;
};

// The L1 distance of a to b over `width` values: four sums side by side, so the additions need
// not wait on each other and the compiler may keep them in one vector register.
[[gnu::always_inline]] inline double l1_pair(const double* a, const double* b, std::size_t width) {
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t w = 0;
    for (; w + 4 <= width; w += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane)
            sums[lane] += std::fabs(a[w + lane] - b[w + lane]);
    }
    for (; w < width; ++w) sums[0] += std::fabs(a[w] - b[w]);
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// Rows compared to every query while they stay in the first-level cache: a block of rows read
// from memory once per query would make the loop wait on memory, not on arithmetic.
constexpr std::size_t kRowTile = 24;

}  // namespace

std::size_t OligoCounter::feed(const unsigned char* bytes, std::size_t n) {
    constexpr std::uint32_t kTetraMask = kTetraColumns - 1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t letter = kBaseCode<Letters::kEither>[bytes[i]];
        if (letter == kNotBase) {
            run_ = 0;
            continue;
        }
        code_ = ((code_ << 2) | letter) & kTetraMask;
        run_ = std::min<std::uint32_t>(run_ + 1, 4);
        ++counts_[letter];
        // A window of each length ends here once that many bases have run without a break.
        if (run_ >= 2) ++counts_[kOligoStart[2] + (code_ & 15)];
        if (run_ >= 3) ++counts_[kOligoStart[3] + (code_ & 63)];
        if (run_ >= 4) ++counts_[kOligoStart[4] + code_];
    }
    return n;
}

void add_reverse_strands(std::uint64_t* counts) {
    std::array<std::uint64_t, kOligoColumns> forward{};
    std::copy(counts, counts + kOligoColumns, forward.begin());
    for (std::uint8_t length = 1; length <= 4; ++length) {
        const std::size_t start = kOligoStart[length];
        const std::uint64_t space = std::uint64_t{1} << (2 * length);
        for (std::uint64_t kmer = 0; kmer < space; ++kmer) {
            counts[start + kmer] += forward[start + reverse_complement_index(length, kmer)];
        }
    }
}

void tetra_zscores(const std::uint64_t* counts, double* z) {
    const std::uint64_t* const di = counts + kOligoStart[2];
    const std::uint64_t* const tri = counts + kOligoStart[3];
    const std::uint64_t* const tetra = counts + kOligoStart[4];
    for (std::size_t t = 0; t < kTetraColumns; ++t) {
        const auto middle = static_cast<double>(di[(t >> 2) & 15]);
        const auto first = static_cast<double>(tri[t >> 2]);
        const auto last = static_cast<double>(tri[t & 63]);
        z[t] = 0.0;
        if (middle == 0.0) continue;
        const double expected = first * last / middle;
        const double variance = expected * (middle - first) * (middle - last) / (middle * middle);
        if (variance > 0.0) {
            z[t] = (static_cast<double>(tetra[t]) - expected) / std::sqrt(variance);
        }
    }
}

ZscoreJob::ZscoreJob(std::vector<std::string> paths, ZscoreOptions options, unsigned threads)
    : options_(options), rows_(paths.size()), files_(std::move(paths)) {
    const std::size_t files = files_.paths().size();
    threads = std::max(1U, std::min<unsigned>(threads, static_cast<unsigned>(files)));
    files_.start(threads, [this](std::size_t i, util::InterruptHook& /*hook*/) {
        const std::function<void(std::uint64_t)> charge = [this](std::uint64_t bytes) {
            this->charge(bytes);
        };
        try {
            ZscoreRows& rows = rows_[i];
            if (options_.per_file) charge(kTetraColumns * sizeof(double));
            ZscoreConsumer consumer(options_, rows, charge);
            const WalkShared shared{.bytes_done = files_.bytes_done(),
                                    .cancelled = files_.cancelled()};
            // Windows over a byte that is not a base are left out, so no record fails: k is
            // only what the walker would check a failing record's length against.
            const std::string& path = files_.paths()[i];
            fasta::Reader reader(path);
            if (options_.window.width > 0) {
                RecordWindows<Invalid::kSkip, ZscoreConsumer> windows(consumer, options_.window,
                                                                      rows.places, reader.memory());
                if (!walk_records<Invalid::kSkip>(reader, path, 4, windows, shared)) return;
            } else if (!walk_records<Invalid::kSkip>(reader, path, 4, consumer, shared)) {
                return;
            }
            consumer.finish();
        } catch (...) {
            rows_[i] = ZscoreRows{};  // the job fails, or was cancelled: its rows are not wanted
            throw;
        }
    });
}

void ZscoreJob::charge(std::uint64_t bytes) {
    const std::lock_guard lock(account_mutex_);
    account_.charge(bytes, [] {
        return util::MemoryNeed{.what = "tetranucleotide z-scores",
                                .detail = "256 values for each record"};
    });
}

std::vector<ZscoreRows> ZscoreJob::take() {
    files_.finish();
    return std::move(rows_);
}

ZscoreTable gather_zscores(std::vector<ZscoreRows>&& files) {
    ZscoreTable table;
    std::size_t rows = 0;
    for (const ZscoreRows& file : files) rows += file.sizes.size();
    table.zscores.reserve(rows * kTetraColumns);
    for (std::size_t f = 0; f < files.size(); ++f) {
        ZscoreRows& file = files[f];
        table.zscores.insert(table.zscores.end(), file.zscores.begin(), file.zscores.end());
        append_row_facts(table, file, file.sizes.size(), f);
        file = ZscoreRows{};
    }
    return table;
}

// GCC makes a copy of this for AVX2 and picks it at load time where the processor has it: four
// differences per instruction instead of two.
[[gnu::target_clones("avx2", "default")]] void l1_distances(const double* queries,
                                                            std::size_t query_rows,
                                                            const double* rows,
                                                            std::size_t row_count,
                                                            std::size_t width, double* out) {
    for (std::size_t first = 0; first < row_count; first += kRowTile) {
        const std::size_t last = std::min(row_count, first + kRowTile);
        for (std::size_t q = 0; q < query_rows; ++q) {
            const double* const a = queries + q * width;
            for (std::size_t r = first; r < last; ++r) {
                out[q * row_count + r] = l1_pair(a, rows + r * width, width);
            }
        }
        util::poll_interrupt((last - first) * query_rows * width);
    }
}

void keep_nearest(const double* distances, std::size_t query_rows, std::size_t target_count,
                  std::int64_t first_target, std::int64_t self_first, std::size_t top, double* best,
                  std::int64_t* best_index) {
    struct Entry {
        double distance;
        std::int64_t index;
        bool operator<(const Entry& other) const {
            return distance < other.distance || (distance == other.distance && index < other.index);
        }
    };
    std::vector<Entry> heap(top);
    for (std::size_t q = 0; q < query_rows; ++q) {
        double* const row_best = best + q * top;
        std::int64_t* const row_index = best_index + q * top;
        for (std::size_t i = 0; i < top; ++i) heap[i] = {row_best[i], row_index[i]};
        const double* const row = distances + q * target_count;
        const std::int64_t self = self_first < 0 ? -1 : self_first + static_cast<std::int64_t>(q);
        for (std::size_t t = 0; t < target_count; ++t) {
            const std::int64_t index = first_target + static_cast<std::int64_t>(t);
            const Entry entry{std::isnan(row[t]) ? HUGE_VAL : row[t], index};
            // Targets come in rising index order, so a tie with the farthest kept loses.
            if (!(entry < heap.front()) || index == self) continue;
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = entry;
            std::push_heap(heap.begin(), heap.end());
        }
        for (std::size_t i = 0; i < top; ++i) {
            row_best[i] = heap[i].distance;
            row_index[i] = heap[i].index;
        }
        util::poll_interrupt(target_count);
    }
}

}  // namespace velko::kmer
