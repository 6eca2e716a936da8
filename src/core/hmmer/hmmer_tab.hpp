// Reading HMMER 3 tabular output (per-sequence and per-domain tables) into a top-hit table.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hmmer/tophit_table.hpp"
#include "util/line_splitter.hpp"

namespace velko::hmmer {

/// The two tables a HMMER 3 search writes: one row per sequence-profile pair (--tblout) or
/// one row per domain (--domtblout).
enum class TableFormat { kTblout, kDomtblout };
/// Which side of a row is the gene: hmmsearch searches profiles (queries) against genes
/// (targets), hmmscan genes (queries) against profiles (targets). kFromFile takes the program
/// from the table's own "# Program:" comment line. phmmer and jackhmmer search like hmmsearch,
/// their query sequence standing for the profile; nhmmer and nhmmscan are the nucleotide
/// hmmsearch and hmmscan, whose per-sequence table has its own columns (one row per hit).
enum class SearchProgram {
    kFromFile,
    kHmmsearch,
    kHmmscan,
    kPhmmer,
    kJackhmmer,
    kNhmmer,
    kNhmmscan,
};
/// The full sequence's E-value and score, or the domain's independent E-value and score.
enum class ScoreKind { kSequence, kDomain };
/// A profile is named by its name, by its accession, or by its accession where it has one and
/// by its name where the accession is "-".
enum class ProfileKey { kName, kAccession, kAccessionOrName };

struct HmmerOptions {
    TableFormat format = TableFormat::kTblout;
    SearchProgram program = SearchProgram::kFromFile;
    ScoreKind score = ScoreKind::kSequence;
    ProfileKey hmm = ProfileKey::kName;
};

/// Every column of one row that annotation reads, seen from the gene and the profile rather
/// than from the query and the target. Numbers a table does not have are 0 (lengths,
/// coordinates, counts) or NaN (scores); the texts point into the reader's line.
struct TableRow {
    std::uint64_t line = 0;
    std::string_view gene_id;
    std::string_view gene_acc;
    std::string_view hmm_id;  // as the options name profiles
    std::string_view hmm_name;
    std::string_view hmm_acc;
    std::string_view description;  // of the target, possibly empty
    double e_val = 0.0;            // the score kind the options ask for
    double bit_score = 0.0;
    double seq_e_val = 0.0;  // the full sequence's (a hit's, in nhmmer tables)
    double seq_bit_score = 0.0;
    double dom_e_val = 0.0;  // the domain's independent E-value and score, or the best domain's
    double dom_bit_score = 0.0;
    std::uint64_t gene_length = 0;
    std::uint64_t hmm_length = 0;
    std::uint64_t dom_index = 0;  // the domain's number, from 1
    std::uint64_t dom_count = 0;
    std::uint64_t hmm_from = 0, hmm_to = 0;  // on the profile
    std::uint64_t ali_from = 0, ali_to = 0;  // on the gene; from > to on a reverse strand
    std::uint64_t env_from = 0, env_to = 0;
    bool has_domains = false;  // a per-domain row (domtblout), or a hit row of nhmmer
    // False for a hit a table kept with one domain's score: it has no full sequence's score
    // for thresholds and cutoffs to read.
    bool has_sequence = true;
};

/// Takes the rows of a table whole, for callers that need more than the four columns of a hit.
class RowSink {
public:
    virtual ~RowSink() = default;
    /// One row, in file order. May throw a format util::Failure.
    virtual void take(const TableRow& row) = 0;
    /// Asked before take() with the row's line, names, scores and has_domains alone: false
    /// skips the row, so a sink that drops most rows spares the reading of their other columns.
    /// May throw as take() does.
    virtual bool wants(const TableRow& /*row*/) { return true; }
    /// Whether take() reads the columns that neither thresholds nor coverage need (the
    /// domain's number and count, the envelope, the description); if not, they keep their
    /// defaults.
    [[nodiscard]] virtual bool reads_every_column() const { return true; }
    /// Whether take() reads dom_e_val; if not, it is NaN (still checked to be a number) unless
    /// the options score by domain.
    [[nodiscard]] virtual bool reads_domain_e_value() const { return true; }
    /// About the bytes the sink keeps, charged to the reading call's memory as they grow.
    [[nodiscard]] virtual std::size_t memory_bytes() const { return 0; }
};

/// Takes the text of one table in pieces of any size and offers every row to a top-hit table
/// as (gene, profile, E-value, score), in file order, through TopHitTable::add_hit. Comment
/// lines start with "#"; fields are separated by runs of blanks; the description after the
/// fixed columns may hold blanks and may be missing; blank lines are skipped. Lines end at LF,
/// CR LF or CR.
class HmmerTableReader {
public:
    /// Throws util::Failure (refused) for domain scores of a per-sequence table.
    HmmerTableReader(std::string_view path, const HmmerOptions& options, TopHitTable& table);
    /// Offers each row whole to `sink` instead of a hit to a table.
    HmmerTableReader(std::string_view path, const HmmerOptions& options, RowSink& sink);

    /// Reads the lines completed by `bytes`. Throws a format util::Failure naming the path, the
    /// line and the column: too few columns, a number that does not parse, a row or column headings
    /// of another table format, an identifier that is not UTF-8, a missing accession asked for,
    /// or a "# Program:" line naming another program. Throws util::MemoryRefused for a line
    /// longer than the call may hold.
    void feed(std::string_view bytes);
    /// Charges what the reader keeps (the rows waiting for their program, what the table
    /// gains) to `account` instead of an account of its own: the account of a call that reads
    /// several files into one table, which must see the table's whole growth.
    void share_account(util::MemoryAccount& account) { shared_ = &account; }
    /// Takes rows as written by `program` as they come, rather than holding them until the
    /// "# Program:" line; that line must then name the same program. For callers that have
    /// read it ahead, at the end of a file.
    void expect_program(SearchProgram program) { expected_ = program; }
    /// Reads the last line (it needs no line feed) and offers the rows still waiting for their
    /// program; fails as feed does, and when no "# Program:" line follows such rows.
    void finish();

private:
    // A row read before its program is known: HMMER writes the program after the rows.
    struct Waiting {
        std::uint64_t line;
        std::size_t text_at;                  // target name, target accession, query name and
        std::array<std::uint32_t, 4> length;  // query accession, one after the other in text_
        double e_val;
        double bit_score;
    };
    struct WaitingLine {
        std::uint64_t line;
        std::size_t text_at;
        std::size_t size;
    };
    /// Makes room for one more waiting row of `text` bytes; throws util::MemoryRefused when the
    /// rows would not fit.
    template <class Rows>
    void hold(Rows& rows, std::size_t text);

    HmmerTableReader(std::string_view path, const HmmerOptions& options, TopHitTable* table,
                     RowSink* sink);
    void take_line(std::string_view line);
    void take_comment(std::string_view line);
    void take_row(std::string_view line);
    void offer(SearchProgram program, std::uint64_t line, std::string_view target_name,
               std::string_view target_acc, std::string_view query_name, std::string_view query_acc,
               double e_val, double bit_score);
    void offer_waiting(SearchProgram program);
    void charge_now_and_then();
    // The row's fixed columns are `fields`, views into `text`.
    void offer_row(SearchProgram program, std::uint64_t line, std::string_view text,
                   std::span<const std::string_view> fields);
    [[nodiscard]] std::size_t kept_bytes() const;
    [[nodiscard]] util::MemoryAccount& account() { return shared_ != nullptr ? *shared_ : own_; }
    [[nodiscard]] bool nucleotide(SearchProgram program) const;
    [[nodiscard]] std::string_view profile_id(SearchProgram program, std::uint64_t line,
                                              std::string_view name, std::string_view acc) const;
    [[noreturn]] void fail_at(std::uint64_t line, std::uint32_t column,
                              std::string_view reason) const;

    std::string path_;
    HmmerOptions options_;
    TopHitTable* table_ = nullptr;
    RowSink* sink_ = nullptr;
    bool nucleotide_headings_ = false;  // the headings are those of an nhmmer table
    SearchProgram expected_ = SearchProgram::kFromFile;
    util::LineSplitter lines_{"a line of the HMMER table"};
    std::uint64_t line_ = 0;
    // Rows waiting for their program, their text in text_; the sink's keep the whole line.
    std::vector<Waiting> waiting_;
    std::vector<WaitingLine> waiting_lines_;
    std::string text_;
    // What the waiting rows and the table gained keep, in the reader's own account or the
    // call's.
    util::MemoryAccount own_;
    util::MemoryAccount* shared_ = nullptr;
    std::size_t kept_bytes_ = 0;  // the table's (or sink's) size when last charged
    std::uint64_t offered_ = 0;   // held rows offered so far
};

/// Reads the table in the file at `path`, plain or gzip-compressed (told by its first bytes),
/// through a HmmerTableReader. Throws util::Failure, located in the file: an OS error, damaged
/// or truncated gzip data, and the reader's failures; util::Interrupted when the thread's
/// interrupt hook asks.
/// What the reading keeps is charged to `account` when given (see share_account).
void read_hmmer_file(std::string_view path, const HmmerOptions& options, TopHitTable& table,
                     util::MemoryAccount* account = nullptr);
/// read_hmmer_file, each row offered whole to `sink`.
void read_hmmer_file(std::string_view path, const HmmerOptions& options, RowSink& sink,
                     util::MemoryAccount* account = nullptr);

}  // namespace velko::hmmer
