// The FASTA reader on arbitrary bytes: it never crashes, every sequence it hands out is UTF-8,
// and its records and its error equal those of a plain line-by-line reference reading, whether
// the sequence is taken a piece or a stretch at a time.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fasta/reader.hpp"

namespace {

struct Record {
    std::string id, seq;
    bool operator==(const Record&) const = default;
};

struct Reading {
    std::vector<Record> records;  // records whose sequence ended
    std::string error;            // empty when the file ended normally
    bool operator==(const Reading&) const = default;
};

// Decodes one line strictly (as Python's bytes.decode would); nullopt when it is not UTF-8.
std::optional<std::vector<char32_t>> decode(const std::string& line) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < line.size();) {
        const auto b = static_cast<unsigned char>(line[i]);
        std::size_t n = b < 0x80         ? 1
                        : (b >> 5) == 6  ? 2
                        : (b >> 4) == 14 ? 3
                        : (b >> 3) == 30 ? 4
                                         : 0;
        if (n == 0 || i + n > line.size()) return std::nullopt;
        char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
        for (std::size_t j = 1; j < n; ++j) {
            const auto cont = static_cast<unsigned char>(line[i + j]);
            if ((cont & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (cont & 0x3F);
        }
        const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < smallest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
        out.push_back(c);
        i += n;
    }
    return out;
}

bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string encode(const std::vector<char32_t>& text, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        const char32_t c = text[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Reading reference(const std::string& bytes) {
    Reading out;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t lf = bytes.find('\n', at);
        const std::size_t end = lf == std::string::npos ? bytes.size() : lf;
        lines.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    std::optional<Record> current;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const auto text = decode(lines[n]);
        if (!text) {
            out.error = "stream did not contain valid UTF-8";
            return out;
        }
        std::size_t end = text->size();
        while (end > 0 && is_space((*text)[end - 1])) --end;
        const bool header = !text->empty() && (*text)[0] == U'>';
        if (n == 0 && !header) {
            out.error = "Expected > at record start.";
            return out;
        }
        if (header) {
            if (current) out.records.push_back(*current);
            std::size_t id_end = 1;
            while (id_end < end && !is_space((*text)[id_end])) ++id_end;
            current = Record{encode(*text, 1, id_end), {}};
        } else {
            current->seq += encode(*text, 0, end);
        }
    }
    if (current) out.records.push_back(*current);
    return out;
}

// With `stretch` > 0, the sequence is taken in stretches of at least that many bytes.
Reading read(const std::string& path, std::size_t stretch) {
    Reading out;
    try {
        velko::fasta::Reader reader(path);
        std::string scratch;
        while (reader.next_record()) {
            Record record{std::string(reader.id()), {}};
            std::string_view piece;
            while (stretch > 0 ? reader.next_stretch(piece, scratch, stretch)
                               : reader.next_piece(piece)) {
                if (piece.empty()) std::abort();
                record.seq += piece;
            }
            if (!decode(record.seq)) std::abort();
            out.records.push_back(std::move(record));
        }
    } catch (const velko::util::Failure& error) {
        out.error = error.what();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const int fd = memfd_create("fasta", MFD_CLOEXEC);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const Reading expected = reference(bytes);
    if (!(read(path, 0) == expected)) std::abort();
    if (!(read(path, 1 + size % 200) == expected)) std::abort();
    close(fd);
    return 0;
}
