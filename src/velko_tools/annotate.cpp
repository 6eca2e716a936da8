// HMMER tables read as annotation reads them in velko_tools._core: thresholds, the profiles'
// own cutoffs, coverage, and the table's other columns kept beside the hits.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hmmer/cutoffs.hpp"
#include "hmmer/filters.hpp"
#include "hmmer/hmmer_tab.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/hits.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

nb::str text(std::string_view value) { return nb::str(value.data(), value.size()); }

std::optional<hmmer::CutoffKind> cutoff_kind(std::string_view name) {
    if (name == "gathering") return hmmer::CutoffKind::kGathering;
    if (name == "trusted") return hmmer::CutoffKind::kTrusted;
    if (name == "noise") return hmmer::CutoffKind::kNoise;
    return std::nullopt;
}

hmmer::MissingCutoff missing_of(std::string_view name) {
    if (name == "keep") return hmmer::MissingCutoff::kKeep;
    if (name == "drop") return hmmer::MissingCutoff::kDrop;
    return hmmer::MissingCutoff::kError;
}

// The kept rows' columns, in the order the table lists its hits.
nb::dict row_columns(const hmmer::TopHitTable& table, const hmmer::HitFilter& filter) {
    nb::list description, gene_acc, hmm_acc;
    std::vector<double> seq_e, seq_score, dom_e, dom_score, hmm_cov, gene_cov;
    std::vector<std::int64_t> dom_count, gene_len, hmm_len, hmm_from, hmm_to, ali_from, ali_to,
        env_from, env_to;
    const auto names = table.profile_names();
    const auto whole = [](std::uint64_t value) { return static_cast<std::int64_t>(value); };
    table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit> hits) {
        for (const hmmer::StoredHit& hit : hits) {
            const hmmer::KeptRow* row = filter.kept_row(gene_id, names[hit.profile]);
            const hmmer::KeptRow none;
            const hmmer::KeptRow& kept = row == nullptr ? none : *row;
            description.append(text(kept.description));
            gene_acc.append(text(kept.gene_acc));
            hmm_acc.append(text(kept.hmm_acc));
            seq_e.push_back(kept.seq_e_val);
            seq_score.push_back(kept.seq_bit_score);
            dom_e.push_back(kept.dom_e_val);
            dom_score.push_back(kept.dom_bit_score);
            hmm_cov.push_back(kept.hmm_coverage);
            gene_cov.push_back(kept.gene_coverage);
            dom_count.push_back(whole(kept.dom_count));
            gene_len.push_back(whole(kept.gene_length));
            hmm_len.push_back(whole(kept.hmm_length));
            hmm_from.push_back(whole(kept.hmm_from));
            hmm_to.push_back(whole(kept.hmm_to));
            ali_from.push_back(whole(kept.ali_from));
            ali_to.push_back(whole(kept.ali_to));
            env_from.push_back(whole(kept.env_from));
            env_to.push_back(whole(kept.env_to));
        }
    });
    nb::dict columns;
    columns["description"] = description;
    columns["gene_accession"] = gene_acc;
    columns["hmm_accession"] = hmm_acc;
    columns["seq_e_value"] = vector_array(std::move(seq_e));
    columns["seq_bit_score"] = vector_array(std::move(seq_score));
    columns["dom_e_value"] = vector_array(std::move(dom_e));
    columns["dom_bit_score"] = vector_array(std::move(dom_score));
    columns["dom_count"] = vector_array(std::move(dom_count));
    columns["gene_length"] = vector_array(std::move(gene_len));
    columns["hmm_length"] = vector_array(std::move(hmm_len));
    columns["hmm_from"] = vector_array(std::move(hmm_from));
    columns["hmm_to"] = vector_array(std::move(hmm_to));
    columns["ali_from"] = vector_array(std::move(ali_from));
    columns["ali_to"] = vector_array(std::move(ali_to));
    columns["env_from"] = vector_array(std::move(env_from));
    columns["env_to"] = vector_array(std::move(env_to));
    columns["hmm_coverage"] = vector_array(std::move(hmm_cov));
    columns["gene_coverage"] = vector_array(std::move(gene_cov));
    return columns;
}

// The filter's options from the dict velko_tools.annotate builds; cutoffs come from `cutoffs`.
hmmer::FilterOptions filter_options(nb::dict given, const hmmer::CutoffTable& cutoffs) {
    const auto bound = [&](const char* key) {
        const nb::object value = given[key];
        return value.is_none() ? std::optional<double>() : nb::cast<double>(value);
    };
    hmmer::FilterOptions options;
    options.max_seq_e_val = bound("max_seq_e_value");
    options.min_seq_bit_score = bound("min_seq_score");
    options.max_dom_e_val = bound("max_dom_e_value");
    options.min_dom_bit_score = bound("min_dom_score");
    const nb::object cutoff = given["cutoff"];
    if (!cutoff.is_none()) options.cutoff = cutoff_kind(nb::cast<std::string_view>(cutoff));
    options.cutoffs = &cutoffs;
    options.missing_cutoff = missing_of(nb::cast<std::string_view>(given["missing_cutoff"]));
    options.min_hmm_coverage = nb::cast<double>(given["min_hmm_coverage"]);
    options.min_gene_coverage = nb::cast<double>(given["min_gene_coverage"]);
    options.keep_rows = nb::cast<bool>(given["keep_rows"]);
    return options;
}

hmmer::CutoffTable read_cutoffs(nb::list hmm_paths) {
    hmmer::CutoffTable cutoffs;
    for (std::size_t i = 0; i < hmm_paths.size(); ++i) {
        const std::string path = as_path(hmm_paths[i]);
        unlocked([&] { hmmer::read_cutoff_file(path, cutoffs); });
    }
    return cutoffs;
}

// The filter holds the table by reference, so the table moves out only once it is done.
nb::tuple finished(TopHits& hits, hmmer::HitFilter& filter, bool keep_rows) {
    unlocked([&] { filter.finish(); });
    nb::object columns = keep_rows ? nb::object(row_columns(hits.table, filter)) : nb::none();
    return nb::make_tuple(std::move(hits), columns);
}

// Every row of every table through one filter into one new table; the cutoffs come from the
// profile files first. The options are checked by the caller.
nb::tuple read_hmmer_rows(nb::list paths, std::string_view format, std::string_view program,
                          std::string_view score, std::string_view hmm, nb::list hmm_paths,
                          nb::dict given) {
    const hmmer::HmmerOptions options = hmmer_options(format, program, score, hmm);
    const hmmer::CutoffTable cutoffs = read_cutoffs(hmm_paths);
    const hmmer::FilterOptions chosen = filter_options(given, cutoffs);
    TopHits hits;
    hmmer::HitFilter filter(chosen, hits.table);
    std::vector<std::string> files;
    for (std::size_t i = 0; i < paths.size(); ++i) files.push_back(as_path(paths[i]));
    unlocked([&] { hmmer::filter_hmmer_files(files, options, filter); });
    return finished(hits, filter, chosen.keep_rows);
}

using IntInput = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using RealInput = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Rows given as columns (one per domain, or per hit where `has_domains` is false) through the
// same filter as the rows of a table: the route of searches that never wrote one. `texts`
// holds gene_id, gene_acc, hmm_name, hmm_acc, description lists; `reals` seq_e, seq_score,
// dom_e, dom_score; `wholes` gene_length, hmm_length, dom_index, dom_count, hmm_from, hmm_to,
// ali_from, ali_to, env_from, env_to.
nb::tuple filter_rows(nb::list texts, nb::list reals, nb::list wholes, bool has_domains,
                      std::string_view score, std::string_view hmm, nb::list hmm_paths,
                      nb::dict given) {
    const hmmer::CutoffTable cutoffs = read_cutoffs(hmm_paths);
    const hmmer::FilterOptions chosen = filter_options(given, cutoffs);
    std::vector<nb::list> text(5);
    for (std::size_t i = 0; i < 5; ++i) text[i] = nb::cast<nb::list>(texts[i]);
    std::vector<RealInput> real;
    for (std::size_t i = 0; i < 4; ++i) real.push_back(nb::cast<RealInput>(reals[i]));
    std::vector<IntInput> whole;
    for (std::size_t i = 0; i < 10; ++i) whole.push_back(nb::cast<IntInput>(wholes[i]));
    const std::size_t size = text[0].size();
    for (std::size_t i = 1; i < 5; ++i) {
        if (text[i].size() != size) throw nb::value_error("the row columns differ in length");
    }
    for (const RealInput& column : real) {
        if (column.shape(0) != size) throw nb::value_error("the row columns differ in length");
    }
    for (const IntInput& column : whole) {
        if (column.shape(0) != size) throw nb::value_error("the row columns differ in length");
    }
    const bool by_domain = score == "domain";
    TopHits hits;
    hmmer::HitFilter filter(chosen, hits.table);
    const auto at = [](const IntInput& column, std::size_t i) {
        return static_cast<std::uint64_t>(column(i));
    };
    // The texts are views into the str objects of the lists, which outlive the rows.
    std::vector<hmmer::TableRow> rows(size);
    for (std::size_t i = 0; i < size; ++i) {
        hmmer::TableRow& row = rows[i];
        row.line = i + 1;
        row.gene_id = nb::cast<std::string_view>(text[0][i]);
        row.gene_acc = nb::cast<std::string_view>(text[1][i]);
        row.hmm_name = nb::cast<std::string_view>(text[2][i]);
        row.hmm_acc = nb::cast<std::string_view>(text[3][i]);
        row.description = nb::cast<std::string_view>(text[4][i]);
        row.hmm_id = row.hmm_name;
        if (hmm != "name" && row.hmm_acc != "-" && !row.hmm_acc.empty()) row.hmm_id = row.hmm_acc;
        if (hmm == "accession" && row.hmm_id == row.hmm_name) {
            throw nb::value_error(
                nb::str("the profile {!r} has no accession").format(text[2][i]).c_str());
        }
        row.seq_e_val = real[0](i);
        row.seq_bit_score = real[1](i);
        row.dom_e_val = real[2](i);
        row.dom_bit_score = real[3](i);
        row.e_val = by_domain ? row.dom_e_val : row.seq_e_val;
        row.bit_score = by_domain ? row.dom_bit_score : row.seq_bit_score;
        row.gene_length = at(whole[0], i);
        row.hmm_length = at(whole[1], i);
        row.dom_index = at(whole[2], i);
        row.dom_count = at(whole[3], i);
        row.hmm_from = at(whole[4], i);
        row.hmm_to = at(whole[5], i);
        row.ali_from = at(whole[6], i);
        row.ali_to = at(whole[7], i);
        row.env_from = at(whole[8], i);
        row.env_to = at(whole[9], i);
        row.has_domains = has_domains;
    }
    unlocked([&] {
        filter.set_source("<pyhmmer>");  // rows of no file: failures name their source
        filter.allow_second_pass();      // the rows are at hand for a second look
        for (const hmmer::TableRow& row : rows) filter.take(row);
        if (filter.wants_second_pass()) {
            filter.begin_second_pass();
            for (const hmmer::TableRow& row : rows) filter.take(row);
        }
    });
    return finished(hits, filter, chosen.keep_rows);
}

// Each profile of the files as (name, accession, length, {"GA": (sequence, domain), ...}).
nb::list list_cutoffs(nb::list hmm_paths) {
    const hmmer::CutoffTable cutoffs = read_cutoffs(hmm_paths);
    nb::list out;
    for (const hmmer::ProfileCutoffs& profile : cutoffs.profiles()) {
        nb::dict lines;
        for (const auto& [tag, kind] : {std::pair{"GA", hmmer::CutoffKind::kGathering},
                                        std::pair{"TC", hmmer::CutoffKind::kTrusted},
                                        std::pair{"NC", hmmer::CutoffKind::kNoise}}) {
            if (const auto& cutoff = profile.of(kind)) {
                lines[tag] = nb::make_tuple(cutoff->sequence, cutoff->domain);
            }
        }
        out.append(
            nb::make_tuple(text(profile.name), text(profile.accession), profile.length, lines));
    }
    return out;
}

}  // namespace

void bind_annotate(nb::module_& m) {
    m.def("read_cutoffs", &list_cutoffs, nb::arg("hmm_paths"),
          nb::sig("def read_cutoffs(hmm_paths: list[bytes]) -> "
                  "list[tuple[str, str, int, dict[str, tuple[float, float]]]]"),
          "The profiles of HMMER 3 profile files with their GA, TC and NC lines.");
    m.def("filter_rows", &filter_rows, nb::arg("texts"), nb::arg("reals"), nb::arg("wholes"),
          nb::arg("has_domains"), nb::arg("score"), nb::arg("hmm"), nb::arg("hmm_paths"),
          nb::arg("options"),
          nb::sig("def filter_rows(texts: list[list[str]], "
                  "reals: list[numpy.typing.NDArray[numpy.float64]], "
                  "wholes: list[numpy.typing.NDArray[numpy.int64]], has_domains: bool, "
                  "score: str, hmm: str, hmm_paths: list[bytes], options: dict[str, object]) "
                  "-> tuple[TopHits, dict[str, typing.Any] | None]"),
          "Offers rows given as columns through thresholds, cutoffs and coverage to a new "
          "TopHits; see velko_tools.HitTable.from_pyhmmer.");
    m.def("read_hmmer_rows", &read_hmmer_rows, nb::arg("paths"), nb::arg("format"),
          nb::arg("program"), nb::arg("score"), nb::arg("hmm"), nb::arg("hmm_paths"),
          nb::arg("options"),
          nb::sig("def read_hmmer_rows(paths: list[bytes], format: str, program: str, "
                  "score: str, hmm: str, hmm_paths: list[bytes], options: dict[str, object]) "
                  "-> tuple[TopHits, dict[str, typing.Any] | None]"),
          "Reads HMMER tables through thresholds, cutoffs and coverage into a new TopHits and, "
          "when asked, the kept rows' other columns; see velko_tools.read_hmmer.");
}

}  // namespace velko::tools
