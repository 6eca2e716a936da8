// Writing a top-hit table to its file and reading such a file back into the table.
#include "hmmer/tophit_file.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "util/fail.hpp"
#include "util/messages.hpp"
#include "util/number_text.hpp"
#include "util/os_file.hpp"
#include "util/utf8.hpp"

namespace velko::hmmer {
namespace {

using util::kErrUnwrap;
using util::kNoneUnwrap;

constexpr std::string_view kCannotCreateDirectory = "Cannot create directory!";
constexpr std::string_view kCannotCreateFile = "Cannot create file!";
constexpr std::string_view kCannotWrite = "Cannot write to file!";
constexpr std::string_view kCannotRead = "Cannot read file!";
constexpr std::string_view kNotUtf8 =
    "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
constexpr std::string_view kGeneIdClass = "a tab or line feed";
constexpr std::string_view kHmmIdClass = "a tab, line feed, \";\" or \",\"";

// Lines are gathered into chunks of about this size before each write call.
constexpr std::size_t kWriteChunk = std::size_t{1} << 16;
constexpr std::size_t kReadBuffer = 8192;

[[noreturn]] void fail_with(std::string_view context, std::string_view description) {
    std::string message(context);
    message += ": ";
    message += description;
    fail(message);
}

// The identifier quoted with the escapes a reader needs to see what is in it.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\\0"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    util::append_code_escape(out, static_cast<unsigned char>(c));
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

// The file has no quoting: an identifier holding a separator of its own field or of an outer
// one would read back as a different table, so such a table is refused whole.
void check_identifiers(const TopHitTable& table) {
    table.for_each_gene([](std::string_view gene_id, std::span<const StoredHit>) {
        if (gene_id.find_first_of("\t\n") != std::string_view::npos) {
            fail("Cannot write gene id " + quoted(gene_id) + ": it contains " +
                 std::string(kGeneIdClass));
        }
    });
    for (const std::string& hmm_id : table.profile_names()) {
        if (hmm_id.find_first_of("\t\n;,") != std::string_view::npos) {
            fail("Cannot write profile id " + quoted(hmm_id) + ": it contains " +
                 std::string(kHmmIdClass));
        }
    }
}

// True when `a` is listed before `b`: higher bit score first, then lower e-value. NaN goes
// first so that this stays a strict weak order, which the hit ordering is not.
bool listed_before(const StoredHit& a, const StoredHit& b) {
    const bool a_nan_bit = std::isnan(a.bit_score);
    if (a_nan_bit != std::isnan(b.bit_score)) return a_nan_bit;
    if (!a_nan_bit && a.bit_score != b.bit_score) return a.bit_score > b.bit_score;
    const bool a_nan_e = std::isnan(a.e_val);
    if (a_nan_e != std::isnan(b.e_val)) return a_nan_e;
    return !a_nan_e && a.e_val < b.e_val;
}

void write_or_fail(util::OsFile& file, std::string_view bytes) {
    if (!file.write_all(bytes)) fail_os(kCannotWrite, file.error());
}

double number_or_fail(std::string_view text) {
    const util::ParsedNumber parsed = util::parse_number(text);
    if (parsed.error != util::NumberError::kNone) {
        fail_with(kErrUnwrap, util::describe(parsed.error));
    }
    return parsed.value;
}

// One gene line: the gene, a tab, the hit list up to the next tab; pieces split at ";", and
// in each piece the profile, the e-value and the bit score split at ",".
void read_line(std::string_view line, TopHitTable& table) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) fail(kNoneUnwrap);
    const std::string_view gene_id = line.substr(0, tab);
    std::string_view list = line.substr(tab + 1);
    list = list.substr(0, list.find('\t'));
    while (true) {
        const std::size_t end = list.find(';');
        const std::string_view piece = list.substr(0, end);
        const std::size_t comma = piece.find(',');
        if (comma == std::string_view::npos) fail(kNoneUnwrap);
        const std::string_view hmm_id = piece.substr(0, comma);
        const std::string_view scores = piece.substr(comma + 1);
        const std::size_t second = scores.find(',');
        // The e-value is parsed before the bit score is looked for: a bad e-value is reported
        // even when the bit score is missing too.
        const double e_val = number_or_fail(scores.substr(0, second));
        if (second == std::string_view::npos) fail(kNoneUnwrap);
        const std::string_view rest = scores.substr(second + 1);
        const double bit_score = number_or_fail(rest.substr(0, rest.find(',')));
        table.add_hit(gene_id, hmm_id, e_val, bit_score);
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
}

// Splits the file into lines: a line ends at LF, a CR right before that LF is dropped, and
// the last line needs no LF (so a trailing LF makes no empty line). A failure in a line names
// the file and the line.
class LineSplitter {
public:
    LineSplitter(std::string_view path, TopHitTable& table) : path_(path), table_(table) {}

    void feed(std::string_view bytes) {
        while (!bytes.empty()) {
            const void* found = std::memchr(bytes.data(), '\n', bytes.size());
            if (found == nullptr) {
                pending_ += bytes;
                return;
            }
            const auto length = static_cast<std::size_t>(static_cast<const char*>(found) -
                                                         bytes.data());
            if (pending_.empty()) {
                take(bytes.substr(0, length), true);
            } else {
                pending_ += bytes.substr(0, length);
                take(pending_, true);
                pending_.clear();
            }
            bytes.remove_prefix(length + 1);
        }
    }

    void finish() {
        if (!pending_.empty()) take(pending_, false);
    }

private:
    void take(std::string_view line, bool ended_by_lf) {
        ++line_number_;
        try {
            take_line(line, ended_by_lf);
        } catch (Abort& abort) {
            abort.locate({.path = std::string(path_), .line = line_number_});
            throw;
        }
    }

    void take_line(std::string_view line, bool ended_by_lf) {
        if (!util::is_utf8(line)) fail_with(kCannotRead, kNotUtf8);
        if (ended_by_lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (header_) {
            header_ = false;  // taken as the header whatever it holds
            return;
        }
        read_line(line, table_);
    }

    std::string_view path_;
    TopHitTable& table_;
    std::uint64_t line_number_ = 0;
    std::string pending_;
    bool header_ = true;
};

}  // namespace

void TopHitFile::write() const {
    const auto parent = util::parent_directory(path);
    if (!parent) fail(kNoneUnwrap);
    check_identifiers(table);
    if (const int error = util::create_directories(*parent); error != 0) {
        if (error < 0) fail_with(kCannotCreateDirectory, util::kNulByteInDataDebug);
        fail_os(kCannotCreateDirectory, error);
    }
    util::OsFile file = util::OsFile::open_write(path);
    if (file.has_nul()) fail_with(kCannotCreateFile, util::kNulByteInDataDebug);
    if (!file.is_open()) fail_os(kCannotCreateFile, file.error());
    write_or_fail(file, kTopHitHeader);

    const std::span<const std::string> names = table.profile_names();
    std::string chunk;
    chunk.reserve(kWriteChunk + 4096);
    std::vector<StoredHit> sorted;
    table.for_each_gene([&](std::string_view gene_id, std::span<const StoredHit> hits) {
        sorted.assign(hits.begin(), hits.end());
        std::sort(sorted.begin(), sorted.end(), listed_before);
        chunk += gene_id;
        chunk += '\t';
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            if (i > 0) chunk += ';';
            append_short_form(chunk, names[sorted[i].profile], sorted[i].e_val,
                              sorted[i].bit_score);
        }
        chunk += '\n';
        if (chunk.size() >= kWriteChunk) {
            write_or_fail(file, chunk);
            chunk.clear();
        }
    });
    write_or_fail(file, chunk);
}

void TopHitFile::read() {
    util::OsFile file = util::OsFile::open_read(path);
    if (file.has_nul()) fail_with(kCannotRead, util::kNulByteInDataDebug);
    if (!file.is_open()) fail_os(kCannotRead, file.error());
    LineSplitter lines(path, table);
    std::array<char, kReadBuffer> buffer;
    while (true) {
        const std::ptrdiff_t count = file.read(buffer);
        // Any read error ends the call: a path that opens but cannot be read (a directory)
        // fails the same way every time.
        if (count < 0) fail_os(kCannotRead, file.error());
        if (count == 0) break;
        lines.feed(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    }
    lines.finish();
}

}  // namespace velko::hmmer
