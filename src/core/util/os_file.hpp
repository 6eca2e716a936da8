// An owned POSIX file descriptor, and the directory and path helpers that go with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velko::util {

/// What a path names when it is about to be written.
struct FileFacts {
    enum class Kind { kMissing, kRegular, kOther };
    Kind kind = Kind::kMissing;
    unsigned mode = 0;  // permission bits, setuid, setgid and sticky
    unsigned owner = 0;
    unsigned group = 0;
};

/// What tells one state of a file from another without reading it: a file replaced, rewritten
/// or appended to differs in one of these.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

/// The identity of the file at `path` (following symbolic links), or nothing when it cannot be
/// looked at.
[[nodiscard]] std::optional<FileIdentity> file_identity(std::string_view path);

/// One open descriptor, closed when the object goes. Calls retry on EINTR after asking the
/// thread's interruption hook, so a blocked open, read or write ends by Ctrl-C (throwing
/// util::Interrupted); a failed call leaves its errno in error().
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
    /// Creates a file that must not exist yet (mode 0666 less the umask) and opens it for
    /// writing; NUL as above.
    [[nodiscard]] static OsFile create_new(std::string_view path);
    /// Opens a new file without a name in directory `path` for reading and writing: the system
    /// frees it when it is closed, however the process ends. NUL as above.
    /// Where the file system has no unnamed files, as open_named_temporary.
    [[nodiscard]] static OsFile open_temporary(std::string_view path);
    /// Creates a file of a fresh hidden name in directory `path` for reading and writing and
    /// removes its name at once, so the system frees it when it is closed. NUL as above.
    [[nodiscard]] static OsFile open_named_temporary(std::string_view path);
    /// Opens a directory for reading (to sync it); NUL as above.
    [[nodiscard]] static OsFile open_directory(std::string_view path);

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
    /// Asks the system to start writing to the device what was written since the last call,
    /// without waiting, so that a later sync() has less left to wait for. Best effort.
    void start_writeback() noexcept;
    /// Flushes the file's data and metadata to the device; false on failure.
    [[nodiscard]] bool sync();
    /// Gives the file the owner (as far as allowed) and the permission bits of `like`; false
    /// when the bits cannot be set.
    [[nodiscard]] bool copy_owner_and_mode(const FileFacts& like);
    /// Closes the descriptor now, so that a delayed write error is seen; false on failure.
    /// The descriptor is gone either way.
    [[nodiscard]] bool close();

private:
    static OsFile open_with(std::string_view path, int flags);

    // Waits until a read of a FIFO would not block, asking the caller's hook every few tens of
    // milliseconds. Throws Interrupted.
    void wait_readable();

    int fd_ = -1;
    int error_ = 0;
    std::size_t written_ = 0;
    std::size_t written_back_ = 0;
    bool has_nul_ = false;
    bool polled_ = false;  // a FIFO read: each read first waits for data in slices (wait_readable)
};

/// Where a file is written so that a failure leaves what was there: `path` is the file to
/// replace or create, `path` itself or where its symbolic links lead. `replace` is false for
/// what is written in place: a FIFO, a device, a directory (whose open then fails), a path
/// ending in "/", a file mounted over its name, links through /proc (such as /dev/stdout or
/// /dev/fd/1), or a chain of links too long to follow.
struct WriteTarget {
    std::string path;
    bool replace = false;
    FileFacts facts;
};

/// Looks at `path` (following its symbolic links) to decide how it is written.
[[nodiscard]] WriteTarget write_target(std::string_view path);

/// 0 when this process may write to the existing file at `path`, else the errno of the check
/// (EACCES for a read-only file): replacing a file must not get round its own permissions.
[[nodiscard]] int check_writable(const std::string& path);

/// A new empty file beside `target`, in the same directory, under a hidden name made from
/// the target's and this process's id (".NAME.PID.HEX.tmp"), so that a later writer can tell a
/// temporary whose writer was killed. Removed when this object goes, unless rename_over()
/// succeeded. Before it is made, the temporaries of `target` whose writers are gone are removed.
class SiblingFile {
public:
    /// Creates the file; file().is_open() is false and file().error() holds errno on failure.
    explicit SiblingFile(std::string_view target);
    SiblingFile(const SiblingFile&) = delete;
    SiblingFile& operator=(const SiblingFile&) = delete;
    ~SiblingFile();

    [[nodiscard]] OsFile& file() noexcept { return file_; }
    /// The file's path; "" when it could not be made.
    [[nodiscard]] const std::string& path() const noexcept { return temp_; }
    /// Renames the (closed) file over `target_`, then syncs the directory; 0, or the errno of
    /// rename.
    [[nodiscard]] int rename_over();

private:
    std::string target_;
    std::string temp_;
    OsFile file_;
    bool renamed_ = false;
};

/// Removes the temporaries SiblingFile left beside `target` whose process is gone (a writer
/// killed by SIGKILL or the power going) and, when `own` is true, this process's own: for a
/// process that ends while one of its threads still writes. Best effort: failures are ignored.
void remove_temporaries(std::string_view target, bool own);

/// A file written so that a failure leaves what was at `path`: a SiblingFile made complete on
/// the device and then renamed over the regular file (or the missing one) that `path` names,
/// or `path` itself when write_target says it is written in place (a FIFO, a device).
class ReplacingFile {
public:
    /// Opens the file to write. On failure is_open() is false and error() holds the errno (0
    /// for a path holding NUL); an existing file this process may not write is refused with
    /// its own errno (EACCES) before anything is made, and a new file takes the owner and the
    /// permission bits of the one it replaces.
    explicit ReplacingFile(std::string_view path);

    [[nodiscard]] bool is_open() { return file().is_open(); }
    [[nodiscard]] int error() { return error_ != 0 ? error_ : file().error(); }
    [[nodiscard]] OsFile& file() noexcept { return sibling_ ? sibling_->file() : in_place_; }
    /// The file being written: the temporary, or `path` itself when written in place.
    [[nodiscard]] const std::string& written_path() const noexcept {
        return sibling_ ? sibling_->path() : target_.path;
    }
    /// Syncs (when replacing) and closes what was written; false on failure, with the errno in
    /// error().
    [[nodiscard]] bool finish_writing();
    /// Puts the finished file in place of the target; 0, or the errno of rename.
    [[nodiscard]] int replace();

private:
    WriteTarget target_;
    std::optional<SiblingFile> sibling_;
    OsFile in_place_;
    int error_ = 0;
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
