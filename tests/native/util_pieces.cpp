// The shared byte-level pieces against independent references: strict UTF-8 over every short
// sequence, the \u{..} escape, the DNA tables against the alphabet, and the file places that
// failures found in an input carry.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "check.hpp"
#include "hmmer/tophit_file.hpp"
#include "kmer/count_fasta.hpp"
#include "util/dna.hpp"
#include "util/failure.hpp"
#include "util/memory.hpp"
#include "util/quote_path.hpp"
#include "util/text_map.hpp"
#include "util/utf8.hpp"

using velko::test::expect;
using velko::test::finish;

namespace {

std::string hex(const std::string& bytes) {
    std::string out;
    char digits[4];
    for (const char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x ", static_cast<unsigned char>(c));
        out += digits;
    }
    return out;
}

// Whether `bytes` is well-formed UTF-8, decoded by the bit patterns of the standard with no
// table: the shortest form for each code point, no surrogates, nothing above U+10FFFF.
bool reference_utf8(const std::string& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t cp = 0;
        if (b < 0x80) {
            length = 1;
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            length = 2;
            cp = b & 0x1Fu;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3;
            cp = b & 0x0Fu;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4;
            cp = b & 0x07u;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        for (std::size_t j = 1; j < length; ++j) {
            const auto c = static_cast<unsigned char>(bytes[i + j]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kShortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// Whether is_utf8 agrees with the reference on `text`, alone and after ASCII padding (so the
// word-at-a-time scan hands over in the middle of the text).
bool agrees(const std::string& text) {
    for (const std::string& padded : {text, std::string(13, 'A') + text + "C"}) {
        if (velko::util::is_utf8(padded) != reference_utf8(padded)) {
            expect(false, "is_utf8 of " + hex(padded));
            return false;
        }
    }
    return true;
}

void utf8_matches_reference() {
    for (int a = 0; a < 256; ++a) {
        if (!agrees(std::string(1, static_cast<char>(a)))) return;
        for (int b = 0; b < 256; ++b) {
            if (!agrees({static_cast<char>(a), static_cast<char>(b)})) return;
        }
    }
    // Every 3-byte sequence under a multi-byte lead, and the 4-byte leads with each second
    // and third byte (the fourth only has to continue).
    for (int a = 0xC0; a < 0x100; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (int c = 0; c < 256; ++c) {
                const std::string three{static_cast<char>(a), static_cast<char>(b),
                                        static_cast<char>(c)};
                if (!agrees(three)) return;
                if (a >= 0xF0 && !agrees(three + "\x80")) return;
            }
        }
    }
}

void utf8_cut_characters() {
    using velko::util::Byte;
    using velko::util::whole_characters_end;
    struct Case {
        std::string text;
        std::optional<std::size_t> incomplete;  // whole_characters_end with more to come
        std::optional<std::size_t> complete;    // at the end of the text
    };
    const Case cases[] = {
        {"AC\xE2\x82", 2, std::nullopt},            // a euro sign cut after two bytes
        {"\xF0\x9D\x84", 0, std::nullopt},          // a 4-byte character cut after three
        {"AC\xE2\x82\xAC", 5, 5},                   // whole
        {"A\xE2\x28", std::nullopt, std::nullopt},  // no continuation makes this valid
        {"A\xC0", std::nullopt, std::nullopt},      // a byte that never leads
        {"\xED\xA0", std::nullopt, std::nullopt},   // the start of a surrogate
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const Byte*>(c.text.data());
        const auto* end = p + c.text.size();
        for (const bool complete : {false, true}) {
            const Byte* got = whole_characters_end(p, end, complete);
            const auto& want = complete ? c.complete : c.incomplete;
            const bool ok = want ? got == p + *want : got == nullptr;
            expect(ok, "whole_characters_end of " + hex(c.text) + (complete ? "(complete)" : ""));
        }
    }
}

void code_escapes() {
    const std::pair<char32_t, std::string> cases[] = {
        {0, "\\u{0}"},         {0x1f, "\\u{1f}"},         {0x7f, "\\u{7f}"},
        {0x200d, "\\u{200d}"}, {0x10ffff, "\\u{10ffff}"},
    };
    for (const auto& [cp, want] : cases) {
        std::string out = "x";
        velko::util::append_code_escape(out, cp);
        expect(out == "x" + want, "append_code_escape gives " + out);
    }
}

// Message quoting: bytes that begin no valid character are shown as bytes, one at a time, even
// where they look like the start of one; the cut counts characters, never splitting one.
void quoting_for_messages() {
    const std::pair<std::string, std::string> cases[] = {
        {"a\xff"
         "b",
         "\"a\\xffb\""},
        {"\xc3", "\"\\xc3\""},  // a lead byte at the end
        {"\xe2\x82"
         "A",
         "\"\\xe2\\x82A\""},                      // a character cut short
        {"\xed\xa0\x80", "\"\\xed\\xa0\\x80\""},  // a surrogate
        {"t\tq\"\x1b\xc3\xa9", "\"t\\tq\\\"\\u{1b}\xc3\xa9\""},
    };
    for (const auto& [text, want] : cases) {
        const std::string got = velko::util::quote_text(text);
        expect(got == want, "quote_text of " + hex(text) + "gives " + got);
    }
    expect(velko::util::quote_text("\xc3\xa9\xc3\xa9\xc3\xa9", 2) == "\"\xc3\xa9\xc3\xa9...\"",
           "quote_text cuts after two characters");
    expect(velko::util::quote_text("ab", 2) == "\"ab\"", "quote_text keeps what fits");
}

// The tables against the alphabet written out here by hand: k-mer order A C G T (the reverse
// strand's indexes rely on a complement flipping both bits of the code), pairs A-T and C-G,
// and every other byte, lower case included, not DNA and complemented to N.
void dna_tables_match_the_alphabet() {
    using velko::util::kComplement;
    using velko::util::kDnaCode;
    const std::string letters = "ACGT";
    const std::string complements = "TGCA";
    for (std::size_t byte = 0; byte < 256; ++byte) {
        const auto at = letters.find(static_cast<char>(byte));
        const bool dna = at != std::string::npos;
        const std::size_t code = dna ? at : std::size_t{velko::util::kNotDna};
        expect(kDnaCode[byte] == code, "code of byte " + std::to_string(byte));
        expect(kComplement[byte] == (dna ? complements[at] : 'N'),
               "complement of byte " + std::to_string(byte));
    }
}

std::string temp_file(const std::string& name, const std::string& content) {
    const char* dir = std::getenv("TMPDIR");
    const std::string path =
        std::string(dir ? dir : "/tmp") + "/velko_util_" + std::to_string(getpid()) + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

void failures_name_their_place() {
    using velko::util::FailureKind;
    using velko::util::FileKind;
    const std::string tophit = temp_file(
        ".tsv", "Gene Id\tTop hits (Family id,e-value,bitscore)\ng1\tA,1e-5,10\ng2\tB;1\n");
    try {
        velko::hmmer::TopHitTable table;
        velko::hmmer::read_tophit_file(tophit, table);
        expect(false, "a malformed top-hit line fails");
    } catch (const velko::util::Failure& failure) {
        expect(failure.kind == FailureKind::kFormat && failure.file == FileKind::kTopHitFile &&
                   failure.path == tophit && failure.line == 3,
               std::string("top-hit failure names the file and line 3: ") + failure.what());
    }
    const std::string fasta = temp_file(".fa", ">r1\nACGT\n>r2\nAC\xff\n");
    try {
        (void)velko::kmer::count_fasta(fasta, 2, false);
        expect(false, "a FASTA file that is not UTF-8 fails");
    } catch (const velko::util::Failure& failure) {
        expect(failure.kind == FailureKind::kFormat && failure.file == FileKind::kFasta &&
                   failure.path == fasta && failure.line == 4,
               std::string("FASTA failure names the file and line 4: ") + failure.what());
    }
    std::remove(tophit.c_str());
    std::remove(fasta.c_str());
}

void memory_bound() {
    using velko::util::MemoryNeed;
    using velko::util::MemoryRefused;
    expect(velko::util::saturating_mul(UINT64_MAX / 2, 3) == UINT64_MAX, "product saturates");
    expect(velko::util::saturating_add(UINT64_MAX, 1) == UINT64_MAX, "sum saturates");
    const std::uint64_t limit = velko::util::memory_headroom();
    expect(limit > 0 && limit < UINT64_MAX, "the memory bound reads the machine");
    bool refused = false;
    try {
        velko::util::require_memory(limit + 1, "a test");
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    expect(refused, "a peak above the bound is refused");
    velko::util::require_memory(velko::util::kUncheckedBytes - 1, [] {
        expect(false, "a small estimate is never described");
        return MemoryNeed{};
    });

    constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
    const auto text = [](std::uint64_t bytes, std::uint64_t left, const MemoryNeed& need) {
        return std::string(MemoryRefused(bytes, left, need).what());
    };
    expect(text(2 * kGiB, 3 * kGiB / 2, {.what = "k = 14", .detail = "4^14 counts"}) ==
               "k = 14 needs about 2.0 GiB (4^14 counts), more than the 1.5 GiB available",
           "refusal text with a detail");
    expect(text(412 * kGiB + kGiB / 3, 23 * kGiB, {.what = "k = 16"}) ==
               "k = 16 needs about 412 GiB, more than the 23 GiB available",
           "sizes of ten units or more are whole");
    expect(text(300, 299, {.what = "a record id"}) ==
               "a record id needs about 300 bytes, more than the 299 bytes available",
           "small sizes in bytes");
    expect(text(UINT64_MAX, kGiB, {.what = "k = 200", .exact_bytes = std::ldexp(1.0, 403)}) ==
               "k = 200 needs about 2^403 bytes, more than the 1.0 GiB available",
           "sizes beyond exbibytes as a power of two");

    // An account looks at the headroom only once its total is large, then refuses as soon as
    // the total passes it, naming what was charged last.
    velko::util::MemoryAccount account;
    account.charge(velko::util::kUncheckedBytes - 1, "small");
    expect(account.total() == velko::util::kUncheckedBytes - 1, "the account adds up");
    std::string message;
    try {
        for (int i = 0; i < 1'000'000; ++i) account.charge(limit / 8, "a slice");
    } catch (const MemoryRefused& refusal) {
        message = refusal.what();
    }
    expect(message.starts_with("a slice needs about ") && account.total() <= 2 * limit,
           "an account refuses once its total passes the headroom");
}

// The map against std::unordered_map over keys that cross its blocks: thousands of entries,
// the empty key, keys sharing prefixes, and keys longer than a block of key text, which get
// blocks of their own between blocks of short ones.
void text_map_matches_a_map() {
    velko::util::TextMap<std::uint64_t> map;
    std::unordered_map<std::string, std::uint64_t> reference;
    std::vector<std::string> order;
    const auto key_for = [](std::uint64_t i) {
        if (i % 997 == 5) return std::string(300'000 + i, static_cast<char>('a' + i % 26));
        return i % 1000 == 7 ? std::string() : "gene_" + std::to_string(i % 9000);
    };
    for (std::uint64_t i = 0; i < 20'000; ++i) {
        const std::string key = key_for(i);
        const auto [value, added] = map.try_emplace(key);
        const bool fresh = reference.emplace(key, i).second;
        expect(added == fresh, "try_emplace tells a new key at " + std::to_string(i));
        if (added) {
            *value = i;
            order.push_back(key);
        }
        expect(*value == reference.at(key), "try_emplace finds the stored value");
    }
    expect(map.size() == reference.size(), "one entry per key");
    for (const auto& [key, value] : reference) {
        const std::uint64_t* found = map.find(key);
        expect(found != nullptr && *found == value, "find sees every key");
    }
    expect(map.find("gene_9000") == nullptr && map.find(std::string(300'005, 'g')) == nullptr,
           "find misses absent keys, long ones too");
    std::size_t at = 0;
    map.for_each([&](std::string_view key, std::uint64_t value) {
        expect(at < order.size() && key == order[at] && value == reference.at(order[at]),
               "for_each visits the keys whole, in the order added, at " + std::to_string(at));
        ++at;
    });
    expect(at == order.size(), "for_each visits every entry");
}

}  // namespace

int main() {
    utf8_matches_reference();
    utf8_cut_characters();
    code_escapes();
    quoting_for_messages();
    dna_tables_match_the_alphabet();
    failures_name_their_place();
    memory_bound();
    text_map_matches_a_map();
    return finish("util_pieces");
}
