// Table text of velko_tools._core: rows of counts or frequencies as tab-separated lines, made
// without the interpreter lock and without a Python object per cell.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/row_text.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

template <class Value>
using Rows = nb::ndarray<const Value, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <class Value>
nb::bytes format_rows(const std::vector<std::string>& prefixes, const Rows<Value>& values,
                      std::size_t start) {
    if (start > values.shape(0) || prefixes.size() > values.shape(0) - start) {
        throw nb::index_error("rows start + len(prefixes) lie beyond the array");
    }
    const std::size_t columns = values.shape(1);
    std::string text;
    const std::vector<std::string_view> views(prefixes.begin(), prefixes.end());
    // Without the lock, and through unlocked(): a daemon thread still formatting when the
    // interpreter ends must not take the lock back in a destructor.
    unlocked([&] { util::append_rows(text, views, values.data() + start * columns, columns); });
    return nb::bytes(text.data(), text.size());
}

}  // namespace

void bind_text(nb::module_& m) {
    constexpr const char* doc =
        "The lines of rows start .. start + len(prefixes) of a 2-D array: each prefix, then the\n"
        "row's values after tabs (counts in decimal, floats as repr() writes them), then a line\n"
        "feed, as UTF-8 bytes.";
    m.def("format_rows", &format_rows<std::uint64_t>, nb::arg("prefixes"), nb::arg("values"),
          nb::arg("start"), doc);
    m.def("format_rows", &format_rows<double>, nb::arg("prefixes"), nb::arg("values"),
          nb::arg("start"), doc);
}

}  // namespace velko::tools
