// k-mer counting in velko_tools._core.
#include "tools/bindings.hpp"

namespace velko::tools {

void bind_kmers(nb::module_&) {}

}  // namespace velko::tools
