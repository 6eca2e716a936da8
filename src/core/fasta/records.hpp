// FASTA records handed out whole, one at a time, for work that needs a record's sequence at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fasta/reader.hpp"

namespace velko::fasta {

/// The records of one FASTA file, read by Reader (its rules, its failures) and handed out whole:
/// only the current record is kept, its sequence (as it grows, and one copy the caller makes to
/// hand it on) charged to the reader's memory account, so a record that would not fit is
/// refused (util::MemoryRefused) rather than read.
class WholeRecords {
public:
    /// Opens `path`; throws util::Failure located in the file when it cannot.
    explicit WholeRecords(std::string path);

    /// Reads the next record into `id` and `sequence` (its lines joined, line ends and trailing
    /// white space removed); false at the end of the file. Throws util::Failure located in the
    /// file, util::MemoryRefused, util::Interrupted.
    [[nodiscard]] bool next(std::string& id, std::string& sequence);

private:
    std::string path_;
    Reader reader_;
    std::string scratch_;
    std::uint64_t charged_ = 0;  // the current record's sequence, in the reader's account
};

}  // namespace velko::fasta
