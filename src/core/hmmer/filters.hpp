// Thresholds and coverage over the rows of HMMER tables, as annotation applies them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hmmer/cutoffs.hpp"
#include "hmmer/hmmer_tab.hpp"
#include "hmmer/tophit_table.hpp"
#include "util/text_map.hpp"

namespace velko::hmmer {

/// What a profile without the asked-for cutoff line does: fail, pass unfiltered, or go.
enum class MissingCutoff { kError, kKeep, kDrop };

/// Which score a hit kept in a table holds, and so which number of a cutoff line it is held
/// against: the full sequence's (the first) or one domain's (the second).
enum class Level { kSequence, kDomain };

/// The thresholds of a search, each one off when unset. Sequence thresholds read the full
/// sequence's E-value and score, domain thresholds the domain's independent E-value and score;
/// a cutoff sets both from the profile's line. Coverage (0..1) is the union of the kept
/// domains' intervals of one gene and profile over the profile's and the gene's length.
struct FilterOptions {
    std::optional<double> max_seq_e_val;
    std::optional<double> min_seq_bit_score;
    std::optional<double> max_dom_e_val;
    std::optional<double> min_dom_bit_score;
    std::optional<CutoffKind> cutoff;
    const CutoffTable* cutoffs = nullptr;  // needed with a cutoff
    MissingCutoff missing_cutoff = MissingCutoff::kError;
    double min_hmm_coverage = 0.0;
    double min_gene_coverage = 0.0;
    bool keep_rows = false;  // remember each kept hit's row (see HitFilter::kept_rows)
};

/// The columns of the row that gave a kept hit, for tables that keep them all.
struct KeptRow {
    std::string description;
    std::string gene_acc;
    std::string hmm_acc;
    double seq_e_val = 0.0;
    double seq_bit_score = 0.0;
    double dom_e_val = 0.0;
    double dom_bit_score = 0.0;
    std::uint64_t dom_count = 0;
    std::uint64_t gene_length = 0;
    std::uint64_t hmm_length = 0;
    std::uint64_t hmm_from = 0, hmm_to = 0, ali_from = 0, ali_to = 0, env_from = 0, env_to = 0;
    double hmm_coverage = 0.0;  // NaN where the table has no domains
    double gene_coverage = 0.0;
};

/// Takes the rows of one or more tables and offers those that pass to a top-hit table, each
/// gene and profile once with its best hit when coverage or rows are asked for.
class HitFilter : public RowSink {
public:
    HitFilter(const FilterOptions& options, TopHitTable& table);

    /// Sets the path that failures of the following rows name.
    void set_source(std::string_view path) { source_ = path; }
    /// Throws a format util::Failure for a profile without the cutoff asked for (with
    /// MissingCutoff::kError, at the first row of that profile, see fail_missing_cutoff) and,
    /// with a coverage threshold, for a row without lengths.
    void take(const TableRow& row) override;
    /// Whether the row passes the thresholds and cutoffs; take() then need not ask again.
    bool wants(const TableRow& row) override;
    [[nodiscard]] bool reads_every_column() const override { return options_.keep_rows; }
    [[nodiscard]] bool reads_domain_e_value() const override {
        return options_.keep_rows || options_.max_dom_e_val.has_value();
    }
    /// The filter's own working memory and the table's.
    [[nodiscard]] std::size_t memory_bytes() const override;
    /// Applies the coverage thresholds and offers the gathered hits; call once, at the end.
    void finish();

    /// Lets the filter forget each run of rows that fails coverage but for a fingerprint of
    /// about 6 bytes, because the caller can offer every row again (files that can be read
    /// twice, rows held in memory). Without it such runs are held whole, in case their gene and
    /// profile come back. Call before the first row.
    void allow_second_pass();
    /// True when a gene and profile came back after a run that failed coverage: the caller
    /// then calls begin_second_pass() and offers every row again, in the same order, before
    /// finish(); only the rows of those pairs are gathered that time.
    [[nodiscard]] bool wants_second_pass() const;
    void begin_second_pass();

    /// The row of each kept gene and profile, when asked for.
    [[nodiscard]] const KeptRow* kept_row(std::string_view gene_id, std::string_view hmm_id) const;

private:
    // A gene and profile gathered before it is offered. Its names sit in names_.
    struct Pair {
        std::size_t names_at = 0;
        std::uint32_t gene_size = 0;
        std::uint32_t hmm_size = 0;
        double e_val = 0.0;
        double bit_score = 0.0;
        std::uint64_t gene_length = 0;
        std::uint64_t hmm_length = 0;
        double hmm_coverage = 0.0;
        double gene_coverage = 0.0;
        bool kept = false;
    };
    // Fingerprints of "gene NUL profile": the top 12 bits of a 64-bit hash choose a part,
    // whose open-addressed array holds the low 32 bits (0 marks an empty slot) filled to at
    // most 85%. Each part grows alone, with no moment when two copies of the whole set are
    // held, and a fingerprint costs about 6 bytes. Two pairs share one by chance about once in
    // 2^44, which only costs a second pass.
    class Fingerprints {
    public:
        [[nodiscard]] bool contains(std::uint64_t print) const;
        void insert(std::uint64_t print);
        [[nodiscard]] bool empty() const { return count_ == 0; }
        [[nodiscard]] std::size_t memory_bytes() const { return bytes_; }

    private:
        static constexpr std::size_t kParts = 4096;
        struct Part {
            std::vector<std::uint32_t> slots;
            std::uint32_t count = 0;
        };
        static std::uint32_t low_of(std::uint64_t print);
        static std::size_t home(const Part& part, std::uint32_t low);
        std::vector<Part> parts_;  // kParts of them from the first fingerprint on
        std::size_t count_ = 0;
        std::size_t bytes_ = 0;
    };
    // One kept domain's intervals on the profile and on the gene, ends included.
    struct Span {
        std::uint32_t pair;
        std::uint32_t hmm_from, hmm_to;
        std::uint32_t ali_from, ali_to;
    };

    [[nodiscard]] bool passes(const TableRow& row);
    void gather(const TableRow& row);
    // Appends the pair of `row` with the row's scores; its names go to names_.
    void add_pair(const TableRow& row);
    void add_span(Pair& pair, const TableRow& row);
    [[nodiscard]] bool covers(Pair& pair, std::span<Span> spans);
    void close_run();
    void offer_failed_runs();
    void cover();
    [[nodiscard]] std::string_view gene_of(const Pair& pair) const;
    [[nodiscard]] std::string_view hmm_of(const Pair& pair) const;
    [[nodiscard]] const std::string& key_of(std::string_view gene_id, std::string_view hmm_id);
    [[nodiscard]] std::uint64_t fingerprint(std::string_view gene_id, std::string_view hmm_id);
    [[noreturn]] void fail_at(std::uint64_t line, std::string_view reason) const;

    FilterOptions options_;
    TopHitTable& table_;
    std::string source_;
    bool gather_ = false;  // pairs are gathered before they are offered
    // Rows are kept per gene and profile (for kept_row), or streamed run by run: HMMER lists
    // a gene's domains of one profile together, so a run is judged when it ends, and only the
    // runs that fail wait (or leave a fingerprint, with a second pass), in case their pair
    // comes back in a later run.
    bool by_pair_ = false;
    // Pairs in the order first seen, found by "gene NUL profile" when rows are kept. The spans
    // of a pair are one run unless `split_` says a pair came back after another.
    std::vector<Pair> pairs_;
    util::TextMap<std::uint32_t> pair_index_;
    std::string names_;
    std::string key_;
    std::uint32_t current_ = 0;
    bool split_ = false;
    std::vector<Span> spans_;
    std::size_t run_spans_ = 0;  // where the open run's spans start, when streaming
    bool run_open_ = false;
    // Without a second pass, one bit per fingerprint of the pairs streamed so far: a pair whose
    // bit is set may have been seen, and then the failed runs are judged again at the end.
    std::vector<std::uint64_t> seen_;
    bool maybe_split_ = false;
    // With a second pass: the pairs whose runs failed, the pairs that came back after one
    // (gathered whole by the second pass), and the open run's fingerprint.
    bool second_pass_allowed_ = false;
    bool second_pass_ = false;
    Fingerprints failed_;
    Fingerprints returned_;
    std::uint64_t run_print_ = 0;
    std::uint64_t wanted_line_ = 0;   // the line of the row wants() passed last, else 0
    std::vector<KeptRow> rows_;       // per pair, when rows are kept
    std::size_t row_text_bytes_ = 0;  // the text rows_ hold
    std::vector<std::pair<std::uint32_t, std::uint32_t>> scratch_hmm_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> scratch_gene_;
    std::string last_profile_;  // the profile whose cutoff was looked up last
    const ProfileCutoffs* last_cutoffs_ = nullptr;
};

/// Reads the tables at `paths` (plain or gzip) through `filter`, in order, and reads them a
/// second time for the pairs that came back when every one is a regular file; the caller then
/// calls filter.finish(). Throws as read_hmmer_file does.
void filter_hmmer_files(std::span<const std::string> paths, const HmmerOptions& options,
                        HitFilter& filter);

}  // namespace velko::hmmer
