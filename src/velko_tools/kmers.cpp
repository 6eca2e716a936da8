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
#include "velko_tools/bindings.hpp"

namespace velko::tools {
namespace {

using kmer::Invalid;
using kmer::TableStrands;

// How often the calling thread looks at signals and reports progress while workers count.
constexpr unsigned kPollMilliseconds = 50;

using CountArray = nb::ndarray<nb::numpy, std::uint64_t>;

// A NumPy array over `data` that keeps `owner` alive for as long as the array lives.
template <class Owner>
CountArray owning_array(Owner owner, std::uint64_t* data,
                        std::initializer_list<std::size_t> shape) {
    auto held = std::make_unique<Owner>(std::move(owner));
    nb::capsule keeper(held.get(), [](void* p) noexcept {
        const std::unique_ptr<Owner> drop(static_cast<Owner*>(p));
    });
    held.release();
    return CountArray(data, shape.size(), shape.begin(), keeper);
}

CountArray vector_array(std::vector<std::uint64_t> values) {
    std::uint64_t* data = values.data();
    const std::size_t size = values.size();
    return owning_array(std::move(values), data, {size});
}

TableStrands parse_strands(const std::string& strands) {
    if (strands == "forward") return TableStrands::kForward;
    if (strands == "both") return TableStrands::kBoth;
    if (strands == "canonical") return TableStrands::kCanonical;
    throw nb::value_error("strands must be 'forward', 'both' or 'canonical'");
}

nb::tuple count_table(nb::list files, std::uint8_t k, const std::string& strands, bool skip_invalid,
                      bool per_file, unsigned threads, nb::object progress) {
    const kmer::TableOptions options{
        .k = k,
        .strands = parse_strands(strands),
        .invalid = skip_invalid ? Invalid::kSkip : Invalid::kStop,
        .per_file = per_file,
    };
    // File names as the system takes them (os.fsencode), whatever their encoding.
    std::vector<std::string> paths;
    for (nb::handle file : files) {
        const auto path = nb::cast<nb::bytes>(file);
        paths.emplace_back(path.c_str(), path.size());
    }
    const std::vector<std::uint64_t> kmers = kmer::table_kmers(k, options.strands);
    kmer::Table table;
    {
        kmer::TableJob job(paths, options, threads);
        for (bool done = false; !done;) {
            {
                const nb::gil_scoped_release unlocked;
                done = job.wait_for(kPollMilliseconds);
            }
            // A KeyboardInterrupt (or any error from a signal handler) stops the workers: the
            // job's destructor cancels them and waits, which takes a block's worth of counting.
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
            if (!progress.is_none()) progress(job.bytes_done());
        }
        std::vector<kmer::FileRows> rows = job.take();
        const nb::gil_scoped_release unlocked;
        table = kmer::gather_table(std::move(rows), kmers.size());
    }
    nb::list labels;
    std::string text(k, 'A');
    for (const std::uint64_t kmer : kmers) {
        kmer::write_kmer(k, kmer, text);
        labels.append(nb::str(text.data(), text.size()));
    }
    nb::list ids;
    for (const std::string& id : table.ids) ids.append(nb::str(id.data(), id.size()));
    std::vector<std::uint64_t> row_files(table.files.begin(), table.files.end());
    const std::size_t rows = table.ids.size();
    std::uint64_t* const counts = table.counts;
    return nb::make_tuple(ids, vector_array(std::move(row_files)), labels,
                          owning_array(std::move(table.memory), counts, {rows, kmers.size()}),
                          vector_array(std::move(table.windows)),
                          vector_array(std::move(table.skipped)));
}

}  // namespace

void bind_kmers(nb::module_& m) {
    m.def("count_table", &count_table, nb::arg("files"), nb::arg("k"), nb::arg("strands"),
          nb::arg("skip_invalid"), nb::arg("per_file"), nb::arg("threads"),
          nb::arg("progress").none(),
          "Counts the k-mers of FASTA files into (ids, file index per row, k-mer labels,\n"
          "counts, windows, skipped); velko_tools.count_kmers is the public face of this.");
}

}  // namespace velko::tools
