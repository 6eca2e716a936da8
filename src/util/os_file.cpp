// POSIX descriptors and directories, with EINTR retried and errno kept for the caller.
#include "util/os_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace velko::util {
namespace {

bool holds_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// 0, or the errno of mkdir; an existing directory counts as made.
int make_directory(const std::string& path) {
    while (::mkdir(path.c_str(), 0777) != 0) {
        const int error = errno;
        if (error == EINTR) continue;
        // EEXIST alone is not enough: a regular file of that name is still a failure.
        return error != ENOENT && is_directory(path) ? 0 : error;
    }
    return 0;
}

int create_all(const std::string& path) {
    if (path.empty()) return 0;
    const int error = make_directory(path);
    if (error != ENOENT) return error;
    const auto parent = parent_directory(path);
    if (!parent) return error;
    if (const int parent_error = create_all(std::string(*parent)); parent_error != 0) {
        return parent_error;
    }
    return make_directory(path);
}

}  // namespace

OsFile::OsFile(OsFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(other.error_), has_nul_(other.has_nul_) {}

OsFile& OsFile::operator=(OsFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        error_ = other.error_;
        has_nul_ = other.has_nul_;
    }
    return *this;
}

OsFile::~OsFile() {
    // A close error cannot be reported from here; every write has already been checked.
    if (fd_ >= 0) ::close(fd_);
}

OsFile OsFile::open_with(std::string_view path, int flags) {
    OsFile file;
    if (holds_nul(path)) {
        // The system would see only the text before the NUL: a different file.
        file.has_nul_ = true;
        return file;
    }
    const std::string c_path(path);
    do {
        file.fd_ = ::open(c_path.c_str(), flags, 0666);
    } while (file.fd_ < 0 && errno == EINTR);
    if (file.fd_ < 0) file.error_ = errno;
    return file;
}

OsFile OsFile::open_read(std::string_view path) { return open_with(path, O_RDONLY | O_CLOEXEC); }

OsFile OsFile::open_write(std::string_view path) {
    return open_with(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
}

std::ptrdiff_t OsFile::read(std::span<char> buffer) {
    while (true) {
        const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
        if (count >= 0) return count;
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

std::ptrdiff_t OsFile::read_at(std::span<char> buffer, std::uint64_t offset) {
    while (true) {
        const ssize_t count =
            ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (count >= 0) return count;
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

std::optional<std::uint64_t> OsFile::position() const {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return std::nullopt;
    return static_cast<std::uint64_t>(at);
}

bool OsFile::is_regular() const {
    struct stat info {};
    return ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

bool OsFile::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd_, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

std::optional<std::string_view> parent_directory(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos) return std::nullopt;  // "" or only slashes
    const std::size_t last_slash = path.find_last_of('/', end);
    if (last_slash == std::string_view::npos) return path.substr(0, 0);
    end = path.find_last_not_of('/', last_slash);
    if (end == std::string_view::npos) return absolute ? path.substr(0, 1) : path.substr(0, 0);
    return path.substr(0, end + 1);
}

int create_directories(std::string_view path) {
    if (holds_nul(path)) return -1;
    return create_all(std::string(path));
}

}  // namespace velko::util
