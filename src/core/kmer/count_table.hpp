// K-mer tables of FASTA files: one row of counts per record or per file, counted on threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fasta/reader.hpp"
#include "kmer/base_tally.hpp"
#include "kmer/file_job.hpp"
#include "kmer/window_kernel.hpp"
#include "util/failure.hpp"
#include "util/memory.hpp"

namespace velko::kmer {

/// Which k-mers a row counts for each window: the window itself; also its reverse complement;
/// or the smaller (canonical) of the two, with one column per canonical k-mer only.
enum class TableStrands { kForward, kBoth, kCanonical };

struct TableOptions {
    std::uint8_t k = 4;
    TableStrands strands = TableStrands::kForward;
    Invalid invalid = Invalid::kStop;  // kStop: a bad byte in a record of k letters or more fails
    bool per_file = false;             // one row per file, the sum of its records
    bool tally = false;                // also tally each file's records and bases (BaseTally)
    // When not 0, the most the rows may take: past it, or past what the account lets the job
    // keep, the job stops with TableOutgrown instead of refusing, so that a caller choosing
    // the layout can count sparsely instead.
    std::uint64_t most_bytes = 0;
};

/// What a TableJob with TableOptions::most_bytes throws once its rows would pass that bound or
/// the memory left: the dense table is the wrong layout for this input.
class TableOutgrown : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override {
        return "the dense k-mer table outgrew the memory it may take";
    }
};

/// The k-mer index of each column: all 4^k in order, or the canonical ones in order. Throws
/// util::MemoryRefused when they cannot fit.
[[nodiscard]] std::vector<std::uint64_t> table_kmers(std::uint8_t k, TableStrands strands);

/// The number of columns of a table: 4^k, or the canonical k-mers among them (half of 4^k, and
/// for even k half of the 4^(k/2) k-mers that are their own reverse complement on top).
[[nodiscard]] std::uint64_t table_columns(std::uint8_t k, TableStrands strands);

/// Zeroed rows of counts in one mapping that grows in place (the system moves its pages, never
/// copies them), so a file's rows end up contiguous without a second copy of the table.
class RowRegion {
public:
    RowRegion() = default;
    RowRegion(RowRegion&& other) noexcept;
    RowRegion& operator=(RowRegion&& other) noexcept;
    ~RowRegion();

    /// Makes room for `bytes` in all, keeping what is there; new bytes read as zero. Throws
    /// std::bad_alloc when the system refuses.
    void reserve(std::size_t bytes);
    [[nodiscard]] std::uint64_t* data() const { return static_cast<std::uint64_t*>(base_); }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }
    /// Gives up the mapping without unmapping it (it has been moved elsewhere).
    [[nodiscard]] void* release() && noexcept;
    /// Hands the mapping over to an owner that unmaps it when the last copy goes.
    [[nodiscard]] std::shared_ptr<void> share() &&;

private:
    void* base_ = nullptr;
    std::size_t capacity_ = 0;
};

/// The rows one file gives, in order, until they are gathered into the table.
struct FileRows {
    std::vector<std::string> ids;
    std::vector<std::uint64_t> windows;  // k-mers counted per row (both strands: two per window)
    std::vector<std::uint64_t> skipped;  // k-mers left out per row, in the same unit
    RowRegion region;
    std::size_t rows = 0;  // rows in region, each `columns` wide
    BaseTally tally;       // when TableOptions::tally
};

/// Counting several files on worker threads while the caller waits, reports progress and may
/// cancel. Files are taken in order by whichever worker is free; each file's rows are its own,
/// so the table does not depend on the number of threads.
class TableJob {
public:
    /// Starts counting `paths` on up to `threads` workers (fewer when the system will not start
    /// more). Throws util::MemoryRefused, before anything is allocated, when the least the table
    /// takes (a row per file and a count list per worker) would not fit.
    TableJob(std::vector<std::string> paths, TableOptions options, unsigned threads);
    TableJob(const TableJob&) = delete;
    TableJob& operator=(const TableJob&) = delete;

    /// Waits up to `milliseconds` for the workers; true once all have finished.
    [[nodiscard]] bool wait_for(unsigned milliseconds) { return files_.wait_for(milliseconds); }
    /// Input bytes read so far, over all files (compressed bytes for gzip files).
    [[nodiscard]] std::uint64_t bytes_done() { return files_.bytes_done().load(); }
    /// Asks the workers to stop soon; wait_for then returns true shortly.
    void cancel() { files_.cancel(); }
    /// After the workers finished: the rows of every file in order, or the failure of the first
    /// file (in order) that failed, rethrown (a util::Failure located in its file).
    [[nodiscard]] std::vector<FileRows> take();

    /// Charges `bytes` of rows or scratch about to be kept to the job's account: refuses, with
    /// the k-mer text velko gives, a table that grows past what is free (with most_bytes set,
    /// throws TableOutgrown then, and past most_bytes). Any worker may call.
    void charge(std::uint64_t bytes, std::uint64_t rows);
    /// Takes back `bytes` charged before and since let go. Any worker may call.
    void release(std::uint64_t bytes);

private:
    TableOptions options_;
    std::vector<FileRows> rows_;
    std::mutex account_mutex_;
    util::MemoryAccount account_;
    FileJob files_;  // last: its workers stop before the rows they fill go
};

/// The rows of every file gathered into one matrix of rows x columns: the pages of each file's
/// region are moved into place where rows fill whole pages, or copied and freed file by file, so
/// the peak stays near the matrix itself.
struct Table {
    std::vector<std::string> ids;
    std::vector<std::size_t> files;  // index of each row's file
    std::vector<std::uint64_t> windows;
    std::vector<std::uint64_t> skipped;
    std::shared_ptr<void> memory;
    std::uint64_t* counts = nullptr;
    std::size_t columns = 0;
    std::vector<BaseTally> tallies;  // one per file
};
[[nodiscard]] Table gather_table(std::vector<FileRows>&& files, std::size_t columns);

/// Every row of `table` summed into one, in memory of its own (so the rows go with `table`):
/// its windows and skipped summed, its id empty, its file 0, its tallies kept. A table of no
/// rows sums to a row of zeros. Interruptible (util::Interrupted).
[[nodiscard]] Table sum_table(Table&& table);

/// Sets every count of `table` below `min_count` to 0: k-mers seen fewer times in their row are
/// left out. Interruptible (util::Interrupted).
void drop_rare(Table& table, std::uint64_t min_count);

}  // namespace velko::kmer
