// Counting: counts sum to the total; a text fed in arbitrary pieces counts (or fails) exactly as
// the whole text; the derived reverse strand equals counting the reverse complement directly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "fasta/dna_sequence.hpp"
#include "kmer/count.hpp"
#include "kmer/kmers.hpp"
#include "util/failure.hpp"

namespace {

struct Outcome {
    bool ok = false;
    std::string message;
    std::uint64_t total = 0;
    std::vector<std::uint64_t> counts;
    bool operator==(const Outcome&) const = default;
};

Outcome whole(const std::string& text, std::uint8_t k, bool both) {
    Outcome out;
    try {
        const auto result = velko::kmer::count_text(text, k, both);
        out.ok = true;
        out.total = result.total;
        out.counts.assign(result.counts.begin(), result.counts.end());
    } catch (const velko::util::Failure& abort) {
        out.message = abort.what();
    }
    return out;
}

Outcome in_pieces(const std::string& text, std::uint8_t k, const std::uint8_t* cuts,
                  std::size_t ncuts) {
    Outcome out;
    out.counts.assign(velko::kmer::kmer_space(k), 0);
    velko::kmer::SequenceCounter counter(k, out.counts);
    std::size_t at = 0;
    for (std::size_t i = 0; i < ncuts && at < text.size(); ++i) {
        const std::size_t length = std::min<std::size_t>(cuts[i] % 9, text.size() - at);
        counter.feed(std::string_view(text).substr(at, length));
        at += length;
    }
    counter.feed(std::string_view(text).substr(at));
    try {
        out.total = counter.finish();
        out.ok = true;
    } catch (const velko::util::Failure& abort) {
        out = Outcome{};
        out.message = abort.what();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const auto k = static_cast<std::uint8_t>(data[0] % 7);
    const std::size_t ncuts = data[1] % 16;
    if (size < 2 + ncuts) return 0;
    // Mostly DNA letters, so that long valid windows occur; other bytes pass through.
    std::string text;
    for (std::size_t i = 2 + ncuts; i < size; ++i) {
        const std::uint8_t b = data[i];
        text += b < 0xC0 ? "ACGT"[b & 3] : static_cast<char>(b);
    }
    const Outcome forward = whole(text, k, false);
    if (forward.ok && std::accumulate(forward.counts.begin(), forward.counts.end(),
                                      std::uint64_t{0}) != forward.total) {
        std::abort();
    }
    if (!(in_pieces(text, k, data + 2, ncuts) == forward)) std::abort();
    const Outcome both = whole(text, k, true);
    if (forward.ok) {
        const Outcome reverse = whole(velko::fasta::reverse_complement(text), k, false);
        if (!both.ok || !reverse.ok) std::abort();
        for (std::size_t i = 0; i < both.counts.size(); ++i) {
            if (both.counts[i] != forward.counts[i] + reverse.counts[i]) std::abort();
        }
        if (both.total != forward.total + reverse.total) std::abort();
    } else if (both.ok || both.message != forward.message) {
        std::abort();
    }
    return 0;
}
