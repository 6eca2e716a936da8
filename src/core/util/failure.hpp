// The one way a core operation fails: what happened, where, and the facts a message needs.
// Each surface words it in one place of its own (velko's boundary, velko_tools' translator).
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "util/number_text.hpp"

namespace velko::util {

/// Where a failure started in the source. std::source_location would do, but the fuzzing
/// compiler's library lacks it; the builtins behind it work in both compilers.
struct SourceLocation {
    const char* file = "";
    unsigned line = 0;
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) {
        return {file, line};
    }
};

/// What happened.
enum class FailureKind : std::uint8_t {
    kFormat,         // content that breaks the file's format; `reason` says how, in plain words
    kInvalidBase,    // a byte that is not a base where a k-mer needed one (`piece`)
    kOs,             // a system call refused: `os_error`, 0 when the path holds a NUL byte
    kGzipDamaged,    // gzip data that does not decode; `reason` is the decoder's cause
    kGzipTruncated,  // a gzip stream that ends before its end-of-stream marker
    kRefused,        // a request refused before anything was done; `reason` says why
    kAbort,          // an internal abort: `reason` is its whole text
};

/// The kind of file the failing operation read or wrote, which decides how a surface words it.
enum class FileKind : std::uint8_t { kNone, kFasta, kHmmerTable, kTopHitFile };

/// The step of a file operation that the system refused.
enum class FileStep : std::uint8_t { kNone, kRead, kCreateDirectory, kCreateFile, kWrite };

/// The facts of a failure; a part not known is empty or 0.
struct FailureFacts {
    FailureKind kind = FailureKind::kAbort;
    FileKind file = FileKind::kNone;
    FileStep step = FileStep::kNone;
    std::string path = {};     // the file as the system took it
    std::uint64_t line = 0;    // from 1
    std::uint64_t column = 0;  // from 1; bytes for FASTA, fields for a HMMER table
    std::string record = {};   // the record (FASTA id) at fault
    int os_error = 0;          // the errno of kOs
    std::string reason = {};   // the cause in plain words
    std::string piece = {};    // the text at fault: a character, a number's text
    int fault = 0;             // the format's own code for the fault (hmmer::TopHitFault)
    NumberError number = NumberError::kNone;  // why a number did not parse
};

/// A failure of a core operation. what() is a plain summary for logs and tests; the surfaces
/// word the facts themselves.
class Failure : public std::exception, public FailureFacts {
public:
    explicit Failure(FailureFacts facts, SourceLocation origin = SourceLocation::current());

    [[nodiscard]] const char* what() const noexcept override { return summary_.c_str(); }

    /// Names the file a failure happened in, when the code that found it did not know.
    void locate(std::string_view in_path, FileKind in_file);

    /// Where the failure was thrown; file "" for one that did not start in this process's code
    /// (a panic coming back from Python).
    SourceLocation origin;

private:
    void summarize();
    std::string summary_;
};

/// A system call on `path` that failed with `error` (0: the path holds a NUL byte).
[[nodiscard]] Failure os_failure(FileKind file, FileStep step, std::string_view path, int error,
                                 SourceLocation origin = SourceLocation::current());

/// "No such file or directory (os error 2)": the system's text and the number.
[[nodiscard]] std::string os_error_text(int error);

/// Os { code: 2, kind: NotFound, message: "No such file or directory" }
[[nodiscard]] std::string os_error_debug(int error);

}  // namespace velko::util
