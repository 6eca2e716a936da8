// Core work run with the interpreter lock released and Ctrl-C able to stop it: the mechanism
// both modules share. What a thread does when the interpreter shuts down under it is each
// module's own (velko lets the forced unwind that ends the thread pass; a nanobind call cannot
// let one pass, so velko_tools parks the thread), and each passes it as a policy.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "util/interrupt.hpp"

namespace velko::capi {

// A policy is a class of static functions:
//   bool finalizing()            with the lock held, before the work: true for the thread that
//                                shuts the interpreter down, which keeps the lock to the end
//   bool stop_unlocked(bool f)   at a poll, before taking the lock: stop the work here instead
//   void relock(PyThreadState*)  takes the lock back
//   void forced_unwind()         called inside a catch-all that caught no C++ exception (the
//                                unwind that ends the thread); rethrows it or never returns
//   void after(bool f)           after the work, before the lock is taken back

/// Answers the core's interruption polls while the lock is released: takes the lock back for a
/// moment to run the signal handlers (only the main thread has any to run), so Ctrl-C (or a
/// handler that raises) ends the work with util::Interrupted and leaves its exception pending.
template <class Policy>
class SignalHook final : public util::InterruptHook {
public:
    SignalHook(PyThreadState*& state, bool finalizing) noexcept
        : state_(state), finalizing_(finalizing) {}
    bool should_stop() override {
        if (Policy::stop_unlocked(finalizing_)) return true;
        Policy::relock(state_);
        const bool stop = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        return stop;
    }

private:
    PyThreadState*& state_;
    bool finalizing_;
};

/// Runs `work` (which touches no Python object) with the interpreter lock released, so other
/// threads run meanwhile, and with a SignalHook installed; returns what it returns. The lock is
/// taken back after the work, not in a destructor: were the interpreter to end the thread there
/// while an exception unwinds, the process would terminate. A failure of `work` is thrown again
/// once the lock is held.
template <class Policy, class Work>
auto run_unlocked(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    const bool finalizing = Policy::finalizing();
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    {
        SignalHook<Policy> hook(state, finalizing);
        const util::InterruptScope scope(hook);
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
                result.emplace(true);
            } else {
                result.emplace(work());
            }
        } catch (...) {
            failure = std::current_exception();
            if (!failure) Policy::forced_unwind();
        }
    }
    Policy::after(finalizing);
    Policy::relock(state);
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace velko::capi
