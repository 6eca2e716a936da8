// PanicException, error raising and fetching, the C-API failure rule.
#include "velko/boundary.hpp"

#include <cstdio>

namespace velko::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python hits an internal abort.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";

std::string text_of(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string repr_text(PyObject* obj) {
    Ref repr = Ref::steal(PyObject_Repr(obj));
    if (!repr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return text_of(repr.get());
}

// The module, shipped beside the extension, whose function rebuilds a pickled PanicException.
constexpr const char* kRebuildModule = "_velko_pickle";
constexpr const char* kRebuildFunction = "panic";

// PanicException.__reduce__: what BaseException would give, with the class replaced by a
// function that can be found by name. The class itself cannot be: "pyo3_runtime" is no module,
// and none of velko's modules holds the class.
PyObject* panic_reduce(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        Ref module = Ref::checked(PyImport_ImportModule(kRebuildModule));
        Ref rebuild = Ref::checked(PyObject_GetAttrString(module.get(), kRebuildFunction));
        Ref reduced =
            Ref::checked(PyObject_CallMethod(PyExc_BaseException, "__reduce__", "O", self));
        if (!PyTuple_Check(reduced.get()) || PyTuple_GET_SIZE(reduced.get()) < 2) {
            throw_error(PyExc_TypeError, "BaseException.__reduce__ gave no (class, args) tuple");
        }
        Ref list = Ref::checked(PySequence_List(reduced.get()));
        if (PyList_SetItem(list.get(), 0, rebuild.release()) < 0) throw ErrorAlreadySet{};
        return Ref::checked(PyList_AsTuple(list.get()));
    });
}

PyMethodDef kPanicReduce = {"__reduce__", panic_reduce, METH_NOARGS, nullptr};

}  // namespace

PyObject* panic_type() noexcept {
    static PyObject* type = [] {
        // Often first needed while another error is pending: keep that one aside meanwhile.
        PyObject *pending_type = nullptr, *pending_value = nullptr, *pending_traceback = nullptr;
        PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
        PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        if (made == nullptr) Py_FatalError("failed to create PanicException");
        // So that a panic raised in a worker process reaches the caller as itself.
        const Ref reduce =
            Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(made), &kPanicReduce));
        if (!reduce || PyObject_SetAttrString(made, "__reduce__", reduce.get()) < 0) {
            Py_FatalError("failed to create PanicException.__reduce__");
        }
        PyErr_Restore(pending_type, pending_value, pending_traceback);
        return made;
    }();
    return type;
}

void raise_lazy(PyObject* type, std::string_view message) noexcept {
    PyObject* value =
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (value == nullptr) return;  // the MemoryError of the failed str stays pending
    Py_INCREF(type);
    PyErr_Restore(type, value, nullptr);
}

void raise_no_memory() noexcept {
    Py_INCREF(PyExc_MemoryError);
    PyErr_Restore(PyExc_MemoryError, nullptr, nullptr);
}

void throw_error(PyObject* type, std::string_view message) {
    raise_lazy(type, message);
    throw ErrorAlreadySet{};
}

void raise_panic(std::string_view message) noexcept { raise_lazy(panic_type(), message); }

Fetched fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        raise_lazy(PyExc_SystemError, kNoExceptionSet);
        PyErr_Fetch(&type, &value, &traceback);
    }
    if (type == panic_type()) {
        // Python code we called raised a panic of ours: it goes on as an abort, not as an error.
        std::string text = value != nullptr && PyUnicode_Check(value)
                               ? text_of(value)
                               : std::string("Unwrapped panic from Python code");
        std::fputs(
            "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n",
            stderr);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        // Not started here: the panic's own traceback was printed instead of a diagnostic.
        throw util::Failure({.reason = std::move(text)}, util::SourceLocation{});
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

void restore(Fetched&& error) noexcept {
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
}

std::string describe_pending_error() {
    Fetched error = fetch();
    std::string text = "PyErr { type: " + repr_text(error.type.get());
    text += ", value: ";
    text += error.value ? repr_text(error.value.get()) : std::string("None");
    text += ", traceback: ";
    text +=
        error.traceback ? "Some(" + repr_text(error.traceback.get()) + ")" : std::string("None");
    text += " }";
    return text;
}

Ref abort_on_null(PyObject* obj, util::SourceLocation where) {
    if (obj == nullptr) {
        // Running out of memory is no fault of ours, nor of the caller's: it is reported as the
        // interpreter raised it.
        if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0) throw ErrorAlreadySet{};
        if (PyErr_Occurred() != nullptr) PyErr_Print();
        fail("Python API call failed", where);
    }
    return Ref::steal(obj);
}

void set_item(PyObject* dict, PyObject* key, PyObject* value, util::SourceLocation where) {
    if (PyDict_SetItem(dict, key, value) == 0) return;
    if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0) throw ErrorAlreadySet{};
    fail("Failed to set_item on dict", where);
}

void throw_downcast(PyObject* obj, std::string_view target) {
    std::string name = "<failed to extract type name>";
    Ref qualname = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
        if (data != nullptr) name.assign(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    std::string message = "'" + name + "' object cannot be converted to '";
    message += target;
    message += "'";
    throw_error(PyExc_TypeError, message);
}

void settle_pending_error() noexcept {
    if (PyErr_Occurred() != panic_type()) {
        if (PyErr_Occurred() == nullptr) raise_lazy(PyExc_SystemError, kNoExceptionSet);
        return;
    }
    try {
        Fetched ignored = fetch();  // always throws for a PanicException
        restore(std::move(ignored));
    } catch (const util::Failure& resumed) {
        raise_panic(resumed.reason);
    } catch (...) {
        raise_panic("Unwrapped panic from Python code");
    }
}

void take_lock_back(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // Only the forced unwind that ends the thread can come out of here.
        t_lock_lost = true;
        throw;
    }
}

ObjectLoop::ObjectLoop() noexcept : looked_ns_(util::monotonic_ns()) {}

void ObjectLoop::look() {
    built_ = 0;
    const std::int64_t now = util::monotonic_ns();
    if (now - looked_ns_ < util::kInterruptPeriodNs) return;
    looked_ns_ = now;
    if (PyErr_CheckSignals() != 0) throw ErrorAlreadySet{};
    take_lock_back(PyEval_SaveThread());
}

}  // namespace velko::py
