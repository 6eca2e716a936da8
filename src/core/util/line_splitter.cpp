// Holding the line that spans pieces, within what the call may keep.
#include "util/line_splitter.hpp"

#include <algorithm>

namespace velko::util {

void LineSplitter::keep(std::string_view bytes) {
    const std::size_t capacity = partial_.capacity();
    if (partial_.size() + bytes.size() > capacity) {
        const std::size_t larger = std::max(capacity * 2, partial_.size() + bytes.size());
        memory_.charge(larger, what_);
        partial_.reserve(larger);
        memory_.release(capacity);
    }
    partial_ += bytes;
}

}  // namespace velko::util
