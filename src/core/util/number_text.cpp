// Doubles to and from text, locale-free and exact.
#include "util/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace velko::util {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != lower_word[i]) return false;
    }
    return true;
}

// The decimal exponent of the first non-zero digit of a validated unsigned decimal text;
// `nonzero` is false when every digit is zero. Saturates rather than overflows: only its sign
// matters to the caller.
std::int64_t leading_exponent(std::string_view text, bool& nonzero) {
    const std::size_t e_at = std::min(text.find_first_of("eE"), text.size());
    std::int64_t exponent = 0;
    if (e_at < text.size()) {
        std::size_t at = e_at + 1;
        bool negative = false;
        if (text[at] == '+' || text[at] == '-') negative = text[at++] == '-';
        constexpr std::int64_t kCap = std::int64_t{1} << 40;
        for (; at < text.size(); ++at) exponent = std::min(kCap, exponent * 10 + (text[at] - '0'));
        if (negative) exponent = -exponent;
    }
    std::int64_t integer_digits = 0;  // from the first non-zero one on
    std::int64_t fraction_zeros = 0;  // before the first non-zero digit
    bool in_fraction = false;
    nonzero = false;
    for (std::size_t at = 0; at < e_at; ++at) {
        const char c = text[at];
        if (c == '.') {
            in_fraction = true;
        } else if (in_fraction) {
            if (c != '0' && !nonzero) {
                nonzero = true;
                break;
            }
            if (!nonzero) ++fraction_zeros;
        } else if (nonzero || c != '0') {
            nonzero = true;
            ++integer_digits;
        }
    }
    return integer_digits > 0 ? exponent + integer_digits - 1 : exponent - fraction_zeros - 1;
}

// Digits with at most one point and at least one digit, then an optional exponent with at
// least one digit. Signs were taken off by the caller.
bool is_decimal(std::string_view text) {
    std::size_t at = 0;
    std::size_t digits = 0;
    for (; at < text.size() && is_digit(text[at]); ++at) ++digits;
    if (at < text.size() && text[at] == '.') {
        for (++at; at < text.size() && is_digit(text[at]); ++at) ++digits;
    }
    if (digits == 0) return false;
    if (at == text.size()) return true;
    if (text[at] != 'e' && text[at] != 'E') return false;
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const std::size_t exponent_start = at;
    while (at < text.size() && is_digit(text[at])) ++at;
    return at > exponent_start && at == text.size();
}

}  // namespace

void append_number(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out += '-';
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude == 0.0) {
        out += '0';
        return;
    }
    // Fixed notation would print the exact binary value of large doubles; scientific notation
    // gives the shortest round-trip digits, which are then laid out here.
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e_at = sci.find('e');
    char digits[20];
    std::size_t count = 0;
    for (std::size_t i = 0; i < e_at; ++i) {
        if (sci[i] != '.') digits[count++] = sci[i];
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_at + (sci[e_at + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                    exponent);
    const std::string_view digit_text(digits, count);
    // `point` is the number of digits before the decimal point.
    const long point = exponent + 1L;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digit_text;
    } else if (static_cast<std::size_t>(point) >= count) {
        out += digit_text;
        out.append(static_cast<std::size_t>(point) - count, '0');
    } else {
        const auto split = static_cast<std::size_t>(point);
        out += digit_text.substr(0, split);
        out += '.';
        out += digit_text.substr(split);
    }
}

ParsedNumber parse_number(std::string_view text) {
    if (text.empty()) return {0.0, NumberError::kEmpty};
    bool negative = false;
    std::string_view body = text;
    if (body.front() == '+' || body.front() == '-') {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    double value = 0.0;
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(body, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else if (is_decimal(body)) {
        const auto result = std::from_chars(body.data(), body.data() + body.size(), value,
                                            std::chars_format::general);
        if (result.ec == std::errc::result_out_of_range) {
            bool nonzero = false;
            const std::int64_t exponent = leading_exponent(body, nonzero);
            value = nonzero && exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (result.ec != std::errc{} || result.ptr != body.data() + body.size()) {
            return {0.0, NumberError::kInvalid};
        }
    } else {
        return {0.0, NumberError::kInvalid};
    }
    return {negative ? -value : value, NumberError::kNone};
}

std::string_view describe(NumberError error) {
    switch (error) {
        case NumberError::kEmpty:
            return "ParseFloatError { kind: Empty }";
        case NumberError::kInvalid:
            return "ParseFloatError { kind: Invalid }";
        case NumberError::kNone:
            break;
    }
    return "";
}

}  // namespace velko::util
