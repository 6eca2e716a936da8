// FracMinHash sketches: canonical k-mers hashed with MurmurHash3 as their ASCII text, the hashes
// at or below a threshold kept per record or per file.
#include "kmer/sketch.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <string_view>
#include <utility>

#include "fasta/reader.hpp"
#include "kmer/window_kernel.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"

namespace velko::kmer {
namespace {

constexpr std::uint64_t kC1 = 0x87c37b91114253d5ULL;
constexpr std::uint64_t kC2 = 0x4cf5ad432745937fULL;

// Progress is published to the shared counter at most once per this many bytes read.
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;
// Kept hashes wait unsorted until this many, then are sorted and merged into the row's set, so
// that a row of a large file at scaled 1 holds each distinct hash about once, not each window.
constexpr std::size_t kCompactFrom = std::size_t{1} << 20;
// The memory account is settled at least once per this many hashes kept.
constexpr std::size_t kSettleEvery = std::size_t{1} << 16;
// Above k = 32 windows are read from the letters themselves, kept in a buffer cut back to the
// last k - 1 letters whenever it reaches this size.
constexpr std::size_t kTextKeep = 4096;

[[nodiscard]] constexpr std::uint64_t fmix64(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

// MurmurHash3_x64_128's h1 over `n` bytes given as little-endian words, the bytes past `n` zero
// up to the end of the block after the last whole one. A tail word of zeros mixes in nothing,
// so both tail words are mixed whatever the tail's length.
[[nodiscard]] inline std::uint64_t murmur_words(const std::uint64_t* words, std::size_t n,
                                                std::uint64_t seed) {
    std::uint64_t h1 = seed;
    std::uint64_t h2 = seed;
    const std::size_t blocks = n / 16;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint64_t k1 = words[2 * b];
        std::uint64_t k2 = words[2 * b + 1];
        k1 *= kC1;
        k1 = std::rotl(k1, 31);
        k1 *= kC2;
        h1 ^= k1;
        h1 = std::rotl(h1, 27);
        h1 += h2;
        h1 = h1 * 5 + 0x52dce729;
        k2 *= kC2;
        k2 = std::rotl(k2, 33);
        k2 *= kC1;
        h2 ^= k2;
        h2 = std::rotl(h2, 31);
        h2 += h1;
        h2 = h2 * 5 + 0x38495ab5;
    }
    std::uint64_t k1 = words[2 * blocks];
    std::uint64_t k2 = words[2 * blocks + 1];
    k2 *= kC2;
    k2 = std::rotl(k2, 33);
    k2 *= kC1;
    h2 ^= k2;
    k1 *= kC1;
    k1 = std::rotl(k1, 31);
    k1 *= kC2;
    h1 ^= k1;
    h1 ^= n;
    h2 ^= n;
    h1 += h2;
    h2 += h1;
    return fmix64(h1) + fmix64(h2);
}

// The ASCII text of four letters packed in a byte (first letter in the high bits), as a
// little-endian word: first letter lowest.
constexpr std::array<std::uint32_t, 256> kAscii4 = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t word = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const auto letter = static_cast<std::uint8_t>(util::kDnaLetters[(b >> (6 - 2 * i)) & 3]);
            word |= std::uint32_t{letter} << (8 * i);
        }
        table[b] = word;
    }
    return table;
}();

// Up to k = 32 the text of a window is 4 words at most, with two more of zeros for the tail.
constexpr std::size_t kCodeWords = 6;

// The sketch of one row at a time: hashes kept as windows are fed, the row's set built at its
// end. A consumer of records: told of each record's start, fed its sequence in stretches, told
// of its end.
class Sketcher {
public:
    Sketcher(const SketchOptions& options, util::MemoryAccount& account, SketchTable& out)
        : k_(options.k),
          seed_(options.seed),
          max_hash_(options.max_hash == 0 ? UINT64_MAX : options.max_hash),
          per_file_(options.per_file),
          abundance_(options.abundance),
          account_(account),
          out_(out) {
        if (k_ <= 32) {
            mask_ = k_ == 32 ? UINT64_MAX : (std::uint64_t{1} << (2U * k_)) - 1;
            top_ = 2U * k_ - 2U;
            shift_ = 64U - 2U * k_;
            for (unsigned w = 0; w < 4; ++w) {
                const unsigned bytes = std::clamp<unsigned>(k_ > 8 * w ? k_ - 8 * w : 0, 0, 8);
                word_masks_[w] = bytes == 8 ? UINT64_MAX : (std::uint64_t{1} << (8 * bytes)) - 1;
            }
        }
        out_.indptr.push_back(0);
    }
    ~Sketcher() { account_.release(charged_); }
    Sketcher(const Sketcher&) = delete;
    Sketcher& operator=(const Sketcher&) = delete;

    void start(std::string_view /*id*/) {
        forward_ = 0;
        reverse_ = 0;
        run_ = 0;
        text_.clear();
    }

    std::size_t feed(const unsigned char* bytes, std::size_t n) {
        if (k_ > 32) {
            feed_text(bytes, n);
        } else if (k_ <= 8) {
            feed_codes<1>(bytes, n);
        } else if (k_ <= 16) {
            feed_codes<2>(bytes, n);
        } else if (k_ <= 24) {
            feed_codes<3>(bytes, n);
        } else {
            feed_codes<4>(bytes, n);
        }
        return n;
    }

    void end(std::string_view id, std::uint64_t /*size*/) {
        if (!per_file_) end_row(id);
    }

    // Closes the row of a whole file, named `id`.
    void end_file(std::string_view id) {
        if (per_file_) end_row(id);
        settle();
    }

private:
    template <unsigned words>
    [[nodiscard]] std::uint64_t hash_code(std::uint64_t code) const {
        std::array<std::uint64_t, kCodeWords> text{};
        const std::uint64_t aligned = code << shift_;
        for (unsigned w = 0; w < words; ++w) {
            const unsigned high = 56 - 16 * w;
            text[w] = (std::uint64_t{kAscii4[(aligned >> high) & 0xff]} |
                       (std::uint64_t{kAscii4[(aligned >> (high - 8)) & 0xff]} << 32)) &
                      word_masks_[w];
        }
        return murmur_words(text.data(), k_, seed_);
    }

    // Up to k = 32: both strands' 2-bit codes roll along, and the smaller is the canonical
    // k-mer, since the codes order A < C < G < T as their letters do.
    template <unsigned words>
    void feed_codes(const unsigned char* bytes, std::size_t n) {
        std::uint64_t forward = forward_;
        std::uint64_t reverse = reverse_;
        std::uint64_t run = run_;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t code = kBaseCode<Letters::kEither>[bytes[i]];
            if (code == kNotBase) [[unlikely]] {
                run = 0;
                continue;
            }
            forward = ((forward << 2) | code) & mask_;
            reverse = (reverse >> 2) | ((3 - code) << top_);
            if (++run >= k_) {
                const std::uint64_t hash = hash_code<words>(std::min(forward, reverse));
                if (hash <= max_hash_) [[unlikely]] keep(hash);
            }
        }
        forward_ = forward;
        reverse_ = reverse;
        run_ = run;
    }

    // Above k = 32: the window's letters and their reverse complement compared as text.
    void feed_text(const unsigned char* bytes, std::size_t n) {
        std::array<char, kMaxSketchK> reverse{};
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t code = kBaseCode<Letters::kEither>[bytes[i]];
            if (code == kNotBase) {
                text_.clear();
                continue;
            }
            if (text_.size() >= kTextKeep) text_.erase(0, text_.size() - (k_ - 1U));
            text_.push_back(util::kDnaLetters[code]);
            if (text_.size() < k_) continue;
            const char* window = text_.data() + text_.size() - k_;
            for (std::size_t j = 0; j < k_; ++j) {
                reverse[j] = util::kComplement[static_cast<unsigned char>(window[k_ - 1 - j])];
            }
            const char* canonical =
                std::memcmp(reverse.data(), window, k_) < 0 ? reverse.data() : window;
            const std::uint64_t hash = murmur3_h1(canonical, k_, seed_);
            if (hash <= max_hash_) keep(hash);
        }
    }

    void keep(std::uint64_t hash) {
        pending_.push_back(hash);
        if (pending_.size() % kSettleEvery == 0) {
            if (pending_.size() >= kCompactFrom && pending_.size() >= held_.size()) compact();
            settle();
        }
    }

    // Sorts the pending hashes and merges their runs into the row's set.
    void compact() {
        if (pending_.empty()) return;
        std::sort(pending_.begin(), pending_.end());
        std::vector<std::uint64_t> hashes;
        std::vector<std::uint64_t> counts;
        hashes.reserve(held_.size() + pending_.size());
        if (abundance_) counts.reserve(hashes.capacity());
        std::size_t h = 0;
        const auto take_held = [&] {
            hashes.push_back(held_[h]);
            if (abundance_) counts.push_back(held_counts_[h]);
            ++h;
        };
        for (std::size_t i = 0; i < pending_.size();) {
            const std::uint64_t hash = pending_[i];
            std::size_t j = i + 1;
            while (j < pending_.size() && pending_[j] == hash) ++j;
            while (h < held_.size() && held_[h] < hash) take_held();
            std::uint64_t count = j - i;
            if (h < held_.size() && held_[h] == hash) {
                if (abundance_) count += held_counts_[h];
                ++h;
            }
            hashes.push_back(hash);
            if (abundance_) counts.push_back(count);
            i = j;
        }
        while (h < held_.size()) take_held();
        held_ = std::move(hashes);
        held_counts_ = std::move(counts);
        pending_.clear();
    }

    void end_row(std::string_view id) {
        compact();
        out_.hashes.insert(out_.hashes.end(), held_.begin(), held_.end());
        if (abundance_) {
            out_.counts.insert(out_.counts.end(), held_counts_.begin(), held_counts_.end());
        }
        out_.indptr.push_back(out_.hashes.size());
        out_.ids.emplace_back(id);
        held_.clear();
        held_counts_.clear();
        settle();
    }

    // Charges the account with what the row and the table hold now, or gives back what they
    // no longer do.
    void settle() {
        const std::uint64_t words = pending_.capacity() + held_.capacity() +
                                    held_counts_.capacity() + out_.hashes.capacity() +
                                    out_.counts.capacity() + out_.indptr.capacity();
        const std::uint64_t bytes = words * sizeof(std::uint64_t);
        if (bytes > charged_) {
            account_.charge(bytes - charged_, "a sketch");
        } else {
            account_.release(charged_ - bytes);
        }
        charged_ = bytes;
    }

    std::uint8_t k_;
    std::uint64_t seed_;
    std::uint64_t max_hash_;
    bool per_file_;
    bool abundance_;
    util::MemoryAccount& account_;
    SketchTable& out_;
    std::uint64_t mask_ = 0;
    unsigned top_ = 0;
    unsigned shift_ = 0;
    std::array<std::uint64_t, 4> word_masks_{};
    std::uint64_t forward_ = 0;
    std::uint64_t reverse_ = 0;
    std::uint64_t run_ = 0;
    std::string text_;
    std::vector<std::uint64_t> pending_;
    std::vector<std::uint64_t> held_;
    std::vector<std::uint64_t> held_counts_;
    std::uint64_t charged_ = 0;
};

// Hands every record of `path` to `consumer`, publishing progress; false when cancelled.
template <class Consumer>
bool walk_file(fasta::Reader& reader, Consumer& consumer,
               std::atomic<std::uint64_t>& bytes_done, const std::atomic<bool>& cancelled) {
    std::uint64_t published = 0;
    const auto publish = [&] {
        const std::uint64_t read = reader.bytes_read();
        bytes_done.fetch_add(read - published, std::memory_order_relaxed);
        published = read;
    };
    std::string batch;
    std::string_view text;
    while (reader.next_record()) {
        consumer.start(reader.id());
        std::uint64_t size = 0;
        while (reader.next_stretch(text, batch, fasta::Reader::kStretchBytes)) {
            consumer.feed(reinterpret_cast<const unsigned char*>(text.data()), text.size());
            size += text.size();
            if (reader.bytes_read() - published >= kProgressStep) {
                publish();
                if (cancelled.load(std::memory_order_relaxed)) return false;
            }
        }
        consumer.end(reader.id(), size);
    }
    publish();
    return true;
}

void sketch_file(const std::string& path, const SketchOptions& options, SketchTable& out,
                 std::atomic<std::uint64_t>& bytes_done, const std::atomic<bool>& cancelled) {
    fasta::Reader reader(path);
    Sketcher sketcher(options, reader.memory(), out);
    if (!walk_file(reader, sketcher, bytes_done, cancelled)) return;
    sketcher.end_file(path);
}

}  // namespace

std::uint64_t murmur3_h1(const void* data, std::size_t n, std::uint64_t seed) {
    const std::size_t words = 2 * (n / 16) + 2;
    std::array<std::uint64_t, 2 * (kMaxSketchK / 16) + 2> fixed{};
    std::vector<std::uint64_t> grown;
    std::uint64_t* text = fixed.data();
    if (words > fixed.size()) {
        grown.assign(words, 0);
        text = grown.data();
    }
    std::memcpy(text, data, n);
    return murmur_words(text, n, seed);
}

SketchJob::SketchJob(std::vector<std::string> paths, SketchOptions options, unsigned threads)
    : options_(options), rows_(paths.size()), files_(std::move(paths)) {
    const unsigned workers = std::max(
        1U, std::min<unsigned>(std::max(1U, threads), static_cast<unsigned>(rows_.size())));
    files_.start(workers, [this](std::size_t i, util::InterruptHook& /*hook*/) {
        try {
            sketch_file(files_.paths()[i], options_, rows_[i], files_.bytes_done(),
                        files_.cancelled());
        } catch (...) {
            rows_[i] = SketchTable{};
            throw;
        }
    });
}

SketchTable SketchJob::take() {
    files_.finish();
    SketchTable table;
    table.indptr.push_back(0);
    std::size_t hashes = 0;
    for (const SketchTable& file : rows_) hashes += file.hashes.size();
    table.hashes.reserve(hashes);
    if (options_.abundance) table.counts.reserve(hashes);
    for (std::size_t f = 0; f < rows_.size(); ++f) {
        SketchTable& file = rows_[f];
        const std::uint64_t base = table.hashes.size();
        for (std::size_t r = 1; r < file.indptr.size(); ++r) {
            table.indptr.push_back(base + file.indptr[r]);
        }
        table.hashes.insert(table.hashes.end(), file.hashes.begin(), file.hashes.end());
        table.counts.insert(table.counts.end(), file.counts.begin(), file.counts.end());
        for (std::string& id : file.ids) table.ids.push_back(std::move(id));
        table.files.insert(table.files.end(), file.ids.size(), f);
        file = SketchTable{};
    }
    return table;
}

}  // namespace velko::kmer
