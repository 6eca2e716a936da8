// UTF-8 at the byte level: lead-byte table, strict checking, decoding and the \u{..} escape.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace velko::util {

using Byte = unsigned char;

/// What a byte allows when it leads a character: the character's length and the range of its
/// second byte. The ranges make decoding strict: no overlongs (E0, F0), no surrogates (ED),
/// nothing above U+10FFFF (F4). Length 0 marks a byte that cannot lead.
struct Lead {
    std::uint8_t length;
    Byte low;
    Byte high;
};

inline constexpr std::array<Lead, 256> kLeads = [] {
    std::array<Lead, 256> table{};
    for (int b = 0; b < 0x80; ++b) table[static_cast<std::size_t>(b)] = {1, 0, 0};
    for (int b = 0xC2; b <= 0xDF; ++b) table[static_cast<std::size_t>(b)] = {2, 0x80, 0xBF};
    for (int b = 0xE0; b <= 0xEF; ++b) table[static_cast<std::size_t>(b)] = {3, 0x80, 0xBF};
    table[0xE0] = {3, 0xA0, 0xBF};
    table[0xED] = {3, 0x80, 0x9F};
    for (int b = 0xF0; b <= 0xF4; ++b) table[static_cast<std::size_t>(b)] = {4, 0x80, 0xBF};
    table[0xF0] = {4, 0x90, 0xBF};
    table[0xF4] = {4, 0x80, 0x8F};
    return table;
}();

/// True for the bytes 80-BF, which only ever continue a character.
[[nodiscard]] constexpr bool is_continuation(Byte byte) { return (byte & 0xC0) == 0x80; }

/// The length of the ASCII-only prefix of [p, p + n), found a word at a time.
[[nodiscard]] inline std::size_t ascii_prefix(const Byte* p, std::size_t n) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t words[4];
        std::memcpy(words, p + i, 32);
        if (((words[0] | words[1] | words[2] | words[3]) & kHigh) != 0) break;
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        if ((word & kHigh) != 0) break;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

/// Checks [p, end) as strict UTF-8 and returns the end of its whole characters, or nullptr at
/// the first byte that is not valid. When the text goes on past `end` (`complete` false), a
/// character cut by `end` is left out of the result instead of being refused; a byte that no
/// continuation could make valid is refused at once either way.
[[nodiscard]] inline const Byte* whole_characters_end(const Byte* p, const Byte* end,
                                                      bool complete) {
    while (p < end) {
        if (*p < 0x80) {
            p += ascii_prefix(p, static_cast<std::size_t>(end - p));
            continue;
        }
        const Lead lead = kLeads[*p];
        if (lead.length == 0) return nullptr;
        const auto available = static_cast<std::size_t>(end - p);
        const std::size_t present = available < lead.length ? available : lead.length;
        if (present > 1 && (p[1] < lead.low || p[1] > lead.high)) return nullptr;
        for (std::size_t i = 2; i < present; ++i) {
            if (!is_continuation(p[i])) return nullptr;
        }
        if (present < lead.length) return complete ? nullptr : p;
        p += lead.length;
    }
    return end;
}

/// True when `text` is whole, strict UTF-8.
[[nodiscard]] inline bool is_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const Byte*>(text.data());
    return whole_characters_end(p, p + text.size(), true) == p + text.size();
}

/// Decodes one character of valid UTF-8 at `p`; returns it and advances `p` past it.
[[nodiscard]] inline char32_t decode(const Byte*& p) {
    const Byte b = *p++;
    if (b < 0x80) return b;
    const std::size_t length = kLeads[b].length;
    char32_t cp = b & (0xFF >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (*p++ & 0x3F);
    return cp;
}

/// Appends "\u{hex}" for `cp`: lower-case hex digits, no leading zeros.
inline void append_code_escape(std::string& out, char32_t cp) {
    constexpr std::string_view kHexDigits = "0123456789abcdef";
    char digits[8];
    std::size_t n = 0;
    do {
        digits[n++] = kHexDigits[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0) out += digits[--n];
    out += '}';
}

}  // namespace velko::util
