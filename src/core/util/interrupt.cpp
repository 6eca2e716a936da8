// The per-thread interruption hook and the polls that consult it.
#include "util/interrupt.hpp"

#include <time.h>

namespace velko::util {
namespace {

// One record per thread: each Python thread runs its own call, with its own hook. This is the
// only state of the core that outlives a function, and it lives only as long as the scope that
// installed the hook.
struct PollState {
    InterruptHook* hook = nullptr;
    std::uint64_t work = 0;     // units since the clock was last read
    std::int64_t asked_ns = 0;  // when the hook was last asked
};

thread_local PollState t_poll;

void ask(PollState& state, std::int64_t now) {
    state.asked_ns = now;
    if (state.hook->should_stop()) throw Interrupted();
}

}  // namespace

std::int64_t monotonic_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

InterruptScope::InterruptScope(InterruptHook& hook) noexcept : previous_(t_poll.hook) {
    t_poll.hook = &hook;
    t_poll.work = 0;
    t_poll.asked_ns = monotonic_ns();
}

InterruptScope::~InterruptScope() { t_poll.hook = previous_; }

void poll_interrupt(std::uint64_t work) {
    PollState& state = t_poll;
    state.work += work;
    if (state.work < kInterruptWork || state.hook == nullptr) return;
    state.work = 0;
    const std::int64_t now = monotonic_ns();
    if (now - state.asked_ns >= kInterruptPeriodNs) ask(state, now);
}

void check_interrupt() {
    PollState& state = t_poll;
    if (state.hook != nullptr) ask(state, monotonic_ns());
}

}  // namespace velko::util
