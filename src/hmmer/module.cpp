// velko.hmmer.tophit: the Hit record and the TopHitFile table.
#include "pymodule.hpp"
#include "signature.hpp"

namespace velko::py {

void build_tophit(PyObject* package) {
    Ref module = create_submodule("velko.hmmer.tophit");
    publish_submodule(package, module.get(),
                      "import sys; sys.modules['velko.hmmer.tophit'] = submodule");
}

}  // namespace velko::py
