// Text written the way failure messages show it: quoted, with its invisible characters escaped.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace velko::util {

/// The text as a double-quoted literal: \" \\ \t \r \n \0 escaped, characters that are not
/// printable or that extend a grapheme written as \u{hex}, each byte that does not begin a
/// valid UTF-8 character as \xhh, everything else as itself. Past `max_chars` characters the
/// rest is left out and "..." shown in its place.
[[nodiscard]] std::string quote_text(
    std::string_view text, std::size_t max_chars = std::numeric_limits<std::size_t>::max());

/// A path as failure messages name it (valid UTF-8 then reads as the path itself).
[[nodiscard]] inline std::string quote_path(std::string_view path) { return quote_text(path); }

}  // namespace velko::util
