// Profile-search hits in velko_tools._core: HMMER tables in, top-hit tables out, and the
// conversions to and from velko's own TopHitFile objects.
#include "velko_tools/hits.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <array>
#include <charconv>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capi/tophit_api.hpp"
#include "hmmer/hmmer_tab.hpp"
#include "hmmer/tophit_file.hpp"
#include "hmmer/tophit_table.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"
#include "util/number_text.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

using hmmer::TopHitTable;

using DoubleInput = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

nb::str text(std::string_view value) { return nb::str(value.data(), value.size()); }

}  // namespace

hmmer::HmmerOptions hmmer_options(std::string_view format, std::string_view program,
                                  std::string_view score, std::string_view hmm) {
    hmmer::HmmerOptions options;
    options.format =
        format == "domtblout" ? hmmer::TableFormat::kDomtblout : hmmer::TableFormat::kTblout;
    if (program == "hmmsearch") options.program = hmmer::SearchProgram::kHmmsearch;
    if (program == "hmmscan") options.program = hmmer::SearchProgram::kHmmscan;
    if (program == "phmmer") options.program = hmmer::SearchProgram::kPhmmer;
    if (program == "jackhmmer") options.program = hmmer::SearchProgram::kJackhmmer;
    if (program == "nhmmer") options.program = hmmer::SearchProgram::kNhmmer;
    if (program == "nhmmscan") options.program = hmmer::SearchProgram::kNhmmscan;
    options.score = score == "domain" ? hmmer::ScoreKind::kDomain : hmmer::ScoreKind::kSequence;
    options.hmm = hmm == "accession" ? hmmer::ProfileKey::kAccession : hmmer::ProfileKey::kName;
    if (hmm == "accession_or_name") options.hmm = hmmer::ProfileKey::kAccessionOrName;
    return options;
}

std::string as_path(nb::handle path) {
    const auto bytes = nb::cast<nb::bytes>(path);
    return std::string(bytes.c_str(), bytes.size());
}

namespace {

// Every row of every table, in order, offered to one new table. The options are checked by
// the caller; "" stands for the program named in each file.
TopHits read_hmmer(nb::list files, std::string_view format, std::string_view program,
                   std::string_view score, std::string_view hmm) {
    const hmmer::HmmerOptions options = hmmer_options(format, program, score, hmm);
    TopHits hits;
    util::MemoryAccount account;  // what the table gains, over every file
    const InputFiles inputs(files);
    inputs.naming([&] {
        for (const std::string& path : inputs.paths()) {
            unlocked([&] { hmmer::read_hmmer_file(path, options, hits.table, &account); });
        }
    });
    return hits;
}

TopHits read_tophits(nb::bytes path) {
    TopHits hits;
    const std::string_view where(path.c_str(), path.size());
    unlocked([&] { hmmer::read_tophit_file(where, hits.table); });
    return hits;
}

void write_tophits(const TopHits& hits, nb::bytes path) {
    const std::string_view where(path.c_str(), path.size());
    unlocked([&] { hmmer::write_tophit_file(where, hits.table); });
}

// The table's hits as four columns, gene by gene. Each gene's hits sit together, and profiles
// repeat across genes, so one str serves every row of a gene and of a profile.
nb::tuple columns(const TopHits& hits) {
    const TopHitTable& table = hits.table;
    std::vector<nb::object> profiles;
    for (const std::string& name : table.profile_names()) profiles.push_back(text(name));
    nb::list gene_ids;
    nb::list hmm_ids;
    std::vector<double> e_values;
    std::vector<double> bit_scores;
    e_values.reserve(table.hit_count());
    bit_scores.reserve(table.hit_count());
    table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit> list) {
        const nb::str gene = text(gene_id);
        for (const hmmer::StoredHit& hit : list) {
            gene_ids.append(gene);
            hmm_ids.append(profiles[hit.profile]);
            e_values.push_back(hit.e_val);
            bit_scores.push_back(hit.bit_score);
        }
    });
    return nb::make_tuple(gene_ids, hmm_ids, vector_array(std::move(e_values)),
                          vector_array(std::move(bit_scores)));
}

void append_shortest(std::string& out, double value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

// A tab or a line feed inside an identifier would shift the columns of the TSV.
bool fits_tsv(std::string_view id) { return id.find_first_of("\t\n") == std::string_view::npos; }

// The hits as TSV lines (gene_id, hmm_id, e_value, bit_score) in table order. Numbers are the
// shortest text that reads back exactly, with an exponent where that is shorter: the top-hit
// file's positional form spells 1e-300 with 300 digits, which common TSV readers (pandas' default
// parser among them) round to zero.
nb::bytes tsv_lines(const TopHits& hits) {
    const TopHitTable& table = hits.table;
    const auto names = table.profile_names();
    std::string out;
    // The first identifier that cannot be written, as (what, id); none when all can.
    std::optional<std::pair<std::string_view, std::string>> refused;
    unlocked([&] {
        for (const std::string& name : names) {
            if (!refused && !fits_tsv(name)) refused.emplace("profile id", name);
        }
        table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit>) {
            if (!refused && !fits_tsv(gene_id)) refused.emplace("gene id", gene_id);
        });
        if (refused) return;
        table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit> list) {
            const std::size_t before = out.size();
            for (const hmmer::StoredHit& hit : list) {
                out += gene_id;
                out += '\t';
                out += names[hit.profile];
                out += '\t';
                append_shortest(out, hit.e_val);
                out += '\t';
                append_shortest(out, hit.bit_score);
                out += '\n';
            }
            util::poll_interrupt(out.size() - before);
        });
    });
    if (refused) {
        throw nb::value_error(
            nb::str("cannot write {} {!r} to a TSV: it contains a tab or line feed")
                .format(text(refused->first), text(refused->second))
                .c_str());
    }
    return nb::bytes(out.data(), out.size());
}

// Field `field` of row `row`, which must be a str.
std::string_view id_field(nb::handle value, std::size_t row, const char* field) {
    if (!nb::isinstance<nb::str>(value)) {
        throw nb::type_error(nb::str("row {}: {} must be a str, not {}")
                                 .format(row, field, nb::type_name(value.type()))
                                 .c_str());
    }
    return nb::cast<std::string_view>(value);
}

TopHits from_columns(nb::list gene_ids, nb::list hmm_ids, DoubleInput e_values,
                     DoubleInput bit_scores, bool merge) {
    const std::size_t size = gene_ids.size();
    if (hmm_ids.size() != size || e_values.shape(0) != size || bit_scores.shape(0) != size) {
        throw nb::value_error("the four columns must have the same length");
    }
    TopHits hits;
    for (std::size_t i = 0; i < size; ++i) {
        const std::string_view gene_id = id_field(gene_ids[i], i, "gene_id");
        const std::string_view hmm_id = id_field(hmm_ids[i], i, "hmm_id");
        if (merge) {
            hits.table.merge_hit(gene_id, hmm_id, e_values(i), bit_scores(i));
        } else {
            hits.table.add_hit(gene_id, hmm_id, e_values(i), bit_scores(i));
        }
    }
    return hits;
}

// velko's TopHitFile objects are reached only through the functions velko exports in a
// capsule, which check the object's type against velko's own and borrow its table as velko's
// own calls do.
const hmmer::TopHitApi& tophit_api() {
    static const hmmer::TopHitApi* const api = [] {
        nb::module_::import_("velko");  // publishes velko.hmmer.tophit
        const nb::object capsule =
            nb::module_::import_("velko.hmmer.tophit").attr(hmmer::kTopHitApiAttribute);
        // The name is checked too: only velko's own capsule carries it.
        const void* found = PyCapsule_GetPointer(capsule.ptr(), hmmer::kTopHitApiCapsule);
        if (found == nullptr) throw nb::python_error();
        return static_cast<const hmmer::TopHitApi*>(found);
    }();
    return *api;
}

int add_visited(void* context, const char* gene_id, std::size_t gene_id_size, const char* hmm_id,
                std::size_t hmm_id_size, double e_val, double bit_score) {
    try {
        static_cast<TopHitTable*>(context)->add_hit({gene_id, gene_id_size}, {hmm_id, hmm_id_size},
                                                    e_val, bit_score);
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

TopHits from_tophit_file(nb::handle obj) {
    TopHits hits;
    if (tophit_api().each_hit(obj.ptr(), add_visited, &hits.table) < 0) {
        throw nb::python_error();
    }
    return hits;
}

void fill_tophit_file(const TopHits& hits, nb::handle obj) {
    const hmmer::TopHitApi& api = tophit_api();
    const auto names = hits.table.profile_names();
    hits.table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit> list) {
        for (const hmmer::StoredHit& hit : list) {
            const std::string& hmm_id = names[hit.profile];
            if (api.add_hit(obj.ptr(), gene_id.data(), gene_id.size(), hmm_id.data(), hmm_id.size(),
                            hit.e_val, hit.bit_score) < 0) {
                throw nb::python_error();
            }
        }
    });
}

}  // namespace

void bind_hits(nb::module_& m) {
    nb::class_<TopHits>(m, "TopHits",
                        "The native top-hit table behind velko_tools.HitTable; use that.")
        .def("__len__", [](const TopHits& hits) { return hits.table.hit_count(); })
        .def("gene_count", [](const TopHits& hits) { return hits.table.gene_count(); })
        .def("profile_count", [](const TopHits& hits) { return hits.table.profile_names().size(); })
        .def("columns", &columns,
             nb::sig("def columns(self) -> tuple[list[str], list[str], "
                     "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"))
        .def("top_hits",
             [](const TopHits& hits) {
                 TopHits top;
                 unlocked([&] { top.table = hits.table.top_hits(); });
                 return top;
             })
        .def("tsv_lines", &tsv_lines)
        .def("write", &write_tophits, nb::arg("path"))
        .def("fill_tophit_file", &fill_tophit_file, nb::arg("obj"));
    m.def("read_hmmer", &read_hmmer, nb::arg("files"), nb::arg("format"), nb::arg("program"),
          nb::arg("score"), nb::arg("hmm"),
          nb::sig("def read_hmmer(files: list[tuple[bytes, str]], format: str, program: str, "
                  "score: str, hmm: str) -> TopHits"),
          "Reads HMMER tables into a new TopHits; see velko_tools.read_hmmer.");
    m.def("read_tophits", &read_tophits, nb::arg("path"),
          "Reads a velko top-hit file into a new TopHits; see velko_tools.HitTable.read.");
    m.def("tophits_from_columns", &from_columns, nb::arg("gene_ids"), nb::arg("hmm_ids"),
          nb::arg("e_values"), nb::arg("bit_scores"), nb::arg("merge") = false,
          nb::sig("def tophits_from_columns(gene_ids: list[str], hmm_ids: list[str], "
                  "e_values: numpy.typing.NDArray[numpy.float64], "
                  "bit_scores: numpy.typing.NDArray[numpy.float64], merge: bool = False) "
                  "-> TopHits"),
          "A new TopHits offered the rows of four columns in order, by the rule of TopHitFile's "
          "add_hit, or with merge by the order of merging (NaN below every number).");
    m.def("tophits_from_tophit_file", &from_tophit_file, nb::arg("obj"),
          "A new TopHits holding the hits of a velko TopHitFile.");
}

}  // namespace velko::tools
