// The HMMER table reader on arbitrary bytes, in every layout and option: it ends (no hang),
// fails only with a format Failure that points into the text, gives the same outcome however the
// text is cut into pieces, and every hit it keeps names a gene and a profile without blanks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "hmmer/hmmer_tab.hpp"
#include "util/failure.hpp"

namespace {

using velko::hmmer::HmmerOptions;
using velko::hmmer::HmmerTableReader;
using velko::hmmer::TopHitTable;

using Row = std::tuple<std::string, std::string, double, double>;

struct Outcome {
    std::vector<Row> hits;
    std::string failure;
};

Outcome read(std::string_view text, const HmmerOptions& options, std::size_t cut) {
    TopHitTable table;
    Outcome outcome;
    try {
        HmmerTableReader reader("in.tbl", options, table);
        reader.feed(text.substr(0, cut));
        reader.feed(text.substr(cut));
        reader.finish();
    } catch (const velko::util::Failure& error) {
        // A failure points at a line of the text (or one past its end, at most). A line ends
        // at LF, at CR LF, or at a lone CR.
        std::size_t lines = 1;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool lone_cr = text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n');
            lines += text[i] == '\n' || lone_cr ? 1 : 0;
        }
        if (error.line == 0 || error.line > lines) std::abort();
        outcome.failure = error.what();
        return outcome;
    }
    const auto names = table.profile_names();
    table.for_each_gene([&](std::string_view gene, auto hits) {
        for (const auto& hit : hits) {
            outcome.hits.emplace_back(std::string(gene), names[hit.profile], hit.e_val,
                                      hit.bit_score);
        }
    });
    return outcome;
}

bool same(const Outcome& a, const Outcome& b) {
    if (a.failure != b.failure || a.hits.size() != b.hits.size()) return false;
    for (std::size_t i = 0; i < a.hits.size(); ++i) {
        const auto& [gene_a, hmm_a, e_a, bit_a] = a.hits[i];
        const auto& [gene_b, hmm_b, e_b, bit_b] = b.hits[i];
        // NaN scores are kept as read; compare them as bits of text, not as numbers.
        const bool e_same = e_a == e_b || (e_a != e_a && e_b != e_b);
        const bool bit_same = bit_a == bit_b || (bit_a != bit_a && bit_b != bit_b);
        if (gene_a != gene_b || hmm_a != hmm_b || !e_same || !bit_same) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks the options, the second where the text is cut.
    const std::uint8_t pick = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t cut = text.empty() ? 0 : data[1] % (text.size() + 1);
    using namespace velko::hmmer;
    const HmmerOptions options{
        (pick & 1) != 0 ? TableFormat::kDomtblout : TableFormat::kTblout,
        static_cast<SearchProgram>((pick >> 1) % 3),
        (pick & 8) != 0 && (pick & 1) != 0 ? ScoreKind::kDomain : ScoreKind::kSequence,
        (pick & 16) != 0 ? ProfileKey::kAccession : ProfileKey::kName,
    };
    const Outcome whole = read(text, options, text.size());
    if (!same(whole, read(text, options, cut))) std::abort();
    for (const auto& [gene, hmm, e_val, bit_score] : whole.hits) {
        if (gene.empty() || hmm.empty()) std::abort();
        if (gene.find_first_of(" \t\n") != std::string::npos) std::abort();
        if (hmm.find_first_of(" \t\n") != std::string::npos) std::abort();
    }
    return 0;
}
