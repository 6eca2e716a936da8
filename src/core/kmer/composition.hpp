// Oligonucleotide composition of records: mono- to tetranucleotide counts over both strands,
// their tetranucleotide z-scores, and L1 distances between rows of features.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kmer/file_job.hpp"
#include "kmer/record_windows.hpp"
#include "util/memory.hpp"

namespace velko::kmer {

/// The oligonucleotides counted for z-scores, lengths 1 to 4, one after the other in base-4
/// order: 4 + 16 + 64 + 256 of them.
inline constexpr std::size_t kOligoColumns = 4 + 16 + 64 + 256;
/// Where the counts of each length start in a row of kOligoColumns.
inline constexpr std::array<std::size_t, 5> kOligoStart = {0, 0, 4, 20, 84};
/// The z-scores of a row: one per tetranucleotide, in base-4 order.
inline constexpr std::size_t kTetraColumns = 256;

/// Counts the forward oligonucleotides of length 1 to 4 of one record fed in stretches: every
/// window of only A, C, G, T (either case) is counted; a window over any other byte is not.
/// A consumer of records: start(), feed() stretch by stretch, end().
class OligoCounter {
public:
    /// Counts into `counts`, kOligoColumns wide, which the caller zeroes.
    explicit OligoCounter(std::uint64_t* counts) : counts_(counts) {}

    void start(std::string_view /*id*/) {
        code_ = 0;
        run_ = 0;
    }
    /// Counts the windows that end in the stretch; never stops (returns `n`).
    std::size_t feed(const unsigned char* bytes, std::size_t n);
    void end(std::string_view /*id*/, std::uint64_t /*size*/) {}

private:
    std::uint64_t* counts_;
    std::uint32_t code_ = 0;  // the last four letters, two bits each
    std::uint32_t run_ = 0;   // bases since the last byte that is not one, up to 4
};

/// Adds the reverse strand to forward counts of OligoCounter: each oligonucleotide's count
/// becomes its own plus its reverse complement's, as counting both strands gives.
void add_reverse_strands(std::uint64_t* counts);

/// The z-score of each tetranucleotide n1n2n3n4 from both-strand counts (`counts`,
/// kOligoColumns wide) into `z` (kTetraColumns): expected E = N(n1n2n3) N(n2n3n4) / N(n2n3),
/// variance V = E (N(n2n3) - N(n1n2n3)) (N(n2n3) - N(n2n3n4)) / N(n2n3)^2 and
/// z = (N(n1n2n3n4) - E) / sqrt(V); z = 0 where N(n2n3) = 0 or V = 0 (no spread to measure
/// against).
void tetra_zscores(const std::uint64_t* counts, double* z);

/// The rows one file gives: z-scores of each record kept, or of the whole file.
struct ZscoreRows {
    std::vector<std::string> ids;      // record ids (per file: none)
    std::vector<double> zscores;       // rows x kTetraColumns
    std::vector<std::uint64_t> sizes;  // sequence bytes of each row's records kept
    WindowPlaces places;               // each row's place in its record, in windows
};

struct ZscoreOptions {
    bool per_file = true;          // one row per file, over its records kept
    std::uint64_t min_length = 0;  // records with fewer sequence bytes are left out
    WindowSpan window = {};        // rows per window along each record (not per file)
};

/// Tetranucleotide z-scores of FASTA files counted on worker threads while the caller waits,
/// reports progress and may cancel; each file's rows are its own, so the result does not depend
/// on the number of threads.
class ZscoreJob {
public:
    ZscoreJob(std::vector<std::string> paths, ZscoreOptions options, unsigned threads);
    ZscoreJob(const ZscoreJob&) = delete;
    ZscoreJob& operator=(const ZscoreJob&) = delete;

    /// Waits up to `milliseconds` for the workers; true once all have finished.
    [[nodiscard]] bool wait_for(unsigned milliseconds) { return files_.wait_for(milliseconds); }
    /// Input bytes read so far, over all files.
    [[nodiscard]] std::uint64_t bytes_done() { return files_.bytes_done().load(); }
    /// After the workers finished: each file's rows in order, or the failure of the first file
    /// that failed (a util::Failure located in its file; util::MemoryRefused when the rows
    /// would not fit).
    [[nodiscard]] std::vector<ZscoreRows> take();

private:
    void charge(std::uint64_t bytes);

    ZscoreOptions options_;
    std::vector<ZscoreRows> rows_;
    std::mutex account_mutex_;
    util::MemoryAccount account_;
    FileJob files_;  // last: its workers stop before the rows they fill go
};

/// The rows of every file in one table, in file order.
struct ZscoreTable {
    std::vector<std::string> ids;      // record ids (per file: none)
    std::vector<std::uint64_t> files;  // index of each row's file
    std::vector<double> zscores;       // rows x kTetraColumns
    std::vector<std::uint64_t> sizes;  // sequence bytes of each row's records kept
    WindowPlaces places;               // each row's place in its record, in windows
};

/// The rows of `files` (as ZscoreJob::take gives them) gathered into one table; each file's
/// rows are freed once copied, so the peak stays near the table itself.
[[nodiscard]] ZscoreTable gather_zscores(std::vector<ZscoreRows>&& files);

/// The L1 distance of each of `queries` rows to each of `rows` rows (`width` values each,
/// row-major) into `out`, queries x rows. Polls util::poll_interrupt per query.
void l1_distances(const double* queries, std::size_t query_rows, const double* rows,
                  std::size_t row_count, std::size_t width, double* out);

/// Keeps, for each of `query_rows` queries, the `top` nearest targets met so far: `best` and
/// `best_index` (query_rows x top) hold each query's as a max-heap by (distance, index), which
/// the caller fills with (+inf, INT64_MAX) before the first block. `distances` (query_rows x
/// target_count) are the query's distances to targets first_target, first_target + 1, ...; a
/// NaN distance counts as +inf, and with `self_first` >= 0 query q is target self_first + q,
/// which is never its own neighbour. Polls util::poll_interrupt per query.
void keep_nearest(const double* distances, std::size_t query_rows, std::size_t target_count,
                  std::int64_t first_target, std::int64_t self_first, std::size_t top, double* best,
                  std::int64_t* best_index);

}  // namespace velko::kmer
