// The one way a core operation fails: an Abort carrying the exact text the caller sees.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace velko {

/// Where an abort started. std::source_location would do, but the fuzzing compiler's library
/// lacks it; the builtins behind it work in both compilers.
struct SourceLocation {
    const char* file = "";
    unsigned line = 0;
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) {
        return {file, line};
    }
};

/// A failure inside an operation; what() is the exact message shown to Python.
class Abort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Writes the one-line diagnostic naming `message` and `where`, then throws Abort(message).
[[noreturn]] void fail(std::string_view message,
                       SourceLocation where = SourceLocation::current());

/// Fails with `context`, ": " and the debug description of OS error `error` (see os_error_debug).
[[noreturn]] void fail_os(std::string_view context, int error,
                          SourceLocation where = SourceLocation::current());

/// "No such file or directory (os error 2)": the system's text and the number.
[[nodiscard]] std::string os_error_text(int error);

/// Os { code: 2, kind: NotFound, message: "No such file or directory" }
[[nodiscard]] std::string os_error_debug(int error);

/// Writes the diagnostic line without failing (used where the abort is raised elsewhere).
void write_diagnostic(std::string_view message, SourceLocation where);

}  // namespace velko
