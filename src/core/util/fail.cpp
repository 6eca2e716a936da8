// Abort diagnostics and the text forms of operating-system errors.
#include "util/fail.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace velko {
namespace {

// The source position is shown from the project's own tree, whatever directory built it.
std::string_view short_file(std::string_view file) {
    const auto at = file.rfind("/src/");
    return at == std::string_view::npos ? file : file.substr(at + 1);
}

std::string_view error_kind(int error) {
    switch (error) {
        case ENOENT: return "NotFound";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EEXIST: return "AlreadyExists";
        case ENOTDIR: return "NotADirectory";
        case EISDIR: return "IsADirectory";
        case EINVAL: return "InvalidInput";
        case EROFS: return "ReadOnlyFilesystem";
        case ENOSPC: return "StorageFull";
        case EDQUOT: return "FilesystemQuotaExceeded";
        case ENAMETOOLONG: return "InvalidFilename";
        case ELOOP: return "FilesystemLoop";
        case EFBIG: return "FileTooLarge";
        case ETXTBSY: return "ExecutableFileBusy";
        case EBUSY: return "ResourceBusy";
        case EMLINK: return "TooManyLinks";
        case EXDEV: return "CrossesDevices";
        case ENOMEM: return "OutOfMemory";
        case EINTR: return "Interrupted";
        case EAGAIN: return "WouldBlock";
        default: return "Uncategorized";
    }
}

std::string system_message(int error) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be into the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text;
}

}  // namespace

void write_diagnostic(std::string_view message, SourceLocation where) {
    const auto file = short_file(where.file);
    std::fprintf(stderr, "velko: internal abort at %.*s:%u: %.*s\n", static_cast<int>(file.size()),
                 file.data(), where.line,
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void fail(std::string_view message, SourceLocation where) {
    write_diagnostic(message, where);
    throw Abort(std::string(message));
}

void fail_in(FileLocation place, std::string_view message, SourceLocation where) {
    write_diagnostic(message, where);
    Abort abort{std::string(message)};
    abort.locate(std::move(place));
    throw abort;
}

void fail_os(std::string_view context, int error, SourceLocation where) {
    std::string message(context);
    message += ": ";
    message += os_error_debug(error);
    fail(message, where);
}

std::string os_error_text(int error) {
    return system_message(error) + " (os error " + std::to_string(error) + ")";
}

std::string os_error_debug(int error) {
    std::string text = "Os { code: " + std::to_string(error) + ", kind: ";
    text += error_kind(error);
    text += ", message: \"";
    text += system_message(error);
    text += "\" }";
    return text;
}

}  // namespace velko
