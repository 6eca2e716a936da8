// Files counted on worker threads while the caller waits: what every k-mer job shares.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/interrupt.hpp"

namespace velko::kmer {

/// Worker threads taking files in order, whichever is free, until every file is counted, one
/// fails, or the job is cancelled. The outcome does not depend on the number of threads: the
/// failure kept is that of the first file (in order) that failed, and files after it are not
/// started.
class FileJob {
public:
    /// Counts file `index`; polls `hook` (which says stop once the job is cancelled) and throws
    /// util::Interrupted to give up, or any failure of the file.
    using Count = std::function<void(std::size_t index, util::InterruptHook& hook)>;

    explicit FileJob(std::vector<std::string> paths);
    /// Cancels the workers and waits for them.
    ~FileJob();
    FileJob(const FileJob&) = delete;
    FileJob& operator=(const FileJob&) = delete;

    /// Starts `workers` threads running `count` (fewer when the system will not start more;
    /// what starting the first one threw, when none starts).
    void start(unsigned workers, Count count);
    /// Waits up to `milliseconds` for the workers; true once all have finished.
    [[nodiscard]] bool wait_for(unsigned milliseconds);
    /// Asks the workers to stop soon; wait_for then returns true shortly.
    void cancel() { cancelled_.store(true); }
    /// Joins the workers and rethrows the failure of the first file that failed (a
    /// util::Failure located in its file).
    void finish();

    [[nodiscard]] const std::vector<std::string>& paths() const { return paths_; }
    [[nodiscard]] const std::atomic<bool>& cancelled() const { return cancelled_; }
    /// Input bytes read so far, over all files; workers add to it as they read.
    [[nodiscard]] std::atomic<std::uint64_t>& bytes_done() { return bytes_done_; }

private:
    void work();

    std::vector<std::string> paths_;
    Count count_;
    std::vector<std::exception_ptr> failures_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> first_failed_;
    std::atomic<std::uint64_t> bytes_done_{0};
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    unsigned running_ = 0;
    std::vector<std::thread> workers_;
};

}  // namespace velko::kmer
