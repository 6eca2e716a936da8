// Reading HMMER 3 tabular output (per-sequence and per-domain tables) into a top-hit table.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hmmer/tophit_table.hpp"

namespace velko::hmmer {

/// The two tables a HMMER 3 search writes: one row per sequence-profile pair (--tblout) or
/// one row per domain (--domtblout).
enum class TableFormat { kTblout, kDomtblout };
/// Which side of a row is the gene: hmmsearch searches profiles (queries) against genes
/// (targets), hmmscan genes (queries) against profiles (targets). kFromFile takes the program
/// from the table's own "# Program:" comment line.
enum class SearchProgram { kFromFile, kHmmsearch, kHmmscan };
/// The full sequence's E-value and score, or the domain's independent E-value and score.
enum class ScoreKind { kSequence, kDomain };
/// A profile is named by its name or by its accession.
enum class ProfileKey { kName, kAccession };

struct HmmerOptions {
    TableFormat format = TableFormat::kTblout;
    SearchProgram program = SearchProgram::kFromFile;
    ScoreKind score = ScoreKind::kSequence;
    ProfileKey hmm = ProfileKey::kName;
};

/// Takes the text of one table in pieces of any size and offers every row to a top-hit table
/// as (gene, profile, E-value, score), in file order, through TopHitTable::add_hit. Comment
/// lines start with "#"; fields are separated by runs of blanks; the description after the
/// fixed columns may hold blanks and may be missing; blank lines are skipped.
class HmmerTableReader {
public:
    /// Throws util::Failure (refused) for domain scores of a per-sequence table.
    HmmerTableReader(std::string_view path, const HmmerOptions& options, TopHitTable& table);

    /// Reads the lines completed by `bytes`. Throws a format util::Failure naming the path, the
    /// line and the column: too few columns, a number that does not parse, a row or column headings
    /// of another table format, an identifier that is not UTF-8, a missing accession asked for,
    /// or a "# Program:" line naming another program.
    void feed(std::string_view bytes);
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

    void take_line(std::string_view line);
    void take_comment(std::string_view line);
    void take_row(std::string_view line);
    void offer(SearchProgram program, std::uint64_t line, std::string_view target_name,
               std::string_view target_acc, std::string_view query_name, std::string_view query_acc,
               double e_val, double bit_score);
    void offer_waiting(SearchProgram program);
    [[noreturn]] void fail_at(std::uint64_t line, std::uint32_t column,
                              std::string_view reason) const;

    std::string path_;
    HmmerOptions options_;
    TopHitTable& table_;
    std::string partial_;  // the start of a line that the next piece completes
    std::uint64_t line_ = 0;
    std::vector<Waiting> waiting_;
    std::string text_;
};

/// Reads the table in the file at `path`, plain or gzip-compressed (told by its first bytes),
/// through a HmmerTableReader. Throws util::Failure, located in the file: an OS error, damaged
/// or truncated gzip data, and the reader's failures.
void read_hmmer_file(std::string_view path, const HmmerOptions& options, TopHitTable& table);

}  // namespace velko::hmmer
