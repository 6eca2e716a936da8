// Writing a top-hit table to its file and reading such a file back into the table.
#include "hmmer/tophit_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"
#include "util/number_text.hpp"
#include "util/os_file.hpp"
#include "util/quote_path.hpp"
#include "util/reserve_charged.hpp"
#include "util/utf8.hpp"

namespace velko::hmmer {
namespace {

using util::FileStep;

constexpr std::string_view kGeneIdClass = "a tab or line feed";
constexpr std::string_view kHmmIdClass = "a tab, line feed, \";\" or \",\"";

// Lines are gathered into chunks of about this size before each write call.
constexpr std::size_t kWriteChunk = std::size_t{1} << 16;
// The device starts on each this many bytes while the next are formatted, so that the final
// sync waits only for the tail.
constexpr std::size_t kWritebackEvery = std::size_t{8} << 20;
constexpr std::size_t kReadBuffer = 8192;

// The identifier quoted with the escapes a reader needs to see what is in it.
std::string quoted(std::string_view text) { return util::quote_text(text); }

// The plain-words reason for a line that does not read.
std::string describe_fault(TopHitFault fault, std::string_view piece) {
    switch (fault) {
        case TopHitFault::kNotUtf8:
            return "the line is not UTF-8";
        case TopHitFault::kNoTab:
            return "no tab after the gene id";
        case TopHitFault::kNoComma:
            if (piece.empty()) return "an empty hit in the hit list";
            return "hit " + quoted(piece) + " has no \",\" after its profile id";
        case TopHitFault::kNoBitScore:
            return "hit " + quoted(piece) + " has no bit score";
        case TopHitFault::kBadNumber:
            return quoted(piece) + " is not a number";
    }
    return {};
}

// The system refused `step` on the file at `path`; the surfaces name the step.
[[noreturn]] void fail_step(FileStep step, std::string_view path, int error,
                            util::SourceLocation origin = util::SourceLocation::current()) {
    throw util::os_failure(util::FileKind::kTopHitFile, step, path, error, origin);
}

// A table the file cannot hold, refused before the file system is touched.
[[noreturn]] void refuse(std::string reason,
                         util::SourceLocation origin = util::SourceLocation::current()) {
    throw util::Failure({.kind = util::FailureKind::kRefused,
                         .file = util::FileKind::kTopHitFile,
                         .reason = std::move(reason)},
                        origin);
}

// The file has no quoting: an identifier holding a separator of its own field or of an outer
// one would read back as a different table, so such a table is refused whole.
void check_identifiers(const TopHitTable& table) {
    table.for_each_gene([](std::string_view gene_id, std::span<const StoredHit>) {
        if (gene_id.find_first_of("\t\n") != std::string_view::npos) {
            refuse("Cannot write gene id " + quoted(gene_id) + ": it contains " +
                   std::string(kGeneIdClass));
        }
    });
    for (const std::string& hmm_id : table.profile_names()) {
        if (hmm_id.find_first_of("\t\n;,") != std::string_view::npos) {
            refuse("Cannot write profile id " + quoted(hmm_id) + ": it contains " +
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

void write_or_throw(util::OsFile& file, std::string_view path, std::string_view bytes) {
    if (!file.write_all(bytes)) fail_step(FileStep::kWrite, path, file.error());
}

// The header and the table's lines, in chunks of about kWriteChunk bytes.
void write_lines(util::OsFile& file, std::string_view path, const TopHitTable& table) {
    write_or_throw(file, path, kTopHitHeader);
    const std::span<const std::string> names = table.profile_names();
    std::string chunk;
    chunk.reserve(kWriteChunk + 4096);
    std::vector<StoredHit> sorted;
    std::size_t since_writeback = 0;
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
            write_or_throw(file, path, chunk);
            util::poll_interrupt(chunk.size());
            since_writeback += chunk.size();
            chunk.clear();
            if (since_writeback >= kWritebackEvery) {
                file.start_writeback();
                since_writeback = 0;
            }
        }
    });
    write_or_throw(file, path, chunk);
}

// Splits the file into lines: a line ends at LF, a CR right before that LF is dropped, and
// the last line needs no LF (so a trailing LF makes no empty line). A failure in a line names
// the file and the line.
class LineSplitter {
public:
    LineSplitter(std::string_view path, TopHitTable& table) : path_(path), table_(table) {}

    void feed(std::string_view bytes) {
        if (header_) bytes = scan_header(bytes);
        while (!bytes.empty()) {
            const void* found = std::memchr(bytes.data(), '\n', bytes.size());
            if (found == nullptr) {
                keep(bytes);
                return;
            }
            const auto length =
                static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
            if (pending_.empty()) {
                take(bytes.substr(0, length), true);
            } else {
                keep(bytes.substr(0, length));
                take(pending_, true);
                pending_.clear();
            }
            bytes.remove_prefix(length + 1);
        }
    }

    void finish() {
        if (!pending_.empty()) take(pending_, false);
    }

    // What the table gained from the last piece joins what the call keeps, so a file too
    // large for the memory left stops with MemoryError, not the kernel's killer.
    void charge_table() {
        util::charge_growth(memory_, table_.memory_bytes(), table_bytes_, kTableGrowth);
    }

private:
    // The first line is never used, so it is only checked as it passes, whatever its length:
    // pending_ holds no more than a character cut by the end of `bytes`. Returns what follows
    // the line.
    std::string_view scan_header(std::string_view bytes) {
        const void* found = std::memchr(bytes.data(), '\n', bytes.size());
        const std::size_t length =
            found == nullptr
                ? bytes.size()
                : static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
        pending_ += bytes.substr(0, length);
        const auto* start = reinterpret_cast<const util::Byte*>(pending_.data());
        const util::Byte* whole =
            util::whole_characters_end(start, start + pending_.size(), found != nullptr);
        if (whole == nullptr || found != nullptr) {
            // Either way the line is taken as a whole now: refused (not UTF-8) or skipped.
            take(whole == nullptr ? std::string_view(pending_) : std::string_view(), true);
            pending_.clear();
            return found == nullptr ? std::string_view() : bytes.substr(length + 1);
        }
        pending_.erase(0, static_cast<std::size_t>(whole - start));
        return {};
    }

    // Appends to the line being gathered, which the call's memory account must allow.
    void keep(std::string_view bytes) {
        util::reserve_charged(memory_, pending_, bytes.size(), "a line of the top-hit file");
        pending_ += bytes;
    }

    [[noreturn]] void fault(TopHitFault kind, std::string_view piece = {},
                            util::NumberError number = util::NumberError::kNone) const {
        throw util::Failure({.kind = util::FailureKind::kFormat,
                             .file = util::FileKind::kTopHitFile,
                             .path = std::string(path_),
                             .line = line_,
                             .reason = describe_fault(kind, piece),
                             .piece = std::string(piece),
                             .fault = static_cast<int>(kind),
                             .number = number});
    }

    void take(std::string_view line, bool ended_by_lf) {
        ++line_;
        if (!util::is_utf8(line)) fault(TopHitFault::kNotUtf8);
        if (ended_by_lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (header_) {
            header_ = false;  // taken as the header whatever it holds
            return;
        }
        read_line(line);
    }

    double number(std::string_view text) const {
        const util::ParsedNumber parsed = util::parse_number(text);
        if (parsed.error != util::NumberError::kNone) {
            fault(TopHitFault::kBadNumber, text, parsed.error);
        }
        return parsed.value;
    }

    void read_line(std::string_view line);

    std::string_view path_;
    TopHitTable& table_;
    std::size_t table_bytes_ = table_.memory_bytes();  // when last charged
    std::string pending_;
    std::uint64_t line_ = 0;
    bool header_ = true;
    util::MemoryAccount memory_;
};

// One gene line: the gene, a tab, the hit list up to the next tab; pieces split at ";", and
// in each piece the profile, the e-value and the bit score split at ",".
void LineSplitter::read_line(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) fault(TopHitFault::kNoTab);
    const std::string_view gene_id = line.substr(0, tab);
    std::string_view list = line.substr(tab + 1);
    list = list.substr(0, list.find('\t'));
    while (true) {
        const std::size_t end = list.find(';');
        const std::string_view piece = list.substr(0, end);
        const std::size_t comma = piece.find(',');
        if (comma == std::string_view::npos) fault(TopHitFault::kNoComma, piece);
        const std::string_view hmm_id = piece.substr(0, comma);
        const std::string_view scores = piece.substr(comma + 1);
        const std::size_t second = scores.find(',');
        // The e-value is parsed before the bit score is looked for: a bad e-value is reported
        // even when the bit score is missing too.
        const double e_val = number(scores.substr(0, second));
        if (second == std::string_view::npos) fault(TopHitFault::kNoBitScore, piece);
        const std::string_view rest = scores.substr(second + 1);
        const double bit_score = number(rest.substr(0, rest.find(',')));
        table_.add_hit(gene_id, hmm_id, e_val, bit_score);
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
}

}  // namespace

void write_tophit_file(std::string_view path, const TopHitTable& table) {
    const auto parent = util::parent_directory(path);
    if (!parent) fail_step(FileStep::kCreateFile, path, path.empty() ? ENOENT : EISDIR);
    check_identifiers(table);
    if (const int error = util::create_directories(*parent); error != 0) {
        fail_step(FileStep::kCreateDirectory, path, error < 0 ? 0 : error);
    }
    // A regular file is replaced only once the new one is complete and on the device: a
    // failure part way leaves the old file as it was, and the temporary goes away as the
    // failure unwinds.
    util::ReplacingFile out(path);
    if (!out.is_open()) fail_step(FileStep::kCreateFile, path, out.error());
    write_lines(out.file(), path, table);
    if (!out.finish_writing()) fail_step(FileStep::kWrite, path, out.error());
    if (const int error = out.replace(); error != 0) {
        fail_step(FileStep::kCreateFile, path, error);
    }
}

void read_tophit_file(std::string_view path, TopHitTable& table) {
    util::OsFile file = util::OsFile::open_read(path);
    if (!file.is_open()) fail_step(FileStep::kRead, path, file.error());
    LineSplitter lines(path, table);
    std::array<char, kReadBuffer> buffer;
    while (true) {
        const std::ptrdiff_t count = file.read(buffer);
        // Any read error ends the call: a path that opens but cannot be read (a directory)
        // fails the same way every time.
        if (count < 0) fail_step(FileStep::kRead, path, file.error());
        if (count == 0) break;
        lines.feed(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
        lines.charge_table();
        util::poll_interrupt(static_cast<std::size_t>(count));
    }
    lines.finish();
}

}  // namespace velko::hmmer
