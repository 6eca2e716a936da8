// velko.kmer: k-mer lists and indexes, count results, counting sequences and FASTA files.
#include "pymodule.hpp"
#include "signature.hpp"

namespace velko::py {

void build_kmer(PyObject* package) {
    Ref module = create_submodule("velko.kmer");
    publish_submodule(package, module.get(), "import sys; sys.modules['velko.kmer'] = submodule");
}

}  // namespace velko::py
