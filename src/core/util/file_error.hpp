// Failures tied to one file: content that breaks its format at a place, and a refused system call.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velko::util {

/// A file whose content does not follow its format. Thrown without a diagnostic, for callers
/// that report it as their own error: what() is "path:line:column: reason", with ":column" left
/// out when the column is 0 (the failure is about the whole line).
class FormatError : public std::runtime_error {
public:
    FormatError(std::string_view path, std::uint64_t line, std::uint32_t column,
                std::string_view reason);

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    /// 1-based line of the file.
    [[nodiscard]] std::uint64_t line() const noexcept { return line_; }
    /// 1-based column (the meaning is the format's own), 0 for none.
    [[nodiscard]] std::uint32_t column() const noexcept { return column_; }
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::uint64_t line_;
    std::uint32_t column_;
    std::string reason_;
};

/// A system call on `path` that failed. what() is "context: Os { code: .. }", the text fail_os
/// gives; error() is the errno, or 0 when the path holds a NUL byte and was never handed to the
/// system (what() then ends in kNulByteInDataDebug).
class OsError : public std::runtime_error {
public:
    OsError(std::string_view context, std::string_view path, int error);

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] int error() const noexcept { return error_; }

private:
    std::string path_;
    int error_;
};

}  // namespace velko::util
