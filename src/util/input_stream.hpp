// The bytes of an open file, decompressed on the fly when the file is gzip-compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velko::util {

/// What went wrong in a read, for callers that raise an error of the matching kind.
enum class InputFault { os, gzip_damaged, gzip_truncated };

/// A read failure: the text names the problem ("Is a directory (os error 21)",
/// "invalid gzip data: incorrect header check", "gzip stream ended early"); `os_error` is the
/// errno of an OS failure.
struct InputError {
    std::string message;
    InputFault fault = InputFault::os;
    int os_error = 0;
};

/// Reads a descriptor (not owned) as plain bytes, or, when the file starts with the gzip magic
/// bytes, as the concatenated decompressed contents of all its gzip members.
class InputStream {
public:
    explicit InputStream(int fd);
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    ~InputStream();

    /// Fills the front of `out`; returns the number of bytes, 0 only at the end of the input.
    /// Throws InputError.
    std::size_t read(std::span<char> out);

    /// Bytes taken from the file so far (compressed bytes for a gzip file).
    [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

    /// True once the first read has seen the gzip magic bytes.
    [[nodiscard]] bool compressed() const { return inflater_ != nullptr; }

private:
    struct Inflater;

    std::size_t read_raw(std::span<char> out);
    std::size_t inflate_into(std::span<char> out);
    void start();

    int fd_;
    std::uint64_t bytes_read_ = 0;
    bool started_ = false;
    // Bytes read ahead while looking for the magic bytes, handed out before reading on.
    std::vector<char> pending_;
    std::size_t pending_at_ = 0;
    std::unique_ptr<Inflater> inflater_;
};

}  // namespace velko::util
