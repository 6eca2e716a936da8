// The FASTA reader keeps only what it hands out: long headers and long runs of white space pass
// through a bounded buffer, yet every record's id, its pieces (joined: the trimmed lines) and
// each piece's line and column are exactly those of the text, wherever the buffer's edges fall.
// Stretches (lines gathered in bulk) give the same text and places as the pieces.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fasta/reader.hpp"

namespace {

struct Line {
    std::string text;  // without its line feed
    bool header = false;
};

// White space as the reader knows it, one to three bytes each.
const std::vector<std::string> kSpaces = {
    " ",        "\t",       "\r",           "\v",           "\f",
    "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80", "\xE2\x80\x83", "\xE2\x80\xA8"};

std::string trimmed(std::string line) {
    for (;;) {
        bool cut = false;
        for (const std::string& space : kSpaces) {
            if (line.size() >= space.size() &&
                line.compare(line.size() - space.size(), space.size(), space) == 0) {
                line.resize(line.size() - space.size());
                cut = true;
                break;
            }
        }
        if (!cut) return line;
    }
}

std::string id_of(const std::string& header) {
    std::size_t end = header.size();
    for (const std::string& space : kSpaces) end = std::min(end, header.find(space));
    return header.substr(0, end);
}

std::string spaces(std::mt19937_64& rng, std::size_t length, bool one_kind) {
    std::string out;
    const std::string& only = kSpaces[rng() % kSpaces.size()];
    while (out.size() < length) out += one_kind ? only : kSpaces[rng() % kSpaces.size()];
    return out;
}

std::string letters(std::mt19937_64& rng, std::size_t length) {
    std::string out(length, 'A');
    for (char& c : out) c = "ACGT"[rng() % 4];
    return out;
}

// A file whose lines put long headers and long white-space runs across the reader's buffer.
std::vector<Line> make_lines(std::mt19937_64& rng) {
    constexpr std::size_t kBuffer = velko::fasta::Reader::kBufferSize;
    std::vector<Line> lines;
    const int records = 1 + static_cast<int>(rng() % 4);
    for (int r = 0; r < records; ++r) {
        std::string header = "r";
        header += std::to_string(r);
        if (rng() % 2 == 0) header += std::string(rng() % (3 * kBuffer), 'x');  // a long id
        if (rng() % 2 == 0) {                                                   // a description
            header += spaces(rng, 1 + rng() % 8, false);
            header += "desc";
            header += std::string(rng() % (3 * kBuffer), 'd');
        }
        lines.push_back({header, true});
        const int count = static_cast<int>(rng() % 4);
        for (int l = 0; l < count; ++l) {
            std::string line = letters(rng, rng() % 100);
            const std::size_t run = rng() % 3 == 0 ? kBuffer + rng() % (2 * kBuffer) : rng() % 40;
            line += spaces(rng, run, rng() % 2 == 0);
            if (rng() % 2 == 0) line += letters(rng, 1 + rng() % 50);  // the run lies inside
            if (rng() % 2 == 0) line += spaces(rng, rng() % 5, false);
            lines.push_back({line, false});
        }
    }
    return lines;
}

// Many ordinary lines, several buffers' worth: every length from 0 to 300 and some longer than
// a gathered line may be, CR line ends, trailing blanks, now and then a character that is not
// ASCII.
std::vector<Line> many_lines(std::mt19937_64& rng) {
    std::vector<Line> lines;
    std::size_t total = 0;
    for (int r = 0; total < 3 * velko::fasta::Reader::kBufferSize; ++r) {
        lines.push_back({"seq" + std::to_string(r) + " some description", true});
        const int count = static_cast<int>(rng() % 3000);
        for (int l = 0; l < count; ++l) {
            const std::size_t length = rng() % 50 == 0 ? 4000 + rng() % 9000 : rng() % 301;
            std::string line = letters(rng, length);
            if (rng() % 200 == 0 && !line.empty()) line.insert(rng() % line.size(), "\xC3\xA9");
            if (rng() % 10 == 0) line += spaces(rng, rng() % 4, true);
            if (rng() % 4 == 0) line += '\r';
            total += line.size() + 1;
            lines.push_back({line, false});
        }
    }
    return lines;
}

int check(std::mt19937_64& rng, int round) {
    const bool stretches = round % 2 == 1;
    const std::vector<Line> lines = round % 4 >= 2 ? many_lines(rng) : make_lines(rng);
    char path[] = "/tmp/velko-reader-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 1;
    std::string content;
    // Appended piece by piece: GCC 12 warns (falsely) about overlapping copies in a chain of +.
    for (const Line& line : lines) {
        if (line.header) content += '>';
        content += line.text;
        content += '\n';
    }
    if (rng() % 2 == 0) content.pop_back();  // a last line without a line feed
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return 1;
    close(fd);

    int failures = 0;
    velko::fasta::Reader reader(path);
    std::size_t at = 0;  // index of the next header line
    while (reader.next_record()) {
        const std::string expected_id = id_of(trimmed(lines[at].text));
        if (reader.id() != expected_id) {
            std::fprintf(stderr, "round %d: id of line %zu differs\n", round, at + 1);
            ++failures;
        }
        std::string expected, got;
        std::size_t next = at + 1;
        for (; next < lines.size() && !lines[next].header; ++next) {
            expected += trimmed(lines[next].text);
        }
        const auto check_place = [&](std::string_view piece, std::uint64_t line_number,
                                     std::uint64_t column) {
            const Line& line = lines[line_number - 1];
            if (line.text.compare(column - 1, piece.size(), piece) != 0) {
                std::fprintf(stderr, "round %d: piece at %llu:%llu is not the line's text\n", round,
                             static_cast<unsigned long long>(line_number),
                             static_cast<unsigned long long>(column));
                ++failures;
            }
        };
        std::string_view piece;
        if (stretches) {
            std::string scratch;
            std::vector<velko::fasta::PiecePlace> places;
            while (reader.next_stretch(piece, scratch, 1 + rng() % 70'000, &places)) {
                for (std::size_t p = 0; p < places.size(); ++p) {
                    const std::size_t end = p + 1 < places.size() ? places[p + 1].at : piece.size();
                    check_place(piece.substr(places[p].at, end - places[p].at), places[p].line,
                                places[p].column);
                }
                got += piece;
            }
        } else {
            // Places are checked through the stretches, the way counting takes them.
            while (reader.next_piece(piece)) got += piece;
        }
        if (got != expected) {
            std::fprintf(stderr, "round %d: sequence of record at line %zu differs\n", round,
                         at + 1);
            ++failures;
        }
        // What the reader keeps is its ids and the white space of one line, never the text
        // it only scans; a run of one character costs a few bytes however long.
        if (reader.memory().total() > (std::uint64_t{4} << 20)) {
            std::fprintf(stderr, "round %d: the reader keeps %llu bytes\n", round,
                         static_cast<unsigned long long>(reader.memory().total()));
            ++failures;
        }
        at = next;
    }
    if (at != lines.size()) {
        std::fprintf(stderr, "round %d: stopped at line %zu of %zu\n", round, at, lines.size());
        ++failures;
    }
    unlink(path);
    return failures;
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261208);
    int failures = 0;
    for (int round = 0; round < 60 && failures == 0; ++round) failures += check(rng, round);
    if (failures == 0) std::puts("reader_bounded: ok");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
