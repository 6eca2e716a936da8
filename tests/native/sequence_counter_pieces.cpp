// Counting a text fed in pieces must equal counting it whole: counts, totals and abort texts, on
// one strand and on both (the reverse strand seeing the same pieces as the forward counter).
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kmer/count.hpp"
#include "kmer/kmers.hpp"
#include "util/failure.hpp"

namespace {

using velko::kmer::count_text;
using velko::kmer::ReverseStrand;
using velko::kmer::SequenceCounter;

struct Outcome {
    velko::kmer::CountList counts;
    std::uint64_t total = 0;
    std::string abort;
    bool operator==(const Outcome&) const = default;
};

Outcome whole(const std::string& text, std::uint8_t k, bool both) {
    try {
        auto result = count_text(text, k, both);
        return {std::move(result.counts), result.total, {}};
    } catch (const velko::util::Failure& abort) {
        return {{}, 0, abort.what()};
    }
}

Outcome in_pieces(const std::string& text, std::uint8_t k, const std::vector<std::size_t>& cuts,
                  bool both) {
    std::vector<std::uint64_t> counts = velko::kmer::zero_counts(k);
    SequenceCounter counter(k, counts);
    ReverseStrand reverse(k);
    reverse.start();
    const auto feed = [&](std::string_view piece) {
        counter.feed(piece);
        if (both) reverse.feed(piece);
    };
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        feed(std::string_view(text).substr(from, cut - from));
        from = cut;
    }
    feed(std::string_view(text).substr(from));
    try {
        const std::uint64_t total = counter.finish();
        if (both) reverse.add(counts);
        return {std::move(counts), both ? 2 * total : total, {}};
    } catch (const velko::util::Failure& abort) {
        return {{}, 0, abort.what()};
    }
}

}  // namespace

int main() {
    const std::vector<std::string> letters = {"A",
                                              "C",
                                              "G",
                                              "T",
                                              "A",
                                              "C",
                                              "G",
                                              "T",
                                              "A",
                                              "C",
                                              "N",
                                              "a",
                                              "\n",
                                              "\xC3\xA9",
                                              "\xE2\x82\xAC",
                                              "\xF0\x9D\x84\x9E"};
    std::mt19937_64 random(12345);
    int failures = 0;
    for (int round = 0; round < 200000; ++round) {
        std::string text;
        const std::size_t letter_count = random() % (round % 50 == 0 ? 400 : 24);
        // Mostly A, C, G, T, so that bad letters land at every distance from the start.
        for (std::size_t i = 0; i < letter_count; ++i) {
            text += random() % 8 == 0 ? letters[random() % letters.size()] : letters[random() % 4];
        }
        const auto k = static_cast<std::uint8_t>(random() % 8);
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; at <= text.size(); at += 1 + random() % 6) {
            if (random() % 2 == 0) cuts.push_back(at);  // empty pieces and cuts inside characters
        }
        const bool both = random() % 2 == 0;
        if (whole(text, k, both) != in_pieces(text, k, cuts, both)) {
            if (++failures <= 5) {
                std::printf("mismatch: k %u, both %d, text \"%s\"\n", k, both, text.c_str());
            }
        }
    }
    std::printf("%d mismatches\n", failures);
    return failures == 0 ? 0 : 1;
}
