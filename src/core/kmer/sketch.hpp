// FracMinHash sketches of FASTA files: the hashes of canonical k-mers below a threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kmer/file_job.hpp"

namespace velko::kmer {

/// The largest k a sketch takes.
inline constexpr std::uint8_t kMaxSketchK = 64;

/// The first 64 bits (h1) of MurmurHash3_x64_128 of [data, data + n) with `seed`.
[[nodiscard]] std::uint64_t murmur3_h1(const void* data, std::size_t n, std::uint64_t seed);

struct SketchOptions {
    std::uint8_t k = 31;
    std::uint64_t max_hash = 0;  // hashes above this are left out; 0 keeps every hash
    std::uint64_t seed = 42;
    bool per_file = true;    // one row per file, the union of its records' sketches
    bool abundance = false;  // also count how often each kept hash was seen
};

/// Rows of sketches in compressed-row form: row r holds hashes[indptr[r], indptr[r + 1]),
/// ascending, and with abundance their counts at the same places (else `counts` is empty).
struct SketchTable {
    std::vector<std::string> ids;
    std::vector<std::size_t> files;  // index of each row's file
    std::vector<std::uint64_t> indptr;
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint64_t> counts;
};

/// Sketches several files on worker threads while the caller waits, reports progress and may
/// cancel, as SparseJob does for sparse counts.
class SketchJob {
public:
    /// Starts sketching `paths` on `threads` (at least 1) threads.
    SketchJob(std::vector<std::string> paths, SketchOptions options, unsigned threads);

    /// Waits up to `milliseconds` for the workers; true once all have finished.
    [[nodiscard]] bool wait_for(unsigned milliseconds) { return files_.wait_for(milliseconds); }
    /// Input bytes read so far, over all files (compressed bytes for gzip files).
    [[nodiscard]] std::uint64_t bytes_done() { return files_.bytes_done().load(); }
    /// Asks the workers to stop soon; wait_for then returns true shortly.
    void cancel() { files_.cancel(); }
    /// After the workers finished: every file's rows in file order, or the failure of the first
    /// file (in order) that failed, rethrown (util::Failure, util::MemoryRefused).
    [[nodiscard]] SketchTable take();

private:
    SketchOptions options_;
    std::vector<SketchTable> rows_;
    FileJob files_;  // last: its workers stop before the rows they fill go
};

}  // namespace velko::kmer
