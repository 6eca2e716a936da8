// Core work run with the interpreter lock released and Ctrl-C able to stop it.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "capi/unlocked.hpp"
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

/// What velko_tools does about an interpreter that shuts down while work runs unlocked: a daemon
/// thread still working stops at its next poll, so that its work unwinds (removing a temporary
/// file on the way) without taking the lock, and is then parked; a forced unwind that began in
/// Python code the work's poll ran (the garbage collector can run there) parks it too.
struct ToolsLockPolicy {
    static bool finalizing() { return interpreter_ending(); }
    static bool stop_unlocked(bool finalizing) { return !finalizing && interpreter_ending(); }
    static void relock(PyThreadState* state) { tools::relock(state); }
    [[noreturn]] static void forced_unwind() { wait_for_exit(); }
    static void after(bool finalizing) {
        if (!finalizing && interpreter_ending()) wait_for_exit();
    }
};

using SignalHook = capi::SignalHook<ToolsLockPolicy>;

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

/// Runs `work` (which touches no Python object) with the interpreter lock released and Ctrl-C
/// able to stop it (capi::run_unlocked); an interruption comes out as nb::python_error, the
/// exception the signal handler raised.
template <class Work>
auto unlocked(Work&& work) -> decltype(work()) {
    try {
        return capi::run_unlocked<ToolsLockPolicy>(std::forward<Work>(work));
    } catch (const util::Interrupted&) {
        throw nb::python_error();
    }
}

}  // namespace velko::tools
