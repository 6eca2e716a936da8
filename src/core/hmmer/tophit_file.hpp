// TopHitFile: a top-hit table tied to the path of its tab-separated file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "hmmer/tophit_table.hpp"
#include "util/file_error.hpp"
#include "util/number_text.hpp"

namespace velko::hmmer {

/// The first line of every top-hit file (46 bytes).
inline constexpr std::string_view kTopHitHeader =
    "Gene Id\tTop hits (Family id,e-value,bitscore)\n";

/// What is wrong with a line of a top-hit file.
enum class TopHitFault { kNotUtf8, kNoTab, kNoComma, kBadNumber, kNoBitScore };

/// A line of a top-hit file that does not read: reason() says what is wrong in plain words.
class TopHitFormatError : public util::FormatError {
public:
    TopHitFormatError(std::string_view path, std::uint64_t line, TopHitFault fault,
                      std::string_view piece, util::NumberError number);

    [[nodiscard]] TopHitFault fault() const noexcept { return fault_; }
    /// The text TopHitFile::read fails with for this fault (no place in it).
    [[nodiscard]] std::string abort_text() const;

private:
    TopHitFault fault_;
    util::NumberError number_;
};

/// Writes `table` to `path` as a top-hit file: the header and one line per gene, best hit
/// first, creating missing parent directories and truncating an existing file. Throws
/// std::invalid_argument (with the text TopHitFile::write fails with) before touching the file
/// system when an identifier would not read back, and util::OsError on a system error; a path
/// without a parent directory ("" or "/") fails as the system would open it.
void write_tophit_file(std::string_view path, const TopHitTable& table);

/// Offers every hit of the top-hit file at `path` to `table`, line by line, as soon as it is
/// parsed; the first line is the header and is not checked. Throws TopHitFormatError for a line
/// that does not read and util::OsError on a system error; the hits offered before stay.
void read_tophit_file(std::string_view path, TopHitTable& table);

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
