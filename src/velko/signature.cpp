// Argument binding with the exact TypeError texts, in one place for every entry.
#include "velko/signature.hpp"

#include <cstring>

#include "velko/boundary.hpp"

namespace velko::py {
namespace {

std::string_view utf8_of(PyObject* name, bool& ok) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name, &size);
    ok = data != nullptr;
    if (!ok) {
        PyErr_Clear();
        return {};
    }
    return {data, static_cast<std::size_t>(size)};
}

// Takes one keyword argument: finds its slot or raises the matching TypeError.
void bind_keyword(const Signature& sig, PyObject* name, PyObject* value, Slots& slots) {
    if (!PyUnicode_Check(name)) throw_downcast(name, "PyString");
    bool ok = false;
    const std::string_view key = utf8_of(name, ok);
    const std::size_t n = sig.arity();
    for (std::size_t i = 0; ok && i < n; ++i) {
        if (sig.params[i] != key) continue;
        if (slots[i] != nullptr) {
            throw_error(PyExc_TypeError, sig.full_name() + " got multiple values for argument '" +
                                             std::string(key) + "'");
        }
        slots[i] = value;
        return;
    }
    if (ok) {
        throw_error(PyExc_TypeError, sig.full_name() + " got an unexpected keyword argument '" +
                                         std::string(key) + "'");
    }
    // A name that has no UTF-8 form (lone surrogates) is shown as Python shows it.
    const std::string head = sig.full_name() + " got an unexpected keyword argument '%U'";
    Ref message = Ref::checked(PyUnicode_FromFormat(head.c_str(), name));
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, message.release(), nullptr);
    throw ErrorAlreadySet{};
}

void check_surplus(const Signature& sig, Py_ssize_t nargs) {
    const auto n = static_cast<Py_ssize_t>(sig.arity());
    if (nargs <= n) return;
    throw_error(PyExc_TypeError, sig.full_name() + " takes " + std::to_string(n) +
                                     " positional arguments but " + std::to_string(nargs) +
                                     (nargs == 1 ? " was" : " were") + " given");
}

void check_missing(const Signature& sig, Py_ssize_t nargs, const Slots& slots) {
    const std::size_t n = sig.arity();
    std::array<std::string_view, kMaxParams> missing{};
    std::size_t count = 0;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < n; ++i) {
        if (slots[i] == nullptr) missing[count++] = sig.params[i];
    }
    if (count == 0) return;
    std::string message = sig.full_name() + " missing " + std::to_string(count) +
                          " required positional " + (count == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && count > 2) message += ",";
        if (i > 0 && i + 1 == count) message += " and";
        if (i > 0) message += " ";
        message += "'";
        message += missing[i];
        message += "'";
    }
    throw_error(PyExc_TypeError, message);
}

}  // namespace

std::string Signature::full_name() const {
    std::string text;
    if (!owner.empty()) {
        text += owner;
        text += ".";
    }
    text += name;
    text += "()";
    return text;
}

void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Slots& slots) {
    const auto n = static_cast<Py_ssize_t>(sig.arity());
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    check_surplus(sig, nargs);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
        }
    }
    check_missing(sig, nargs, slots);
}

void bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const auto n = static_cast<Py_ssize_t>(sig.arity());
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) {
        slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    check_surplus(sig, nargs);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, slots);
    }
    check_missing(sig, nargs, slots);
}

void relabel_argument_error(std::string_view param) {
    if (PyErr_Occurred() != PyExc_TypeError) {
        // Only an exact TypeError is relabelled; a normalised one is checked below.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    }
    Fetched error = fetch();
    if (error.type.get() != PyExc_TypeError) {
        restore(std::move(error));
        return;
    }
    Ref text = Ref::steal(PyObject_Str(error.value.get()));
    if (!text) return;  // the failure of str() is pending instead
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) return;
    std::string message = "argument '" + std::string(param) + "': ";
    message.append(data, static_cast<std::size_t>(size));
    Ref relabelled = Ref::checked(PyObject_CallOneArg(
        PyExc_TypeError, Ref::checked(PyUnicode_FromStringAndSize(
                                          message.data(), static_cast<Py_ssize_t>(message.size())))
                             .get()));
    // The replaced error is not chained: only its own cause carries over.
    PyObject* cause = PyException_GetCause(error.value.get());
    if (cause != nullptr) PyException_SetCause(relabelled.get(), cause);
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, relabelled.release(), nullptr);
}

}  // namespace velko::py
