// Sketches in velko_tools._core: FASTA files sketched on worker threads, and sketches compared,
// while the caller's thread watches for Ctrl-C and reports progress.
#include "kmer/sketch.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kmer/sketch_compare.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

using Hashes = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Arguments by reference: should the thread be ended on the way, no reference is dropped
// without the lock.
nb::tuple sketch_locked(const InputFiles& inputs, std::uint8_t k, std::uint64_t max_hash,
                        std::uint64_t seed, bool per_file, bool abundance, unsigned threads,
                        const nb::object& progress) {
    if (k < 1 || k > kmer::kMaxSketchK) throw nb::value_error("k must be between 1 and 64");
    const kmer::SketchOptions options{
        .k = k, .max_hash = max_hash, .seed = seed, .per_file = per_file, .abundance = abundance};
    kmer::SketchTable table;
    {
        kmer::SketchJob job(inputs.paths(), options, threads);
        await_job(job, progress);
        table = job.take();
    }
    nb::list ids = id_list(table.ids);
    std::vector<std::uint64_t> row_files(table.files.begin(), table.files.end());
    nb::object counts = abundance ? nb::cast(vector_array(std::move(table.counts))) : nb::none();
    return nb::make_tuple(ids, vector_array(std::move(row_files)),
                          vector_array(std::move(table.indptr)),
                          vector_array(std::move(table.hashes)), counts);
}

nb::tuple sketch(nb::list files, std::uint8_t k, std::uint64_t max_hash, std::uint64_t seed,
                 bool per_file, bool abundance, unsigned threads, nb::object progress) {
    // As count_table: progress callbacks and signal polls run Python code, which may end this
    // (daemon) thread while the interpreter shuts down.
    const InputFiles inputs(files);
    return parked_at_exit([&] {
        return inputs.naming([&] {
            return sketch_locked(inputs, k, max_hash, seed, per_file, abundance, threads,
                                 progress);
        });
    });
}

kmer::SketchMetric parse_metric(const std::string& metric) {
    if (metric == "jaccard") return kmer::SketchMetric::kJaccard;
    if (metric == "containment") return kmer::SketchMetric::kContainment;
    if (metric == "max_containment") return kmer::SketchMetric::kMaxContainment;
    throw nb::value_error("metric must be 'jaccard', 'containment' or 'max_containment'");
}

nb::tuple compare_locked(const Hashes& query_indptr, const Hashes& query_hashes,
                         const Hashes& match_indptr, const Hashes& match_hashes, bool self,
                         const std::string& metric, double threshold, unsigned threads) {
    const kmer::SketchRows query{{query_indptr.data(), query_indptr.size()},
                                 {query_hashes.data(), query_hashes.size()}};
    const kmer::SketchRows match{{match_indptr.data(), match_indptr.size()},
                                 {match_hashes.data(), match_hashes.size()}};
    for (const kmer::SketchRows& rows : {query, match}) {
        if (rows.indptr.empty() || rows.indptr.front() != 0 ||
            rows.indptr.back() != rows.hashes.size()) {
            throw nb::value_error("indptr does not cover the hashes");
        }
    }
    kmer::SketchPairs pairs;
    {
        kmer::CompareJob job(query, match, self, parse_metric(metric), threshold, threads);
        await_job(job);
        pairs = job.take();
    }
    return nb::make_tuple(vector_array(std::move(pairs.query)),
                          vector_array(std::move(pairs.match)),
                          vector_array(std::move(pairs.intersection)));
}

nb::tuple compare(Hashes query_indptr, Hashes query_hashes, Hashes match_indptr,
                  Hashes match_hashes, bool self, std::string metric, double threshold,
                  unsigned threads) {
    return parked_at_exit([&] {
        return compare_locked(query_indptr, query_hashes, match_indptr, match_hashes, self, metric,
                              threshold, threads);
    });
}

std::uint64_t murmur_hash(nb::bytes data, std::uint64_t seed) {
    return kmer::murmur3_h1(data.c_str(), data.size(), seed);
}

}  // namespace

void bind_sketch(nb::module_& m) {
    m.def("sketch", &sketch, nb::arg("files"), nb::arg("k"), nb::arg("max_hash"), nb::arg("seed"),
          nb::arg("per_file"), nb::arg("abundance"), nb::arg("threads"), nb::arg("progress").none(),
          nb::sig("def sketch(files: list[tuple[bytes, str]], k: int, max_hash: int, seed: int, "
                  "per_file: bool, abundance: bool, threads: int, "
                  "progress: collections.abc.Callable[[int], object] | None) -> "
                  "tuple[list[str], numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64] | None]"),
          "Sketches FASTA files into rows (ids, file index per row, indptr, hashes, counts or\n"
          "None); max_hash 0 keeps every hash. velko_tools.sketch is the public face of this.");
    m.def("compare_sketches", &compare, nb::arg("query_indptr"), nb::arg("query_hashes"),
          nb::arg("match_indptr"), nb::arg("match_hashes"), nb::arg("self"), nb::arg("metric"),
          nb::arg("threshold"), nb::arg("threads"),
          nb::sig("def compare_sketches(query_indptr: numpy.typing.NDArray[numpy.uint64], "
                  "query_hashes: numpy.typing.NDArray[numpy.uint64], "
                  "match_indptr: numpy.typing.NDArray[numpy.uint64], "
                  "match_hashes: numpy.typing.NDArray[numpy.uint64], self: bool, metric: str, "
                  "threshold: float, threads: int) -> "
                  "tuple[numpy.typing.NDArray[numpy.uint64], "
                  "numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64]]"),
          "The pairs of rows that share a hash and reach the threshold in the metric: query\n"
          "rows, match rows and hashes in common; SketchTable.compare is the public face.");
    m.def("murmur_hash", &murmur_hash, nb::arg("data"), nb::arg("seed"),
          nb::sig("def murmur_hash(data: bytes, seed: int) -> int"),
          "The first 64 bits of MurmurHash3_x64_128 of data with seed.");
}

}  // namespace velko::tools
