// Sparse k-mer counts in velko_tools._core: counting on worker threads while the caller's thread
// watches for Ctrl-C and reports progress, the rows handed over as NumPy arrays without a copy.
#include "kmer/sparse.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

// Arguments by reference: should the thread be ended on the way, no reference is dropped
// without the lock.
nb::tuple count_sparse_locked(const InputFiles& inputs, std::uint8_t k, const std::string& strands,
                              bool skip_invalid, bool per_file, bool total, bool tally,
                              std::uint64_t min_count, std::uint64_t memory,
                              const nb::bytes& tmpdir, unsigned threads,
                              const nb::object& progress) {
    check_sparse_k(k);
    const kmer::SparseOptions options{
        .k = k,
        .strands = parse_strands(strands),
        .invalid = skip_invalid ? kmer::Invalid::kSkip : kmer::Invalid::kStop,
        .per_file = per_file || total,
        .tally = tally,
        // A total over several files drops rare k-mers from the sum, not from each file.
        .min_count = total && inputs.paths().size() > 1 ? 1 : min_count,
        .memory = memory,
        .spill_directory = std::string(tmpdir.c_str(), tmpdir.size()),
    };
    kmer::SparseTable table;
    {
        kmer::SparseJob job(inputs.paths(), options, threads);
        await_job(job, progress);
        table = job.take();
    }
    auto tallies = tally_array(table.tallies);
    // One row over everything: the files' rows summed, min_count applied to the sum.
    if (total && table.ids.size() > 1) {
        table = unlocked([&] { return kmer::sum_rows(table, min_count); });
        table.ids.emplace_back();
        table.files.push_back(0);
    }
    nb::list ids = id_list(table.ids);
    std::vector<std::uint64_t> row_files(table.files.begin(), table.files.end());
    nb::object counts = table.counts.is_wide
                            ? nb::cast(vector_array(std::move(table.counts.wide)))
                            : nb::cast(vector_array(std::move(table.counts.narrow)));
    return nb::make_tuple(
        ids, vector_array(std::move(row_files)), vector_array(std::move(table.indptr)),
        vector_array(std::move(table.codes)), counts, vector_array(std::move(table.windows)),
        vector_array(std::move(table.skipped)), tallies);
}

nb::tuple count_sparse(nb::list files, std::uint8_t k, const std::string& strands,
                       bool skip_invalid, bool per_file, bool total, bool tally,
                       std::uint64_t min_count, std::uint64_t memory, nb::bytes tmpdir,
                       unsigned threads, nb::object progress) {
    // As count_table: progress callbacks and signal polls run Python code, which may end this
    // (daemon) thread while the interpreter shuts down.
    const InputFiles inputs(files);
    return parked_at_exit([&] {
        return inputs.naming([&] {
            return count_sparse_locked(inputs, k, strands, skip_invalid, per_file, total, tally,
                                       min_count, memory, tmpdir, threads, progress);
        });
    });
}

}  // namespace

void bind_sparse(nb::module_& m) {
    m.def("count_sparse", &count_sparse, nb::arg("files"), nb::arg("k"), nb::arg("strands"),
          nb::arg("skip_invalid"), nb::arg("per_file"), nb::arg("total"), nb::arg("tally"),
          nb::arg("min_count"), nb::arg("memory"), nb::arg("tmpdir"), nb::arg("threads"),
          nb::arg("progress").none(),
          nb::sig("def count_sparse(files: list[tuple[bytes, str]], k: int, strands: str, "
                  "skip_invalid: bool, per_file: bool, total: bool, tally: bool, min_count: int, "
                  "memory: int, "
                  "tmpdir: bytes, threads: int, "
                  "progress: collections.abc.Callable[[int], object] | None) -> "
                  "tuple[list[str], numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint32] | numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64]]"),
          "Counts the k-mers of FASTA files into sparse rows (ids, file index per row, indptr,\n"
          "codes, counts, windows, skipped, tallies), with `total` one row summing every\n"
          "file's; tallies as count_table gives them;\n"
          "velko_tools.count_kmers(layout='sparse') is the public face of this.");
}

}  // namespace velko::tools
