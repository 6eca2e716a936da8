// Count blocks mapped from the system, and the pages their dropped lists hand back.
#include "kmer/count_list.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "util/memory.hpp"

namespace velko::kmer {
namespace {

// Dead pages are handed back once a run of them reaches this size, or when the next dead page
// does not extend the run: results dropped in order (as a dict drops its values) make long runs,
// a few system calls per GiB; a result kept among dropped ones holds at most this much beside
// its own pages, whatever the block size.
constexpr std::size_t kMostDeadBytes = std::size_t{4} << 20;

}  // namespace

// The run of dead pages not yet handed back, one per pool: every block of the pool reports to
// it, so lists dropped across blocks leave one run pending, not one per block.
struct DeadPages {
    std::mutex mutex;
    CountBlock* block = nullptr;  // where the run lies, if there is one
    std::size_t from = 0;         // pages [from, to) of `block`
    std::size_t to = 0;
};

class CountBlock {
public:
    CountBlock(std::shared_ptr<DeadPages> dead, char* base, std::size_t bytes)
        : dead_(std::move(dead)),
          base_(base),
          bytes_(bytes),
          page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))),
          lists_((bytes + page_ - 1) / page_) {}

    ~CountBlock() {
        {
            const std::lock_guard lock(dead_->mutex);
            if (dead_->block == this) dead_->block = nullptr;
        }
        munmap(base_, bytes_);
    }

    CountBlock(const CountBlock&) = delete;
    CountBlock& operator=(const CountBlock&) = delete;

    [[nodiscard]] char* base() const { return base_; }

    void hand_out(const std::uint64_t* data, std::size_t size) {
        const std::lock_guard lock(dead_->mutex);
        const auto [first, past] = pages(data, size);
        for (std::size_t page = first; page < past; ++page) ++lists_[page];
    }

    void give_back(const std::uint64_t* data, std::size_t size) noexcept {
        const std::lock_guard lock(dead_->mutex);
        const auto [first, past] = pages(data, size);
        for (std::size_t page = first; page < past; ++page) {
            if (--lists_[page] == 0) dead_page(page);
        }
    }

    // Hands back the whole pages from `from` on, which no list was carved from.
    void drop_unused(const char* from) noexcept {
        const std::size_t first = (static_cast<std::size_t>(from - base_) + page_ - 1) / page_;
        if (first < lists_.size()) {
            madvise(base_ + first * page_, bytes_ - first * page_, MADV_DONTNEED);
        }
    }

private:
    [[nodiscard]] std::pair<std::size_t, std::size_t> pages(const std::uint64_t* data,
                                                            std::size_t size) const {
        const auto begin = static_cast<std::size_t>(reinterpret_cast<const char*>(data) - base_);
        const std::size_t end = begin + size * sizeof(std::uint64_t);
        return {begin / page_, size == 0 ? begin / page_ : (end + page_ - 1) / page_};
    }

    // With the pool's lock held: page `page` holds no list any longer.
    void dead_page(std::size_t page) noexcept {
        DeadPages& dead = *dead_;
        if (dead.block == this && page == dead.to &&
            (dead.to - dead.from) * page_ < kMostDeadBytes) {
            ++dead.to;
            return;
        }
        if (dead.block == this && page + 1 == dead.from &&
            (dead.to - dead.from) * page_ < kMostDeadBytes) {
            --dead.from;
            return;
        }
        if (dead.block != nullptr) dead.block->hand_back(dead.from, dead.to);
        dead.block = this;
        dead.from = page;
        dead.to = page + 1;
    }

    void hand_back(std::size_t from, std::size_t to) const noexcept {
        // The memory stays mapped (the block is one mapping); the system frees the pages and
        // would give zeroed ones if they were touched again, which they are not.
        const std::size_t end = std::min(to * page_, bytes_);
        madvise(base_ + from * page_, end - from * page_, MADV_DONTNEED);
    }

    std::shared_ptr<DeadPages> dead_;
    char* base_;
    std::size_t bytes_;
    std::size_t page_;
    std::vector<std::uint16_t> lists_;  // live lists on each page
};

CountList::~CountList() {
    if (block_) block_->give_back(data_, size_);
}

CountPool::CountPool() : dead_(std::make_shared<DeadPages>()) {}

CountPool::~CountPool() {
    if (block_) block_->drop_unused(reinterpret_cast<const char*>(next_));
}

// Maps `bytes` zeroed bytes. Anonymous pages arrive zeroed and are only backed when first
// touched, so counts cost nothing before counting writes to them. A large block also starts on a
// huge-page boundary (one huge page more is mapped, then trimmed), where the kernel can back it
// with 2 MiB pages: one fault per 2 MiB instead of 512, and far fewer TLB misses for counts read
// at random. A small one stays in 4 KiB pages, so a small file zeroes only what it uses.
char* map_zeroed(std::size_t bytes) {
    const bool huge = bytes >= util::kHugePagesFrom;
    const std::size_t mapped = huge ? bytes + util::kHugePageBytes : bytes;
    void* const area =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) throw std::bad_alloc();
    char* base = static_cast<char*>(area);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(base);
        const std::size_t lead =
            (util::kHugePageBytes - address % util::kHugePageBytes) % util::kHugePageBytes;
        if (lead > 0) munmap(base, lead);
        if (mapped - lead > bytes) munmap(base + lead + bytes, mapped - lead - bytes);
        base += lead;
        util::advise_huge_pages(base, bytes);
    }
    return base;
}

std::shared_ptr<void> map_zeroed_block(std::size_t bytes) {
    char* const block = map_zeroed(bytes);
    try {
        return std::shared_ptr<void>(block, [bytes](void* p) { munmap(p, bytes); });
    } catch (...) {
        munmap(block, bytes);
        throw;
    }
}

void CountPool::new_block(std::size_t counts) {
    if (block_) block_->drop_unused(reinterpret_cast<const char*>(next_));
    const std::size_t bytes = counts * sizeof(std::uint64_t);
    if (counts == 0 || bytes / sizeof(std::uint64_t) != counts) throw std::bad_alloc();
    char* const base = map_zeroed(bytes);
    try {
        block_ = std::make_shared<CountBlock>(dead_, base, bytes);
    } catch (...) {
        munmap(base, bytes);
        throw;
    }
    next_ = reinterpret_cast<std::uint64_t*>(base);
    room_ = counts;
}

CountList CountPool::take(std::size_t size) {
    block_->hand_out(next_, size);
    CountList list(block_, next_, size);
    next_ += size;
    room_ -= size;
    return list;
}

}  // namespace velko::kmer
