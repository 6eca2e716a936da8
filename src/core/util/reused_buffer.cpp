#include "util/reused_buffer.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace velko::util {
namespace {

// What the spare buffers may hold in all: a gzip file's buffers and a reader's for each of a
// few threads.
constexpr std::size_t kSpareBytes = std::size_t{8} << 20;

struct Spares {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::unique_ptr<char[]>>> buffers;
    std::size_t bytes = 0;
};

Spares& spares() {
    // Never destroyed: buffers may go back from threads that outlive static destruction. A
    // fork holds the lock across, so a child never starts with it taken by a thread it lacks.
    static Spares* const kept = [] {
        auto* made = new Spares;
        pthread_atfork([] { spares().mutex.lock(); }, [] { spares().mutex.unlock(); },
                       [] { spares().mutex.unlock(); });
        return made;
    }();
    return *kept;
}

}  // namespace

ReusedBuffer::ReusedBuffer(std::size_t size) : size_(size) {
    {
        Spares& kept = spares();
        const std::lock_guard lock(kept.mutex);
        const auto found = std::find_if(kept.buffers.begin(), kept.buffers.end(),
                                        [&](const auto& spare) { return spare.first == size; });
        if (found != kept.buffers.end()) {
            data_ = std::move(found->second);
            kept.buffers.erase(found);
            kept.bytes -= size;
            return;
        }
    }
    data_ = std::make_unique<char[]>(size);
}

ReusedBuffer& ReusedBuffer::operator=(ReusedBuffer&& other) noexcept {
    if (this != &other) {
        give_back();
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

ReusedBuffer::~ReusedBuffer() { give_back(); }

void ReusedBuffer::give_back() noexcept {
    if (!data_) return;
    Spares& kept = spares();
    try {
        const std::lock_guard lock(kept.mutex);
        if (kept.bytes + size_ <= kSpareBytes) {
            kept.buffers.emplace_back(size_, std::move(data_));
            kept.bytes += size_;
        }
    } catch (...) {
        // No room to note it: the buffer is freed below instead.
    }
    data_.reset();
}

}  // namespace velko::util
