// The entry guard, PanicException, the raising of Python errors and releasing the lock.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "pyref.hpp"
#include "util/fail.hpp"

namespace velko::py {

/// The SystemError text for a C-API call that failed without setting an error.
inline constexpr std::string_view kNoExceptionSet =
    "attempted to fetch exception but none was set";

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

/// Takes the pending error as a new reference triple, normalised; resumes a PanicException that
/// Python code raised into us by throwing Abort with its text.
struct Fetched {
    Ref type, value, traceback;
};
[[nodiscard]] Fetched fetch();

/// Puts a fetched error back as the pending one.
void restore(Fetched&& error) noexcept;

/// "PyErr { type: ..., value: ..., traceback: ... }" for the pending error (which is cleared).
[[nodiscard]] std::string describe_pending_error();

/// Wraps a new reference from a C-API call that must not fail: NULL prints the pending error
/// and aborts the operation (an internal abort, not an ordinary Python exception).
[[nodiscard]] Ref abort_on_null(PyObject* obj, SourceLocation where = SourceLocation::current());

/// "'<qualname>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void throw_downcast(PyObject* obj, std::string_view target);

/// Handles ErrorAlreadySet in a guard: a PanicException coming back from Python is re-raised as
/// a fresh one; anything else stays pending.
void settle_pending_error() noexcept;

/// Lets other threads run while native work touches no Python object; the lock is taken back
/// on every path out.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

/// The body of every function CPython calls: returns the body's Ref or NULL with an error set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const ErrorAlreadySet&) {
        settle_pending_error();
    } catch (const Abort& abort) {
        raise_panic(abort.what());
    } catch (const std::bad_alloc&) {
        raise_no_memory();
    } catch (const std::length_error&) {
        // A container asked to grow past its max_size: a request for more memory than can
        // exist, which Python reports the same way as one the allocator refused.
        raise_no_memory();
    } catch (const std::exception& bug) {
        write_diagnostic(bug.what(), SourceLocation::current());
        raise_panic(bug.what());
    } catch (...) {
        raise_panic("unknown failure");
    }
    return nullptr;
}

}  // namespace velko::py
