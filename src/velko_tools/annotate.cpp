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
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

nb::str text(std::string_view value) { return nb::str(value.data(), value.size()); }

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
nb::tuple read_hmmer_rows(nb::list files, std::string_view format, std::string_view program,
                          std::string_view score, std::string_view hmm, nb::list hmm_paths,
                          hmmer::FilterOptions chosen) {
    const hmmer::HmmerOptions options = hmmer_options(format, program, score, hmm);
    const hmmer::CutoffTable cutoffs = read_cutoffs(hmm_paths);
    chosen.cutoffs = &cutoffs;
    TopHits hits;
    hmmer::HitFilter filter(chosen, hits.table);
    const InputFiles inputs(files);
    inputs.naming(
        [&] { unlocked([&] { hmmer::filter_hmmer_files(inputs.paths(), options, filter); }); });
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
                      hmmer::FilterOptions chosen) {
    const hmmer::CutoffTable cutoffs = read_cutoffs(hmm_paths);
    chosen.cutoffs = &cutoffs;
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

// Which of the hits a table keeps pass the thresholds and the cutoff of `options`, as bytes
// (1 passes): the rows of read_hmmer's filter, each with the one score the table kept, so a
// missing cutoff fails as it does there. Coverage is the caller's: it needs every domain.
nb::ndarray<nb::numpy, std::uint8_t> filter_hits(nb::list hmm_ids, RealInput e_values,
                                                 RealInput bit_scores, hmmer::Level level,
                                                 nb::list hmm_paths, hmmer::FilterOptions chosen) {
    const std::size_t size = hmm_ids.size();
    if (e_values.shape(0) != size || bit_scores.shape(0) != size) {
        throw nb::value_error("the hit columns differ in length");
    }
    const hmmer::CutoffTable cutoffs = read_cutoffs(hmm_paths);
    chosen.cutoffs = &cutoffs;
    chosen.min_hmm_coverage = chosen.min_gene_coverage = 0.0;
    chosen.keep_rows = false;
    hmmer::TopHitTable unused;
    hmmer::HitFilter filter(chosen, unused);
    filter.set_source("<HitTable>");  // hits of no file: failures name their source
    const bool by_domain = level == hmmer::Level::kDomain;
    std::vector<std::uint8_t> passed(size);
    for (std::size_t i = 0; i < size; ++i) {
        hmmer::TableRow row;
        row.line = i + 1;
        row.hmm_name = nb::cast<std::string_view>(hmm_ids[i]);
        // A table names a profile by name or by accession: either finds its cutoffs.
        row.hmm_acc = row.hmm_id = row.hmm_name;
        row.e_val = row.seq_e_val = row.dom_e_val = e_values(i);
        row.bit_score = row.seq_bit_score = row.dom_bit_score = bit_scores(i);
        row.has_sequence = !by_domain;
        row.has_domains = by_domain;
        passed[i] = filter.wants(row) ? 1 : 0;
    }
    return vector_array(std::move(passed));
}

// The number of profiles in the file at `hmm_path`, each holding the `cutoff` line.
std::size_t check_cutoffs(nb::object hmm_path, hmmer::CutoffKind cutoff) {
    const std::string path = as_path(hmm_path);
    std::size_t count = 0;
    unlocked([&] { count = hmmer::check_cutoff_file(path, cutoff); });
    return count;
}

}  // namespace

void bind_annotate(nb::module_& m) {
    nb::enum_<hmmer::CutoffKind> cutoff(m, "Cutoff",
                                        "A profile's cutoff line: GA, TC or NC by its name.");
    for (const hmmer::CutoffName& entry : hmmer::kCutoffNames) {
        cutoff.value(entry.name.data(), entry.kind);
    }
    nb::enum_<hmmer::MissingCutoff>(m, "MissingCutoff",
                                    "What a profile without the cutoff line asked for does.")
        .value("error", hmmer::MissingCutoff::kError)
        .value("keep", hmmer::MissingCutoff::kKeep)
        .value("drop", hmmer::MissingCutoff::kDrop);
    nb::enum_<hmmer::Level>(m, "Level", "Which score of a row a threshold reads.")
        .value("sequence", hmmer::Level::kSequence)
        .value("domain", hmmer::Level::kDomain);
    nb::class_<hmmer::FilterOptions>(m, "FilterOptions",
                                     "The thresholds, cutoff and coverage a filter applies.")
        .def(nb::init<>())
        .def_rw("max_seq_e_value", &hmmer::FilterOptions::max_seq_e_val)
        .def_rw("min_seq_score", &hmmer::FilterOptions::min_seq_bit_score)
        .def_rw("max_dom_e_value", &hmmer::FilterOptions::max_dom_e_val)
        .def_rw("min_dom_score", &hmmer::FilterOptions::min_dom_bit_score)
        .def_rw("cutoff", &hmmer::FilterOptions::cutoff)
        .def_rw("missing_cutoff", &hmmer::FilterOptions::missing_cutoff)
        .def_rw("min_hmm_coverage", &hmmer::FilterOptions::min_hmm_coverage)
        .def_rw("min_gene_coverage", &hmmer::FilterOptions::min_gene_coverage)
        .def_rw("keep_rows", &hmmer::FilterOptions::keep_rows);
    m.def("check_cutoffs", &check_cutoffs, nb::arg("hmm_path"), nb::arg("cutoff"),
          nb::sig("def check_cutoffs(hmm_path: bytes, cutoff: Cutoff) -> int"),
          "The number of profiles of a HMMER 3 profile file, each with the cutoff's line; "
          "see velko_tools.annotate.check_cutoffs.");
    m.def("filter_hits", &filter_hits, nb::arg("hmm_ids"), nb::arg("e_values"),
          nb::arg("bit_scores"), nb::arg("level"), nb::arg("hmm_paths"), nb::arg("options"),
          nb::sig("def filter_hits(hmm_ids: list[str], "
                  "e_values: numpy.typing.NDArray[numpy.float64], "
                  "bit_scores: numpy.typing.NDArray[numpy.float64], level: Level, "
                  "hmm_paths: list[bytes], options: FilterOptions) "
                  "-> numpy.typing.NDArray[numpy.uint8]"),
          "Which hits of a table pass thresholds and cutoffs, 1 for each that does; see "
          "velko_tools.HitTable.filter.");
    m.def("filter_rows", &filter_rows, nb::arg("texts"), nb::arg("reals"), nb::arg("wholes"),
          nb::arg("has_domains"), nb::arg("score"), nb::arg("hmm"), nb::arg("hmm_paths"),
          nb::arg("options"),
          nb::sig("def filter_rows(texts: list[list[str]], "
                  "reals: list[numpy.typing.NDArray[numpy.float64]], "
                  "wholes: list[numpy.typing.NDArray[numpy.int64]], has_domains: bool, "
                  "score: str, hmm: str, hmm_paths: list[bytes], options: FilterOptions) "
                  "-> tuple[TopHits, dict[str, typing.Any] | None]"),
          "Offers rows given as columns through thresholds, cutoffs and coverage to a new "
          "TopHits; see velko_tools.HitTable.from_pyhmmer.");
    m.def("read_hmmer_rows", &read_hmmer_rows, nb::arg("files"), nb::arg("format"),
          nb::arg("program"), nb::arg("score"), nb::arg("hmm"), nb::arg("hmm_paths"),
          nb::arg("options"),
          nb::sig("def read_hmmer_rows(files: list[tuple[bytes, str]], format: str, program: str, "
                  "score: str, hmm: str, hmm_paths: list[bytes], options: FilterOptions) "
                  "-> tuple[TopHits, dict[str, typing.Any] | None]"),
          "Reads HMMER tables through thresholds, cutoffs and coverage into a new TopHits and, "
          "when asked, the kept rows' other columns; see velko_tools.read_hmmer.");
}

}  // namespace velko::tools
