// velko's fixed texts that more than one place raises, each written once.
#pragma once

#include <string_view>

namespace velko::py {

/// A value that had to be present was missing (a field of a line, a parent directory).
inline constexpr std::string_view kNoneUnwrap = "called `Option::unwrap()` on a `None` value";

/// The start of a failure that quotes its cause: this text, ": " and the cause.
inline constexpr std::string_view kErrUnwrap = "called `Result::unwrap()` on an `Err` value";

/// A text meant for the system (a path) holds a NUL byte: the bare cause.
inline constexpr std::string_view kNulByteInData = "data provided contains a nul byte";

/// The same cause in the debug form that file operations quote after their context.
inline constexpr std::string_view kNulByteInDataDebug =
    "Error { kind: InvalidInput, message: \"data provided contains a nul byte\" }";

}  // namespace velko::py
