// Core work run with the interpreter lock released and Ctrl-C able to stop it.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "util/interrupt.hpp"

namespace velko::tools {

namespace nb = nanobind;

/// True once the interpreter has begun to shut down: a thread that takes the lock back from
/// then on is ended by a forced unwind, which no frame of a nanobind call lets pass.
inline bool interpreter_ending() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

/// Parks a thread whose work has unwound while the interpreter shuts down: the process is
/// about to exit, which ends the thread; until then it must not touch the interpreter.
[[noreturn]] inline void wait_for_exit() {
    while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}

/// Takes the interpreter lock back. While the interpreter shuts down, the lock ends the thread
/// that asks for it with a forced unwind instead; no frame of a nanobind call lets one pass
/// (the dispatcher, finding no exception to translate, terminates the process), so the thread
/// is parked here, inside the unwind, until the process exits. Nothing of its work is touched
/// again: its objects stay as they are, and any threads it started run on until the exit.
inline void relock(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        wait_for_exit();
    }
}

/// Answers the core's interruption polls while the lock is released: takes the lock back for a
/// moment to run the signal handlers (only the main thread has any to run), so Ctrl-C (or a
/// handler that raises, as the command line's SIGTERM handler does) ends the work with
/// util::Interrupted and leaves its exception pending.
class SignalHook final : public util::InterruptHook {
public:
    /// `finalizing` is true for the thread that shuts the interpreter down (it called in while
    /// the interpreter was already ending), which keeps the lock to the end.
    SignalHook(PyThreadState*& state, bool finalizing) noexcept
        : state_(state), finalizing_(finalizing) {}
    bool should_stop() override {
        // A daemon thread still working when the interpreter ends stops here, so that its work
        // unwinds (removing a temporary file on the way) without taking the lock.
        if (!finalizing_ && interpreter_ending()) return true;
        relock(state_);
        const bool stop = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        return stop;
    }

private:
    PyThreadState*& state_;
    bool finalizing_;
};

/// Runs `body`, a binding that calls into Python while it works (a progress callback, a poll
/// that may run the garbage collector), so that a forced unwind ending the thread during
/// interpreter shutdown stops here, after unwinding the body's own frames, instead of reaching
/// nanobind's dispatcher. C++ exceptions go on as they are.
template <class Body>
auto parked_at_exit(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        if (std::current_exception()) throw;
        wait_for_exit();
    }
}

/// Runs `work` (which touches no Python object) with the interpreter lock released and a
/// SignalHook installed; returns what it returns. The lock is taken back after the work, not in
/// a destructor: were the interpreter to end the thread there while an exception unwinds, the
/// process would terminate. A failure of `work` is thrown again once the lock is held; an
/// interruption as nb::python_error, the exception the signal handler raised.
template <class Work>
auto unlocked(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    // Only the thread that shuts the interpreter down holds the lock once it is ending.
    const bool finalizing = interpreter_ending();
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    {
        SignalHook hook(state, finalizing);
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
            // Not a C++ exception: a forced unwind that began in Python code the work's
            // interrupt poll ran (the garbage collector can run there).
            if (!failure) wait_for_exit();
        }
    }
    if (!finalizing && interpreter_ending()) wait_for_exit();
    relock(state);
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const util::Interrupted&) {
            throw nb::python_error();
        }
    }
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace velko::tools
