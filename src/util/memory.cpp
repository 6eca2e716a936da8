// Huge-page advice for large buffers.
#include "util/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace velko {

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::size_t kWorthIt = std::size_t{4} << 20;
    if (bytes < kWorthIt) return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / page * page;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace velko
