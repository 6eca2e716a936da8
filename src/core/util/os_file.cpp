// POSIX descriptors and directories, with EINTR retried (once pending signals are looked at)
// and errno kept for the caller.
#include "util/os_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "util/interrupt.hpp"

namespace velko::util {
namespace {

bool holds_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

bool is_directory(const std::string& path) {
    struct stat info{};
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

// Symbolic links followed before giving up, as the system does (it then fails with ELOOP).
constexpr int kMaxLinks = 40;
// Names tried before creating a sibling file gives up.
constexpr int kNameAttempts = 64;
// A sibling name keeps this much of the target's name, so that it stays within NAME_MAX.
constexpr std::size_t kKeptNameBytes = 200;

std::string_view last_component(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// `link` read from the symbolic link at `at`, as a path usable from the current directory.
std::string resolve_link(std::string_view at, std::string_view link) {
    if (!link.empty() && link.front() == '/') return std::string(link);
    const std::size_t slash = at.rfind('/');
    if (slash == std::string_view::npos) return std::string(link);
    std::string joined(at.substr(0, slash + 1));
    joined += link;
    return joined;
}

// The directory part of `path`, "." when it has none.
std::string directory_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

// Links in /proc name open descriptors (/dev/stdout and /dev/fd/N lead there), whose file is
// written in place, never replaced behind the process that holds it.
bool in_proc(std::string_view link) {
    struct statfs info{};
    return ::statfs(directory_of(link).c_str(), &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

// A file mounted over a name (as containers do with single files) cannot be renamed over. A
// bind mount within one file system keeps the device, so the mount ids are compared where the
// system gives them.
bool is_mount_point(std::string_view path, const struct stat& info) {
    const std::string directory = directory_of(path);
#ifdef STATX_MNT_ID
    struct statx file_mount{}, directory_mount{};
    if (::statx(AT_FDCWD, std::string(path).c_str(), AT_SYMLINK_NOFOLLOW, STATX_MNT_ID,
                &file_mount) == 0 &&
        ::statx(AT_FDCWD, directory.c_str(), 0, STATX_MNT_ID, &directory_mount) == 0 &&
        (file_mount.stx_mask & directory_mount.stx_mask & STATX_MNT_ID) != 0) {
        return file_mount.stx_mnt_id != directory_mount.stx_mnt_id;
    }
#endif
    struct stat parent{};
    return ::stat(directory.c_str(), &parent) != 0 || parent.st_dev != info.st_dev;
}

FileFacts facts_of(const struct stat& info) {
    FileFacts facts;
    facts.kind = S_ISREG(info.st_mode) ? FileFacts::Kind::kRegular : FileFacts::Kind::kOther;
    facts.mode = static_cast<unsigned>(info.st_mode & 07777);
    facts.owner = info.st_uid;
    facts.group = info.st_gid;
    return facts;
}

// Hex text that differs between processes, calls and attempts; uniqueness comes from O_EXCL.
std::string name_suffix(int attempt) {
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15;
    constexpr std::uint64_t kMix = 0xbf58476d1ce4e5b9;
    const auto pid = static_cast<std::uint64_t>(static_cast<unsigned>(::getpid()));
    const auto step = static_cast<std::uint64_t>(static_cast<unsigned>(attempt));
    std::uint64_t mixed = now ^ (pid << 32) ^ (step * kGolden);
    mixed ^= mixed >> 31;
    mixed *= kMix;
    mixed ^= mixed >> 29;
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string text(16, '0');
    for (char& digit : text) {
        digit = kHex[mixed & 0xf];
        mixed >>= 4;
    }
    return text;
}

// What the names of the temporaries of `target` start with, directory included: the name made
// hidden and cut so that the whole stays within NAME_MAX, then a dot before the writer's pid.
std::string temporary_prefix(std::string_view target) {
    const std::string_view name = last_component(target);
    const std::string_view directory = target.substr(0, target.size() - name.size());
    std::string prefix(directory);
    prefix += '.';
    prefix += name.substr(0, kKeptNameBytes);
    prefix += '.';
    return prefix;
}

// The writer's pid in a temporary's name after the prefix ("PID.HEX.tmp"), or 0 for a name
// of another shape, which is never touched.
pid_t writer_of(std::string_view rest) {
    constexpr std::string_view kEnd = ".tmp";
    constexpr std::size_t kHexDigits = 16;
    if (!rest.ends_with(kEnd)) return 0;
    rest.remove_suffix(kEnd.size());
    if (rest.size() < kHexDigits + 2 || rest[rest.size() - kHexDigits - 1] != '.') return 0;
    const std::string_view pid_text = rest.substr(0, rest.size() - kHexDigits - 1);
    pid_t pid = 0;
    const auto [stop, error] =
        std::from_chars(pid_text.data(), pid_text.data() + pid_text.size(), pid);
    if (error != std::errc{} || stop != pid_text.data() + pid_text.size() || pid <= 0) return 0;
    return pid;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

}  // namespace

std::optional<FileIdentity> file_identity(std::string_view path) {
    struct stat info{};
    if (holds_nul(path) || ::stat(std::string(path).c_str(), &info) != 0) return std::nullopt;
    const auto ns = [](const timespec& at) {
        return static_cast<std::int64_t>(at.tv_sec) * 1'000'000'000 + at.tv_nsec;
    };
    return FileIdentity{.device = info.st_dev,
                        .inode = info.st_ino,
                        .size = static_cast<std::uint64_t>(info.st_size),
                        .modified_ns = ns(info.st_mtim),
                        .changed_ns = ns(info.st_ctim)};
}

void remove_temporaries(std::string_view target, bool own) {
    if (holds_nul(target)) return;
    const std::string prefix = temporary_prefix(target);
    const std::string_view hidden = last_component(prefix);
    const std::string directory = directory_of(target);
    const std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(directory.c_str()));
    if (!listing) return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(hidden)) continue;
        const pid_t writer = writer_of(name.substr(hidden.size()));
        if (writer == 0) continue;
        // A pid that is in use may be a writer on another machine's view of a shared directory
        // or a new process under a reused id: only a pid that no process has is taken as gone.
        const bool gone = writer != self && ::kill(writer, 0) != 0 && errno == ESRCH;
        if (gone || (own && writer == self)) {
            ::unlink((prefix.substr(0, prefix.size() - hidden.size()) + std::string(name)).c_str());
        }
    }
}

ReplacingFile::ReplacingFile(std::string_view path) : target_(write_target(path)) {
    if (!target_.replace) {
        // A FIFO or a device has no previous content to keep: it is written as it stands.
        in_place_ = OsFile::open_write(path);
        return;
    }
    const bool exists = target_.facts.kind == FileFacts::Kind::kRegular;
    if (exists) {
        error_ = check_writable(target_.path);
        if (error_ != 0) return;
    }
    sibling_.emplace(target_.path);
    OsFile& file = sibling_->file();
    if (file.is_open() && exists && !file.copy_owner_and_mode(target_.facts)) {
        error_ = file.error();
        // A failed file is closed, so that is_open() says so; the temporary goes with sibling_.
        static_cast<void>(file.close());
    }
}

bool ReplacingFile::finish_writing() {
    OsFile& written = file();
    if (sibling_ && !written.sync()) {
        error_ = written.error();
        return false;
    }
    if (!written.close()) {
        error_ = written.error();
        return false;
    }
    return true;
}

int ReplacingFile::replace() {
    if (!sibling_) return 0;
    error_ = sibling_->rename_over();
    return error_;
}

OsFile::OsFile(OsFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      error_(other.error_),
      written_(other.written_),
      written_back_(other.written_back_),
      has_nul_(other.has_nul_),
      polled_(other.polled_) {}

OsFile& OsFile::operator=(OsFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        error_ = other.error_;
        written_ = other.written_;
        written_back_ = other.written_back_;
        has_nul_ = other.has_nul_;
        polled_ = other.polled_;
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
    // Opening a FIFO to read waits for a writer, and a read waits for its data: without a signal
    // (a worker thread gets none) nothing would end either wait. So a FIFO is opened without
    // waiting, and each read waits in slices, asking the caller's hook between them.
    struct stat info{};
    const bool fifo = (flags & O_ACCMODE) == O_RDONLY && ::stat(c_path.c_str(), &info) == 0 &&
                      S_ISFIFO(info.st_mode);
    if (fifo) flags |= O_NONBLOCK;
    // Opening a FIFO to write waits for the other end; a signal ends the wait, and the caller's
    // hook decides whether to stop (Ctrl-C) or to wait again.
    while ((file.fd_ = ::open(c_path.c_str(), flags, 0666)) < 0 && errno == EINTR) {
        check_interrupt();
    }
    if (file.fd_ < 0) {
        file.error_ = errno;
        return file;
    }
    if (fifo) {
        // Reads block again (after the wait says data or the writer's end is there); the path
        // may no longer be a FIFO, in which case nothing is waited for.
        ::fcntl(file.fd_, F_SETFL, ::fcntl(file.fd_, F_GETFL) & ~O_NONBLOCK);
        file.polled_ = ::fstat(file.fd_, &info) == 0 && S_ISFIFO(info.st_mode);
    }
    return file;
}

void OsFile::wait_readable() {
    // A FIFO opened without waiting shows no hang-up before its first writer has come, so
    // readiness means data or a writer that came and went (the end of the input).
    constexpr int kSliceMilliseconds = 20;
    pollfd watched{.fd = fd_, .events = POLLIN, .revents = 0};
    for (;;) {
        const int ready = ::poll(&watched, 1, kSliceMilliseconds);
        // A failure of poll itself is left to the read, which reports its own.
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;
        check_interrupt();
    }
}

OsFile OsFile::open_read(std::string_view path) { return open_with(path, O_RDONLY | O_CLOEXEC); }

OsFile OsFile::open_write(std::string_view path) {
    return open_with(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
}

OsFile OsFile::create_new(std::string_view path) {
    return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
}

OsFile OsFile::open_temporary(std::string_view path) {
    OsFile file = open_with(path, O_TMPFILE | O_RDWR | O_CLOEXEC);
    // A file system without unnamed files refuses the flag with EOPNOTSUPP; kernels older than
    // the flag see O_DIRECTORY in it and say EISDIR, some file systems EINVAL.
    const int error = file.error();
    if (!file.is_open() && (error == EOPNOTSUPP || error == EISDIR || error == EINVAL)) {
        return open_named_temporary(path);
    }
    return file;
}

OsFile OsFile::open_named_temporary(std::string_view path) {
    OsFile file;
    const std::string prefix = std::string(path) + "/.velko-spill-" + std::to_string(::getpid());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = prefix + "." + name_suffix(attempt) + ".tmp";
        file = open_with(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC);
        if (file.is_open()) {
            // Unlinked at once: the data lives on while the descriptor does, and only a process
            // killed between these two calls can leave the name behind.
            ::unlink(name.c_str());
            return file;
        }
        if (file.error() != EEXIST) break;
    }
    return file;
}

OsFile OsFile::open_directory(std::string_view path) {
    return open_with(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::ptrdiff_t OsFile::read(std::span<char> buffer) {
    if (polled_) wait_readable();
    while (true) {
        const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
        if (count >= 0) return count;
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
        check_interrupt();
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
    struct stat info{};
    return ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
}

bool OsFile::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd_, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                check_interrupt();
                continue;
            }
            error_ = errno;
            return false;
        }
        // A short write to a pipe or a terminal can be a signal that arrived after some bytes
        // went through: it returns no EINTR, so the hook is asked here.
        if (static_cast<std::size_t>(count) < bytes.size()) check_interrupt();
        bytes.remove_prefix(static_cast<std::size_t>(count));
        written_ += static_cast<std::size_t>(count);
    }
    return true;
}

void OsFile::start_writeback() noexcept {
    const auto from = static_cast<off_t>(written_back_);
    const auto length = static_cast<off_t>(written_ - written_back_);
    written_back_ = written_;
    // Not every file system or file supports it (a FIFO does not); sync() still does the work.
    static_cast<void>(::sync_file_range(fd_, from, length, SYNC_FILE_RANGE_WRITE));
}

bool OsFile::sync() {
    while (::fsync(fd_) != 0) {
        if (errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
    return true;
}

bool OsFile::copy_owner_and_mode(const FileFacts& like) {
    struct stat info{};
    if (::fstat(fd_, &info) != 0) {
        error_ = errno;
        return false;
    }
    // Only a privileged process may give a file away; anyone else keeps the new file as theirs,
    // as an editor's save would.
    if (info.st_uid != like.owner || info.st_gid != like.group) {
        static_cast<void>(::fchown(fd_, like.owner, like.group));
    }
    // After fchown, which clears setuid and setgid, so that those bits survive too.
    if (::fchmod(fd_, static_cast<mode_t>(like.mode)) != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

bool OsFile::close() {
    const int fd = std::exchange(fd_, -1);
    // A close interrupted by a signal has still released the descriptor on Linux: no retry.
    if (::close(fd) != 0 && errno != EINTR) {
        error_ = errno;
        return false;
    }
    return true;
}

WriteTarget write_target(std::string_view path) {
    WriteTarget target{std::string(path), false, {}};
    if (holds_nul(path) || path.empty() || path.back() == '/') return target;
    std::string at(path);
    for (int links = 0; links <= kMaxLinks; ++links) {
        struct stat info{};
        if (::lstat(at.c_str(), &info) != 0) {
            // A missing file is made; any other failure is left to the open, which reports it.
            if (errno == ENOENT) target = {at, true, {}};
            return target;
        }
        if (!S_ISLNK(info.st_mode)) {
            if (S_ISREG(info.st_mode) && !is_mount_point(at, info)) {
                target = {at, true, facts_of(info)};
            }
            return target;
        }
        if (in_proc(at)) return target;
        std::array<char, 4096> link{};
        const ssize_t size = ::readlink(at.c_str(), link.data(), link.size());
        if (size < 0 || static_cast<std::size_t>(size) >= link.size()) return target;
        at = resolve_link(at, std::string_view(link.data(), static_cast<std::size_t>(size)));
    }
    return target;
}

int check_writable(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

SiblingFile::SiblingFile(std::string_view target) : target_(target) {
    remove_temporaries(target, false);
    const std::string prefix = temporary_prefix(target);
    const std::string pid = std::to_string(::getpid());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temp_ = prefix + pid + "." + name_suffix(attempt) + ".tmp";
        file_ = OsFile::create_new(temp_);
        if (file_.is_open() || file_.error() != EEXIST) break;
    }
    if (!file_.is_open()) temp_.clear();
}

SiblingFile::~SiblingFile() {
    if (!temp_.empty() && !renamed_) {
        file_ = OsFile();
        ::unlink(temp_.c_str());
    }
}

int SiblingFile::rename_over() {
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return errno;
    renamed_ = true;
    // Makes the new name itself durable; the file is already in place, so a failure here
    // changes nothing the caller could act on.
    const std::string_view name = last_component(target_);
    const std::string directory(target_.substr(0, target_.size() - name.size()));
    OsFile parent = OsFile::open_directory(directory.empty() ? "." : directory);
    if (parent.is_open()) static_cast<void>(parent.sync());
    return 0;
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
