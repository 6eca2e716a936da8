// Large read buffers kept for the next file instead of given back to the system.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace velko::util {

/// A buffer of `size()` bytes taken from the process's spare buffers of that size, or made
/// (zeroed) when there is none; it goes back to them when it goes, while they hold less than a
/// few MiB. A count over thousands of small files would otherwise map, fault in and unmap the
/// same buffers for each file: a system call per buffer where malloc is tuned to give memory
/// back at once, as in Dask's workers. Its bytes are whatever the last user left.
class ReusedBuffer {
public:
    ReusedBuffer() = default;
    explicit ReusedBuffer(std::size_t size);
    ReusedBuffer(ReusedBuffer&& other) noexcept = default;
    ReusedBuffer& operator=(ReusedBuffer&& other) noexcept;
    ~ReusedBuffer();
    ReusedBuffer(const ReusedBuffer&) = delete;
    ReusedBuffer& operator=(const ReusedBuffer&) = delete;

    [[nodiscard]] char* data() const { return data_.get(); }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::span<char> span() const { return {data_.get(), size_}; }

private:
    void give_back() noexcept;

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
};

}  // namespace velko::util
