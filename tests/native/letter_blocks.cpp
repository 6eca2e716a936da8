// Every letter-block path (portable, SSE4.2, AVX2, as this processor runs them) counts the same
// windows as a letter-by-letter reference, into one, two or four tables, stops at the same block
// for each bad byte at each position, and gives SequenceCounter the same counts and abort texts;
// long texts' windows counted in groups give the same counts as well.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "kmer/count.hpp"
#include "kmer/letter_block.hpp"
#include "kmer/window_kernel.hpp"
#include "util/failure.hpp"

using velko::test::expect;
using velko::test::finish;

namespace {

using velko::kmer::count_letter_blocks;
using velko::kmer::kPackedLetters;
using velko::kmer::PackPath;

int code_of(unsigned char c, bool either_case) {
    switch (either_case && c >= 'a' ? c - 32 : c) {
        case 'A':
            return 0;
        case 'C':
            return 1;
        case 'G':
            return 2;
        case 'T':
            return 3;
        default:
            return -1;
    }
}

// The windows of text[from, to) (every letter valid), each read off its k letters.
std::vector<std::uint64_t> reference(const std::string& text, std::size_t from, std::size_t to,
                                     int k, bool either_case) {
    std::vector<std::uint64_t> counts(std::size_t{1} << (2 * k));
    for (std::size_t end = from; end < to; ++end) {
        if (end + 1 < static_cast<std::size_t>(k)) continue;
        std::uint64_t index = 0;
        for (std::size_t i = end + 1 - static_cast<std::size_t>(k); i <= end; ++i) {
            index = index * 4 + static_cast<std::uint64_t>(
                                    code_of(static_cast<unsigned char>(text[i]), either_case));
        }
        ++counts[index];
    }
    return counts;
}

// The windows of text that hold only bases, each read off its k letters, and their number.
std::pair<std::vector<std::uint64_t>, std::uint64_t> reference_skipping(const std::string& text,
                                                                        int k) {
    std::vector<std::uint64_t> counts(std::size_t{1} << (2 * k));
    std::uint64_t counted = 0;
    for (std::size_t start = 0; start + static_cast<std::size_t>(k) <= text.size(); ++start) {
        std::uint64_t index = 0;
        bool clean = true;
        for (std::size_t i = start; i < start + static_cast<std::size_t>(k); ++i) {
            const int code = code_of(static_cast<unsigned char>(text[i]), true);
            clean = clean && code >= 0;
            index = index * 4 + static_cast<std::uint64_t>(code < 0 ? 0 : code);
        }
        if (!clean) continue;
        ++counts[index];
        ++counted;
    }
    return {counts, counted};
}

struct Run {
    std::size_t done = 0;
    std::vector<std::uint64_t> counts;
    std::uint64_t rolling = 0;
};

// Counts text[from, ...) in blocks after feeding text[0, from) into the rolling code.
Run run(const std::string& text, std::size_t from, int k, std::size_t tables, bool either_case,
        PackPath path) {
    const std::size_t n = std::size_t{1} << (2 * k);
    std::vector<std::uint64_t> storage(tables * n);
    std::vector<std::uint64_t*> list;
    for (std::size_t t = 0; t < tables; ++t) list.push_back(storage.data() + t * n);
    Run result;
    for (std::size_t i = 0; i < from; ++i) {
        result.rolling =
            result.rolling * 4 +
            static_cast<std::uint64_t>(code_of(static_cast<unsigned char>(text[i]), either_case));
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    result.done = count_letter_blocks({bytes + from, text.size() - from}, result.rolling, n - 1,
                                      list, either_case, path);
    result.counts.assign(n, 0);
    for (std::size_t t = 0; t < tables; ++t) {
        for (std::size_t i = 0; i < n; ++i) result.counts[i] += storage[t * n + i];
    }
    result.rolling &= n - 1;
    return result;
}

std::string letters(std::mt19937_64& random, std::size_t size, bool either_case) {
    const std::string_view alphabet = either_case ? "ACGTacgt" : "ACGT";
    std::string text(size, 'A');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    return text;
}

struct Outcome {
    std::vector<std::uint64_t> counts;
    std::uint64_t total = 0;
    std::string abort;
    bool operator==(const Outcome&) const = default;
};

Outcome count_with(const std::string& text, std::uint8_t k, PackPath path,
                   const std::vector<std::size_t>& cuts) {
    std::vector<std::uint64_t> counts(std::size_t{1} << (2 * k));
    velko::kmer::SequenceCounter counter(k, counts, path);
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        counter.feed(std::string_view(text).substr(from, cut - from));
        from = cut;
    }
    counter.feed(std::string_view(text).substr(from));
    try {
        const std::uint64_t total = counter.finish();
        return {counts, total, {}};
    } catch (const velko::util::Failure& abort) {
        return {{}, 0, abort.what()};
    }
}

// velko_tools' window counter, skipping bad bytes, in pieces: counts and windows counted.
std::pair<std::vector<std::uint64_t>, std::uint64_t> table_count(
    const std::string& text, int k, PackPath path, const std::vector<std::size_t>& cuts) {
    using velko::kmer::Invalid;
    using velko::kmer::Letters;
    std::vector<std::uint64_t> counts(std::size_t{1} << (2 * k));
    velko::kmer::WindowCounter<Letters::kEither, Invalid::kSkip> counter(
        static_cast<std::uint8_t>(k), counts.data(), counts.size() - 1, path);
    counter.start();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        counter.feed(bytes + from, cut - from);
        from = cut;
    }
    counter.feed(bytes + from, text.size() - from);
    counter.finish();
    return {counts, counter.counted()};
}

}  // namespace

int main() {
    std::mt19937_64 random(7);
    std::vector<PackPath> paths;
    for (const PackPath path : {PackPath::kPortable, PackPath::kSse42, PackPath::kAvx2}) {
        if (velko::kmer::runs_pack_path(path)) paths.push_back(path);
    }
    for (const PackPath path : paths) {
        const std::string name(velko::kmer::pack_path_name(path));
        for (const bool either_case : {false, true}) {
            for (int k = 1; k <= 8; ++k) {
                for (const std::size_t tables : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
                    // Whole blocks and a tail, after a warm-up of k - 1 letters.
                    const std::string text = letters(random, 7 * kPackedLetters + 19, either_case);
                    const std::size_t from = static_cast<std::size_t>(k) - 1;
                    const Run got = run(text, from, k, tables, either_case, path);
                    const std::string label = name + " k=" + std::to_string(k) +
                                              " tables=" + std::to_string(tables) +
                                              (either_case ? " either case" : "");
                    expect(got.done == 7 * kPackedLetters, label + ": blocks done");
                    expect(got.counts == reference(text, from, from + got.done, k, either_case),
                           label + ": counts");
                    std::uint64_t rolling = 0;
                    for (std::size_t i = from + got.done - static_cast<std::size_t>(k);
                         i < from + got.done; ++i) {
                        rolling =
                            rolling * 4 + static_cast<std::uint64_t>(code_of(
                                              static_cast<unsigned char>(text[i]), either_case));
                    }
                    expect(got.rolling == rolling, label + ": rolling code");
                }
            }
            // Each byte that is not a letter, at each place of the third block: two blocks done,
            // their windows only.
            for (int bad = 0; bad < 256; ++bad) {
                if (code_of(static_cast<unsigned char>(bad), either_case) >= 0) continue;
                const std::size_t step = bad % 3 == 0 ? 1 : 5;
                for (std::size_t at = 0; at < kPackedLetters; at += step) {
                    std::string text = letters(random, 4 * kPackedLetters + 3, either_case);
                    text[2 * kPackedLetters + 3 + at] = static_cast<char>(bad);
                    const Run got = run(text, 3, 4, 4, either_case, path);
                    const std::string label =
                        name + " byte " + std::to_string(bad) + " at " + std::to_string(at);
                    expect(got.done == 2 * kPackedLetters, label + ": blocks done");
                    expect(got.counts == reference(text, 3, 3 + got.done, 4, either_case),
                           label + ": counts");
                }
            }
        }
        // Through SequenceCounter: every length up to 300 in pieces across block edges, with a
        // bad byte somewhere in one text of three, the same outcome as the portable path.
        for (std::size_t size = 1; size <= 300; ++size) {
            for (const int k_int : {1, 4, 5, 6, 8}) {
                const auto k = static_cast<std::uint8_t>(k_int);
                std::string text = letters(random, size, false);
                if (size % 3 == 0) text[random() % size] = "N\n\xC3"[random() % 3];
                std::vector<std::size_t> cuts;
                for (std::size_t at = random() % 70; at < size; at += 1 + random() % 70) {
                    cuts.push_back(at);
                }
                const std::string label = name + " SequenceCounter length " + std::to_string(size) +
                                          " k=" + std::to_string(k);
                expect(
                    count_with(text, k, path, cuts) == count_with(text, k, PackPath::kPortable, {}),
                    label);
            }
        }
        // velko_tools' counter: either case, bad bytes skipped, pieces across block edges.
        for (int round = 0; round < 200; ++round) {
            std::string text = letters(random, 1 + random() % 400, true);
            for (int bad = 0; bad < round % 4; ++bad) text[random() % text.size()] = 'N';
            std::vector<std::size_t> cuts;
            for (std::size_t at = random() % 90; at < text.size(); at += 1 + random() % 90) {
                cuts.push_back(at);
            }
            const int k = 1 + round % 8;
            expect(
                table_count(text, k, path, cuts) == table_count(text, k, PackPath::kPortable, {}),
                name + " window counter round " + std::to_string(round));
        }
        // Groups of windows, drained into the counts: every k, either case, from any place of
        // a block on, a bad byte at each place of a block, and two drains adding up.
        for (const bool either_case : {false, true}) {
            for (int k = 1; k <= 8; ++k) {
                const std::size_t n = std::size_t{1} << (2 * k);
                for (const std::size_t bad_at :
                     {std::size_t{0}, std::size_t{13}, std::size_t{31}}) {
                    std::string text = letters(
                        random, static_cast<std::size_t>(k) + 6 + 9 * kPackedLetters, either_case);
                    if (bad_at != 0 || k % 2 == 0)
                        text[static_cast<std::size_t>(k) + 1 + 5 * kPackedLetters + bad_at] = 'N';
                    const bool has_bad = text.find('N') != std::string::npos;
                    std::vector<std::uint64_t> counts(n);
                    velko::kmer::WindowGroups groups(static_cast<std::uint8_t>(k), counts.data());
                    std::uint64_t rolling = 0;
                    const std::size_t from = static_cast<std::size_t>(k) + 1;
                    for (std::size_t i = 0; i < from; ++i) {
                        rolling =
                            rolling * 4 + static_cast<std::uint64_t>(code_of(
                                              static_cast<unsigned char>(text[i]), either_case));
                    }
                    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
                    std::size_t done = groups.count({bytes + from, 2 * kPackedLetters}, rolling,
                                                    either_case, path);
                    groups.drain();
                    done += groups.count({bytes + from + done, text.size() - from - done}, rolling,
                                         either_case, path);
                    groups.drain();
                    const std::string label = name + " groups k=" + std::to_string(k) + " bad at " +
                                              std::to_string(bad_at) +
                                              (either_case ? " either case" : "");
                    expect(done == (has_bad ? 5 : 9) * kPackedLetters, label + ": blocks done");
                    expect(counts == reference(text, from, from + done, k, either_case),
                           label + ": counts");
                    expect(
                        (rolling & (n - 1)) == (run(text, from, k, 1, either_case, path).rolling),
                        label + ": rolling code");
                }
            }
        }
        // Texts long enough to be grouped, through both counters, a poly-A run among them.
        for (const int k : {1, 3, 4, 5, 7, 8}) {
            const std::size_t size = (std::size_t{20} << (2 * (k <= 4 ? k + 3 : k + 1))) + 77;
            std::string text = letters(random, size, true);
            text.replace(size / 3, size / 3, size / 3, 'a');
            std::string upper = text;
            for (char& c : upper) c = static_cast<char>(c & ~0x20);
            const auto k8 = static_cast<std::uint8_t>(k);
            std::vector<std::size_t> cuts;
            for (std::size_t at = 70'000; at < size; at += 70'000) cuts.push_back(at);
            expect(count_with(upper, k8, path, cuts).counts == reference(upper, 0, size, k, false),
                   name + " grouped SequenceCounter k=" + std::to_string(k));
            const auto [counts, counted] = table_count(text, k, path, cuts);
            expect(counts == reference(text, 0, size, k, true) &&
                       counted == size - static_cast<std::size_t>(k) + 1,
                   name + " grouped window counter k=" + std::to_string(k));
        }
        // velko_tools' counter on long texts with bad bytes: tables in turn (small k) and the
        // prefetched counting of lists larger than the caches (k >= 9), in pieces.
        for (const int k : {2, 5, 9, 10}) {
            std::string text = letters(random, 90'000, true);
            for (int bad = 0; bad < 12; ++bad) text[random() % text.size()] = 'N';
            std::vector<std::size_t> cuts;
            for (std::size_t at = random() % 9000; at < text.size(); at += 1 + random() % 9000) {
                cuts.push_back(at);
            }
            expect(table_count(text, k, path, cuts) == reference_skipping(text, k),
                   name + " long window counter k=" + std::to_string(k));
        }
        // A long text, counted in several tables in turn, and a long poly-A run.
        for (const int k_int : {2, 4, 5, 6, 7, 9, 11}) {
            const auto k = static_cast<std::uint8_t>(k_int);
            const std::string text = letters(random, 300'000, false) + std::string(70'000, 'A');
            expect(
                count_with(text, k, path, {}).counts == reference(text, 0, text.size(), k, false),
                name + " long text k=" + std::to_string(k));
        }
    }
    std::printf("%zu paths checked\n", paths.size());
    return finish("letter_blocks");
}
