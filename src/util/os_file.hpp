// An owned POSIX file descriptor, and the directory and path helpers that go with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velko::util {

/// One open descriptor, closed when the object goes. Calls retry on EINTR; a failed call leaves
/// its errno in error().
class OsFile {
public:
    OsFile() noexcept = default;
    OsFile(OsFile&& other) noexcept;
    OsFile& operator=(OsFile&& other) noexcept;
    OsFile(const OsFile&) = delete;
    OsFile& operator=(const OsFile&) = delete;
    ~OsFile();

    /// Opens an existing file for reading. A path holding NUL is never opened: the result is
    /// closed with error() 0 and has_nul set.
    [[nodiscard]] static OsFile open_read(std::string_view path);
    /// Opens for writing, creating (mode 0666 less the umask) or truncating; NUL as above.
    [[nodiscard]] static OsFile open_write(std::string_view path);

    [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
    /// The errno of the last failed call, 0 if none failed.
    [[nodiscard]] int error() const noexcept { return error_; }
    /// True when the open was refused because the path holds a NUL byte.
    [[nodiscard]] bool has_nul() const noexcept { return has_nul_; }

    /// Bytes read into `buffer`, 0 at the end of the file, -1 on failure.
    [[nodiscard]] std::ptrdiff_t read(std::span<char> buffer);
    /// As read(), from byte `offset` of the file, leaving the file position where it was.
    [[nodiscard]] std::ptrdiff_t read_at(std::span<char> buffer, std::uint64_t offset);
    /// The file position, or nothing when the file has none (a pipe, a terminal).
    [[nodiscard]] std::optional<std::uint64_t> position() const;
    /// True for a regular file, whose reads never wait on a writer.
    [[nodiscard]] bool is_regular() const;
    /// Writes every byte, looping over partial writes; false on failure.
    [[nodiscard]] bool write_all(std::string_view bytes);

private:
    static OsFile open_with(std::string_view path, int flags);

    int fd_ = -1;
    int error_ = 0;
    bool has_nul_ = false;
};

/// The parent directory of `path`: the path without its last component and the "/"s before it
/// (a trailing "/" makes no component). "" for a relative path of one component, "/" for an
/// absolute one; nothing for "" and for "/" itself.
[[nodiscard]] std::optional<std::string_view> parent_directory(std::string_view path);

/// Creates `path` and every missing ancestor (mode 0777 less the umask); an existing directory
/// is fine and "" needs nothing. Returns 0 or the errno of the failing mkdir; -1 when the path
/// holds a NUL byte.
[[nodiscard]] int create_directories(std::string_view path);

}  // namespace velko::util
