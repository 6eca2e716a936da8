// Which deflate codecs the build has, for reading and writing gzip alike.
#include "util/gzip_codec.hpp"

#include "util/isal.hpp"

namespace velko::util {

bool has_codec(GzipCodec codec) noexcept { return codec == GzipCodec::kZlib || VELKO_HAVE_ISAL; }

GzipCodec default_codec() noexcept {
    return has_codec(GzipCodec::kIsal) ? GzipCodec::kIsal : GzipCodec::kZlib;
}

std::string_view codec_name(GzipCodec codec) noexcept {
    return codec == GzipCodec::kIsal ? "isal" : "zlib";
}

}  // namespace velko::util
