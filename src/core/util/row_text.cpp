// Rows of numbers as text, formatted with std::to_chars (locale-free, shortest round trip).
#include "util/row_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace velko::util {
namespace {

// Room for any uint64 (20 digits) or any double in the widest form below, with its tab.
constexpr std::size_t kCellRoom = 32;

// Writes `value` as repr() does at `at`, which has kCellRoom bytes; returns the end.
char* write_float(char* at, double value) {
    if (!std::isfinite(value)) {
        const std::string_view text = std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
        return std::copy(text.begin(), text.end(), at);
    }
    // The shortest round-trip digits come from the scientific form: "-d.ddde-XX".
    char sci[kCellRoom] = {};
    const auto [end, ec] =
        std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    (void)ec;  // kCellRoom holds the longest scientific form of any double
    const std::string_view text(sci, static_cast<std::size_t>(end - sci));
    const std::size_t e = text.find('e');
    std::string_view mantissa = text.substr(0, e);
    int exponent = std::atoi(text.data() + e + 1);
    char* out = at;
    if (mantissa.front() == '-') {
        *out++ = '-';
        mantissa.remove_prefix(1);
    }
    // The significant digits without the point: d1 d2 ... dn, value = 0.d1...dn * 10^point.
    char digits[kCellRoom] = {};
    std::size_t n = 0;
    for (const char c : mantissa) {
        if (c != '.') digits[n++] = c;
    }
    const int point = exponent + 1;
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            *out++ = '0';
            *out++ = '.';
            for (int i = point; i < 0; ++i) *out++ = '0';
            out = std::copy(digits, digits + n, out);
        } else {
            const auto whole = static_cast<std::size_t>(point);
            for (std::size_t i = 0; i < whole; ++i) *out++ = i < n ? digits[i] : '0';
            *out++ = '.';
            if (whole < n) {
                out = std::copy(digits + whole, digits + n, out);
            } else {
                *out++ = '0';
            }
        }
        return out;
    }
    *out++ = digits[0];
    if (n > 1) {
        *out++ = '.';
        out = std::copy(digits + 1, digits + n, out);
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) *out++ = '0';
    return std::to_chars(out, out + 4, magnitude).ptr;
}

char* write_cell(char* at, std::uint64_t value) { return std::to_chars(at, at + 20, value).ptr; }
char* write_cell(char* at, double value) { return write_float(at, value); }

template <class Value>
void append_rows_of(std::string& out, std::span<const std::string_view> prefixes,
                    const Value* values, std::size_t columns) {
    for (std::size_t row = 0; row < prefixes.size(); ++row) {
        const std::string_view prefix = prefixes[row];
        const std::size_t start = out.size();
        out.resize(start + prefix.size() + columns * kCellRoom + 1);
        char* at = out.data() + start;
        at = std::copy(prefix.begin(), prefix.end(), at);
        const Value* cells = values + row * columns;
        for (std::size_t column = 0; column < columns; ++column) {
            *at++ = '\t';
            at = write_cell(at, cells[column]);
        }
        *at++ = '\n';
        out.resize(static_cast<std::size_t>(at - out.data()));
    }
}

}  // namespace

void append_float_repr(std::string& out, double value) {
    char cell[kCellRoom];
    out.append(cell, write_float(cell, value));
}

void append_rows(std::string& out, std::span<const std::string_view> prefixes,
                 const std::uint64_t* values, std::size_t columns) {
    append_rows_of(out, prefixes, values, columns);
}

void append_rows(std::string& out, std::span<const std::string_view> prefixes, const double* values,
                 std::size_t columns) {
    append_rows_of(out, prefixes, values, columns);
}

}  // namespace velko::util
