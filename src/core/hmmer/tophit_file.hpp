// TopHitFile: a top-hit table tied to the path of its tab-separated file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "hmmer/tophit_table.hpp"
#include "util/failure.hpp"
#include "util/number_text.hpp"

namespace velko::hmmer {

/// The first line of every top-hit file (46 bytes).
inline constexpr std::string_view kTopHitHeader =
    "Gene Id\tTop hits (Family id,e-value,bitscore)\n";

/// What is wrong with a line of a top-hit file: the `fault` of its format util::Failure.
enum class TopHitFault { kNotUtf8, kNoTab, kNoComma, kBadNumber, kNoBitScore };

/// Writes `table` to `path` as a top-hit file: the header and one line per gene, best hit
/// first, creating missing parent directories and replacing an existing file whole. Throws
/// util::Failure: refused, before touching the file system, when an identifier would not read
/// back; an OS error of its step otherwise. A path without a parent directory ("" or "/")
/// fails as the system would open it.
void write_tophit_file(std::string_view path, const TopHitTable& table);

/// Offers every hit of the top-hit file at `path` to `table`, line by line, as soon as it is
/// parsed; the first line is the header and is not checked. Throws util::Failure: a format
/// failure (its `fault` a TopHitFault) for a line that does not read, an OS error otherwise;
/// the hits offered before stay.
void read_tophit_file(std::string_view path, TopHitTable& table);

/// A table and the path of its file, kept exactly as given (velko's TopHitFile).
struct TopHitFile {
    std::string path;
    TopHitTable table;
};

}  // namespace velko::hmmer
