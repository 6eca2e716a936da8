// The filtering HMMER reader on arbitrary bytes, under thresholds and coverage picked by the
// first bytes: it ends, fails only with a Failure that points into the text, gives the same
// table however the text is cut, and the same table whether runs that fail coverage are kept
// whole or leave only a fingerprint and the rows are offered a second time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hmmer/filters.hpp"
#include "hmmer/hmmer_tab.hpp"
#include "hmmer_outcome.hpp"
#include "util/failure.hpp"

namespace {

using namespace velko::hmmer;

using velko::testing::Outcome;

Outcome read(std::string_view text, const HmmerOptions& options, const FilterOptions& filters,
             std::size_t cut, bool second_pass) {
    return velko::testing::outcome_of(text, [&](TopHitTable& table) {
        HitFilter filter(filters, table);
        if (second_pass) filter.allow_second_pass();
        const auto read_all = [&] {
            filter.set_source("in.tbl");
            HmmerTableReader reader("in.tbl", options, filter);
            reader.feed(text.substr(0, cut));
            reader.feed(text.substr(cut));
            reader.finish();
        };
        read_all();
        if (filter.wants_second_pass()) {
            filter.begin_second_pass();
            read_all();
        }
        filter.finish();
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // The first byte picks the table's options, the second the thresholds, the third where
    // the text is cut.
    const std::uint8_t pick = data[0];
    const std::uint8_t limits = data[1];
    const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::size_t cut = text.empty() ? 0 : data[2] % (text.size() + 1);
    const HmmerOptions options = velko::testing::options_of(pick);
    constexpr double kCoverages[] = {0.0, 0.3, 0.6, 1.0};
    FilterOptions filters;
    if ((limits & 1) != 0) filters.max_seq_e_val = 1e-3;
    if ((limits & 2) != 0) filters.min_seq_bit_score = 10.0;
    if ((limits & 4) != 0) filters.max_dom_e_val = 1e-2;
    if ((limits & 8) != 0) filters.min_dom_bit_score = 5.0;
    filters.min_hmm_coverage = kCoverages[(limits >> 4) & 3];
    filters.min_gene_coverage = kCoverages[(limits >> 6) & 3];
    filters.keep_rows = (pick & 32) != 0;

    const Outcome whole = read(text, options, filters, text.size(), false);
    if (!velko::testing::same(whole, read(text, options, filters, cut, false))) std::abort();
    if (!velko::testing::same(whole, read(text, options, filters, cut, true))) std::abort();
    return 0;
}
