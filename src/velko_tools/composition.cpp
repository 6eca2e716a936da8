// Composition in velko_tools._core: tetranucleotide z-scores of FASTA files counted on worker
// threads while the caller's thread watches for Ctrl-C, and L1 distances between rows.
#include "kmer/composition.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// Arguments by reference: should the thread be ended on the way, no reference is dropped
// without the lock.
nb::tuple zscores_locked(const InputFiles& inputs, bool per_file, std::uint64_t min_length,
                         unsigned threads, const nb::object& progress, std::uint64_t window,
                         std::uint64_t step) {
    kmer::ZscoreJob job(inputs.paths(),
                        kmer::ZscoreOptions{.per_file = per_file,
                                            .min_length = min_length,
                                            .window = {.width = window, .step = step}},
                        threads);
    await_job(job, progress);
    kmer::ZscoreTable table = kmer::gather_zscores(job.take());
    const std::size_t rows = table.sizes.size();
    double* const data = table.zscores.data();
    return nb::make_tuple(id_list(table.ids), vector_array(std::move(table.files)),
                          owning_array(std::move(table.zscores), data, {rows, kmer::kTetraColumns}),
                          vector_array(std::move(table.sizes)),
                          vector_array(std::move(table.places.starts)),
                          vector_array(std::move(table.places.ends)));
}

nb::tuple tetra_zscores(nb::list files, bool per_file, std::uint64_t min_length, unsigned threads,
                        nb::object progress, std::uint64_t window, std::uint64_t step) {
    const InputFiles inputs(files);
    return parked_at_exit([&] {
        return inputs.naming([&] {
            return zscores_locked(inputs, per_file, min_length, threads, progress, window, step);
        });
    });
}

void l1_distances(const Rows& queries, const Rows& rows,
                  nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu> out) {
    const std::size_t width = queries.shape(1);
    if (rows.shape(1) != width || out.shape(0) != queries.shape(0) ||
        out.shape(1) != rows.shape(0)) {
        throw nb::value_error("l1_distances: the shapes of queries, rows and out do not agree");
    }
    unlocked([&] {
        kmer::l1_distances(queries.data(), queries.shape(0), rows.data(), rows.shape(0), width,
                           out.data());
    });
}

void keep_nearest(const Rows& distances, std::int64_t first_target, std::int64_t self_first,
                  nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu> best,
                  nb::ndarray<std::int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> index) {
    if (best.shape(0) != distances.shape(0) || index.shape(0) != distances.shape(0) ||
        index.shape(1) != best.shape(1) || best.shape(1) == 0) {
        throw nb::value_error("keep_nearest: the shapes of distances, best and index disagree");
    }
    unlocked([&] {
        kmer::keep_nearest(distances.data(), distances.shape(0), distances.shape(1), first_target,
                           self_first, best.shape(1), best.data(), index.data());
    });
}

}  // namespace

void bind_composition(nb::module_& m) {
    m.def("tetra_zscores", &tetra_zscores, nb::arg("files"), nb::arg("per_file"),
          nb::arg("min_length"), nb::arg("threads"), nb::arg("progress").none(),
          nb::arg("window") = 0, nb::arg("step") = 0,
          nb::sig(
              "def tetra_zscores(files: list[tuple[bytes, str]], per_file: bool, min_length: int, "
              "threads: int, progress: collections.abc.Callable[[int], object] | None, "
              "window: int = 0, step: int = 0) -> "
              "tuple[list[str], numpy.typing.NDArray[numpy.uint64], "
              "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.uint64], "
              "numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.uint64]]"),
          "Tetranucleotide z-scores of FASTA files as (ids, file index per row, z-scores,\n"
          "sequence bytes per row, starts, ends); ids are empty with `per_file`, starts and\n"
          "ends without `window`. velko_tools.tetra_zscores\n"
          "is the public face of this.");
    m.def("l1_distances", &l1_distances, nb::arg("queries"), nb::arg("rows"), nb::arg("out"),
          nb::sig("def l1_distances(queries: numpy.typing.NDArray[numpy.float64], "
                  "rows: numpy.typing.NDArray[numpy.float64], "
                  "out: numpy.typing.NDArray[numpy.float64]) -> None"),
          "The L1 distance of each row of `queries` to each of `rows`, into `out`.");
    m.def("keep_nearest", &keep_nearest, nb::arg("distances"), nb::arg("first_target"),
          nb::arg("self_first"), nb::arg("best"), nb::arg("index"),
          nb::sig("def keep_nearest(distances: numpy.typing.NDArray[numpy.float64], "
                  "first_target: int, self_first: int, "
                  "best: numpy.typing.NDArray[numpy.float64], "
                  "index: numpy.typing.NDArray[numpy.int64]) -> None"),
          "Merges a block of distances into each query's heap of the nearest targets\n"
          "(best, index), as velko_tools.composition's neighbours keeps them.");
}

}  // namespace velko::tools
