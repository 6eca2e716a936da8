// The entry guard, PanicException, the raising of Python errors and releasing the lock.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "capi/unlocked.hpp"
#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"
#include "velko/pyref.hpp"

namespace velko::py {

/// The SystemError text for a C-API call that failed without setting an error.
inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";

/// The PanicException class (pyo3_runtime.PanicException, a BaseException), made on first need.
PyObject* panic_type() noexcept;

/// Sets the error indicator to `type` with the single argument `message`, without chaining.
void raise_lazy(PyObject* type, std::string_view message) noexcept;

/// Sets the error indicator to a bare MemoryError.
void raise_no_memory() noexcept;

/// raise_lazy, then throws ErrorAlreadySet.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

/// Sets the error indicator to a new PanicException carrying `message`.
void raise_panic(std::string_view message) noexcept;

/// An internal abort of velko's own (a C-API call that must not fail did): throws it as a
/// util::Failure whose diagnostic names `where`.
[[noreturn]] void fail(std::string_view message,
                       util::SourceLocation where = util::SourceLocation::current());

/// Writes "velko: internal abort at <file>:<line>: <message>" to standard error: the one line
/// the contract shows where an abort starts.
void write_diagnostic(std::string_view message, util::SourceLocation where) noexcept;

/// Sets the error indicator to the contract's exception for a core failure: its fixed text as
/// a PanicException, after the diagnostic line naming where the failure started.
void raise_contract_error(const util::Failure& failure) noexcept;

/// Takes the pending error as a new reference triple, normalised; resumes a PanicException that
/// Python code raised into us by throwing a util::Failure (an abort) with its text.
struct Fetched {
    Ref type, value, traceback;
};
[[nodiscard]] Fetched fetch();

/// Puts a fetched error back as the pending one.
void restore(Fetched&& error) noexcept;

/// "PyErr { type: ..., value: ..., traceback: ... }" for the pending error (which is cleared).
[[nodiscard]] std::string describe_pending_error();

/// Wraps a new reference from a C-API call that must not fail: NULL prints the pending error
/// and aborts the operation (an internal abort, not an ordinary Python exception), except when
/// the interpreter ran out of memory: its MemoryError is raised as it is (ErrorAlreadySet).
[[nodiscard]] Ref abort_on_null(PyObject* obj,
                                util::SourceLocation where = util::SourceLocation::current());

/// dict[key] = value; a failure aborts with "Failed to set_item on dict", except when the
/// interpreter ran out of memory (as for abort_on_null()).
void set_item(PyObject* dict, PyObject* key, PyObject* value,
              util::SourceLocation where = util::SourceLocation::current());

/// "'<qualname>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void throw_downcast(PyObject* obj, std::string_view target);

/// Handles ErrorAlreadySet in a guard: a PanicException coming back from Python is re-raised as
/// a fresh one; anything else stays pending.
void settle_pending_error() noexcept;

/// Takes the interpreter lock back after PyEval_SaveThread. While the interpreter shuts down it
/// ends a thread that is not its own here, by a forced unwind (no C++ exception: it has no
/// std::current_exception()) that must pass: t_lock_lost is set first, since the unwinding runs
/// without the lock.
void take_lock_back(PyThreadState* state);

/// What velko does about an interpreter that shuts down while work runs unlocked: the forced
/// unwind that ends a thread taking the lock back passes (take_lock_back marks the lock lost).
struct ContractLockPolicy {
    static bool finalizing() noexcept { return false; }
    static bool stop_unlocked(bool /*finalizing*/) noexcept { return false; }
    static void relock(PyThreadState* state) { take_lock_back(state); }
    [[noreturn]] static void forced_unwind() { throw; }
    static void after(bool /*finalizing*/) noexcept {}
};

/// Answers the core's interruption polls while the lock is released, so Ctrl-C ends the work
/// with util::Interrupted and leaves its KeyboardInterrupt pending.
using SignalHook = capi::SignalHook<ContractLockPolicy>;

/// Runs `work` (which touches no Python object) with the interpreter lock released, so other
/// threads run meanwhile, and Ctrl-C able to stop it (capi::run_unlocked); returns what it
/// returns, and throws a failure of `work` again once the lock is held.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
    return capi::run_unlocked<ContractLockPolicy>(std::forward<Work>(work));
}

/// For loops that build many Python objects with the lock held: every few tens of milliseconds
/// runs the signal handlers (a KeyboardInterrupt throws ErrorAlreadySet) and lets other threads
/// have the lock for a moment.
class ObjectLoop {
public:
    ObjectLoop() noexcept;
    /// Counts `objects` more built.
    void tick(std::uint64_t objects = 1) {
        built_ += objects;
        if (built_ >= kObjectsPerLook) look();
    }

private:
    static constexpr std::uint64_t kObjectsPerLook = 4096;
    void look();

    std::uint64_t built_ = 0;
    std::int64_t looked_ns_;
};

/// The body of every function CPython calls: returns the body's Ref or NULL with an error set.
/// Not noexcept, and neither are the entries: a thread that the interpreter ends while it takes
/// the lock back (see take_lock_back) unwinds through them, and a noexcept frame would
/// terminate the process instead.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body().release();
    } catch (const ErrorAlreadySet&) {
        settle_pending_error();
    } catch (const util::Interrupted&) {
        settle_pending_error();  // the KeyboardInterrupt that stopped the work
    } catch (const util::Failure& failure) {
        raise_contract_error(failure);
    } catch (const util::MemoryRefused& refused) {
        raise_lazy(PyExc_MemoryError, refused.what());
    } catch (const std::bad_alloc&) {
        raise_no_memory();
    } catch (const std::length_error&) {
        // A container asked to grow past its max_size: a request for more memory than can
        // exist, which Python reports the same way as one the allocator refused.
        raise_no_memory();
    } catch (const std::exception& bug) {
        write_diagnostic(bug.what(), util::SourceLocation::current());
        raise_panic(bug.what());
    } catch (...) {
        // A forced unwind (the thread being ended) is no C++ exception: it must pass.
        if (!std::current_exception()) throw;
        raise_panic("unknown failure");
    }
    return nullptr;
}

}  // namespace velko::py
