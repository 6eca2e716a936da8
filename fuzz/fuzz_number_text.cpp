// Number text: the grammar agrees with a reference regex plus correctly rounded strtod, and the
// format is positional, shortest, and reads back as the same double.
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "util/number_text.hpp"

namespace {

const std::regex kGrammar(
    "[+-]?(([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?|[iI][nN][fF]([iI][nN][iI][tT][yY])?|"
    "[nN][aA][nN])",
    std::regex::extended);

bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void check_grammar(const std::string& text) {
    const auto parsed = velko::util::parse_number(text);
    const bool valid = std::regex_match(text, kGrammar);
    if (text.empty()) {
        if (parsed.error != velko::util::NumberError::kEmpty) std::abort();
        return;
    }
    if (valid != (parsed.error == velko::util::NumberError::kNone)) std::abort();
    if (!valid) {
        if (parsed.error != velko::util::NumberError::kInvalid) std::abort();
        return;
    }
    // strtod in the C locale rounds correctly and saturates to inf or 0 as the grammar says.
    const double expected = std::strtod(text.c_str(), nullptr);
    if (!same(parsed.value, expected)) std::abort();
}

void check_format(double value) {
    std::string text;
    velko::util::append_number(text, value);
    if (text.find_first_of("eE+") != std::string::npos && !std::isinf(value)) std::abort();
    if (std::isnan(value)) {
        if (text != "NaN") std::abort();
        return;
    }
    const auto back = velko::util::parse_number(text);
    if (back.error != velko::util::NumberError::kNone || !same(back.value, value)) std::abort();
    if (std::isinf(value) || value == 0) return;
    // Shortest: as many significant digits as the shortest scientific form has.
    char shortest[64];
    const auto end = std::to_chars(shortest, shortest + sizeof shortest, std::fabs(value),
                                   std::chars_format::scientific)
                         .ptr;
    std::size_t digits = 0;
    for (const char* p = shortest; p < end && *p != 'e'; ++p) digits += *p >= '0' && *p <= '9';
    std::string significant;
    for (const char c : text) {
        if (c >= '0' && c <= '9') significant += c;
    }
    significant.erase(0, significant.find_first_not_of('0'));
    significant.erase(significant.find_last_not_of('0') + 1);
    if (significant.size() > digits) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_grammar(std::string(reinterpret_cast<const char*>(data), size));
    if (size >= sizeof(double)) {
        double value;
        std::memcpy(&value, data, sizeof value);
        check_format(value);
    }
    return 0;
}
