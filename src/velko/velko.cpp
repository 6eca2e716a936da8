// PyInit_velko: the package and its submodules, built in order.
#include <atomic>

#include "velko/boundary.hpp"
#include "velko/pymodule.hpp"

namespace velko::py {
namespace {

// State size 0, not -1: with -1 CPython would re-import by copying the module's dict, and a
// second initialisation must reach the entry point to be refused.
PyModuleDef kPackage = {
    PyModuleDef_HEAD_INIT, "velko", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialised{false};

Ref init_package() {
    Ref package = Ref::checked(PyModule_Create2(&kPackage, 1013));
    if (initialised.exchange(true)) {
        throw_error(PyExc_ImportError,
                    "PyO3 modules may only be initialized once per interpreter process");
    }
    build_accession(package.get());
    build_tophit(package.get());
    build_kmer(package.get());
    build_fasta(package.get());
    // Made now rather than on the first failure, so that a process that only loads a pickled
    // PanicException finds the class once velko is imported.
    panic_type();
    return package;
}

}  // namespace
}  // namespace velko::py

PyMODINIT_FUNC PyInit_velko() { return velko::py::guarded(velko::py::init_package); }
