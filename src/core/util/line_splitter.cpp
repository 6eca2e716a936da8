// Holding the line that spans pieces, within what the call may keep.
#include "util/line_splitter.hpp"

#include "util/reserve_charged.hpp"

namespace velko::util {

void LineSplitter::keep(std::string_view bytes) {
    reserve_charged(memory_, partial_, bytes.size(), what_);
    partial_ += bytes;
}

}  // namespace velko::util
