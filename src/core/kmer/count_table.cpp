// K-mer tables of FASTA files: the window kernel over each record, rows gathered per file.
#include "kmer/count_table.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "fasta/reader.hpp"
#include "kmer/count.hpp"
#include "kmer/count_list.hpp"
#include "kmer/kmers.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"
#include "util/utf8.hpp"

namespace velko::kmer {
namespace {

// The message velko gives for a window over a byte that is not a base.

// Rows are kept in chunks that grow from a few rows to this size, so a file of three records
// takes little and a file of millions of reads takes few allocations; gathering frees one chunk
// per copy, so the peak is the table plus about one chunk.
constexpr std::size_t kChunkBytes = std::size_t{16} << 20;
constexpr std::size_t kFirstChunkRows = 16;

using fasta::PiecePlace;

// Progress is published to the shared counter at most once per this many bytes read.
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;

using util::is_continuation;

// Hands out zeroed rows, `columns` wide, in chunks owned by the file's rows.
class RowStore {
public:
    RowStore(FileRows& rows, std::size_t columns) : rows_(rows), columns_(columns) {}

    std::uint64_t* next_row() {
        if (rows_.chunks.empty() || used_ == capacity_) {
            const std::size_t row_bytes = columns_ * sizeof(std::uint64_t);
            const std::size_t most = std::max<std::size_t>(1, kChunkBytes / row_bytes);
            capacity_ = rows_.chunks.empty() ? std::min(kFirstChunkRows, most)
                                             : std::min(capacity_ * 2, most);
            RowChunk chunk;
            chunk.memory = map_zeroed_block(capacity_ * row_bytes);
            chunk.data = static_cast<std::uint64_t*>(chunk.memory.get());
            rows_.chunks.push_back(std::move(chunk));
            used_ = 0;
        }
        RowChunk& chunk = rows_.chunks.back();
        ++chunk.rows;
        return chunk.data + columns_ * used_++;
    }

private:
    FileRows& rows_;
    std::size_t columns_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
};

// Turns forward counts (4^k) into a row of the table: the same, with the reverse strand added,
// or folded onto the canonical k-mers (a window counts under the smaller of itself and its
// reverse complement, so a canonical k-mer's count is its own plus its partner's).
class RowShape {
public:
    RowShape(std::uint8_t k, TableStrands strands) : k_(k), strands_(strands) {
        if (strands == TableStrands::kCanonical) {
            for (const std::uint64_t kmer : table_kmers(k, strands)) {
                partners_.push_back({kmer, reverse_complement_index(k, kmer)});
            }
        }
    }

    [[nodiscard]] std::size_t columns() const {
        return strands_ == TableStrands::kCanonical ? partners_.size()
                                                    : static_cast<std::size_t>(kmer_space(k_));
    }
    // Each window adds this many k-mers to a row.
    [[nodiscard]] std::uint64_t per_window() const {
        return strands_ == TableStrands::kBoth ? 2 : 1;
    }
    // Whether forward counts need a place of their own before they become a row.
    [[nodiscard]] bool needs_scratch() const { return strands_ == TableStrands::kCanonical; }

    // `counts` holds forward counts (in the row itself unless needs_scratch()); leaves the row
    // finished and `counts` zeroed again when it is a scratch list.
    void finish(std::span<std::uint64_t> counts, std::uint64_t* row) const {
        switch (strands_) {
            case TableStrands::kForward:
                break;
            case TableStrands::kBoth:
                add_reverse_strand(k_, counts);
                break;
            case TableStrands::kCanonical:
                for (std::size_t j = 0; j < partners_.size(); ++j) {
                    const auto [kmer, partner] = partners_[j];
                    row[j] = counts[kmer] + (partner != kmer ? counts[partner] : 0);
                }
                std::fill(counts.begin(), counts.end(), 0);
                break;
        }
    }

private:
    struct Pair {
        std::uint64_t kmer;
        std::uint64_t partner;
    };
    std::uint8_t k_;
    TableStrands strands_;
    std::vector<Pair> partners_;
};

// Reads one file and counts its records into rows, stopping early when cancelled.
template <Invalid invalid>
void count_file(const std::string& path, const TableOptions& options, FileRows& out,
                std::atomic<std::uint64_t>& bytes_done, const std::atomic<bool>& cancelled) {
    const std::uint8_t k = options.k;
    const RowShape shape(k, options.strands);
    const std::size_t space = static_cast<std::size_t>(kmer_space(k));
    RowStore store(out, shape.columns());
    // Counts go straight into the row unless they must be reshaped first or summed over the
    // file's records.
    const bool scratch_needed = shape.needs_scratch() || options.per_file;
    std::vector<std::uint64_t> scratch(scratch_needed ? space : 0);
    fasta::Reader reader(path);
    std::uint64_t published = 0;
    const auto publish = [&] {
        const std::uint64_t read = reader.bytes_read();
        bytes_done.fetch_add(read - published, std::memory_order_relaxed);
        published = read;
    };
    std::uint64_t file_counted = 0;
    std::uint64_t file_skipped = 0;
    std::uint64_t* counts = scratch.data();
    std::uint64_t* row = nullptr;
    WindowCounter<Letters::kEither, invalid> counter(k, counts, space - 1);
    std::string batch;
    std::string_view text;
    std::vector<PiecePlace> places;
    while (reader.next_record()) {
        if (!options.per_file) {
            row = store.next_row();
            if (!scratch_needed) {
                counts = row;
                counter = WindowCounter<Letters::kEither, invalid>(k, counts, space - 1);
            }
        }
        counter.start();
        std::optional<util::Failure> failure;
        // Lines are gathered into stretches, as the counter has a fixed cost per piece that
        // 60-letter lines would pay a million times over; each line's place is kept beside it,
        // so a bad byte can still be named by line and column.
        while (reader.next_stretch(text, batch, fasta::Reader::kStretchBytes, &places)) {
            const std::uint64_t before = counter.size();
            counter.feed(reinterpret_cast<const unsigned char*>(text.data()), text.size());
            if (invalid == Invalid::kStop && !failure && counter.stopped() &&
                counter.first_bad() >= before) {
                const auto at = static_cast<std::size_t>(counter.first_bad() - before);
                const auto place = std::prev(std::upper_bound(
                    places.begin(), places.end(), at,
                    [](std::size_t offset, const PiecePlace& p) { return offset < p.at; }));
                std::size_t end = at + 1;
                while (end < text.size() &&
                       is_continuation(static_cast<unsigned char>(text[end]))) {
                    ++end;
                }
                failure.emplace(
                    util::FailureFacts{.kind = util::FailureKind::kInvalidBase,
                                       .file = util::FileKind::kFasta,
                                       .path = std::string(path),
                                       .line = place->line,
                                       .column = place->column + (at - place->at),
                                       .record = std::string(reader.id()),
                                       .piece = std::string(text.substr(at, end - at))});
            }
            // Once a byte has failed, read on only as far as deciding whether a window fits.
            if (invalid == Invalid::kStop && failure && counter.size() >= k) break;
            if (reader.bytes_read() - published >= kProgressStep) {
                publish();
                if (cancelled.load(std::memory_order_relaxed)) return;
            }
        }
        counter.finish();
        // A record shorter than k has no window to hold the byte; otherwise it fails.
        if (failure && counter.size() >= k) throw *failure;
        if (options.per_file) {
            file_counted += counter.counted();
            file_skipped += counter.skipped();
            continue;
        }
        shape.finish({counts, space}, row);
        out.ids.emplace_back(reader.id());
        out.windows.push_back(counter.counted() * shape.per_window());
        out.skipped.push_back(counter.skipped() * shape.per_window());
    }
    if (options.per_file) {
        row = store.next_row();
        if (shape.needs_scratch()) {
            shape.finish({counts, space}, row);
        } else {
            std::copy(scratch.begin(), scratch.end(), row);
            shape.finish({row, space}, row);
        }
        out.ids.push_back(path);
        out.windows.push_back(file_counted * shape.per_window());
        out.skipped.push_back(file_skipped * shape.per_window());
    }
    publish();
}

}  // namespace

std::vector<std::uint64_t> table_kmers(std::uint8_t k, TableStrands strands) {
    const std::uint64_t space = kmer_space(k);
    std::vector<std::uint64_t> kmers;
    for (std::uint64_t kmer = 0; kmer < space; ++kmer) {
        if (strands != TableStrands::kCanonical || kmer <= reverse_complement_index(k, kmer)) {
            kmers.push_back(kmer);
        }
    }
    return kmers;
}

TableJob::TableJob(std::vector<std::string> paths, TableOptions options, unsigned threads)
    : paths_(std::move(paths)),
      options_(options),
      rows_(paths_.size()),
      failures_(paths_.size()),
      first_failed_(paths_.size()) {
    threads = std::max(1U, std::min<unsigned>(threads, static_cast<unsigned>(paths_.size())));
    running_ = threads;
    workers_.reserve(threads);
    try {
        for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
    } catch (...) {
        // Fewer workers than asked: those running take every file.
        const std::lock_guard lock(mutex_);
        running_ = static_cast<unsigned>(workers_.size());
        if (workers_.empty()) throw;
    }
}

TableJob::~TableJob() {
    cancel();
    for (std::thread& worker : workers_) worker.join();
}

// Lets the reader's own polls see a cancelled job: a file whose text only streams past (an
// endless description, a FIFO that never ends a line) hands out no piece to check between.
class CancelHook final : public util::InterruptHook {
public:
    explicit CancelHook(const std::atomic<bool>& cancelled) : cancelled_(cancelled) {}
    bool should_stop() override { return cancelled_.load(std::memory_order_relaxed); }

private:
    const std::atomic<bool>& cancelled_;
};

void TableJob::work() {
    CancelHook hook(cancelled_);
    const util::InterruptScope scope(hook);
    for (;;) {
        const std::size_t i = next_.fetch_add(1);
        // A file after one that failed cannot change the outcome: the earlier failure wins.
        if (i >= paths_.size() || i > first_failed_.load() || cancelled_.load()) break;
        try {
            if (options_.invalid == Invalid::kStop) {
                count_file<Invalid::kStop>(paths_[i], options_, rows_[i], bytes_done_, cancelled_);
            } else {
                count_file<Invalid::kSkip>(paths_[i], options_, rows_[i], bytes_done_, cancelled_);
            }
        } catch (const util::Interrupted&) {
            break;  // cancelled: whoever cancelled does not want the rows
        } catch (...) {
            try {
                throw;
            } catch (util::Failure& failure) {
                failure.locate(paths_[i], util::FileKind::kFasta);
            } catch (...) {
            }
            failures_[i] = std::current_exception();
            rows_[i] = FileRows{};
            std::size_t seen = first_failed_.load();
            while (i < seen && !first_failed_.compare_exchange_weak(seen, i)) {
            }
        }
    }
    const std::lock_guard lock(mutex_);
    if (--running_ == 0) finished_.notify_all();
}

bool TableJob::wait_for(unsigned milliseconds) {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return running_ == 0; });
}

std::vector<FileRows> TableJob::take() {
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    for (const std::exception_ptr& failure : failures_) {
        if (failure) std::rethrow_exception(failure);
    }
    return std::move(rows_);
}

Table gather_table(std::vector<FileRows>&& files, std::size_t columns) {
    Table table;
    table.columns = columns;
    std::size_t rows = 0;
    for (const FileRows& file : files) rows += file.ids.size();
    const std::uint64_t bytes =
        util::saturating_mul(util::saturating_mul(rows, columns), sizeof(std::uint64_t));
    util::require_memory(bytes, [&] {
        return util::MemoryNeed{
            .what = "the k-mer table",
            .detail = std::to_string(rows) + " rows of " + std::to_string(columns) + " counts"};
    });
    // Zeroed pages arrive as they are first written, while the chunks copied are let go.
    table.memory = map_zeroed_block(std::max<std::size_t>(static_cast<std::size_t>(bytes), 1));
    table.counts = static_cast<std::uint64_t*>(table.memory.get());
    table.ids.reserve(rows);
    std::uint64_t* to = table.counts;
    for (std::size_t f = 0; f < files.size(); ++f) {
        FileRows& file = files[f];
        for (RowChunk& chunk : file.chunks) {
            const std::size_t n = chunk.rows * columns;
            if (n > 0) std::memcpy(to, chunk.data, n * sizeof(std::uint64_t));
            to += n;
            chunk.memory.reset();
        }
        for (std::string& id : file.ids) table.ids.push_back(std::move(id));
        table.files.insert(table.files.end(), file.ids.size(), f);
        table.windows.insert(table.windows.end(), file.windows.begin(), file.windows.end());
        table.skipped.insert(table.skipped.end(), file.skipped.begin(), file.skipped.end());
        file = FileRows{};
    }
    return table;
}

}  // namespace velko::kmer
