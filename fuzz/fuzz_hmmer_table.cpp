// The HMMER table reader on arbitrary bytes, in every layout and option: it ends (no hang),
// fails only with a format Failure that points into the text, gives the same outcome however the
// text is cut into pieces, and every hit it keeps names a gene and a profile without blanks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hmmer/hmmer_tab.hpp"
#include "hmmer_outcome.hpp"
#include "util/failure.hpp"

namespace {

using velko::hmmer::HmmerOptions;
using velko::hmmer::HmmerTableReader;
using velko::hmmer::TopHitTable;

using velko::testing::Outcome;

Outcome read(std::string_view text, const HmmerOptions& options, std::size_t cut) {
    return velko::testing::outcome_of(text, [&](TopHitTable& table) {
        HmmerTableReader reader("in.tbl", options, table);
        reader.feed(text.substr(0, cut));
        reader.feed(text.substr(cut));
        reader.finish();
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks the options, the second where the text is cut.
    const std::uint8_t pick = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t cut = text.empty() ? 0 : data[1] % (text.size() + 1);
    using velko::hmmer::HmmerOptions;
    const HmmerOptions options = velko::testing::options_of(pick);
    const Outcome whole = read(text, options, text.size());
    if (!velko::testing::same(whole, read(text, options, cut))) std::abort();
    for (const auto& [gene, hmm, e_val, bit_score] : whole.hits) {
        if (gene.empty() || hmm.empty()) std::abort();
        if (gene.find_first_of(" \t\n") != std::string::npos) std::abort();
        if (hmm.find_first_of(" \t\n") != std::string::npos) std::abort();
    }
    return 0;
}
