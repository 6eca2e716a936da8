// What reading a HMMER table came to, for tests and fuzz targets that compare readings.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "hmmer/hmmer_tab.hpp"
#include "hmmer/tophit_table.hpp"
#include "util/failure.hpp"

namespace velko::testing {

using Row = std::tuple<std::string, std::string, double, double>;

/// The hits of a table, in the table's own order, or the failure's text.
struct Outcome {
    std::vector<Row> hits;
    std::string failure;
    bool operator==(const Outcome&) const = default;  // NaN scores differ: see same()
};

/// The table's hits as rows, gene by gene.
inline std::vector<Row> rows_of(const hmmer::TopHitTable& table) {
    std::vector<Row> rows;
    const auto names = table.profile_names();
    table.for_each_gene([&](std::string_view gene, auto hits) {
        for (const auto& hit : hits) {
            rows.emplace_back(std::string(gene), names[hit.profile], hit.e_val, hit.bit_score);
        }
    });
    return rows;
}

/// The same hits in the same order (NaN scores equal NaN), or the same failure.
inline bool same(const Outcome& a, const Outcome& b) {
    if (a.failure != b.failure || a.hits.size() != b.hits.size()) return false;
    for (std::size_t i = 0; i < a.hits.size(); ++i) {
        const auto& [gene_a, hmm_a, e_a, bit_a] = a.hits[i];
        const auto& [gene_b, hmm_b, e_b, bit_b] = b.hits[i];
        const bool e_same = e_a == e_b || (e_a != e_a && e_b != e_b);
        const bool bit_same = bit_a == bit_b || (bit_a != bit_a && bit_b != bit_b);
        if (gene_a != gene_b || hmm_a != hmm_b || !e_same || !bit_same) return false;
    }
    return true;
}

/// Reading options from the bits of a byte: the format (bit 0), the program (bits 1 and 2),
/// domain scores (bit 3, with a domtblout) and profiles by accession (bit 4).
inline hmmer::HmmerOptions options_of(std::uint8_t pick) {
    using namespace hmmer;
    return HmmerOptions{
        (pick & 1) != 0 ? TableFormat::kDomtblout : TableFormat::kTblout,
        static_cast<SearchProgram>((pick >> 1) % 3),
        (pick & 8) != 0 && (pick & 1) != 0 ? ScoreKind::kDomain : ScoreKind::kSequence,
        (pick & 16) != 0 ? ProfileKey::kAccession : ProfileKey::kName,
    };
}

/// The lines of `text`, a line ending at LF, at CR LF or at a lone CR.
inline std::size_t line_count(std::string_view text) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lone_cr = text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n');
        if (text[i] == '\n' || lone_cr) ++lines;
    }
    return lines;
}

/// Runs fill(table) on a new table and gives what it came to. A failure must name a line of
/// `text` (or one past its end): anything else aborts, for the fuzzer to report.
template <class Fill>
Outcome outcome_of(std::string_view text, Fill&& fill) {
    hmmer::TopHitTable table;
    Outcome outcome;
    try {
        fill(table);
    } catch (const util::Failure& error) {
        if (error.line == 0 || error.line > line_count(text)) std::abort();
        outcome.failure = error.what();
        return outcome;
    }
    outcome.hits = rows_of(table);
    return outcome;
}

}  // namespace velko::testing
