// LineSplitter: cuts byte pieces read from a text file into its lines.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "util/memory.hpp"

namespace velko::util {

/// A line ends at LF, at CR LF, or at a CR alone (the line end of old Mac files, which would
/// otherwise make a whole file one line). A line cut by the end of a piece is held until a
/// later piece ends it, charged to a MemoryAccount: an endless line (/dev/zero, a gzip bomb)
/// stops at what the call may take, as util::MemoryRefused naming `what`, not when the machine
/// is full.
class LineSplitter {
public:
    explicit LineSplitter(std::string what) : what_(std::move(what)) {}

    /// Calls take(line) for each line that `bytes` ends, without its line end.
    template <class Take>
    void feed(std::string_view bytes, Take&& take) {
        // Most files hold no CR: the next one is looked for once per piece and again only
        // after it is passed, not once per line.
        if (bytes.empty()) return;
        const char* const end = bytes.data() + bytes.size();
        const auto find_cr = [end](const char* from) {
            const void* found = std::memchr(from, '\r', static_cast<std::size_t>(end - from));
            return found == nullptr ? end : static_cast<const char*>(found);
        };
        const char* at = bytes.data();
        const char* next_cr = find_cr(at);  // the first CR at or after `at`, or `end`
        while (at != end) {
            if (after_cr_) {
                after_cr_ = false;
                // The LF of a CR LF pair, split across two pieces: the line has been taken.
                if (*at == '\n') {
                    ++at;
                    continue;
                }
            }
            const auto size = static_cast<std::size_t>(end - at);
            const auto* lf = static_cast<const char*>(std::memchr(at, '\n', size));
            const char* line_end = lf == nullptr ? end : lf;
            if (next_cr < at) next_cr = find_cr(at);
            const bool by_cr = next_cr < line_end;
            if (by_cr) {
                line_end = next_cr;
            } else if (lf == nullptr) {
                keep(std::string_view(at, size));
                return;
            }
            const std::string_view line(at, static_cast<std::size_t>(line_end - at));
            if (partial_.empty()) {
                take(line);
            } else {
                keep(line);
                take(std::string_view(partial_));
                partial_.clear();
            }
            after_cr_ = by_cr;
            at = line_end + 1;
        }
    }

    /// Calls take(line) for the last line, when no line end closed it.
    template <class Take>
    void finish(Take&& take) {
        if (partial_.empty()) return;
        take(std::string_view(partial_));
        partial_.clear();
    }

private:
    void keep(std::string_view bytes);

    std::string what_;
    std::string partial_;    // the start of a line that a later piece ends
    bool after_cr_ = false;  // the last piece ended in CR: an LF starting the next ends no line
    MemoryAccount memory_;
};

}  // namespace velko::util
