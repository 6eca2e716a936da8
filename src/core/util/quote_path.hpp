// A path written the way failure messages show it: quoted, with its invisible characters escaped.
#pragma once

#include <string>
#include <string_view>

namespace velko::util {

/// The path (valid UTF-8) as a double-quoted literal: \" \\ \t \r \n \0 escaped, characters
/// that are not printable or that extend a grapheme written as \u{hex}, everything else as
/// itself.
[[nodiscard]] std::string quote_path(std::string_view path);

}  // namespace velko::util
