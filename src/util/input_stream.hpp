// The bytes of an open file, decompressed on the fly when the file is gzip-compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "util/os_file.hpp"

namespace velko::util {

/// Reads an open file (not owned) as plain bytes, or, when the file starts with the gzip magic
/// bytes, as the concatenated decompressed contents of all its gzip members.
class InputStream {
public:
    explicit InputStream(OsFile& file);
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    ~InputStream();

    /// Fills the front of `out`; returns the number of bytes, 0 only at the end of the input.
    /// Throws ReadError: "Is a directory (os error 21)", "invalid gzip data: incorrect header
    /// check", "gzip stream ended early".
    std::size_t read(std::span<char> out);

    /// Bytes taken from the file so far (compressed bytes for a gzip file).
    [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

private:
    struct Inflater;

    std::size_t read_raw(std::span<char> out);
    std::size_t inflate_into(std::span<char> out);
    void start();

    OsFile& file_;
    std::uint64_t bytes_read_ = 0;
    bool started_ = false;
    // Bytes read ahead while looking for the magic bytes, handed out before reading on.
    std::vector<char> pending_;
    std::size_t pending_at_ = 0;
    std::unique_ptr<Inflater> inflater_;
};

}  // namespace velko::util
