// velko_tools._core: the native half of velko_tools, one module over the shared core.
#include "tools/bindings.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Native functions of velko_tools; use them through the velko_tools package.";
    velko::tools::bind_sequences(m);
    velko::tools::bind_kmers(m);
    velko::tools::bind_hits(m);
}
