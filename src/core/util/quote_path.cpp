// Path quoting over the generated tables of characters that must not be shown as themselves.
#include "util/quote_path.hpp"

#include <algorithm>
#include <array>
#include <iterator>

#include "util/path_escape_tables.hpp"
#include "util/utf8.hpp"

namespace velko::util {
namespace {

template <std::size_t N>
bool in_ranges(const std::array<CodeRange, N>& ranges, char32_t cp) {
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                        [](char32_t c, const CodeRange& r) { return c < r.first; });
    return after != ranges.begin() && cp <= std::prev(after)->last;
}

}  // namespace

std::string quote_path(std::string_view path) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const Byte*>(path.data());
    const auto* end = p + path.size();
    while (p < end) {
        const Byte* start = p;
        const char32_t cp = decode(p);
        switch (cp) {
            case U'"':
                out += "\\\"";
                continue;
            case U'\\':
                out += "\\\\";
                continue;
            case U'\t':
                out += "\\t";
                continue;
            case U'\r':
                out += "\\r";
                continue;
            case U'\n':
                out += "\\n";
                continue;
            case U'\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (in_ranges(kNotPrintable, cp) || in_ranges(kGraphemeExtend, cp)) {
            append_code_escape(out, cp);
        } else {
            out.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
        }
    }
    out += '"';
    return out;
}

}  // namespace velko::util
