// K-mer counting through a 2-bit code per letter and a rolling window index.
#include "kmer/count.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "kmer/kmers.hpp"
#include "kmer/window_kernel.hpp"
#include "util/dna.hpp"
#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/utf8.hpp"

namespace velko::kmer {
namespace {

// A window that holds `byte`, which is no base.
[[noreturn]] void fail_base(unsigned char byte) {
    throw util::Failure({.kind = util::FailureKind::kInvalidBase,
                         .piece = std::string(1, static_cast<char>(byte))});
}

// A message quotes at most this many bytes of the text; one more is kept to find where a
// character that straddles the cut begins.
constexpr std::size_t kQuotedBytes = 256;
constexpr std::size_t kHeadBytes = kQuotedBytes + 1;

// The longest UTF-8 character minus one: how far a character can reach past a byte.
constexpr std::uint64_t kCharReach = 3;

constexpr unsigned kBad = util::kNotDna;
constexpr const auto& kCode = util::kDnaCode;

using util::is_continuation;

std::size_t first_continuation(std::string_view piece) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(piece.data());
    std::size_t i = 0;
    for (; i + 8 <= piece.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) break;
    }
    for (; i < piece.size(); ++i) {
        if (is_continuation(bytes[i])) return i;
    }
    return piece.size();
}

// ReverseStrand: lists up to this k pair through a fixed table; longer texts than a quarter of
// the list, or than kMostWindowsKept, pair their counts instead of keeping their windows.
constexpr std::uint8_t kSmallK = 6;
constexpr std::uint64_t kMostWindowsKept = std::uint64_t{1} << 20;

// Where the partners of the k-mers of length k start in kSmallPartners: after those of every
// shorter length, 4^0 + ... + 4^(k-1) = (4^k - 1) / 3 entries.
constexpr std::size_t small_partners_at(std::uint8_t k) {
    return ((std::size_t{1} << (2 * k)) - 1) / 3;
}

// The reverse complement of every k-mer, for each k from 0 to kSmallK in turn.
constexpr auto kSmallPartners = [] {
    std::array<std::uint16_t, small_partners_at(kSmallK + 1)> table{};
    for (std::uint8_t k = 0; k <= kSmallK; ++k) {
        const std::size_t at = small_partners_at(k);
        for (std::uint64_t index = 0; index < (std::uint64_t{1} << (2 * k)); ++index) {
            std::uint64_t rest = index;
            std::uint64_t partner = 0;
            for (std::uint8_t i = 0; i < k; ++i) {
                partner = partner * 4 + (3 - (rest & 3));
                rest >>= 2;
            }
            table[at + index] = static_cast<std::uint16_t>(partner);
        }
    }
    return table;
}();

std::uint64_t floor_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

void append_number(std::string& text, std::uint64_t value) {
    std::array<char, 24> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    text.append(digits.data(), end);
}

}  // namespace

SequenceCounter::SequenceCounter(std::uint8_t k, std::span<std::uint64_t> counts, PackPath path)
    : k_(k), counts_(counts), windows_(k, counts.data(), counts.size() - 1, path) {}

void SequenceCounter::feed(std::string_view piece) {
    if (head_size_ < kHeadBytes) {
        const std::size_t n = std::min(piece.size(), kHeadBytes - head_size_);
        std::memcpy(head_.data() + head_size_, piece.data(), n);
        head_size_ += n;
    }
    if (!first_bad_) {
        if (k_ == 0) {
            const std::size_t bad = first_continuation(piece);
            if (bad < piece.size()) first_bad_ = size_ + bad;
        } else {
            windows_.feed(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
            if (windows_.stopped()) first_bad_ = windows_.first_bad();
        }
    }
    keep_context(piece);
    size_ += piece.size();
}

void SequenceCounter::keep_context(std::string_view piece) {
    const std::uint64_t end = size_ + piece.size();
    // Which window fails first is settled by the k + kCharReach bytes before the first bad byte
    // and the k + kCharReach after it; before any bad byte, only the latest bytes can matter.
    const std::uint64_t reach = k_ + kCharReach;
    const std::uint64_t keep_from =
        first_bad_ ? floor_sub(*first_bad_, reach) : floor_sub(end, reach);
    const std::uint64_t keep_to = first_bad_ ? *first_bad_ + reach + 1 : end;
    if (keep_from > context_start_) {
        const auto drop = static_cast<std::size_t>(
            std::min<std::uint64_t>(keep_from - context_start_, context_.size()));
        context_.erase(0, drop);
        context_start_ += drop;
    }
    const std::uint64_t from = std::max(size_, keep_from);
    const std::uint64_t to = std::min(end, keep_to);
    if (from >= to) return;
    if (context_.empty()) context_start_ = from;
    context_.append(
        piece.substr(static_cast<std::size_t>(from - size_), static_cast<std::size_t>(to - from)));
}

unsigned char SequenceCounter::byte_at(std::uint64_t position) const {
    const auto offset = static_cast<std::size_t>(position - context_start_);
    return static_cast<unsigned char>(context_[offset]);
}

bool SequenceCounter::is_boundary(std::uint64_t position) const {
    return position == size_ || !is_continuation(byte_at(position));
}

std::uint64_t SequenceCounter::finish() {
    if (first_bad_) {
        // With k = 0 every byte starts an (empty) window; otherwise a bad byte aborts as soon as
        // one window fits, since some window then holds it.
        if (k_ == 0) fail_boundary(*first_bad_);
        if (size_ >= k_) fail_first_window();
    }
    windows_.finish();
    if (k_ == 0) {
        counts_[0] = size_;  // the one empty k-mer, once per byte position
        return size_;
    }
    return size_ >= k_ ? size_ - k_ + 1 : 0;
}

void SequenceCounter::fail_first_window() const {
    const std::uint64_t bad = *first_bad_;
    // Every window that ends before the bad byte, boundary included, passes; the first window
    // that holds it fails. In between, the boundary test comes before the lookup.
    for (std::uint64_t start = floor_sub(bad, k_); start + k_ <= size_; ++start) {
        if (!is_boundary(start)) fail_boundary(start);
        if (!is_boundary(start + k_)) fail_boundary(start + k_);
        for (std::uint64_t i = start; i < start + k_; ++i) {
            if (kCode[byte_at(i)] == kBad) fail_base(byte_at(i));
        }
    }
    fail_base(byte_at(bad));  // not reached: the window starting at the bad byte fails at last
}

void SequenceCounter::fail_boundary(std::uint64_t position) const {
    std::uint64_t first = position;
    while (first > context_start_ && is_continuation(byte_at(first))) --first;
    std::uint64_t past = first + 1;
    while (past < context_start_ + context_.size() && is_continuation(byte_at(past))) ++past;
    std::string message = "byte index ";
    append_number(message, position);
    message += " is not a char boundary; it is inside '";
    message.append(context_, static_cast<std::size_t>(first - context_start_),
                   static_cast<std::size_t>(past - first));
    message += "' (bytes ";
    append_number(message, first);
    message += "..";
    append_number(message, past);
    message += ") of `";
    if (size_ <= kQuotedBytes) {
        message.append(head_.data(), head_size_);
        message += '`';
    } else {
        std::size_t cut = kQuotedBytes;
        while (cut > 0 && is_continuation(static_cast<unsigned char>(head_[cut]))) --cut;
        message.append(head_.data(), cut);
        message += "`[...]";
    }
    // The text is velko's (a slice of the text cut inside a character), shown whole.
    throw util::Failure({.kind = util::FailureKind::kAbort, .reason = std::move(message)});
}

void add_reverse_strand(std::uint8_t k, std::span<std::uint64_t> counts) {
    // A k-mer is split into `ends` letters at each end and a middle: reverse complementing maps
    // (head, middle, tail) to (rc tail, rc middle, rc head). All k-mers of one middle thus pair
    // with those of the partner middle, a tile of 4^ends rows of 4^ends counts on each side.
    // The partner tile is copied out row by row and written back the same way: read in place,
    // its rows lie 4^(k - ends) counts apart, which for k = 12 is exactly 2 MiB, so they would
    // all fall in one cache set and evict each other at every step.
    const unsigned ends = std::min(3U, k / 2U);
    const unsigned middle = k - 2 * ends;
    const std::uint64_t end_values = std::uint64_t{1} << (2 * ends);
    const std::uint64_t middle_values = std::uint64_t{1} << (2 * middle);
    const unsigned head_shift = 2 * (k - ends);
    const unsigned middle_shift = 2 * ends;
    std::array<std::uint64_t, 64> end_rc{};
    for (std::uint64_t v = 0; v < end_values; ++v) {
        end_rc[v] = reverse_complement_index(static_cast<std::uint8_t>(ends), v);
    }
    std::vector<std::uint64_t> partner(end_values * end_values);
    std::uint64_t* const c = counts.data();
    for (std::uint64_t m = 0; m < middle_values; ++m) {
        const std::uint64_t m_rc = reverse_complement_index(static_cast<std::uint8_t>(middle), m);
        if (m > m_rc) continue;  // done with its partner
        if (m == m_rc) {
            // A middle that is its own partner pairs within its tile: take each pair once.
            for (std::uint64_t head = 0; head < end_values; ++head) {
                for (std::uint64_t tail = 0; tail < end_values; ++tail) {
                    const std::uint64_t i = (head << head_shift) | (m << middle_shift) | tail;
                    const std::uint64_t j =
                        (end_rc[tail] << head_shift) | (m_rc << middle_shift) | end_rc[head];
                    if (i > j) continue;
                    const std::uint64_t sum = c[i] + c[j];
                    c[i] = sum;
                    c[j] = sum;
                }
            }
            continue;
        }
        for (std::uint64_t row = 0; row < end_values; ++row) {
            const std::uint64_t* from = c + ((row << head_shift) | (m_rc << middle_shift));
            std::copy(from, from + end_values,
                      partner.begin() + static_cast<std::ptrdiff_t>(row * end_values));
        }
        for (std::uint64_t head = 0; head < end_values; ++head) {
            std::uint64_t* const own = c + ((head << head_shift) | (m << middle_shift));
            for (std::uint64_t tail = 0; tail < end_values; ++tail) {
                std::uint64_t& other = partner[end_rc[tail] * end_values + end_rc[head]];
                const std::uint64_t sum = own[tail] + other;
                own[tail] = sum;
                other = sum;
            }
        }
        for (std::uint64_t row = 0; row < end_values; ++row) {
            const auto from = partner.begin() + static_cast<std::ptrdiff_t>(row * end_values);
            std::copy(from, from + static_cast<std::ptrdiff_t>(end_values),
                      c + ((row << head_shift) | (m_rc << middle_shift)));
        }
    }
}

ReverseStrand::ReverseStrand(std::uint8_t k) : k_(k) {
    if (k > kSmallK && k <= kMaxRepresentableK) {
        limit_ = std::min((std::uint64_t{1} << (2 * k)) / 4, kMostWindowsKept);
        top_shift_ = 2U * (k - 1U);
    }
}

void ReverseStrand::start() {
    windows_.clear();
    letters_ = 0;
    rc_code_ = 0;
    keeping_ = limit_ > 0;
}

void ReverseStrand::feed(std::string_view piece) {
    if (!keeping_) return;
    for (const char byte : piece) {
        // A byte other than A, C, G, T yields a wrong code, but then the forward count of the
        // text aborts (some window holds that byte), and this one is never used.
        const std::uint64_t complement = 3U - (kCode[static_cast<unsigned char>(byte)] & 3U);
        rc_code_ = (rc_code_ >> 2) | (complement << top_shift_);
        if (++letters_ < k_) continue;
        if (windows_.size() == limit_) {
            // The text pairs its counts instead: the windows kept so far are of no more use.
            keeping_ = false;
            std::vector<std::uint64_t>().swap(windows_);
            return;
        }
        windows_.push_back(rc_code_);
    }
}

void ReverseStrand::add(std::span<std::uint64_t> counts) {
    std::uint64_t* const c = counts.data();
    if (k_ <= kSmallK) {
        const std::uint16_t* const partner = kSmallPartners.data() + small_partners_at(k_);
        scratch_.assign(counts.begin(), counts.end());
        const std::uint64_t* const before = scratch_.data();
        for (std::size_t i = 0; i < counts.size(); ++i) c[i] = before[i] + before[partner[i]];
    } else if (keeping_) {
        for (const std::uint64_t window : windows_) ++c[window];
    } else {
        add_reverse_strand(k_, counts);
    }
}

KmerCountResult count_text(std::string_view text, std::uint8_t k, bool use_rev_complement) {
    KmerCountResult result{.k = k, .total = 0, .counts = zero_counts(k)};
    SequenceCounter counter(k, result.counts);
    std::optional<ReverseStrand> reverse;
    if (use_rev_complement) reverse.emplace(k).start();
    // In slices, so that a long text can be stopped; the counters see them as one text.
    constexpr std::size_t kSlice = std::size_t{1} << 18;
    for (std::size_t at = 0; at < text.size(); at += kSlice) {
        const std::string_view slice = text.substr(at, kSlice);
        counter.feed(slice);
        if (reverse) reverse->feed(slice);
        util::poll_interrupt(slice.size());
    }
    if (!reverse) {
        result.total = counter.finish();
        return result;
    }
    result.total = counter.finish() * 2;
    reverse->add(result.counts);
    return result;
}

}  // namespace velko::kmer
