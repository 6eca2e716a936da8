// FASTA records handed out whole, one at a time.
#include "fasta/records.hpp"

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
    sequence.clear();
    reader_.memory().release(charged_);
    charged_ = 0;
    try {
        if (!reader_.next_record()) return false;
        id.assign(reader_.id());
        std::string_view text;
        while (reader_.next_stretch(text, scratch_, Reader::kStretchBytes)) {
            reader_.memory().charge(text.size(), [&] {
                return util::MemoryNeed{.what = "record " + id + " of " + path_,
                                        .detail = "its sequence, whole"};
            });
            charged_ += text.size();
            sequence.append(text);
        }
    } catch (util::Failure& failure) {
        failure.locate(path_, util::FileKind::kFasta);
        throw;
    }
    return true;
}

}  // namespace velko::fasta
