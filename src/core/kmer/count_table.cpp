// K-mer tables of FASTA files: the window kernel over each record, rows gathered per file.
#include "kmer/count_table.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "fasta/reader.hpp"
#include "kmer/count.hpp"
#include "kmer/count_list.hpp"
#include "kmer/kmers.hpp"
#include "kmer/record_walker.hpp"
#include "kmer/row_facts.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"

namespace velko::kmer {
namespace {

// A region grows by half again once it passes this size (doubling before): a move of pages costs
// no copy, and the slack kept stays small beside the rows.
constexpr std::size_t kRegionDoubleBytes = std::size_t{64} << 20;

// Hands out zeroed rows, `columns` wide, from the file's region, charging each to the job.
class RowStore {
public:
    RowStore(FileRows& rows, std::size_t columns, TableJob& job)
        : rows_(rows), row_bytes_(columns * sizeof(std::uint64_t)), job_(job) {}

    std::uint64_t* next_row() {
        const std::size_t used = rows_.rows * row_bytes_;
        if (used + row_bytes_ > rows_.region.capacity()) {
            const std::size_t capacity = rows_.region.capacity();
            const std::size_t grown =
                capacity < kRegionDoubleBytes ? 2 * capacity : capacity + capacity / 2;
            const std::size_t wanted = std::max(grown, used + row_bytes_);
            // The new mapping is made whole before the old one's pages move into it: both
            // take address space until then, and an address-space limit counts both.
            job_.charge(wanted, rows_.rows + 1);
            rows_.region.reserve(wanted);
            job_.release(capacity);
        }
        ++rows_.rows;
        return rows_.region.data() + used / sizeof(std::uint64_t);
    }

private:
    FileRows& rows_;
    std::size_t row_bytes_;
    TableJob& job_;
};

// Turns forward counts (4^k) into a row of the table: the same, with the reverse strand added,
// or folded onto the canonical k-mers (a window counts under the smaller of itself and its
// reverse complement, so a canonical k-mer's count is its own plus its partner's).
class RowShape {
public:
    RowShape(std::uint8_t k, TableStrands strands) : k_(k), strands_(strands) {}

    [[nodiscard]] std::size_t columns() const {
        return static_cast<std::size_t>(table_columns(k_, strands_));
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
            case TableStrands::kCanonical: {
                // Pairing in place first walks the list in tiles (see add_reverse_strand); a
                // lookup of each partner would miss the cache at every k-mer of a large k. A
                // k-mer that is its own partner has then been counted twice.
                add_reverse_strand(k_, counts);
                std::size_t j = 0;
                for (std::uint64_t kmer = 0; kmer < counts.size(); ++kmer) {
                    const std::uint64_t partner = reverse_complement_index(k_, kmer);
                    if (kmer > partner) continue;
                    row[j++] = partner == kmer ? counts[kmer] / 2 : counts[kmer];
                    if ((kmer & kPollKmers) == 0) util::poll_interrupt(kPollKmers);
                }
                for (std::size_t i = 0; i < counts.size(); i += kPollKmers) {
                    const std::size_t end = std::min(counts.size(), i + kPollKmers);
                    std::fill(counts.begin() + static_cast<std::ptrdiff_t>(i),
                              counts.begin() + static_cast<std::ptrdiff_t>(end), 0);
                    util::poll_interrupt(kPollKmers);
                }
                break;
            }
        }
        // A row of a large k is a long pass of its own.
        util::poll_interrupt(counts.size());
    }

private:
    static constexpr std::uint64_t kPollKmers = (std::uint64_t{1} << 20) - 1;

    std::uint8_t k_;
    TableStrands strands_;
};

// Counts each record into a row of its own, or every record into one row for the file.
template <Invalid invalid>
class RowCounter {
public:
    RowCounter(const std::string& path, const TableOptions& options, FileRows& out, TableJob& job)
        : path_(path),
          options_(options),
          shape_(options.k, options.strands),
          space_(static_cast<std::size_t>(kmer_space(options.k))),
          store_(out, shape_.columns(), job),
          out_(out),
          // Counts go straight into the row unless they must be reshaped first or summed over
          // the file's records.
          scratch_(charged_scratch(job)),
          counter_(options.k, scratch_.data(), space_ - 1) {}

    void start(std::string_view /*id*/) {
        if (!options_.per_file) {
            row_ = store_.next_row();
            if (scratch_.empty()) {
                counter_ = WindowCounter<Letters::kEither, invalid>(options_.k, row_, space_ - 1);
            }
        }
        counter_.start();
    }

    std::size_t feed(const unsigned char* bytes, std::size_t n) {
        const std::uint64_t before = counter_.size();
        counter_.feed(bytes, n);
        if (invalid == Invalid::kStop && counter_.stopped()) {
            return static_cast<std::size_t>(counter_.first_bad() - before);
        }
        return n;
    }

    void end(std::string_view id, std::uint64_t /*size*/) {
        counter_.finish();
        if (options_.per_file) {
            file_counted_ += counter_.counted();
            file_skipped_ += counter_.skipped();
            return;
        }
        std::uint64_t* const counts = scratch_.empty() ? row_ : scratch_.data();
        shape_.finish({counts, space_}, row_);
        add_row(id, counter_.counted(), counter_.skipped());
    }

    // After the last record: the file's row, when there is one per file.
    void end_file() {
        if (!options_.per_file) return;
        row_ = store_.next_row();
        if (!shape_.needs_scratch()) std::copy(scratch_.begin(), scratch_.end(), row_);
        std::uint64_t* const counts = shape_.needs_scratch() ? scratch_.data() : row_;
        shape_.finish({counts, space_}, row_);
        add_row(path_, file_counted_, file_skipped_);
    }

private:
    std::vector<std::uint64_t> charged_scratch(TableJob& job) const {
        if (!shape_.needs_scratch() && !options_.per_file) return {};
        job.charge(space_ * sizeof(std::uint64_t), 0);
        return std::vector<std::uint64_t>(space_);
    }

    void add_row(std::string_view id, std::uint64_t counted, std::uint64_t skipped) {
        out_.ids.emplace_back(id);
        out_.windows.push_back(counted * shape_.per_window());
        out_.skipped.push_back(skipped * shape_.per_window());
    }

    const std::string& path_;
    const TableOptions& options_;
    RowShape shape_;
    std::size_t space_;
    RowStore store_;
    FileRows& out_;
    std::vector<std::uint64_t> scratch_;
    WindowCounter<Letters::kEither, invalid> counter_;
    std::uint64_t* row_ = nullptr;
    std::uint64_t file_counted_ = 0;
    std::uint64_t file_skipped_ = 0;
};

// Reads one file and counts its records into rows, stopping early when cancelled.
template <Invalid invalid>
void count_file(const std::string& path, const TableOptions& options, FileRows& out, TableJob& job,
                WalkShared shared) {
    RowCounter<invalid> rows(path, options, out, job);
    BaseTally* const tally = options.tally ? &out.tally : nullptr;
    fasta::Reader reader(path);
    if (options.window.width > 0) {
        RecordWindows<invalid, RowCounter<invalid>> windows(rows, options.window, out.places,
                                                            reader.memory());
        if (!walk_records<invalid>(reader, path, options.k, windows, shared, tally)) return;
    } else if (!walk_records<invalid>(reader, path, options.k, rows, shared, tally)) {
        return;
    }
    rows.end_file();
}

// Refuses, before anything is allocated, a table whose least size cannot fit: a row for every
// file (a file with a record gives at least one) and the count list each worker sums into.
void require_least_table(const TableOptions& options, std::size_t files, unsigned workers) {
    const bool scratch = options.strands == TableStrands::kCanonical || options.per_file;
    const std::uint64_t lists = files + (scratch ? workers : 0);
    // Canonical rows are about half as wide: counted as half a list each.
    const std::uint64_t per_kmer =
        (scratch ? workers : 0) * sizeof(std::uint64_t) +
        files * (options.strands == TableStrands::kCanonical ? sizeof(std::uint64_t) / 2
                                                             : sizeof(std::uint64_t));
    const std::string items =
        lists > 1 ? "counts for each of " + std::to_string(lists) + " rows" : "counts";
    require_kmer_memory(options.k, per_kmer, 0, items);
}

}  // namespace

std::vector<std::uint64_t> table_kmers(std::uint8_t k, TableStrands strands) {
    const std::uint64_t columns = table_columns(k, strands);
    util::require_memory(util::saturating_mul(columns, sizeof(std::uint64_t)), [&] {
        const std::string k_text = std::to_string(k);
        return util::MemoryNeed{.what = "k = " + k_text, .detail = "4^" + k_text + " labels"};
    });
    const std::uint64_t space = kmer_space(k);
    std::vector<std::uint64_t> kmers;
    kmers.reserve(static_cast<std::size_t>(columns));
    for (std::uint64_t kmer = 0; kmer < space; ++kmer) {
        if (strands != TableStrands::kCanonical || kmer <= reverse_complement_index(k, kmer)) {
            kmers.push_back(kmer);
        }
        if ((kmer & 0xFFFFF) == 0) util::poll_interrupt(std::uint64_t{1} << 20);
    }
    return kmers;
}

std::uint64_t table_columns(std::uint8_t k, TableStrands strands) {
    if (k > kMaxRepresentableK) return UINT64_MAX;
    const std::uint64_t space = kmer_space(k);
    if (strands != TableStrands::kCanonical) return space;
    // An odd k has no k-mer that is its own reverse complement (the middle letter would have to
    // be its own complement); an even k has 4^(k/2), fixed by their first half.
    return k % 2 == 1 ? space / 2 : (space + kmer_space(static_cast<std::uint8_t>(k / 2))) / 2;
}

RowRegion::RowRegion(RowRegion&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

RowRegion& RowRegion::operator=(RowRegion&& other) noexcept {
    if (this != &other) {
        if (base_ != nullptr) munmap(base_, capacity_);
        base_ = std::exchange(other.base_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

RowRegion::~RowRegion() {
    if (base_ != nullptr) munmap(base_, capacity_);
}

void RowRegion::reserve(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    bytes = (bytes + page - 1) / page * page;
    if (bytes <= capacity_) return;
    // The new mapping starts on a huge-page boundary like the old one, so the rows' huge pages
    // move whole instead of being split where the system would have put them.
    char* const grown = map_zeroed(bytes);
    if (base_ != nullptr) {
        if (mremap(base_, capacity_, capacity_, MREMAP_MAYMOVE | MREMAP_FIXED, grown) ==
            MAP_FAILED) {
            std::memcpy(grown, base_, capacity_);
            munmap(base_, capacity_);
        }
    }
    base_ = grown;
    capacity_ = bytes;
}

void* RowRegion::release() && noexcept {
    capacity_ = 0;
    return std::exchange(base_, nullptr);
}

std::shared_ptr<void> RowRegion::share() && {
    void* const base = base_;
    const std::size_t bytes = capacity_;
    std::shared_ptr<void> owner(base, [bytes](void* p) {
        if (p != nullptr) munmap(p, bytes);
    });
    base_ = nullptr;
    capacity_ = 0;
    return owner;
}

TableJob::TableJob(std::vector<std::string> paths, TableOptions options, unsigned threads)
    : options_(options), rows_(paths.size()), files_(std::move(paths)) {
    const std::size_t files = files_.paths().size();
    threads = std::max(1U, std::min<unsigned>(threads, static_cast<unsigned>(files)));
    try {
        require_least_table(options_, files, threads);
    } catch (const util::MemoryRefused&) {
        if (options_.most_bytes == 0) throw;
        throw TableOutgrown();
    }
    files_.start(threads, [this](std::size_t i, util::InterruptHook& /*hook*/) {
        const std::string& path = files_.paths()[i];
        const WalkShared shared{files_.bytes_done(), files_.cancelled()};
        try {
            if (options_.invalid == Invalid::kStop) {
                count_file<Invalid::kStop>(path, options_, rows_[i], *this, shared);
            } else {
                count_file<Invalid::kSkip>(path, options_, rows_[i], *this, shared);
            }
        } catch (const TableOutgrown&) {
            // No row of any file is wanted now: the caller counts in another layout.
            rows_[i] = FileRows{};
            files_.cancel();
            throw;
        } catch (...) {
            rows_[i] = FileRows{};  // the job fails, or was cancelled: its rows are not wanted
            throw;
        }
    });
}

void TableJob::charge(std::uint64_t bytes, std::uint64_t rows) {
    const std::lock_guard lock(account_mutex_);
    const bool bounded = options_.most_bytes != 0;
    if (bounded && util::saturating_add(account_.total(), bytes) > options_.most_bytes) {
        throw TableOutgrown();
    }
    try {
        account_.charge(bytes, [&] {
            const std::string k_text = std::to_string(options_.k);
            std::string detail = "4^" + k_text + " counts";
            if (rows > 1) detail += " for each of " + std::to_string(rows) + " rows";
            return util::MemoryNeed{.what = "k = " + k_text, .detail = std::move(detail)};
        });
    } catch (const util::MemoryRefused&) {
        if (!bounded) throw;
        account_.release(bytes);
        throw TableOutgrown();
    }
}

void TableJob::release(std::uint64_t bytes) {
    const std::lock_guard lock(account_mutex_);
    account_.release(bytes);
}

std::vector<FileRows> TableJob::take() {
    files_.finish();
    return std::move(rows_);
}

Table gather_table(std::vector<FileRows>&& files, std::size_t columns) {
    Table table;
    table.columns = columns;
    std::size_t rows = 0;
    for (const FileRows& file : files) rows += file.rows;
    const std::size_t row_bytes = columns * sizeof(std::uint64_t);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto filled = std::count_if(files.begin(), files.end(),
                                      [](const FileRows& file) { return file.rows > 0; });
    if (filled == 1) {
        // One file holds every row: its region becomes the table as it is.
        for (FileRows& file : files) {
            if (file.rows > 0) table.memory = std::move(file.region).share();
        }
    } else {
        const std::uint64_t bytes = util::saturating_mul(rows, row_bytes);
        // Pages are moved where rows fill whole pages, which takes no memory more; otherwise a
        // file's rows are copied and then freed, so beyond the rows already held the table
        // takes at most the largest file's more.
        const bool moved = row_bytes % page == 0;
        std::uint64_t extra = 0;
        if (!moved) {
            for (const FileRows& file : files) {
                extra = std::max<std::uint64_t>(extra, file.rows * row_bytes);
            }
        }
        util::require_memory(extra, [&] {
            return util::MemoryNeed{
                .what = "the k-mer table",
                .detail = std::to_string(rows) + " rows of " + std::to_string(columns) + " counts"};
        });
        RowRegion whole;
        whole.reserve(std::max<std::size_t>(static_cast<std::size_t>(bytes), 1));
        auto* to = reinterpret_cast<char*>(whole.data());
        for (FileRows& file : files) {
            const std::size_t n = file.rows * row_bytes;
            if (n == 0) continue;
            void* const from = file.region.data();
            const std::size_t capacity = file.region.capacity();
            if (moved && mremap(from, n, n, MREMAP_MAYMOVE | MREMAP_FIXED, to) != MAP_FAILED) {
                // The rows have left; only the slack past them is still mapped there.
                static_cast<void>(std::move(file.region).release());
                if (capacity > n) munmap(static_cast<char*>(from) + n, capacity - n);
            } else {
                std::memcpy(to, from, n);
                file.region = RowRegion{};
            }
            to += n;
        }
        table.memory = std::move(whole).share();
    }
    table.counts = static_cast<std::uint64_t*>(table.memory.get());
    if (table.counts == nullptr) {
        // An empty table still hands out a valid address.
        table.memory = std::make_shared<std::uint64_t>(0);
        table.counts = static_cast<std::uint64_t*>(table.memory.get());
    }
    table.ids.reserve(rows);
    for (std::size_t f = 0; f < files.size(); ++f) {
        FileRows& file = files[f];
        table.tallies.push_back(file.tally);
        append_row_facts(table, file, file.ids.size(), f);
        file = FileRows{};
    }
    return table;
}

Table sum_table(Table&& table) {
    Table sum;
    sum.columns = table.columns;
    util::require_memory(util::saturating_mul(table.columns, sizeof(std::uint64_t)), [&] {
        return util::MemoryNeed{.what = "the k-mer table",
                                .detail = "1 row of " + std::to_string(table.columns) + " counts"};
    });
    auto row = std::make_shared<std::vector<std::uint64_t>>(table.columns);
    std::uint64_t* const to = row->data();
    for (std::size_t r = 0; r < table.ids.size(); ++r) {
        const std::uint64_t* const from = table.counts + r * table.columns;
        for (std::size_t c = 0; c < table.columns; ++c) to[c] += from[c];
        util::poll_interrupt(table.columns);
    }
    sum.counts = to;
    sum.memory = std::shared_ptr<void>(row, to);
    sum.ids.emplace_back();
    sum.files.push_back(0);
    std::uint64_t windows = 0;
    std::uint64_t skipped = 0;
    for (const std::uint64_t n : table.windows) windows += n;
    for (const std::uint64_t n : table.skipped) skipped += n;
    sum.windows.push_back(windows);
    sum.skipped.push_back(skipped);
    sum.tallies = std::move(table.tallies);
    table = Table{};
    return sum;
}

void drop_rare(Table& table, std::uint64_t min_count) {
    const std::size_t rows = table.ids.size();
    for (std::size_t r = 0; r < rows; ++r) {
        std::uint64_t* const row = table.counts + r * table.columns;
        for (std::size_t c = 0; c < table.columns; ++c) {
            if (row[c] < min_count) row[c] = 0;
        }
        util::poll_interrupt(table.columns);
    }
}

}  // namespace velko::kmer
