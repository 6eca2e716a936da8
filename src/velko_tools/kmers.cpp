// k-mer tables in velko_tools._core: counting on worker threads while the caller's thread
// watches for Ctrl-C and reports progress.
#include "kmer/kmers.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kmer/count_table.hpp"
#include "kmer/sparse.hpp"
#include "util/memory.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

using kmer::Invalid;
using kmer::TableStrands;

// Arguments by reference: should the thread be ended on the way, no reference is dropped
// without the lock.
nb::object count_table_locked(const InputFiles& inputs, std::uint8_t k, const std::string& strands,
                              bool skip_invalid, bool per_file, bool total, bool tally,
                              std::uint64_t min_count, unsigned threads, const nb::object& progress,
                              std::uint64_t most_bytes) {
    const kmer::TableOptions options{
        .k = k,
        .strands = parse_strands(strands),
        .invalid = skip_invalid ? Invalid::kSkip : Invalid::kStop,
        .per_file = per_file || total,
        .tally = tally,
        .most_bytes = most_bytes,
    };
    const auto columns = static_cast<std::size_t>(kmer::table_columns(k, options.strands));
    kmer::Table table;
    try {
        kmer::TableJob job(inputs.paths(), options, threads);
        await_job(job, progress);
        std::vector<kmer::FileRows> rows = job.take();
        table = unlocked([&] {
            kmer::Table gathered = kmer::gather_table(std::move(rows), columns);
            // One row over everything: the files' rows summed, min_count applied to the sum.
            if (total && gathered.ids.size() != 1) gathered = kmer::sum_table(std::move(gathered));
            if (min_count > 1) kmer::drop_rare(gathered, min_count);
            return gathered;
        });
    } catch (const kmer::TableOutgrown&) {
        return nb::none();
    }
    // Ids are as many as the input has records, not 4^k: a list of str is fine here, and the
    // column labels are made on demand on the Python side.
    nb::list ids = id_list(table.ids);
    std::vector<std::uint64_t> row_files(table.files.begin(), table.files.end());
    const std::size_t rows = table.ids.size();
    std::uint64_t* const counts = table.counts;
    return nb::make_tuple(ids, vector_array(std::move(row_files)),
                          owning_array(std::move(table.memory), counts, {rows, columns}),
                          vector_array(std::move(table.windows)),
                          vector_array(std::move(table.skipped)), tally_array(table.tallies));
}

nb::object count_table(nb::list files, std::uint8_t k, const std::string& strands,
                       bool skip_invalid, bool per_file, bool total, bool tally,
                       std::uint64_t min_count, unsigned threads, nb::object progress,
                       std::uint64_t most_bytes) {
    // Progress callbacks and signal polls run Python code, which may end this (daemon) thread
    // while the interpreter shuts down; the job's workers are joined on the way out.
    const InputFiles inputs(files);
    return parked_at_exit([&] {
        return inputs.naming([&] {
            return count_table_locked(inputs, k, strands, skip_invalid, per_file, total, tally,
                                      min_count, threads, progress, most_bytes);
        });
    });
}

nb::ndarray<nb::numpy, std::uint64_t> canonical_kmers(std::uint8_t k) {
    return vector_array(unlocked([&] { return kmer::table_kmers(k, TableStrands::kCanonical); }));
}

}  // namespace

nb::list id_list(const std::vector<std::string>& ids) {
    nb::list list;
    std::uint64_t made = 0;
    for (const std::string& id : ids) {
        list.append(nb::str(id.data(), id.size()));
        if (++made % 65536 == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    return list;
}

void check_sparse_k(unsigned k) {
    if (k < 1 || k > kmer::kMaxSparseK) {
        throw nb::value_error(
            ("k must be between 1 and " + std::to_string(kmer::kMaxSparseK)).c_str());
    }
}

TableStrands parse_strands(const std::string& strands) {
    if (strands == "forward") return TableStrands::kForward;
    if (strands == "both") return TableStrands::kBoth;
    if (strands == "canonical") return TableStrands::kCanonical;
    throw nb::value_error("strands must be 'forward', 'both' or 'canonical'");
}

nb::ndarray<nb::numpy, std::uint64_t> tally_array(const std::vector<kmer::BaseTally>& tallies) {
    constexpr std::size_t kFields = 6;
    std::vector<std::uint64_t> values;
    values.reserve(tallies.size() * kFields);
    for (const kmer::BaseTally& tally : tallies) {
        values.insert(values.end(), {tally.records, tally.letters, tally.bases[0], tally.bases[1],
                                     tally.bases[2], tally.bases[3]});
    }
    std::uint64_t* const data = values.data();
    return owning_array(std::move(values), data, {tallies.size(), kFields});
}

void bind_kmers(nb::module_& m) {
    // The bound velko_tools checks k against and the command line offers: the core's own.
    m.attr("MAX_K") = kmer::kMaxRepresentableK;
    m.attr("MAX_SPARSE_K") = kmer::kMaxSparseK;
    m.def("memory_headroom", &util::memory_headroom,
          "The bytes the process may still take: the least of the memory available, the\n"
          "cgroups' limits and the address-space limits, less what is in use.");
    m.def("count_table", &count_table, nb::arg("files"), nb::arg("k"), nb::arg("strands"),
          nb::arg("skip_invalid"), nb::arg("per_file"), nb::arg("total"), nb::arg("tally"),
          nb::arg("min_count"), nb::arg("threads"), nb::arg("progress").none(),
          nb::arg("most_bytes") = 0,
          nb::sig("def count_table(files: list[tuple[bytes, str]], k: int, strands: str, "
                  "skip_invalid: bool, per_file: bool, total: bool, tally: bool, "
                  "min_count: int, threads: int, "
                  "progress: collections.abc.Callable[[int], object] | None, "
                  "most_bytes: int = 0) -> "
                  "tuple[list[str], numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64]] | None"),
          "Counts the k-mers of FASTA files into (ids, file index per row, counts, windows,\n"
          "skipped, tallies); with `total` one row summing every file's, with `min_count`\n"
          "counts below it set to 0; with `tally`, each file's row of tallies holds its records,\n"
          "letters and A, C, G, T (either case), else zeros; velko_tools.count_kmers is the\n"
          "public face of this. With `most_bytes`, None once the rows would take more than\n"
          "that or than the memory left.");
    m.def("canonical_kmers", &canonical_kmers, nb::arg("k"),
          nb::sig("def canonical_kmers(k: int) -> numpy.typing.NDArray[numpy.uint64]"),
          "The index of each canonical k-mer of length k, in order: the columns of a canonical\n"
          "table.");
}

}  // namespace velko::tools
