// Doubles to and from text: the shortest positional form, and the strict decimal grammar.
#pragma once

#include <string>
#include <string_view>

namespace velko::util {

/// Appends `value` as the shortest decimal that reads back as the same double, laid out
/// positionally (never an exponent): 100, 0.00001, -0, NaN, inf, -inf.
void append_number(std::string& out, double value);

/// Why a field is not a number: the two kinds a caller can see.
enum class NumberError { kNone, kEmpty, kInvalid };

/// The value of a field, or why it has none.
struct ParsedNumber {
    double value = 0.0;
    NumberError error = NumberError::kNone;
};

/// Reads a whole field: an optional sign, then a decimal number with an optional exponent, or
/// inf, infinity or nan in any case. Nothing else is accepted, white space included. A value
/// beyond the range of doubles reads as an infinity or a zero of the field's sign.
[[nodiscard]] ParsedNumber parse_number(std::string_view text);

/// "ParseFloatError { kind: Empty }" or "ParseFloatError { kind: Invalid }".
[[nodiscard]] std::string_view describe(NumberError error);

}  // namespace velko::util
