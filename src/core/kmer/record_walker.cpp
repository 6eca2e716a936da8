// The located failure of a byte that is not a base, shared by every walk over records.
#include "kmer/record_walker.hpp"

#include <algorithm>
#include <iterator>

#include "util/utf8.hpp"

namespace velko::kmer {

util::Failure invalid_base(const std::string& path, std::string_view record, std::string_view text,
                           std::size_t at, std::span<const fasta::PiecePlace> places) {
    const auto place = std::prev(std::upper_bound(
        places.begin(), places.end(), at,
        [](std::size_t offset, const fasta::PiecePlace& p) { return offset < p.at; }));
    std::size_t end = at + 1;
    while (end < text.size() && util::is_continuation(static_cast<unsigned char>(text[end]))) ++end;
    return util::Failure(util::FailureFacts{.kind = util::FailureKind::kInvalidBase,
                                            .file = util::FileKind::kFasta,
                                            .path = path,
                                            .line = place->line,
                                            .column = place->column + (at - place->at),
                                            .record = std::string(record),
                                            .piece = std::string(text.substr(at, end - at))});
}

}  // namespace velko::kmer
