// Stopping long work from outside: a hook that long loops poll, and the failure that unwinds them.
#pragma once

#include <cstdint>
#include <exception>

namespace velko::util {

/// Thrown by the polls below when the installed hook asks the work to stop. The hook has already
/// recorded why (for a Python caller, the pending KeyboardInterrupt): the work only unwinds,
/// freeing what it built on the way.
class Interrupted : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override { return "interrupted"; }
};

/// Asked now and then by long work whether to stop. The caller of the core installs one for the
/// duration of a call (InterruptScope); work on a thread without a hook is never interrupted.
class InterruptHook {
public:
    /// True when the work must stop. May take a while (it may wait for the interpreter lock),
    /// which is why it is asked only every few tens of milliseconds.
    virtual bool should_stop() = 0;

protected:
    InterruptHook() = default;
    InterruptHook(const InterruptHook&) = default;
    InterruptHook& operator=(const InterruptHook&) = default;
    ~InterruptHook() = default;
};

/// Installs a hook on the calling thread while it lives, and puts the previous one back after.
class InterruptScope {
public:
    explicit InterruptScope(InterruptHook& hook) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptHook* previous_;
};

/// Reports `work` units done (bytes read, objects built: whatever the loop counts); every
/// kInterruptWork units it reads the clock, and every kInterruptPeriodNs it asks the hook.
/// Throws Interrupted.
void poll_interrupt(std::uint64_t work);

/// Asks the hook at once: for a blocking system call that a signal has just interrupted
/// (EINTR), before it is tried again. Throws Interrupted.
void check_interrupt();

/// Nanoseconds on the monotonic clock, which no change of the wall clock moves: the one clock
/// that polls of signals and interruption are timed by.
[[nodiscard]] std::int64_t monotonic_ns() noexcept;

/// Units of work between two looks at the clock: cheap enough to be unnoticed (a clock read per
/// 256 KiB of input), small enough that no loop runs long between looks.
inline constexpr std::uint64_t kInterruptWork = std::uint64_t{1} << 18;
/// How often the hook is asked while work goes on: a signal is seen within this, and the hook
/// (which may take the interpreter lock) costs little beside the work.
inline constexpr std::int64_t kInterruptPeriodNs = 20'000'000;

}  // namespace velko::util
