// Every deflater built in writes, at every level, gzip members that zlib reads back to the same
// text, alone or back to back, whatever the size (around the slice edge, empty, incompressible).
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "util/failure.hpp"
#include "util/gzip_member.hpp"

using velko::test::expect;
using velko::test::finish;

namespace {

using velko::util::append_gzip_member;
using velko::util::Failure;
using velko::util::FailureKind;
using velko::util::GzipCodec;

// The text of gzip members one after another, as zlib (the reference) reads them; "!" and
// zlib's reason when it finds a fault, "!trailing" when the last member stops short.
std::string gunzip(const std::string& data) {
    z_stream s{};
    if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) std::abort();
    std::string text;
    std::vector<char> out(1 << 16);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    int status = Z_OK;
    while (s.avail_in > 0) {
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = static_cast<uInt>(out.size());
        status = inflate(&s, Z_NO_FLUSH);
        text.append(out.data(), out.size() - s.avail_out);
        if (status == Z_STREAM_END) {
            if (inflateReset(&s) != Z_OK) std::abort();
        } else if (status != Z_OK) {
            text = std::string("!") + (s.msg != nullptr ? s.msg : "error");
            break;
        }
    }
    if (status == Z_OK && !data.empty()) text = "!trailing";
    inflateEnd(&s);
    return text;
}

// Rows as a k-mer table has them: small counts after tabs.
std::string table_text(std::mt19937_64& random, std::size_t size) {
    std::string text;
    while (text.size() < size) {
        text += "genome.fa\tr" + std::to_string(text.size()) + "\t1000\t0";
        for (int column = 0; column < 256; ++column) {
            text += '\t' + std::to_string(random() % 80);
        }
        text += '\n';
    }
    text.resize(size);
    return text;
}

std::string noise(std::mt19937_64& random, std::size_t size) {
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>(random());
    return text;
}

}  // namespace

int main() {
    std::mt19937_64 random(2026);
    std::vector<GzipCodec> deflaters = {GzipCodec::kZlib};
    if (velko::util::has_codec(GzipCodec::kIsal)) deflaters.push_back(GzipCodec::kIsal);
    const std::size_t slice = std::size_t{1} << 20;
    std::vector<std::pair<std::string, std::string>> texts = {
        {"empty", ""},
        {"one byte", "x"},
        {"a slice", table_text(random, slice)},
        {"a slice and a byte", table_text(random, slice + 1)},
        {"three slices and some", table_text(random, 3 * slice + 12345)},
        {"noise", noise(random, slice + 777)},
    };
    for (const GzipCodec deflater : deflaters) {
        const std::string name(velko::util::codec_name(deflater));
        for (int level = 1; level <= 9; ++level) {
            for (const auto& [label, text] : texts) {
                const std::string how = name + " level " + std::to_string(level) + ", " + label;
                std::string member;
                append_gzip_member(member, text, level, deflater);
                expect(gunzip(member) == text, how + ": reads back differently");
                expect(member.size() >= 18 && member.compare(0, 3, "\x1f\x8b\x08") == 0,
                       how + ": not a gzip member");
                // Appended after what the caller has, and the same bytes every time.
                std::string both = "prefix";
                append_gzip_member(both, text, level, deflater);
                expect(both == "prefix" + member, how + ": second member differs");
                // A chunked table: members back to back read as the whole text.
                std::string chunked;
                append_gzip_member(chunked, text.substr(0, text.size() / 2), level, deflater);
                append_gzip_member(chunked, text.substr(text.size() / 2), level, deflater);
                expect(gunzip(chunked) == text, how + ": two members read back differently");
            }
        }
        // Levels keep their order where the text compresses: 9 no larger than 1.
        std::string fast;
        std::string small;
        append_gzip_member(fast, texts[4].second, 1, deflater);
        append_gzip_member(small, texts[4].second, 9, deflater);
        expect(small.size() < fast.size(), name + ": level 9 not smaller than level 1");
        for (const int level : {0, 10, -1}) {
            std::string out = "kept";
            try {
                append_gzip_member(out, "text", level, deflater);
                expect(false, name + ": level " + std::to_string(level) + " accepted");
            } catch (const Failure& failure) {
                expect(failure.kind == FailureKind::kRefused &&
                           failure.reason ==
                               "gzip level must be from 1 to 9, not " + std::to_string(level),
                       name + ": level refusal '" + failure.reason + "'");
            }
            expect(out == "kept", name + ": a refused call changed the output");
        }
    }
    if (!velko::util::has_codec(GzipCodec::kIsal)) {
        std::string out;
        try {
            append_gzip_member(out, "text", 1, GzipCodec::kIsal);
            expect(false, "ISA-L accepted in a build without it");
        } catch (const Failure& failure) {
            expect(failure.reason == "this build has no isal deflate", failure.reason);
        }
    }
    return finish("gzip_deflaters");
}
