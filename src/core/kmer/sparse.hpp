// Sparse k-mer counts of FASTA files up to k = 32: the k-mers each row holds and their counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kmer/count_table.hpp"
#include "kmer/file_job.hpp"

namespace velko::kmer {

/// The largest k a sparse count takes: a k-mer is one 64-bit code.
inline constexpr std::uint8_t kMaxSparseK = 32;

struct SparseOptions {
    std::uint8_t k = 21;
    TableStrands strands = TableStrands::kForward;
    Invalid invalid = Invalid::kStop;
    bool per_file = false;        // one row per file, the sum of its records
    bool tally = false;           // also tally each file's records and bases (BaseTally)
    std::uint64_t min_count = 1;  // k-mers seen fewer times in their row are left out
    // The most the occurrences of one row may take in memory; 0: what the memory account
    // allows. Past it they go to temporary files in `spill_directory`, or, without one, the
    // count is refused.
    std::uint64_t memory = 0;
    std::string spill_directory = {};
    WindowSpan window = {};  // rows per window along each record, not per record
};

/// Counts wider than 32 bits appear only in a row of 2^32 occurrences or more; up to then a
/// count takes 4 bytes.
struct SparseCounts {
    std::vector<std::uint32_t> narrow;
    std::vector<std::uint64_t> wide;  // used instead of `narrow` when `is_wide`
    bool is_wide = false;

    [[nodiscard]] std::size_t size() const { return is_wide ? wide.size() : narrow.size(); }
    /// Switches to 64-bit counts, keeping those there are.
    void widen();
};

/// Rows of sparse counts in compressed-row form: row r holds codes[indptr[r], indptr[r + 1]),
/// ascending, and their counts at the same places.
struct SparseTable {
    std::vector<std::string> ids;
    std::vector<std::size_t> files;      // index of each row's file
    std::vector<std::uint64_t> windows;  // k-mers counted into each row, as in Table
    std::vector<std::uint64_t> skipped;  // k-mers left out for a byte that is not a base
    std::vector<std::uint64_t> indptr;   // rows + 1 offsets into codes and counts
    std::vector<std::uint64_t> codes;    // 2-bit codes, first letter most significant
    SparseCounts counts;
    std::vector<BaseTally> tallies;  // one per file (zeros without SparseOptions::tally)
    WindowPlaces places;             // each row's place in its record, when counted in windows
};

/// The rows of `table` summed into one (each k-mer's counts added up), with the k-mers counted
/// fewer than `min_count` times in all left out; ids and files are left empty, windows and
/// skipped summed. Counts become 64-bit where a sum needs it. Interruptible (util::Interrupted).
[[nodiscard]] SparseTable sum_rows(const SparseTable& table, std::uint64_t min_count);

/// Counting several files into sparse rows on worker threads while the caller waits, reports
/// progress and may cancel, as TableJob does for dense rows. Where there are fewer files than
/// threads, the spare threads help sort the occurrences of a large row.
class SparseJob {
public:
    /// Starts counting `paths` on `threads` (at least 1) threads.
    SparseJob(std::vector<std::string> paths, SparseOptions options, unsigned threads);

    /// Waits up to `milliseconds` for the workers; true once all have finished.
    [[nodiscard]] bool wait_for(unsigned milliseconds) { return files_.wait_for(milliseconds); }
    /// Input bytes read so far, over all files (compressed bytes for gzip files).
    [[nodiscard]] std::uint64_t bytes_done() { return files_.bytes_done().load(); }
    /// Asks the workers to stop soon; wait_for then returns true shortly.
    void cancel() { files_.cancel(); }
    /// After the workers finished: every file's rows gathered in file order, or the failure of
    /// the first file (in order) that failed, rethrown (util::Failure: a temporary file that
    /// could not be written is an OS failure naming their directory; util::MemoryRefused).
    [[nodiscard]] SparseTable take();

private:
    SparseOptions options_;
    unsigned sort_threads_ = 1;
    std::vector<SparseTable> rows_;
    FileJob files_;  // last: its workers stop before the rows they fill go
};

}  // namespace velko::kmer
