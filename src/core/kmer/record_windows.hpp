// Windows along records: a consumer of the record walker that hands each window of a record to
// the consumer of rows as a record of its own, so every per-record count also counts windows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kmer/window_kernel.hpp"
#include "util/memory.hpp"
#include "util/reserve_charged.hpp"

namespace velko::kmer {

/// Windows of `width` bases starting every `step` bases along each record; width 0: none (one
/// row per record).
struct WindowSpan {
    std::uint64_t width = 0;
    std::uint64_t step = 0;
};

/// Where each row of a windowed count lies in its record: 0-based start, end exclusive.
struct WindowPlaces {
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> ends;
};

/// Cuts each record into windows [0, W), [S, S + W), ... while they fit, adds [L - W, L) when
/// the last of those ends before the record's end L, and gives a record shorter than W one
/// window over all of it. Each window reaches `rows` (a consumer of records: start, feed, end)
/// as a record of its own named by the record's id, and its place is added to `places`. Only
/// the bytes a window still to come may need are held: about W plus one stretch.
///
/// With Invalid::kStop the first byte that is not a base stops the record here (its offset goes
/// back to the walker, which fails a record of k bases or more); `rows` is only ever fed bases.
///
/// The bytes held and the places are charged to `account` before they are taken: a window of
/// a gigabase holds a gigabase, and millions of windows hold their places.
template <Invalid invalid, class Rows>
class RecordWindows {
public:
    RecordWindows(Rows& rows, WindowSpan span, WindowPlaces& places, util::MemoryAccount& account)
        : rows_(rows), span_(span), places_(places), account_(account) {}
    // The places are the result's, and stay charged.
    ~RecordWindows() { account_.release(held_.capacity()); }
    RecordWindows(const RecordWindows&) = delete;
    RecordWindows& operator=(const RecordWindows&) = delete;

    void start(std::string_view id) {
        id_ = id;
        held_.clear();
        dropped_ = 0;
        next_ = 0;
        last_end_ = 0;
        emitted_ = false;
    }

    std::size_t feed(const unsigned char* bytes, std::size_t n) {
        std::size_t usable = n;
        if constexpr (invalid == Invalid::kStop) {
            const auto* const bad = std::find_if(bytes, bytes + n, [](unsigned char byte) {
                return kBaseCode<Letters::kEither>[byte] == kNotBase;
            });
            usable = static_cast<std::size_t>(bad - bytes);
        }
        util::reserve_charged(account_, held_, usable, kWhat);
        held_.insert(held_.end(), bytes, bytes + usable);
        const std::uint64_t held_end = dropped_ + held_.size();
        while (next_ + span_.width <= held_end) {
            emit(next_, next_ + span_.width);
            next_ += span_.step;
        }
        // What lies before the next window's start is no longer needed, but the last W bytes
        // always are: the record may end before the next window fits, and then they are its
        // last window. The front is let go once it is half of what is held, so bytes move
        // about once each.
        const std::uint64_t keep_from =
            std::min(next_, held_end > span_.width ? held_end - span_.width : 0);
        if (keep_from > dropped_ && 2 * (keep_from - dropped_) >= held_.size()) {
            held_.erase(held_.begin(),
                        held_.begin() + static_cast<std::ptrdiff_t>(keep_from - dropped_));
            dropped_ = keep_from;
        }
        return usable;
    }

    void end(std::string_view /*id*/, std::uint64_t size) {
        if (!emitted_) {
            emit(0, size);
        } else if (last_end_ < size) {
            emit(size > span_.width ? size - span_.width : 0, size);
        }
    }

private:
    // A record stopped at a bad byte (shorter than k, or the walker would have failed it) holds
    // fewer bytes than its size: its windows are fed what there is and placed where they lie.
    void emit(std::uint64_t from, std::uint64_t to) {
        const std::uint64_t held_end = dropped_ + held_.size();
        const std::uint64_t fed_to = std::min(to, held_end);
        rows_.start(id_);
        if (fed_to > from) {
            rows_.feed(held_.data() + (from - dropped_), static_cast<std::size_t>(fed_to - from));
        }
        rows_.end(id_, fed_to > from ? fed_to - from : 0);
        util::reserve_charged(account_, places_.starts, 1, kWhat);
        util::reserve_charged(account_, places_.ends, 1, kWhat);
        places_.starts.push_back(from);
        places_.ends.push_back(to);
        last_end_ = to;
        emitted_ = true;
    }

    static constexpr const char* kWhat = "windows along records";

    Rows& rows_;
    WindowSpan span_;
    WindowPlaces& places_;
    util::MemoryAccount& account_;
    std::string_view id_;
    std::vector<unsigned char> held_;  // the record's bytes from dropped_ on
    std::uint64_t dropped_ = 0;
    std::uint64_t next_ = 0;  // where the next window of the step starts
    std::uint64_t last_end_ = 0;
    bool emitted_ = false;
};

}  // namespace velko::kmer
