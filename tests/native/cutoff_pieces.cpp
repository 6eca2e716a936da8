// A profile file fed in pieces must read as when fed whole: the same profiles and cutoffs, or
// the same failure at the same place, wherever the pieces are cut (inside a CR LF pair, a
// cutoff line, the "//" that ends a model).
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "hmmer/cutoffs.hpp"
#include "util/failure.hpp"

namespace {

using velko::hmmer::CutoffReader;
using velko::hmmer::CutoffTable;
using velko::hmmer::ProfileCutoffs;

std::string describe(const CutoffTable& table) {
    std::string out;
    for (const ProfileCutoffs& profile : table.profiles()) {
        out.append(profile.name).append("|").append(profile.accession).append("|");
        out.append(std::to_string(profile.length));
        for (const auto* cutoff : {&profile.gathering, &profile.trusted, &profile.noise}) {
            out.append("|");
            if (!cutoff->has_value()) {
                out.append("-");
                continue;
            }
            out.append(std::to_string((*cutoff)->sequence)).append(",");
            out.append(std::to_string((*cutoff)->domain));
        }
        out.append("\n");
    }
    return out;
}

std::string read_cut(const std::string& text, const std::vector<std::size_t>& cuts) {
    CutoffTable table;
    try {
        CutoffReader reader("p.hmm", table);
        std::size_t from = 0;
        for (const std::size_t cut : cuts) {
            reader.feed(std::string_view(text).substr(from, cut - from));
            from = cut;
        }
        reader.feed(std::string_view(text).substr(from));
        reader.finish();
    } catch (const velko::util::Failure& error) {
        std::string out = "failed: " + error.path + ":" + std::to_string(error.line);
        if (error.column != 0) out.append(":").append(std::to_string(error.column));
        return out.append(": ").append(error.reason);
    }
    return describe(table);
}

const std::string kModel = "HMM          A        C\n  1   2.1 3.2\n//\n";
const std::string kProfile1 =
    "HMMER3/f [3.3.2 | Nov 2020]\nNAME  fn3\nACC   PF00041.13\n"
    "LENG  86\nGA    8.00 7.20;\nTC    8.00 7.20;\nNC    7.90 7.10;\n" +
    kModel;
const std::string kProfile2 =
    "HMMER3/e [3.0 | March 2010]\r\nNAME  noacc\r\nLENG  12\r\n"
    "GA    -95.80 -95.80;\r\n" +
    kModel;

}  // namespace

int main() {
    const std::vector<std::string> texts = {
        kProfile1 + kProfile2,
        kProfile1 + "HMMER2.0\n",
        kProfile1 + kProfile2.substr(0, kProfile2.size() - 3),
        "HMMER3/f\nNAME x\nGA 1.0\nHMM\n//\n",
    };
    std::mt19937 random(11);
    int failures = 0;
    for (const std::string& text : texts) {
        const std::string whole = read_cut(text, {});
        for (int round = 0; round < 300; ++round) {
            std::vector<std::size_t> cuts;
            std::uniform_int_distribution<std::size_t> at(0, text.size());
            const int pieces = round % 7;
            for (int i = 0; i < pieces; ++i) cuts.push_back(at(random));
            std::sort(cuts.begin(), cuts.end());
            if (const std::string cut = read_cut(text, cuts); cut != whole) {
                std::fprintf(stderr, "cut read differs:\n%s\nwhole:\n%s\n", cut.c_str(),
                             whole.c_str());
                ++failures;
                break;
            }
        }
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {texts[0],
         "fn3|PF00041.13|86|8.000000,7.200000|8.000000,7.200000|7.900000,7.100000\n"
         "noacc||12|-95.800000,-95.800000|-|-\n"},
        {texts[1],
         "failed: p.hmm:11:1: not a HMMER 3 profile file: a profile starts with a "
         "\"HMMER3/\" line"},
        {texts[2],
         "failed: p.hmm:16: the file ends inside a profile: no \"//\" line closes the "
         "one starting on line 11"},
        {texts[3],
         "failed: p.hmm:3: GA needs two bit scores (the full sequence's and the "
         "domain's)"},
    };
    for (const auto& [text, outcome] : expected) {
        if (const std::string got = read_cut(text, {}); got != outcome) {
            std::fprintf(stderr, "got:\n%s\nexpected:\n%s\n", got.c_str(), outcome.c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
