// The texts of file failures.
#include "util/file_error.hpp"

#include "util/fail.hpp"
#include "util/messages.hpp"

namespace velko::util {
namespace {

std::string located(std::string_view path, std::uint64_t line, std::uint32_t column,
                    std::string_view reason) {
    std::string text(path);
    text += ':';
    text += std::to_string(line);
    if (column != 0) {
        text += ':';
        text += std::to_string(column);
    }
    text += ": ";
    text += reason;
    return text;
}

std::string os_text(std::string_view context, int error) {
    std::string text(context);
    text += ": ";
    text += error == 0 ? std::string(kNulByteInDataDebug) : os_error_debug(error);
    return text;
}

}  // namespace

FormatError::FormatError(std::string_view path, std::uint64_t line, std::uint32_t column,
                         std::string_view reason)
    : std::runtime_error(located(path, line, column, reason)),
      path_(path),
      line_(line),
      column_(column),
      reason_(reason) {}

OsError::OsError(std::string_view context, std::string_view path, int error)
    : std::runtime_error(os_text(context, error)), path_(path), error_(error) {}

}  // namespace velko::util
