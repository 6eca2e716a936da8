// Profile-search hits and the top-hit table in velko_tools._core.
#include "tools/bindings.hpp"

namespace velko::tools {

void bind_hits(nb::module_&) {}

}  // namespace velko::tools
