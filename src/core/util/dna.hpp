// The DNA alphabet once: its letters in k-mer order, their 2-bit codes and complements.
#pragma once

#include <array>
#include <cstdint>

namespace velko::util {

/// The DNA letters in k-mer order; a letter's position is its 2-bit code (A 0 ... T 3), so
/// complementing a code flips both of its bits.
inline constexpr std::array<char, 4> kDnaLetters = {'A', 'C', 'G', 'T'};

/// The code kDnaCode gives every byte that is not an upper-case DNA letter.
inline constexpr std::uint8_t kNotDna = 4;

/// The 2-bit code of each byte: 0 to 3 for A, C, G, T, kNotDna for everything else.
inline constexpr std::array<std::uint8_t, 256> kDnaCode = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(kNotDna);
    for (std::uint8_t code = 0; code < kDnaLetters.size(); ++code) {
        table[static_cast<unsigned char>(kDnaLetters[code])] = code;
    }
    return table;
}();

/// The complement of each byte: A<->T, C<->G, N for everything else.
inline constexpr std::array<char, 256> kComplement = [] {
    std::array<char, 256> table{};
    table.fill('N');
    for (std::size_t code = 0; code < kDnaLetters.size(); ++code) {
        table[static_cast<unsigned char>(kDnaLetters[code])] = kDnaLetters[3 - code];
    }
    return table;
}();

}  // namespace velko::util
