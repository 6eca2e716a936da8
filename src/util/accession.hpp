// Canonical genome accessions.
#pragma once

#include <string>
#include <string_view>

namespace velko::util {

/// "RS_GCF_000005845.2" -> "G000005845"; text beginning with U is returned unchanged.
[[nodiscard]] std::string canonical_gid(std::string_view gid);

}  // namespace velko::util
