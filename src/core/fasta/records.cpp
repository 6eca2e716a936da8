// FASTA records handed out whole, one at a time.
#include "fasta/records.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "util/failure.hpp"
#include "util/memory.hpp"

namespace velko::fasta {
namespace {

// Opens the reader, naming the file in a failure to (a reader's own failures carry no path).
Reader open_located(const std::string& path) {
    try {
        return Reader(path);
    } catch (util::Failure& failure) {
        failure.locate(path, util::FileKind::kFasta);
        throw;
    }
}

}  // namespace

WholeRecords::WholeRecords(std::string path)
    : path_(std::move(path)), reader_(open_located(path_)) {}

bool WholeRecords::next(std::string& id, std::string& sequence) {
    // The last record's sequence was let go by the caller, or is overwritten here.
    reader_.memory().release(charged_);
    charged_ = 0;
    sequence.clear();
    try {
        if (!reader_.next_record()) return false;
        id.assign(reader_.id());
        const auto need = [&] {
            return util::MemoryNeed{.what = "record " + id, .detail = "its sequence, whole"};
        };
        std::string_view text;
        while (reader_.next_stretch(text, scratch_, Reader::kStretchBytes)) {
            const std::size_t needed = sequence.size() + text.size();
            if (needed > sequence.capacity()) {
                // Growing holds the old buffer and the new one at once.
                const std::size_t old = sequence.capacity();
                const std::size_t wanted = std::max(needed, 2 * old);
                reader_.memory().charge(wanted, need);
                charged_ += wanted;
                sequence.reserve(wanted);
                reader_.memory().release(old);
                charged_ -= old;
            }
            sequence.append(text);
        }
        // The caller hands the sequence on as a copy.
        reader_.memory().charge(sequence.size(), need);
        charged_ += sequence.size();
    } catch (util::Failure& failure) {
        failure.locate(path_, util::FileKind::kFasta);
        throw;
    }
    return true;
}

}  // namespace velko::fasta
