// Canonical genome accessions.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace velko::accession {

/// Writes the canonical form of `gid` into `out` (which holds at least gid.size() bytes) and
/// returns its length. The result is never longer than `gid`.
std::size_t canonical_gid(std::string_view gid, std::span<char> out);

/// "RS_GCF_000005845.2" -> "G000005845"; text beginning with U is returned unchanged.
[[nodiscard]] std::string canonical_gid(std::string_view gid);

}  // namespace velko::accession
