// K-mer tables of FASTA files: one row of counts per record or per file, counted on threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fasta/reader.hpp"
#include "kmer/window_kernel.hpp"
#include "util/failure.hpp"

namespace velko::kmer {

/// Which k-mers a row counts for each window: the window itself; also its reverse complement;
/// or the smaller (canonical) of the two, with one column per canonical k-mer only.
enum class TableStrands { kForward, kBoth, kCanonical };

struct TableOptions {
    std::uint8_t k = 4;
    TableStrands strands = TableStrands::kForward;
    Invalid invalid = Invalid::kStop;  // kStop: a bad byte in a record of k letters or more fails
    bool per_file = false;            // one row per file, the sum of its records
};

/// The k-mer index of each column: all 4^k in order, or the canonical ones in order.
[[nodiscard]] std::vector<std::uint64_t> table_kmers(std::uint8_t k, TableStrands strands);

/// A number of rows of counts, `columns` wide, in memory of their own.
struct RowChunk {
    std::shared_ptr<void> memory;
    std::uint64_t* data = nullptr;
    std::size_t rows = 0;
};

/// The rows one file gives, in order, until they are gathered into the table.
struct FileRows {
    std::vector<std::string> ids;
    std::vector<std::uint64_t> windows;  // k-mers counted per row (both strands: two per window)
    std::vector<std::uint64_t> skipped;  // k-mers left out per row, in the same unit
    std::vector<RowChunk> chunks;
};

/// Counting several files on worker threads while the caller waits, reports progress and may
/// cancel. Files are taken in order by whichever worker is free; each file's rows are its own,
/// so the table does not depend on the number of threads.
class TableJob {
public:
    /// Starts counting `paths` on `threads` (at least 1) workers.
    TableJob(std::vector<std::string> paths, TableOptions options, unsigned threads);
    ~TableJob();
    TableJob(const TableJob&) = delete;
    TableJob& operator=(const TableJob&) = delete;

    /// Waits up to `milliseconds` for the workers; true once all have finished.
    [[nodiscard]] bool wait_for(unsigned milliseconds);
    /// Input bytes read so far, over all files (compressed bytes for gzip files).
    [[nodiscard]] std::uint64_t bytes_done() const { return bytes_done_.load(); }
    /// Asks the workers to stop soon; wait_for then returns true shortly.
    void cancel() { cancelled_.store(true); }
    /// After the workers finished: the rows of every file in order, or the failure of the first
    /// file (in order) that failed, rethrown (a util::Failure located in its file).
    [[nodiscard]] std::vector<FileRows> take();

private:
    void work();

    std::vector<std::string> paths_;
    TableOptions options_;
    std::vector<FileRows> rows_;
    std::vector<std::exception_ptr> failures_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> first_failed_;
    std::atomic<std::uint64_t> bytes_done_{0};
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    unsigned running_ = 0;
    std::vector<std::thread> workers_;
};

/// The rows of every file gathered into one matrix of rows x columns (freeing each chunk once
/// copied, so the peak stays near the matrix itself).
struct Table {
    std::vector<std::string> ids;
    std::vector<std::size_t> files;  // index of each row's file
    std::vector<std::uint64_t> windows;
    std::vector<std::uint64_t> skipped;
    std::shared_ptr<void> memory;
    std::uint64_t* counts = nullptr;
    std::size_t columns = 0;
};
[[nodiscard]] Table gather_table(std::vector<FileRows>&& files, std::size_t columns);

}  // namespace velko::kmer
