// The failure family's summary text and the text forms of operating-system errors.
#include "util/failure.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace velko::util {
namespace {

std::string_view error_kind(int error) {
    switch (error) {
        case ENOENT:
            return "NotFound";
        case EACCES:
        case EPERM:
            return "PermissionDenied";
        case EEXIST:
            return "AlreadyExists";
        case ENOTDIR:
            return "NotADirectory";
        case EISDIR:
            return "IsADirectory";
        case EINVAL:
            return "InvalidInput";
        case EROFS:
            return "ReadOnlyFilesystem";
        case ENOSPC:
            return "StorageFull";
        case EDQUOT:
            return "FilesystemQuotaExceeded";
        case ENAMETOOLONG:
            return "InvalidFilename";
        case ELOOP:
            return "FilesystemLoop";
        case EFBIG:
            return "FileTooLarge";
        case ETXTBSY:
            return "ExecutableFileBusy";
        case EBUSY:
            return "ResourceBusy";
        case EMLINK:
            return "TooManyLinks";
        case EXDEV:
            return "CrossesDevices";
        case ENOMEM:
            return "OutOfMemory";
        case EINTR:
            return "Interrupted";
        case EAGAIN:
            return "WouldBlock";
        default:
            return "Uncategorized";
    }
}

std::string system_message(int error) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be into the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text;
}

}  // namespace

Failure::Failure(FailureFacts facts, SourceLocation where)
    : FailureFacts(std::move(facts)), origin(where) {
    summarize();
}

void Failure::locate(std::string_view in_path, FileKind in_file) {
    if (path.empty()) path = in_path;
    if (file == FileKind::kNone) file = in_file;
    summarize();
}

// "path:line:column: cause", each part there when known.
void Failure::summarize() {
    std::string text = path;
    if (line != 0) text += ':' + std::to_string(line);
    if (column != 0) text += ':' + std::to_string(column);
    if (!text.empty()) text += ": ";
    switch (kind) {
        case FailureKind::kOs:
            text += os_error == 0 ? "data provided contains a nul byte" : os_error_text(os_error);
            break;
        case FailureKind::kInvalidBase:
            text += "invalid base \"" + piece + "\"";
            if (!record.empty()) text += " in record \"" + record + "\"";
            break;
        default:
            text += reason;
    }
    summary_ = std::move(text);
}

Failure os_failure(FileKind file, FileStep step, std::string_view path, int error,
                   SourceLocation origin) {
    return Failure({.kind = FailureKind::kOs,
                    .file = file,
                    .step = step,
                    .path = std::string(path),
                    .os_error = error},
                   origin);
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

}  // namespace velko::util
