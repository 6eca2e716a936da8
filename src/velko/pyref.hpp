// Ref, the owning reference to a Python object, and the rules for holding references.
//
// Rules of use:
// - A call that returns a new reference and may fail (NULL with an error set) is wrapped on the
//   same line with Ref::checked, which throws ErrorAlreadySet on NULL.
// - A call whose failure would be a broken interpreter (making a small int, an empty list) is
//   wrapped with abort_on_null (boundary.hpp): NULL ends the call as an internal abort.
// - Ref::steal takes a new reference that is known not to be NULL, or may be NULL on purpose
//   (the end of an iteration, a lookup that may miss).
// - Borrowed references (arguments, self, tuple items) stay plain PyObject* and are never
//   released; Ref::borrow takes a strong one when the object must outlive its owner.
// - release() hands the reference to CPython: the guard's return value, PyList_SET_ITEM into a
//   fresh list, a buffer view's obj.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velko::py {

/// Thrown when the Python error indicator is already set; the entry guard returns NULL.
struct ErrorAlreadySet {};

/// Set on a thread that the interpreter ends as it asks for the lock back (a daemon thread while
/// the interpreter shuts down): the thread then unwinds without the lock, so the references it
/// drops on the way are let go untouched. The process is ending; touching them would race with
/// the thread that finalizes. Initial-exec, so reading it costs one load.
inline thread_local bool t_lock_lost __attribute__((tls_model("initial-exec"))) = false;

/// Owns one strong reference, dropped on every path out.
class Ref {
public:
    Ref() noexcept = default;
    /// Wraps a new reference from a call that may fail; NULL throws ErrorAlreadySet.
    static Ref checked(PyObject* obj) {
        if (obj == nullptr) throw ErrorAlreadySet{};
        return Ref(obj);
    }
    /// Takes over a new reference that is known not to be NULL (or may be NULL on purpose).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    /// Takes a new strong reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (obj_ != nullptr && !t_lock_lost) Py_DECREF(obj_);
    }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace velko::py
