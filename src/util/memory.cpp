// The memory bound read from the kernel and the cgroup, and huge-page advice for large buffers.
#include "util/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>

#include "util/os_file.hpp"

namespace velko::util {
namespace {

// The start of a small kernel file such as /proc/meminfo (its line of interest comes early),
// or nothing when it cannot be read.
std::string_view read_head(const char* path, std::span<char> buffer) {
    OsFile file = OsFile::open_read(path);
    if (!file.is_open()) return {};
    std::size_t size = 0;
    while (size < buffer.size()) {
        const std::ptrdiff_t n = file.read(buffer.subspan(size));
        if (n <= 0) break;
        size += static_cast<std::size_t>(n);
    }
    return {buffer.data(), size};
}

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The number at the start of `text` after blanks, or UINT64_MAX when there is none (a cgroup
// file without a limit holds "max").
std::uint64_t leading_number(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || (end != text.data() + text.size() && !is_blank(*end))) {
        return UINT64_MAX;
    }
    return value;
}

// The first number in a file such as /sys/fs/cgroup/memory.max, or UINT64_MAX when the file is
// absent or holds no number.
std::uint64_t read_number(const char* path) {
    std::array<char, 64> buffer;
    return leading_number(read_head(path, buffer));
}

// MemAvailable of /proc/meminfo in bytes: what can still be had without swapping or the OOM
// killer stepping in. UINT64_MAX when it cannot be read.
std::uint64_t available_memory() {
    std::array<char, 4096> buffer;
    const std::string_view text = read_head("/proc/meminfo", buffer);
    constexpr std::string_view kField = "MemAvailable:";
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(at, end - at);
        if (line.starts_with(kField)) {
            const std::uint64_t kib = leading_number(line.substr(kField.size()));  // then " kB"
            return kib == UINT64_MAX ? UINT64_MAX : saturating_mul(kib, 1024);
        }
        at = end + 1;
    }
    return UINT64_MAX;
}

}  // namespace

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t memory_limit() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    std::uint64_t physical = UINT64_MAX;
    if (pages > 0 && page_size > 0) {
        physical = saturating_mul(static_cast<std::uint64_t>(pages),
                                  static_cast<std::uint64_t>(page_size));
    }
    const std::uint64_t cgroup_max = read_number("/sys/fs/cgroup/memory.max");
    const std::uint64_t cgroup_used = read_number("/sys/fs/cgroup/memory.current");
    const std::uint64_t cgroup_left =
        cgroup_max == UINT64_MAX || cgroup_used == UINT64_MAX || cgroup_used > cgroup_max
            ? cgroup_max
            : cgroup_max - cgroup_used;
    return std::min({physical, available_memory(), cgroup_left});
}

void require_memory(std::uint64_t bytes) {
    if (bytes > kUncheckedBytes && bytes > memory_limit()) throw std::bad_alloc();
}

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::size_t kWorthIt = std::size_t{4} << 20;
    if (bytes < kWorthIt) return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / page * page;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace velko::util
