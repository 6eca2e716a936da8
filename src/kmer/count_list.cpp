// Zeroed count blocks mapped from the system.
#include "kmer/count_list.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace velko::kmer {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBlock = 2 * kHugePage;

}  // namespace

std::shared_ptr<void> map_zeroed_block(std::size_t bytes) {
    // Anonymous pages arrive zeroed and are only backed when first touched, so a count list
    // costs nothing before counting writes to it. A large block also starts on a huge-page
    // boundary (one huge page more is mapped, then trimmed), where the kernel can back it with
    // 2 MiB pages: one fault per 2 MiB instead of 512, and far fewer TLB misses for counts read
    // at random. A small one stays in 4 KiB pages, so a small file zeroes only what it uses.
    const bool huge = bytes >= kHugeBlock;
    const std::size_t mapped = huge ? bytes + kHugePage : bytes;
    void* const area =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) throw std::bad_alloc();
    char* block = static_cast<char*>(area);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(block);
        const std::size_t lead = (kHugePage - address % kHugePage) % kHugePage;
        if (lead > 0) munmap(block, lead);
        if (mapped - lead > bytes) munmap(block + lead + bytes, mapped - lead - bytes);
        block += lead;
        madvise(block, bytes, MADV_HUGEPAGE);  // a refusal only costs the speed-up
    }
    return std::shared_ptr<void>(block, [bytes](void* p) { munmap(p, bytes); });
}

}  // namespace velko::kmer
