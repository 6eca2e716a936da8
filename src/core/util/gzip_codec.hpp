// The two deflate codecs gzip goes through, both ways: zlib always, ISA-L when the build found it.
#pragma once

#include <string_view>

namespace velko::util {

/// The deflate codecs a gzip member is read or written with. zlib is always there and names
/// every fault; ISA-L, when built in, is several times faster.
enum class GzipCodec { kZlib, kIsal };

/// True when `codec` was built in (zlib always is).
[[nodiscard]] bool has_codec(GzipCodec codec) noexcept;

/// The codec used unless one is asked for: ISA-L when the build found it, zlib otherwise.
[[nodiscard]] GzipCodec default_codec() noexcept;

/// "isal" or "zlib".
[[nodiscard]] std::string_view codec_name(GzipCodec codec) noexcept;

}  // namespace velko::util
