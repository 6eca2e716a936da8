// gzip output: a text compressed into one gzip member, by ISA-L when built in, zlib otherwise.
#pragma once

#include <string>
#include <string_view>

#include "util/gzip_codec.hpp"

namespace velko::util {

/// The gzip levels a caller asks for: 1 is the fastest, 9 the smallest.
inline constexpr int kFastestLevel = 1;
inline constexpr int kSmallestLevel = 9;

/// ISA-L's level (0 to 3) for gzip level `level` (1 to 9): 1 -> 0, 2 to 3 -> 1, 4 to 6 -> 2,
/// 7 to 9 -> 3. ISA-L has four levels where zlib has nine; each keeps its place from fast to
/// small, and the default 1 takes ISA-L's fastest.
[[nodiscard]] int isal_level(int level) noexcept;

/// Appends to `out` one complete gzip member (header without name or time, deflate data,
/// CRC-32 and length) holding `text`, compressed at `level` (1 to 9) by `deflater`: the same
/// text gives the same bytes. Members written one after another read as one stream. Polls the
/// interrupt hook as it goes (util::Interrupted); std::bad_alloc or util::MemoryRefused when the
/// output does not fit; util::Failure of kind kRefused for a level out of range or a deflater
/// not built in.
void append_gzip_member(std::string& out, std::string_view text, int level,
                        GzipCodec deflater = default_codec());

}  // namespace velko::util
