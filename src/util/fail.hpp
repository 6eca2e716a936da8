// The one way a core operation fails: an Abort carrying the exact text the caller sees.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velko {

/// A failure inside an operation; what() is the exact message shown to Python.
class Abort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Writes the one-line diagnostic naming `message` and `where`, then throws Abort(message).
[[noreturn]] void fail(std::string_view message,
                       std::source_location where = std::source_location::current());

/// Fails with `context`, ": " and the debug description of OS error `error` (see os_error_debug).
[[noreturn]] void fail_os(std::string_view context, int error,
                          std::source_location where = std::source_location::current());

/// "No such file or directory (os error 2)": the system's text and the number.
[[nodiscard]] std::string os_error_text(int error);

/// Os { code: 2, kind: NotFound, message: "No such file or directory" }
[[nodiscard]] std::string os_error_debug(int error);

/// Writes the diagnostic line without failing (used where the abort is raised elsewhere).
void write_diagnostic(std::string_view message, std::source_location where);

}  // namespace velko
