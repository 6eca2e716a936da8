#include "kmer/file_job.hpp"

#include <chrono>
#include <utility>

#include "util/failure.hpp"

namespace velko::kmer {
namespace {

// Lets the reader's and the sort's polls see a cancelled job: a file whose text only streams
// past (an endless description, a FIFO that never ends a line) hands out no piece to check
// between.
class CancelHook final : public util::InterruptHook {
public:
    explicit CancelHook(const std::atomic<bool>& cancelled) : cancelled_(cancelled) {}
    bool should_stop() override { return cancelled_.load(std::memory_order_relaxed); }

private:
    const std::atomic<bool>& cancelled_;
};

}  // namespace

FileJob::FileJob(std::vector<std::string> paths)
    : paths_(std::move(paths)), failures_(paths_.size()), first_failed_(paths_.size()) {}

FileJob::~FileJob() {
    cancel();
    for (std::thread& worker : workers_) worker.join();
}

void FileJob::start(unsigned workers, Count count) {
    count_ = std::move(count);
    running_ = workers;
    workers_.reserve(workers);
    try {
        for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
    } catch (...) {
        // Fewer workers than asked: those running take every file. Some may have finished
        // already, so the workers never started are taken off the count, not the count reset.
        const std::lock_guard lock(mutex_);
        running_ -= workers - static_cast<unsigned>(workers_.size());
        if (workers_.empty()) throw;
        if (running_ == 0) finished_.notify_all();
    }
}

void FileJob::work() {
    CancelHook hook(cancelled_);
    const util::InterruptScope scope(hook);
    for (;;) {
        const std::size_t i = next_.fetch_add(1);
        // A file after one that failed cannot change the outcome: the earlier failure wins.
        if (i >= paths_.size() || i > first_failed_.load() || cancelled_.load()) break;
        try {
            count_(i, hook);
        } catch (const util::Interrupted&) {
            break;  // cancelled: whoever cancelled does not want the rows
        } catch (...) {
            try {
                throw;
            } catch (util::Failure& failure) {
                failure.locate(paths_[i], util::FileKind::kFasta);
            } catch (...) {
            }
            failures_[i] = std::current_exception();
            std::size_t seen = first_failed_.load();
            while (i < seen && !first_failed_.compare_exchange_weak(seen, i)) {
            }
        }
    }
    const std::lock_guard lock(mutex_);
    if (--running_ == 0) finished_.notify_all();
}

bool FileJob::wait_for(unsigned milliseconds) {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return running_ == 0; });
}

void FileJob::finish() {
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    for (const std::exception_ptr& failure : failures_) {
        if (failure) std::rethrow_exception(failure);
    }
}

}  // namespace velko::kmer
