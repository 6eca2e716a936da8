// A HMMER table fed in pieces must read as when fed whole: the same hits, or the same failure at
// the same line and column, wherever the pieces are cut (inside a CR LF pair, a number, the
// "# Program:" line that settles the rows before it).
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "hmmer/hmmer_tab.hpp"
#include "hmmer_outcome.hpp"
#include "util/failure.hpp"

using velko::test::expect;
using velko::test::finish;

namespace {

using velko::hmmer::HmmerOptions;
using velko::hmmer::HmmerTableReader;
using velko::hmmer::ProfileKey;
using velko::hmmer::ScoreKind;
using velko::hmmer::SearchProgram;
using velko::hmmer::TableFormat;
using velko::hmmer::TopHitTable;

using velko::testing::Outcome;

Outcome read_cut(const std::string& text, const HmmerOptions& options,
                 const std::vector<std::size_t>& cuts) {
    TopHitTable table;
    Outcome outcome;
    try {
        HmmerTableReader reader("t.tbl", options, table);
        std::size_t from = 0;
        for (const std::size_t cut : cuts) {
            reader.feed(std::string_view(text).substr(from, cut - from));
            from = cut;
        }
        reader.feed(std::string_view(text).substr(from));
        reader.finish();
    } catch (const velko::util::Failure& error) {
        outcome.failure = error.what();
        return outcome;
    }
    outcome.hits = velko::testing::rows_of(table);
    return outcome;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Every single cut and a few random sets of cuts give the whole text's outcome.
void check_pieces(const std::string& name, const std::string& text, const HmmerOptions& options,
                  std::mt19937_64& random) {
    const Outcome whole = read_cut(text, options, {});
    const std::size_t step = text.size() > 4000 ? 97 : 1;
    for (std::size_t cut = 0; cut <= text.size(); cut += step) {
        if (read_cut(text, options, {cut}) != whole) {
            expect(false, name + ": cut at " + std::to_string(cut));
            return;
        }
    }
    for (int round = 0; round < 50; ++round) {
        std::vector<std::size_t> cuts;
        std::size_t at = 0;
        while (true) {
            at += random() % 40;
            if (at > text.size()) break;
            cuts.push_back(at);
        }
        if (read_cut(text, options, cuts) != whole) {
            expect(false, name + ": random cuts, round " + std::to_string(round));
            return;
        }
    }
}

const std::string kRow1 =
    "g1 - prof1 PF1.2 1.5e-10 40.2 0.1 2e-10 39.9 0.1 1.0 1 0 0 1 1 1 1 first gene\r\n";
const std::string kRow2 = "g2 - prof1 PF1.2 3e-5 20.0 0.1 4e-5 19.9 0.1 1.0 1 0 0 1 1 1 1 -\n";
const std::string kTrailer = "#\n# Program:         hmmsearch\n# [ok]\n";

// The text with every line ending in a CR alone.
std::string cr_only(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i] == '\n' ? '\r' : text[i];
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937_64 random(2024);
    // The committed outputs of real searches, each in its own layout and program.
    if (argc > 1) {
        const std::string dir = argv[1];
        const std::vector<std::tuple<std::string, TableFormat, ScoreKind, ProfileKey>> files = {
            {"search.tblout", TableFormat::kTblout, ScoreKind::kSequence, ProfileKey::kName},
            {"scan.tblout", TableFormat::kTblout, ScoreKind::kSequence, ProfileKey::kName},
            {"search.domtblout", TableFormat::kDomtblout, ScoreKind::kDomain, ProfileKey::kName},
            {"scan.domtblout", TableFormat::kDomtblout, ScoreKind::kSequence, ProfileKey::kName},
        };
        for (const auto& [name, format, score, key] : files) {
            const std::string text = file_text(dir + "/" + name);
            expect(!text.empty(), name + " is there");
            HmmerOptions options{format, SearchProgram::kFromFile, score, key};
            check_pieces(name, text, options, random);
            expect(read_cut(text, options, {}).failure.empty(), name + " reads");
            expect(!read_cut(text, options, {}).hits.empty(), name + " has hits");
        }
    }

    const HmmerOptions tblout;
    // (text, options, expected failure; empty when the text reads).
    const std::vector<std::tuple<std::string, HmmerOptions, std::string>> cases = {
        {kRow1 + kRow2 + kTrailer, tblout, ""},
        {kRow1 + kRow2, tblout,
         "t.tbl:1: no \"# Program:\" line after this row names the program that wrote it "
         "(hmmsearch or hmmscan)"},
        {kRow1 + kTrailer + kRow2, tblout,
         "t.tbl:5: no \"# Program:\" line after this row names the program that wrote it "
         "(hmmsearch or hmmscan)"},
        {kRow1 + "\n  \n" + kRow2 + kTrailer, tblout, ""},
        {kRow1 + "g3 - prof1 PF1.2 1e-3 x7 0.1\n" + kTrailer, tblout,
         "t.tbl:2:6: score \"x7\" is not a number"},
        {kRow1 + "g3 - prof1 PF1.2 1e-3\n" + kTrailer, tblout,
         "t.tbl:2:6: too few columns: a tblout row has 18 before its description, this one 5"},
        {kRow1 + kRow2 + "#\n# Program:         blastp\n", tblout,
         "t.tbl:4:3: the table was written by \"blastp\", not by a HMMER search program "
         "(hmmsearch, hmmscan, phmmer, jackhmmer, nhmmer or nhmmscan)"},
        {kRow1 + kRow2 + "#\n# Program:  hmmscan",
         {TableFormat::kTblout, SearchProgram::kHmmsearch, ScoreKind::kSequence, ProfileKey::kName},
         ""},  // the caller's program stands over the table's own line
        {kRow2 + "g4 - globins4 - 1e-3 7 0.1 4e-5 19.9 0.1 1.0 1 0 0 1 1 1 1\n" + kTrailer,
         {TableFormat::kTblout, SearchProgram::kFromFile, ScoreKind::kSequence,
          ProfileKey::kAccession},
         "t.tbl:2:4: the profile \"globins4\" has no accession (query accession is \"-\")"},
        {kRow1 + "g\xff - prof1 PF1.2 1e-3 7 0.1 4e-5 19.9 0.1 1.0 1 0 0 1 1 1 1\n", tblout,
         "t.tbl:2:1: target name \"g\\xff\" is not UTF-8"},
        // Lines that end in CR alone are lines, counted as such.
        {cr_only(kRow1 + kRow2 + kTrailer), tblout, ""},
        {cr_only(kRow1 + "\n" + kRow2 + "g3 - prof1 PF1.2 1e-3 x7 0.1\n" + kTrailer), tblout,
         "t.tbl:4:6: score \"x7\" is not a number"},
        {kRow1 + "\r\r\n" + kRow2 + "g3 - prof1 PF1.2 1e-3 x7 0.1\r\n" + kTrailer, tblout,
         "t.tbl:5:6: score \"x7\" is not a number"},
        // Made of the letters of a number, yet none.
        {kRow1 + "g3 - prof1 PF1.2 1e 7 0.1 4e-5 19.9 0.1 1.0 1 0 0 1 1 1 1\n" + kTrailer, tblout,
         "t.tbl:2:5: E-value \"1e\" is not a number"},
        {kRow1 + "g3 - prof1 PF1.2 1e-3 9- 0.1 4e-5 19.9 0.1 1.0 1 0 0 1 1 1 1\n" + kTrailer,
         tblout, "t.tbl:2:6: score \"9-\" is not a number"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [text, options, failure] = cases[i];
        const Outcome outcome = read_cut(text, options, {});
        expect(outcome.failure == failure,
               "case " + std::to_string(i) + ": got \"" + outcome.failure + "\"");
        check_pieces("case " + std::to_string(i), text, options, random);
    }
    expect(read_cut(cr_only(kRow1 + kRow2 + kTrailer), tblout, {}) ==
               read_cut(kRow1 + kRow2 + kTrailer, tblout, {}),
           "CR line ends read as LF ones");
    // The rows are offered in file order: the first of two equal hits stays.
    const Outcome two = read_cut(kRow1 + kRow2 + kTrailer, tblout, {});
    expect(two.hits.size() == 2 && std::get<0>(two.hits[0]) == "g1" &&
               std::get<1>(two.hits[0]) == "prof1" && std::get<2>(two.hits[0]) == 1.5e-10 &&
               std::get<3>(two.hits[0]) == 40.2,
           "rows of hmmsearch: gene is the target, profile the query");
    return finish("hmmer_table_pieces");
}
