// The parts of velko_tools._core, each binding one area of the core into the module.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kmer/count_table.hpp"
#include "util/failure.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {

namespace nb = nanobind;

/// A NumPy array of `shape` over `data`, which lies inside `owner`: the array keeps `owner`
/// alive for as long as it lives, so the core's buffer is handed out without a copy.
template <class T, class Owner>
nb::ndarray<nb::numpy, T> owning_array(Owner owner, T* data,
                                       std::initializer_list<std::size_t> shape) {
    auto held = std::make_unique<Owner>(std::move(owner));
    nb::capsule keeper(held.get(), [](void* p) noexcept {
        const std::unique_ptr<Owner> drop(static_cast<Owner*>(p));
    });
    held.release();
    return nb::ndarray<nb::numpy, T>(data, shape.size(), shape.begin(), keeper);
}

/// A one-dimensional NumPy array that owns `values` (moving a vector keeps its buffer).
template <class T>
nb::ndarray<nb::numpy, T> vector_array(std::vector<T> values) {
    T* data = values.data();
    const std::size_t size = values.size();
    return owning_array(std::move(values), data, {size});
}

/// How often the calling thread looks at signals and reports progress while workers count.
inline constexpr unsigned kPollMilliseconds = 50;

/// Waits for the workers of `job` (a job of the core: wait_for, and bytes_done where it reads
/// input) with the lock released, looking at signals and calling `progress`, unless None, with
/// the bytes read between waits. A KeyboardInterrupt (or any error from a signal handler)
/// propagates: the job's destructor then cancels the workers and waits, which takes a block's
/// worth of work.
template <class Job>
void await_job(Job& job, const nb::object& progress = nb::none()) {
    for (bool done = false; !done;) {
        done = unlocked([&] { return job.wait_for(kPollMilliseconds); });
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if constexpr (requires { job.bytes_done(); }) {
            if (!progress.is_none()) progress(job.bytes_done());
        }
    }
}

/// Record ids as a list of str, answering Ctrl-C between them: there are as many as records.
[[nodiscard]] nb::list id_list(const std::vector<std::string>& ids);

/// ValueError unless 1 <= k <= kmer::kMaxSparseK, the k a k-mer code can hold.
void check_sparse_k(unsigned k);

/// The strands option of both k-mer counts, as the core takes it; ValueError for another word.
[[nodiscard]] kmer::TableStrands parse_strands(const std::string& strands);

/// Each file's base tally as a (files, 6) array: records, letters, then A, C, G, T.
[[nodiscard]] nb::ndarray<nb::numpy, std::uint64_t> tally_array(
    const std::vector<kmer::BaseTally>& tallies);

/// The exception translator: every core failure as its velko_tools exception.
void register_failures();

/// The input files of a call as the Python side hands them over: (os.fsencode(path), name)
/// pairs, the name being what errors call the file. Standard input is opened as /dev/stdin
/// but named <stdin>, so a failure cannot be named from the path it carries alone. Names are
/// borrowed from the list, which the caller holds for the whole call.
class InputFiles {
public:
    explicit InputFiles(const nb::list& files);

    /// The paths to open, as the system takes them.
    [[nodiscard]] const std::vector<std::string>& paths() const { return paths_; }

    /// Runs `body`; a core failure in one of the files is raised as the translator raises it,
    /// naming the file as the caller does.
    template <class Body>
    auto naming(Body&& body) const -> decltype(body()) {
        try {
            return body();
        } catch (const util::Failure& failure) {
            raise_named(failure);
        }
    }

private:
    [[noreturn]] void raise_named(const util::Failure& failure) const;

    std::vector<std::string> paths_;
    std::vector<nb::handle> names_;
};

/// reverse_complement, and FastaRecords: the records of a FASTA file, each whole.
void bind_sequences(nb::module_& m);

/// k-mer counting of FASTA files into tables.
void bind_kmers(nb::module_& m);

/// Sparse k-mer counts of FASTA files up to k = 32.
void bind_sparse(nb::module_& m);

/// FracMinHash sketches of FASTA files and their comparison.
void bind_sketch(nb::module_& m);

/// Profile-search hits and the top-hit table.
void bind_hits(nb::module_& m);

/// Output files replaced atomically: written beside the target, then renamed over it.
void bind_files(nb::module_& m);

/// HMMER tables read through thresholds, cutoffs and coverage.
void bind_annotate(nb::module_& m);

/// Rows of numbers as tab-separated text, for the table writers.
void bind_text(nb::module_& m);

}  // namespace velko::tools
