// Rows of numbers as text: tab-separated lines of counts or of floats in their shortest exact
// form, for writers that stream a large table without building one object per cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velko::util {

/// Appends to `out` the text Python's repr() gives a finite double: the shortest digits that
/// read back as `value`, in fixed notation when the decimal exponent is from -4 to 15 (with
/// ".0" for a whole number) and as "1.5e-05" or "1e+16" otherwise; "nan", "inf" and "-inf"
/// for the others.
void append_float_repr(std::string& out, double value);

/// Appends one line per row: its prefix, then each of `columns` values after a tab, then a line
/// feed. `values` holds prefixes.size() rows of `columns` numbers, row after row.
void append_rows(std::string& out, std::span<const std::string_view> prefixes,
                 const std::uint64_t* values, std::size_t columns);

/// append_rows for floats, each written as append_float_repr writes it.
void append_rows(std::string& out, std::span<const std::string_view> prefixes, const double* values,
                 std::size_t columns);

}  // namespace velko::util
