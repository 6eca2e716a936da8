// The one way a core operation fails: an Abort carrying the exact text the caller sees.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

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

/// Where in an input file a failure was found; a part not known is empty or 0.
struct FileLocation {
    std::string path;
    std::uint64_t line = 0;    // from 1
    std::uint64_t column = 0;  // from 1, in bytes
};

/// A failure inside an operation; what() is the exact message shown to Python. Failures found
/// in a file also say where, for callers that report positions themselves.
class Abort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    /// The place in the input, when the failure was found in one.
    [[nodiscard]] const std::optional<FileLocation>& location() const noexcept {
        return location_;
    }
    /// Records the place; the message stays as it is.
    void locate(FileLocation where) { location_ = std::move(where); }

private:
    std::optional<FileLocation> location_;
};

/// What kind of input failure a ReadError is, for callers that raise an error of the matching
/// kind: content that breaks the format, an OS failure, a damaged or cut-off gzip stream.
enum class ReadFault { kFormat, kOs, kGzipDamaged, kGzipTruncated };

/// Input that cannot be read as what it should be; what() is the cause as a caller quotes it
/// ("Expected > at record start.", "stream did not contain valid UTF-8", "invalid gzip data:
/// incorrect header check", "Is a directory (os error 21)"). The operation reading the input
/// turns it into the Abort that reaches the caller.
class ReadError : public std::runtime_error {
public:
    explicit ReadError(const std::string& cause, ReadFault fault_ = ReadFault::kFormat,
                       int os_error_ = 0, std::uint64_t line_ = 0)
        : std::runtime_error(cause), fault(fault_), os_error(os_error_), line(line_) {}

    ReadFault fault;
    int os_error;       // the errno of an OS failure, else 0
    std::uint64_t line;  // the line (from 1) of a format failure, 0 when not known
};

/// Writes the one-line diagnostic naming `message` and `where`, then throws Abort(message).
[[noreturn]] void fail(std::string_view message,
                       SourceLocation where = SourceLocation::current());

/// fail(), with the place in the input file where the failure was found.
[[noreturn]] void fail_in(FileLocation place, std::string_view message,
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
