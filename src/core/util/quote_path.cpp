// Quoting for messages over the generated tables of characters not shown as themselves.
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

std::string quote_text(std::string_view text, std::size_t max_chars) {
    constexpr std::string_view kHexDigits = "0123456789abcdef";
    std::string out = "\"";
    const auto* p = reinterpret_cast<const Byte*>(text.data());
    const auto* end = p + text.size();
    for (std::size_t shown = 0; p < end; ++shown) {
        if (shown == max_chars) {
            out += "...";
            break;
        }
        const Byte* start = p;
        const std::size_t length = kLeads[*p].length;
        if (length == 0 || static_cast<std::size_t>(end - p) < length ||
            whole_characters_end(p, p + length, true) != p + length) {
            // Bytes that are not text (a field of a damaged file) are shown as bytes.
            out += "\\x";
            out += kHexDigits[*p >> 4];
            out += kHexDigits[*p & 0xF];
            ++p;
            continue;
        }
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
