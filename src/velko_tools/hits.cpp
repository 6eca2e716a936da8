// Profile-search hits in velko_tools._core: HMMER tables in, top-hit tables out, and the
// conversions to and from velko's own TopHitFile objects.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hmmer/hmmer_tab.hpp"
#include "hmmer/tophit_file.hpp"
#include "hmmer/tophit_table.hpp"
#include "velko/pyclass.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/hits.hpp"
#include "util/fail.hpp"
#include "util/file_error.hpp"
#include "util/number_text.hpp"

namespace velko::tools {
namespace {

using hmmer::TopHitTable;

using DoubleArray = nb::ndarray<nb::numpy, double, nb::ndim<1>>;
using DoubleInput = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A NumPy array over the vector's doubles, which it keeps alive.
DoubleArray owning_array(std::vector<double> values) {
    auto held = std::make_unique<std::vector<double>>(std::move(values));
    double* data = held->data();
    const std::size_t size = held->size();
    nb::capsule keeper(held.get(), [](void* p) noexcept {
        const std::unique_ptr<std::vector<double>> drop(static_cast<std::vector<double>*>(p));
    });
    held.release();
    return DoubleArray(data, {size}, keeper);
}

nb::str text(std::string_view value) { return nb::str(value.data(), value.size()); }

// The OSError subclass open() raises for `error`, naming the file as the caller gave it.
[[noreturn]] void raise_os_error(const util::OsError& error, nb::handle name) {
    errno = error.error();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_with(const char* helper, nb::handle name, std::uint64_t line,
                             nb::object column, std::string_view reason) {
    const nb::module_ errors = nb::module_::import_("velko_tools.errors");
    if (column.is_valid()) {
        errors.attr(helper)(name, line, column, text(reason));
    } else {
        errors.attr(helper)(name, line, text(reason));
    }
    throw std::logic_error("unreachable: the error helpers always raise");
}

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

}  // namespace

hmmer::HmmerOptions hmmer_options_of(std::string_view format, std::string_view program,
                                     std::string_view score, std::string_view hmm) {
    return hmmer_options(format, program, score, hmm);
}

std::string as_path(nb::handle path) {
    const auto bytes = nb::cast<nb::bytes>(path);
    return std::string(bytes.c_str(), bytes.size());
}

namespace {

// Every row of every table, in order, offered to one new table. The options are checked by
// the caller; "" stands for the program named in each file.
TopHits read_hmmer(nb::list paths, nb::list names, std::string_view format,
                   std::string_view program, std::string_view score, std::string_view hmm) {
    const hmmer::HmmerOptions options = hmmer_options(format, program, score, hmm);
    TopHits hits;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string path = as_path(paths[i]);
        read_reporting(names[i], [&] { hmmer::read_hmmer_file(path, options, hits.table); });
    }
    return hits;
}

}  // namespace

void read_reporting(nb::handle name, const std::function<void()>& read) {
    {
        try {
            const nb::gil_scoped_release unlocked;
            read();
        } catch (const util::FormatError& error) {
            const nb::object column =
                error.column() == 0 ? nb::object(nb::none()) : nb::object(nb::int_(error.column()));
            raise_with("raise_hmmer_format_error", name, error.line(), column, error.reason());
        } catch (const util::OsError& error) {
            raise_os_error(error, name);
        } catch (const ReadError& error) {
            // Only damaged or cut-off gzip data is left to this type here.
            const nb::module_ errors = nb::module_::import_("velko_tools.errors");
            if (error.fault == ReadFault::kGzipTruncated) {
                errors.attr("raise_truncated_gzip")(name);
            } else {
                errors.attr("raise_bad_gzip")(name, error.what());
            }
            throw std::logic_error("unreachable: the error helpers always raise");
        } catch (const std::invalid_argument& error) {
            throw nb::value_error(error.what());
        }
    }
}

namespace {

TopHits read_tophits(nb::bytes path, nb::handle name) {
    TopHits hits;
    try {
        const nb::gil_scoped_release unlocked;
        hmmer::read_tophit_file(std::string_view(path.c_str(), path.size()), hits.table);
    } catch (const hmmer::TopHitFormatError& error) {
        raise_with("raise_tophit_format_error", name, error.line(), nb::object(), error.reason());
    } catch (const util::OsError& error) {
        raise_os_error(error, name);
    }
    return hits;
}

void write_tophits(const TopHits& hits, nb::bytes path, nb::handle name) {
    try {
        const nb::gil_scoped_release unlocked;
        hmmer::write_tophit_file(std::string_view(path.c_str(), path.size()), hits.table);
    } catch (const std::invalid_argument& refused) {
        throw nb::value_error(refused.what());
    } catch (const util::OsError& error) {
        raise_os_error(error, name);
    }
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
    return nb::make_tuple(gene_ids, hmm_ids, owning_array(std::move(e_values)),
                          owning_array(std::move(bit_scores)));
}

void append_shortest(std::string& out, double value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

// A tab or a line feed inside an identifier would shift the columns of the TSV.
void check_tsv_field(std::string_view what, std::string_view id) {
    if (id.find_first_of("\t\n") != std::string_view::npos) {
        throw nb::value_error(
            nb::str("cannot write {} {!r} to a TSV: it contains a tab or line feed")
                .format(text(what), text(id))
                .c_str());
    }
}

// The hits as TSV lines (gene_id, hmm_id, e_value, bit_score) in table order. Numbers are the
// shortest text that reads back exactly, with an exponent where that is shorter: the top-hit
// file's positional form spells 1e-300 with 300 digits, which common TSV readers (pandas' default
// parser among them) round to zero.
nb::bytes tsv_lines(const TopHits& hits) {
    const TopHitTable& table = hits.table;
    const auto names = table.profile_names();
    for (const std::string& name : names) check_tsv_field("profile id", name);
    table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit>) {
        check_tsv_field("gene id", gene_id);
    });
    std::string out;
    table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit> list) {
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
    });
    return nb::bytes(out.data(), out.size());
}

TopHits from_columns(nb::list gene_ids, nb::list hmm_ids, DoubleInput e_values,
                     DoubleInput bit_scores) {
    const std::size_t size = gene_ids.size();
    if (hmm_ids.size() != size || e_values.shape(0) != size || bit_scores.shape(0) != size) {
        throw nb::value_error("the four columns must have the same length");
    }
    TopHits hits;
    for (std::size_t i = 0; i < size; ++i) {
        hits.table.add_hit(nb::cast<std::string_view>(gene_ids[i]),
                           nb::cast<std::string_view>(hmm_ids[i]), e_values(i), bit_scores(i));
    }
    return hits;
}

// velko's TopHitFile objects hold their table in the record of a py::Instance, laid out by the
// same header in both modules, which are built together against the same core; the type and
// its size are checked before the record is touched.
using TopHitInstance = py::Instance<hmmer::TopHitFile>;

TopHitInstance* tophit_instance(nb::handle obj, nb::handle tophit_type) {
    auto* const type = reinterpret_cast<PyTypeObject*>(tophit_type.ptr());
    if (Py_TYPE(obj.ptr()) != type) {
        throw nb::type_error(
            nb::str("expected a velko.hmmer.tophit.TopHitFile, not {}")
                .format(
                    nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"))
                .c_str());
    }
    if (static_cast<std::size_t>(type->tp_basicsize) != sizeof(TopHitInstance)) {
        throw std::logic_error("velko.hmmer.tophit.TopHitFile has another layout");
    }
    return reinterpret_cast<TopHitInstance*>(obj.ptr());
}

void copy_into(const TopHitTable& from, TopHitTable& to) {
    const auto names = from.profile_names();
    from.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit> list) {
        for (const hmmer::StoredHit& hit : list) {
            to.add_hit(gene_id, names[hit.profile], hit.e_val, hit.bit_score);
        }
    });
}

// The interpreter lock is held throughout: velko changes its tables only while holding it, so
// nothing changes the table while it is copied; the borrow flag says whether a call of its
// own is changing it right now.
TopHits from_tophit_file(nb::handle obj, nb::handle tophit_type) {
    TopHitInstance* const instance = tophit_instance(obj, tophit_type);
    if (instance->borrow == -1) throw nb::value_error("the TopHitFile is being changed");
    TopHits hits;
    copy_into(instance->record.table, hits.table);
    return hits;
}

void fill_tophit_file(const TopHits& hits, nb::handle obj, nb::handle tophit_type) {
    TopHitInstance* const instance = tophit_instance(obj, tophit_type);
    if (instance->borrow != 0) throw nb::value_error("the TopHitFile is in use");
    copy_into(hits.table, instance->record.table);
}

}  // namespace

void bind_hits(nb::module_& m) {
    nb::class_<TopHits>(m, "TopHits",
                        "The native top-hit table behind velko_tools.HitTable; use that.")
        .def("__len__", [](const TopHits& hits) { return hits.table.hit_count(); })
        .def("gene_count", [](const TopHits& hits) { return hits.table.gene_count(); })
        .def("profile_count", [](const TopHits& hits) { return hits.table.profile_names().size(); })
        .def("columns", &columns)
        .def("top_hits",
             [](const TopHits& hits) {
                 TopHits top;
                 {
                     const nb::gil_scoped_release unlocked;
                     top.table = hits.table.top_hits();
                 }
                 return top;
             })
        .def("tsv_lines", &tsv_lines)
        .def("write", &write_tophits, nb::arg("path"), nb::arg("name"))
        .def("fill_tophit_file", &fill_tophit_file, nb::arg("obj"), nb::arg("tophit_type"));
    m.def("read_hmmer", &read_hmmer, nb::arg("paths"), nb::arg("names"), nb::arg("format"),
          nb::arg("program"), nb::arg("score"), nb::arg("hmm"),
          "Reads HMMER tables into a new TopHits; see velko_tools.read_hmmer.");
    m.def("read_tophits", &read_tophits, nb::arg("path"), nb::arg("name"),
          "Reads a velko top-hit file into a new TopHits; see velko_tools.HitTable.read.");
    m.def("tophits_from_columns", &from_columns, nb::arg("gene_ids"), nb::arg("hmm_ids"),
          nb::arg("e_values"), nb::arg("bit_scores"),
          "A new TopHits offered the rows of four columns in order.");
    m.def("tophits_from_tophit_file", &from_tophit_file, nb::arg("obj"), nb::arg("tophit_type"),
          "A new TopHits holding the hits of a velko TopHitFile.");
}

}  // namespace velko::tools
