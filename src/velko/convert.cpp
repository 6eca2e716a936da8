// Argument and result conversions with the boundary's exact errors.
#include "velko/convert.hpp"

#include <climits>
#include <cstring>

#include "velko/boundary.hpp"

namespace velko::py {
namespace {

constexpr std::size_t kShortText = 64;

PyObject* sequence_abc() {
    static PyObject* abc = [] {
        Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
        if (!module) return static_cast<PyObject*>(nullptr);
        return PyObject_GetAttrString(module.get(), "Sequence");
    }();
    return abc;
}

}  // namespace

template <>
std::uint8_t from_python<std::uint8_t>(PyObject* obj) {
    Ref index = Ref::checked(PyNumber_Index(obj));
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
    if (value < 0 || value > UINT8_MAX) {
        throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint8_t>(value);
}

template <>
std::uint64_t from_python<std::uint64_t>(PyObject* obj) {
    Ref index = Ref::checked(PyNumber_Index(obj));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        throw ErrorAlreadySet{};
    }
    return value;
}

template <>
bool from_python<bool>(PyObject* obj) {
    if (Py_TYPE(obj) != &PyBool_Type) throw_downcast(obj, "PyBool");
    return obj == Py_True;
}

template <>
double from_python<double>(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
    return value;
}

template <>
std::string_view from_python<std::string_view>(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_downcast(obj, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) throw ErrorAlreadySet{};
    return {data, static_cast<std::size_t>(size)};
}

template <>
std::vector<std::uint64_t> from_python<std::vector<std::uint64_t>>(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw_error(PyExc_ValueError, "Can't extract `str` to `Vec`");
    PyObject* abc = sequence_abc();
    if (abc == nullptr) {
        PyErr_Clear();
        throw_downcast(obj, "Sequence");
    }
    const int is_sequence = PyObject_IsInstance(obj, abc);
    if (is_sequence != 1) {
        PyErr_Clear();
        throw_downcast(obj, "Sequence");
    }
    // The size only presizes the vector: a sequence whose __len__ fails can still be
    // iterated, and iteration decides what it holds, so a failed size counts as 0.
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        PyErr_Clear();
        size = 0;
    }
    std::vector<std::uint64_t> values;
    values.reserve(static_cast<std::size_t>(size));
    Ref iterator = Ref::checked(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        values.push_back(from_python<std::uint64_t>(item.get()));
    }
    if (PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
    return values;
}

Ref to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref to_python(std::uint8_t value) { return abort_on_null(PyLong_FromLong(value)); }

Ref to_python(std::uint64_t value) { return abort_on_null(PyLong_FromUnsignedLongLong(value)); }

Ref to_python(double value) { return abort_on_null(PyFloat_FromDouble(value)); }

Ref to_python(std::string_view text) {
    // Short ASCII text (identifiers, accessions) skips the UTF-8 decoder; long text is decoded in
    // one pass by the interpreter, which is as fast as checking and copying it.
    if (text.size() <= kShortText) {
        unsigned char high = 0;
        for (const char c : text) high |= static_cast<unsigned char>(c);
        if (high < 0x80) return ascii_to_python(text);
    }
    return abort_on_null(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref ascii_to_python(std::string_view text) {
    Ref str = abort_on_null(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
    return str;
}

Ref to_python(std::span<const std::uint64_t> values) {
    Ref list = abort_on_null(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]).release());
    }
    return list;
}

Ref none() { return Ref::borrow(Py_None); }

}  // namespace velko::py
