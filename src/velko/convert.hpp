// Python <-> native conversions, one function per type and direction.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velko/pyref.hpp"

namespace velko::py {

/// Argument conversions: each returns the native value or throws with the Python error set.
template <class T>
T from_python(PyObject* obj);

template <>
std::uint8_t from_python<std::uint8_t>(PyObject* obj);
template <>
std::uint64_t from_python<std::uint64_t>(PyObject* obj);
template <>
bool from_python<bool>(PyObject* obj);
template <>
double from_python<double>(PyObject* obj);
/// The str's own UTF-8 buffer: valid while the argument lives, which is the whole call.
template <>
std::string_view from_python<std::string_view>(PyObject* obj);
template <>
std::vector<std::uint64_t> from_python<std::vector<std::uint64_t>>(PyObject* obj);

/// Result conversions: each returns a new reference; the interpreter failing to make the object
/// is the "Python API call failed" abort.
Ref to_python(bool value);
Ref to_python(std::uint8_t value);
Ref to_python(std::uint64_t value);
Ref to_python(double value);
Ref to_python(std::string_view text);
inline Ref to_python(const std::string& text) { return to_python(std::string_view(text)); }
/// A str from text known to be ASCII, copied without decoding.
Ref ascii_to_python(std::string_view text);
Ref to_python(std::span<const std::uint64_t> values);
inline Ref to_python(const std::vector<std::uint64_t>& values) {
    return to_python(std::span<const std::uint64_t>(values));
}
/// None, for operations that return nothing.
Ref none();

}  // namespace velko::py
