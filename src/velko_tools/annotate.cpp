// HMMER tables read as annotation reads them in velko_tools._core: thresholds, the profiles'
// own cutoffs, coverage, and the table's other columns kept beside the hits.
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
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

namespace velko::tools {
namespace {

// A NumPy array over the vector's values, which it keeps alive.
template <class Value>
nb::ndarray<nb::numpy, Value, nb::ndim<1>> owning(std::vector<Value> values) {
    auto held = std::make_unique<std::vector<Value>>(std::move(values));
    Value* data = held->data();
    const std::size_t size = held->size();
    nb::capsule keeper(held.get(), [](void* p) noexcept {
        const std::unique_ptr<std::vector<Value>> drop(static_cast<std::vector<Value>*>(p));
    });
    held.release();
    return nb::ndarray<nb::numpy, Value, nb::ndim<1>>(data, {size}, keeper);
}

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
    columns["seq_e_value"] = owning(std::move(seq_e));
    columns["seq_bit_score"] = owning(std::move(seq_score));
    columns["dom_e_value"] = owning(std::move(dom_e));
    columns["dom_bit_score"] = owning(std::move(dom_score));
    columns["dom_count"] = owning(std::move(dom_count));
    columns["gene_length"] = owning(std::move(gene_len));
    columns["hmm_length"] = owning(std::move(hmm_len));
    columns["hmm_from"] = owning(std::move(hmm_from));
    columns["hmm_to"] = owning(std::move(hmm_to));
    columns["ali_from"] = owning(std::move(ali_from));
    columns["ali_to"] = owning(std::move(ali_to));
    columns["env_from"] = owning(std::move(env_from));
    columns["env_to"] = owning(std::move(env_to));
    columns["hmm_coverage"] = owning(std::move(hmm_cov));
    columns["gene_coverage"] = owning(std::move(gene_cov));
    return columns;
}

// Every row of every table through one filter into one new table; the cutoffs come from the
// profile files first. The options are checked by the caller.
nb::tuple read_hmmer_rows(nb::list paths, nb::list names, std::string_view format,
                          std::string_view program, std::string_view score, std::string_view hmm,
                          std::string_view cutoff, nb::list hmm_paths, nb::list hmm_names,
                          std::string_view missing_cutoff, std::optional<double> max_seq_e_val,
                          std::optional<double> min_seq_bit_score,
                          std::optional<double> max_dom_e_val,
                          std::optional<double> min_dom_bit_score, double min_hmm_coverage,
                          double min_gene_coverage, bool keep_rows) {
    const hmmer::HmmerOptions options = hmmer_options_of(format, program, score, hmm);
    hmmer::CutoffTable cutoffs;
    for (std::size_t i = 0; i < hmm_paths.size(); ++i) {
        const std::string path = as_path(hmm_paths[i]);
        read_reporting(hmm_names[i], [&] { hmmer::read_cutoff_file(path, cutoffs); });
    }
    hmmer::FilterOptions filter_options;
    filter_options.max_seq_e_val = max_seq_e_val;
    filter_options.min_seq_bit_score = min_seq_bit_score;
    filter_options.max_dom_e_val = max_dom_e_val;
    filter_options.min_dom_bit_score = min_dom_bit_score;
    filter_options.cutoff = cutoff_kind(cutoff);
    filter_options.cutoffs = &cutoffs;
    filter_options.missing_cutoff = missing_of(missing_cutoff);
    filter_options.min_hmm_coverage = min_hmm_coverage;
    filter_options.min_gene_coverage = min_gene_coverage;
    filter_options.keep_rows = keep_rows;
    TopHits hits;
    hmmer::HitFilter filter(filter_options, hits.table);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string path = as_path(paths[i]);
        read_reporting(names[i], [&] {
            filter.set_source(path);
            hmmer::read_hmmer_file(path, options, filter);
        });
    }
    // Coverage failures name no row, so no file either: the last one read is as good as any.
    read_reporting(names.size() == 0 ? nb::str("") : nb::object(names[names.size() - 1]),
                   [&] { filter.finish(); });
    nb::object columns = keep_rows ? nb::object(row_columns(hits.table, filter)) : nb::none();
    return nb::make_tuple(std::move(hits), columns);
}

}  // namespace

void bind_annotate(nb::module_& m) {
    m.def("read_hmmer_rows", &read_hmmer_rows, nb::arg("paths"), nb::arg("names"),
          nb::arg("format"), nb::arg("program"), nb::arg("score"), nb::arg("hmm"),
          nb::arg("cutoff"), nb::arg("hmm_paths"), nb::arg("hmm_names"),
          nb::arg("missing_cutoff"), nb::arg("max_seq_e_val").none(),
          nb::arg("min_seq_bit_score").none(), nb::arg("max_dom_e_val").none(),
          nb::arg("min_dom_bit_score").none(), nb::arg("min_hmm_coverage"),
          nb::arg("min_gene_coverage"), nb::arg("keep_rows"),
          "Reads HMMER tables through thresholds, cutoffs and coverage into a new TopHits and, "
          "when asked, the kept rows' other columns; see velko_tools.read_hmmer.");
}

}  // namespace velko::tools
