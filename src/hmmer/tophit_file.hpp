// TopHitFile: a top-hit table tied to the path of its tab-separated file.
#pragma once

#include <string>
#include <string_view>

#include "hmmer/tophit_table.hpp"

namespace velko::hmmer {

/// The first line of every top-hit file (46 bytes).
inline constexpr std::string_view kTopHitHeader =
    "Gene Id\tTop hits (Family id,e-value,bitscore)\n";

/// A table and the path of its file, kept exactly as given.
struct TopHitFile {
    std::string path;
    TopHitTable table;

    /// Writes the header and one line per gene, best hit first, creating missing parent
    /// directories and truncating an existing file. Fails before touching the file system when
    /// the path has no parent or an identifier would not read back; later on a system error.
    void write() const;

    /// Offers every hit of the file to the table, line by line, as soon as it is parsed; the
    /// first line is the header and is not checked. Fails on a system error, a line that is
    /// not UTF-8, or a malformed line; the hits offered before the failure stay.
    void read();
};

}  // namespace velko::hmmer
