// The two HMMER 3 table layouts, their rows and comment lines, and the reader over them.
#include "hmmer/hmmer_tab.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>

#include "util/failure.hpp"
#include "util/input_stream.hpp"
#include "util/interrupt.hpp"
#include "util/number_text.hpp"
#include "util/os_file.hpp"
#include "util/quote_path.hpp"
#include "util/reserve_charged.hpp"
#include "util/utf8.hpp"

namespace velko::hmmer {
namespace {

constexpr std::size_t kReadBuffer = std::size_t{1} << 18;
// Held rows offered between two charges of what the table gained.
constexpr std::uint64_t kChargeEvery = 4096;
constexpr std::string_view kNoDomainScores =
    "a tblout (per-sequence table) has no domain scores: read a domtblout for them";

// What a fixed column holds: identifiers are taken as they are, the rest must be numbers even
// where they are not used, so that a row of another layout does not pass for one of this.
enum class Kind : std::uint8_t { kText, kWhole, kReal };

constexpr std::size_t kMostColumns = 22;

struct Layout {
    std::string_view name;
    std::string_view kind;      // what the table lists, for messages
    std::uint32_t columns = 0;  // fixed columns before the description
    std::array<Kind, kMostColumns> kinds = {};
    std::array<std::string_view, kMostColumns> headings = {};
    // 1-based positions of what a row offers.
    std::uint32_t target_name = 0, target_acc = 0, query_name = 0, query_acc = 0;
    std::uint32_t seq_e_val = 0, seq_bit_score = 0, dom_e_val = 0, dom_bit_score = 0;
    // What annotation reads besides; 0 where the layout has no such column.
    std::uint32_t target_len = 0, query_len = 0, dom_index = 0, dom_count = 0;
    std::uint32_t best_dom_e_val = 0, best_dom_bit_score = 0;
    std::uint32_t hmm_from = 0, hmm_to = 0, ali_from = 0, ali_to = 0, env_from = 0, env_to = 0;
};

// What a row offers and the headings of the column holding it, as the layouts spell them: a
// layout's positions are found by its headings, so that each layout is written once.
struct Role {
    std::uint32_t Layout::* position;
    std::string_view heading;
    std::string_view other_heading = heading;  // where layouts differ
};

constexpr std::array kRoles{
    Role{&Layout::target_name, "target name"},
    Role{&Layout::target_acc, "target accession"},
    Role{&Layout::query_name, "query name"},
    Role{&Layout::query_acc, "query accession"},
    Role{&Layout::seq_e_val, "E-value"},
    Role{&Layout::seq_bit_score, "score"},
    Role{&Layout::dom_e_val, "i-Evalue"},
    Role{&Layout::dom_bit_score, "domain score"},
    Role{&Layout::target_len, "tlen", "sq len"},
    Role{&Layout::query_len, "qlen"},
    Role{&Layout::dom_index, "#"},
    Role{&Layout::dom_count, "dom", "of"},
    Role{&Layout::best_dom_e_val, "best domain E-value"},
    Role{&Layout::best_dom_bit_score, "best domain score"},
    Role{&Layout::hmm_from, "hmm from", "hmmfrom"},
    Role{&Layout::hmm_to, "hmm to"},
    Role{&Layout::ali_from, "ali from", "alifrom"},
    Role{&Layout::ali_to, "ali to"},
    Role{&Layout::env_from, "env from", "envfrom"},
    Role{&Layout::env_to, "env to"},
};

// The layout of `headings` (its fixed columns, in order) and the `kinds` of its columns. A layout
// listing hits without domains (`hits_are_domains`) offers each hit's scores as its domain's.
// Evaluated at compile time, so a layout missing a row's names or scores does not build.
constexpr Layout layout_of_headings(std::string_view name, std::string_view kind,
                                    std::array<Kind, kMostColumns> kinds,
                                    std::array<std::string_view, kMostColumns> headings,
                                    bool hits_are_domains = false) {
    Layout layout{.name = name, .kind = kind, .kinds = kinds, .headings = headings};
    while (layout.columns < kMostColumns && !headings[layout.columns].empty()) ++layout.columns;
    for (const Role& role : kRoles) {
        for (std::uint32_t c = layout.columns; c > 0; --c) {  // the first column so headed wins
            if (headings[c - 1] == role.heading || headings[c - 1] == role.other_heading) {
                layout.*role.position = c;
            }
        }
    }
    if (hits_are_domains) {
        layout.dom_e_val = layout.seq_e_val;
        layout.dom_bit_score = layout.seq_bit_score;
    }
    if (layout.target_name == 0 || layout.target_acc == 0 || layout.query_name == 0 ||
        layout.query_acc == 0 || layout.seq_e_val == 0 || layout.seq_bit_score == 0) {
        throw std::logic_error("a table layout without the names and scores of its rows");
    }
    return layout;
}

constexpr Kind T = Kind::kText;
constexpr Kind W = Kind::kWhole;
constexpr Kind R = Kind::kReal;

// The layouts are tables: keep their lines as written.
// clang-format off
constexpr Layout kTblout = layout_of_headings(
    "tblout", "per-sequence table",
    {T, T, T, T, R, R, R, R, R, R, R, W, W, W, W, W, W, W},
    {"target name", "target accession", "query name", "query accession", "E-value",
     "score", "bias", "best domain E-value", "best domain score", "best domain bias",
     "exp", "reg", "clu", "ov", "env", "dom", "rep", "inc"});

constexpr Layout kDomtblout = layout_of_headings(
    "domtblout", "per-domain table",
    {T, T, W, T, T, W, R, R, R, W, W, R, R, R, R, W, W, W, W, W, W, R},
    {"target name", "target accession", "tlen", "query name", "query accession",
     "qlen", "E-value", "score", "bias", "#", "of", "c-Evalue", "i-Evalue",
     "domain score", "domain bias", "hmm from", "hmm to", "ali from", "ali to",
     "env from", "env to", "acc"});

// nhmmer and nhmmscan list one row per hit, with its coordinates and no domains.
constexpr Layout kNhmmerTblout = layout_of_headings(
    "tblout", "nhmmer per-hit table",
    {T, T, T, T, W, W, W, W, W, W, W, T, R, R, R},
    {"target name", "target accession", "query name", "query accession", "hmmfrom",
     "hmm to", "alifrom", "ali to", "envfrom", "env to", "sq len", "strand",
     "E-value", "score", "bias"},
    true);
// clang-format on

const Layout& layout_of(TableFormat format) {
    return format == TableFormat::kTblout ? kTblout : kDomtblout;
}

const Layout& layout_of(TableFormat format, bool nucleotide) {
    return format == TableFormat::kTblout && nucleotide ? kNhmmerTblout : layout_of(format);
}

const Layout& other_layout(TableFormat format) {
    return format == TableFormat::kTblout ? kDomtblout : kTblout;
}

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Byte classes for splitting and checking fields in one pass.
constexpr std::uint8_t kBlank = 1;
constexpr std::uint8_t kNotDigit = 2;  // breaks a whole number
constexpr std::uint8_t kNotPlain = 4;  // breaks a plain decimal (digits, point, sign, exponent)
constexpr std::uint8_t kHigh = 8;      // outside ASCII, so the field needs the UTF-8 check
constexpr std::uint8_t kDigit = 16;    // a digit: a plain decimal holds one at least

constexpr std::array<std::uint8_t, 256> kByteClass = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t c = 0; c < 256; ++c) {
        const bool digit = c >= '0' && c <= '9';
        const bool plain = digit || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
        table[c] = static_cast<std::uint8_t>((digit ? kDigit : kNotDigit) |
                                             (plain ? 0 : kNotPlain) | (c >= 0x80 ? kHigh : 0));
    }
    table[' '] = table['\t'] = kBlank | kNotDigit | kNotPlain;
    return table;
}();

std::uint8_t byte_class(char c) { return kByteClass[static_cast<unsigned char>(c)]; }

// One field and the classes of the bytes in it, or-ed together.
struct Field {
    std::string_view text;
    std::uint8_t classes = 0;
};

// The first byte at or after `at` that is not a blank. Columns are padded with long runs of
// blanks, so they are skipped eight at a time.
const char* skip_blanks(const char* at, const char* const end) {
    constexpr std::uint64_t kSpaces = 0x2020202020202020ULL;
    while (true) {
        if constexpr (std::endian::native == std::endian::little) {
            if (end - at >= 8) {
                std::uint64_t word = 0;
                std::memcpy(&word, at, 8);
                const std::uint64_t differs = word ^ kSpaces;
                if (differs == 0) {
                    at += 8;
                    continue;
                }
                at += std::countr_zero(differs) / 8;
            }
        }
        if (at == end || (byte_class(*at) & kBlank) == 0) return at;
        ++at;  // a tab, or a blank near the end
    }
}

// Splits off up to fields.size() fields separated by runs of blanks; returns how many.
std::size_t split_fields(std::string_view line, std::span<Field> fields) {
    const char* at = line.data();
    const char* const end = at + line.size();
    std::size_t count = 0;
    while (count < fields.size()) {
        at = skip_blanks(at, end);
        if (at == end) break;
        const char* const start = at;
        std::uint8_t classes = 0;
        for (; at < end; ++at) {
            const std::uint8_t c = byte_class(*at);
            if ((c & kBlank) != 0) break;
            classes |= c;
        }
        fields[count++] =
            Field{std::string_view(start, static_cast<std::size_t>(at - start)), classes};
    }
    return count;
}

bool is_whole(const Field& field) { return (field.classes & kNotDigit) == 0; }

bool is_real(const Field& field) {
    // Most fields are plain decimals; only the others need the full grammar (inf, nan). A field
    // of those letters that is still no number ("1e", "9-") passes here, which only tells the
    // layouts apart: the columns a row offers are read by number_at, which refuses it.
    return (field.classes & (kNotPlain | kDigit)) == kDigit ||
           util::parse_number(field.text).error == util::NumberError::kNone;
}

// The first fixed column that does not hold what the layout says (1-based), or 0 when the row
// fits. Too few fields count as a misfit at the first missing column.
std::uint32_t first_misfit(const Layout& layout, std::span<const Field> fields, std::size_t count) {
    const std::size_t checked = count < layout.columns ? count : layout.columns;
    for (std::size_t i = 0; i < checked; ++i) {
        const Kind kind = layout.kinds[i];
        if ((kind == Kind::kWhole && !is_whole(fields[i])) ||
            (kind == Kind::kReal && !is_real(fields[i]))) {
            return static_cast<std::uint32_t>(i + 1);
        }
    }
    return count < layout.columns ? static_cast<std::uint32_t>(count + 1) : 0;
}

// A field as shown in a message: quoted and escaped, and cut short when long (a damaged
// table can hold a field of any length).
std::string quoted(std::string_view text) { return util::quote_text(text, 40); }

std::string table_name(const Layout& layout) {
    return std::string(layout.name) + " (" + std::string(layout.kind) + ")";
}

// Whether `text` is a decimal with an optional sign, point and exponent, which number_in
// reads; other spellings (inf, nan) are left to number_in.
bool is_decimal(std::string_view text) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto sign = [](char c) { return c == '+' || c == '-'; };
    std::size_t at = 0;
    const std::size_t size = text.size();
    if (at < size && sign(text[at])) ++at;
    std::size_t digits = 0;
    for (; at < size && digit(text[at]); ++at) ++digits;
    if (at < size && text[at] == '.') {
        for (++at; at < size && digit(text[at]); ++at) ++digits;
    }
    if (digits == 0) return false;
    if (at < size && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < size && sign(text[at])) ++at;
        const std::size_t exponent_at = at;
        while (at < size && digit(text[at])) ++at;
        if (at == exponent_at) return false;
    }
    return at == size;
}

std::optional<double> number_in(std::string_view text) {
    // What from_chars takes whole it reads as parse_number would, which handles the rest (a "+",
    // a value out of range) and refuses what is no number.
    double value = 0.0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc{} && stop == text.data() + text.size()) return value;
    const util::ParsedNumber parsed = util::parse_number(text);
    if (parsed.error != util::NumberError::kNone) return std::nullopt;
    return parsed.value;
}

// The number in a column, or nothing when it is none.
std::optional<double> number_at(std::span<const Field> fields, std::uint32_t column) {
    return number_in(fields[column - 1].text);
}

constexpr std::array<std::pair<std::string_view, SearchProgram>, 6> kPrograms{{
    {"hmmsearch", SearchProgram::kHmmsearch},
    {"hmmscan", SearchProgram::kHmmscan},
    {"phmmer", SearchProgram::kPhmmer},
    {"jackhmmer", SearchProgram::kJackhmmer},
    {"nhmmer", SearchProgram::kNhmmer},
    {"nhmmscan", SearchProgram::kNhmmscan},
}};

// hmmsearch and its kin search profiles (or query sequences) against the genes.
bool profile_is_query(SearchProgram program) {
    return program != SearchProgram::kHmmscan && program != SearchProgram::kNhmmscan;
}

bool is_nucleotide(SearchProgram program) {
    return program == SearchProgram::kNhmmer || program == SearchProgram::kNhmmscan;
}

}  // namespace

HmmerTableReader::HmmerTableReader(std::string_view path, const HmmerOptions& options,
                                   TopHitTable& table)
    : HmmerTableReader(path, options, &table, nullptr) {}

HmmerTableReader::HmmerTableReader(std::string_view path, const HmmerOptions& options,
                                   RowSink& sink)
    : HmmerTableReader(path, options, nullptr, &sink) {}

HmmerTableReader::HmmerTableReader(std::string_view path, const HmmerOptions& options,
                                   TopHitTable* table, RowSink* sink)
    : path_(path), options_(options), table_(table), sink_(sink), kept_bytes_(kept_bytes()) {
    if (options.format == TableFormat::kTblout && options.score == ScoreKind::kDomain &&
        !is_nucleotide(options.program)) {
        throw util::Failure({.kind = util::FailureKind::kRefused,
                             .file = util::FileKind::kHmmerTable,
                             .path = std::string(path),
                             .reason = std::string(kNoDomainScores)});
    }
    if (options.format == TableFormat::kDomtblout && is_nucleotide(options.program)) {
        throw util::Failure(
            {.kind = util::FailureKind::kRefused,
             .file = util::FileKind::kHmmerTable,
             .path = std::string(path),
             .reason = "nhmmer and nhmmscan write no domtblout (per-domain table)"});
    }
}

bool HmmerTableReader::nucleotide(SearchProgram program) const {
    return is_nucleotide(program) || (program == SearchProgram::kFromFile &&
                                      (nucleotide_headings_ || is_nucleotide(expected_)));
}

void HmmerTableReader::fail_at(std::uint64_t line, std::uint32_t column,
                               std::string_view reason) const {
    throw util::Failure({.kind = util::FailureKind::kFormat,
                         .file = util::FileKind::kHmmerTable,
                         .path = std::string(path_),
                         .line = line,
                         .column = column,
                         .reason = std::string(reason)});
}

void HmmerTableReader::feed(std::string_view bytes) {
    lines_.feed(bytes, [this](std::string_view line) { take_line(line); });
    // What the table (or the sink) gained from this piece joins what the call keeps, so a
    // table too large for the memory left stops with MemoryError, not the kernel's killer.
    util::charge_growth(account(), kept_bytes(), kept_bytes_, kTableGrowth);
}

std::size_t HmmerTableReader::kept_bytes() const {
    return table_ != nullptr ? table_->memory_bytes() : sink_->memory_bytes();
}

void HmmerTableReader::finish() {
    lines_.finish([this](std::string_view line) { take_line(line); });
    if (!waiting_.empty() || !waiting_lines_.empty()) {
        fail_at(waiting_.empty() ? waiting_lines_.front().line : waiting_.front().line, 0,
                "no \"# Program:\" line after this row names the program that wrote it "
                "(hmmsearch or hmmscan)");
    }
}

void HmmerTableReader::take_line(std::string_view line) {
    ++line_;
    // Editors on some systems put a byte order mark first; read as text, it would shift the
    // first line's columns and fail on a field far from the cause.
    if (line_ == 1 && line.starts_with("\xEF\xBB\xBF")) {
        fail_at(1, 1, "the file starts with a UTF-8 byte order mark (BOM): save it without one");
    }
    std::size_t first = 0;
    while (first < line.size() && is_blank(line[first])) ++first;
    if (first == line.size()) return;
    if (line[first] == '#') {
        take_comment(line);
    } else {
        take_row(line);
    }
}

void HmmerTableReader::take_comment(std::string_view line) {
    std::array<Field, 8> fields;
    const std::size_t count = split_fields(line, fields);
    std::array<std::string_view, 8> words;
    for (std::size_t i = 0; i < count; ++i) words[i] = fields[i].text;
    if (count >= 3 && words[0] == "#" && words[1] == "Program:") {
        const std::string_view name = words[2];
        SearchProgram program = SearchProgram::kFromFile;
        for (const auto& [known_name, known] : kPrograms) {
            if (name == known_name) program = known;
        }
        if (options_.program != SearchProgram::kFromFile) {
            // The caller's word stands, for tables whose program line is missing or wrong;
            // a layout that does not fit shows in the rows themselves.
            offer_waiting(options_.program);
            return;
        }
        if (program == SearchProgram::kFromFile) {
            fail_at(line_, 3,
                    "the table was written by " + quoted(name) +
                        ", not by a HMMER search program (hmmsearch, hmmscan, phmmer, "
                        "jackhmmer, nhmmer or nhmmscan)");
        }
        // Rows of an nhmmer table without its headings have failed as protein rows already.
        if (nucleotide_headings_ && !is_nucleotide(program)) {
            fail_at(line_, 3,
                    "the table was written by " + std::string(name) +
                        ", yet its column headings are nhmmer's");
        }
        if (expected_ != SearchProgram::kFromFile && expected_ != program) {
            fail_at(line_, 3, "the table names a second program, " + std::string(name));
        }
        offer_waiting(program);
        return;
    }
    // The column headings tell the layouts apart: "tlen" follows the target accession in a
    // per-domain table, "query name" in the others, and nhmmer's tables go on with "hmmfrom".
    if (count >= 8 && words[0] == "#" && words[1] == "target" && words[2] == "name" &&
        words[3] == "accession") {
        const bool domain = words[4] == "tlen";
        const bool nucleotide_table = words[4] == "query" && words[7] == "hmmfrom";
        const Layout& expected = layout_of(options_.format);
        const bool nucleotide_allowed =
            options_.format == TableFormat::kTblout &&
            (options_.program == SearchProgram::kFromFile || is_nucleotide(options_.program));
        if (nucleotide_table && !nucleotide_allowed) {
            fail_at(line_, 8,
                    "these column headings are those of an nhmmer table, not a " +
                        table_name(expected));
        }
        if (nucleotide_table) {
            nucleotide_headings_ = true;
            return;
        }
        if (domain != (options_.format == TableFormat::kDomtblout)) {
            fail_at(line_, 5,
                    "these column headings are those of a " +
                        table_name(other_layout(options_.format)) + ", not a " +
                        table_name(expected));
        }
    }
}

void HmmerTableReader::take_row(std::string_view line) {
    const Layout& layout = layout_of(options_.format, nucleotide(options_.program));
    std::array<Field, kMostColumns> fields;
    const std::size_t count = split_fields(line, std::span<Field>(fields.data(), layout.columns));
    if (const std::uint32_t misfit = first_misfit(layout, fields, count); misfit != 0) {
        const Layout& other = other_layout(options_.format);
        std::array<Field, kMostColumns> other_fields;
        const std::size_t other_count = split_fields(line, other_fields);
        if (&layout != &kNhmmerTblout && first_misfit(other, other_fields, other_count) == 0) {
            fail_at(line_, misfit,
                    "this row is from a " + table_name(other) + ", not a " + table_name(layout));
        }
        if (misfit > count) {
            fail_at(line_, misfit,
                    "too few columns: a " + std::string(layout.name) + " row has " +
                        std::to_string(layout.columns) + " before its description, this one " +
                        std::to_string(count));
        }
        const std::string_view what =
            layout.kinds[misfit - 1] == Kind::kWhole ? "a whole number" : "a number";
        fail_at(line_, misfit,
                std::string(layout.headings[misfit - 1]) + " " + quoted(fields[misfit - 1].text) +
                    " is not " + std::string(what));
    }
    for (const std::uint32_t column :
         {layout.target_name, layout.target_acc, layout.query_name, layout.query_acc}) {
        const Field& field = fields[column - 1];
        if ((field.classes & kHigh) != 0 && !util::is_utf8(field.text)) {
            fail_at(line_, column,
                    std::string(layout.headings[column - 1]) + " " +
                        quoted(fields[column - 1].text) + " is not UTF-8");
        }
    }
    if (sink_ != nullptr) {
        const SearchProgram program =
            options_.program == SearchProgram::kFromFile ? expected_ : options_.program;
        if (program == SearchProgram::kFromFile) {
            hold(waiting_lines_, line.size());
            waiting_lines_.push_back(WaitingLine{line_, text_.size(), line.size()});
            text_ += line;
        } else {
            std::array<std::string_view, kMostColumns> texts;
            for (std::size_t i = 0; i < layout.columns; ++i) texts[i] = fields[i].text;
            offer_row(program, line_, line, texts);
        }
        return;
    }
    const bool by_domain = options_.score == ScoreKind::kDomain;
    const auto read_number = [&](std::uint32_t column) {
        const std::optional<double> value = number_at(fields, column);
        if (!value) {
            fail_at(line_, column,
                    std::string(layout.headings[column - 1]) + " " +
                        quoted(fields[column - 1].text) + " is not a number");
        }
        return *value;
    };
    const double e_val = read_number(by_domain ? layout.dom_e_val : layout.seq_e_val);
    const double bit_score = read_number(by_domain ? layout.dom_bit_score : layout.seq_bit_score);
    const std::string_view target_name = fields[layout.target_name - 1].text;
    const std::string_view target_acc = fields[layout.target_acc - 1].text;
    const std::string_view query_name = fields[layout.query_name - 1].text;
    const std::string_view query_acc = fields[layout.query_acc - 1].text;
    const SearchProgram program =
        options_.program == SearchProgram::kFromFile ? expected_ : options_.program;
    if (program != SearchProgram::kFromFile) {
        offer(program, line_, target_name, target_acc, query_name, query_acc, e_val, bit_score);
        return;
    }
    hold(waiting_, target_name.size() + target_acc.size() + query_name.size() + query_acc.size());
    Waiting waiting{line_, text_.size(), {}, e_val, bit_score};
    std::size_t i = 0;
    for (const std::string_view text : {target_name, target_acc, query_name, query_acc}) {
        waiting.length[i++] = static_cast<std::uint32_t>(text.size());
        text_ += text;
    }
    waiting_.push_back(waiting);
}

std::string_view HmmerTableReader::profile_id(SearchProgram program, std::uint64_t line,
                                              std::string_view name, std::string_view acc) const {
    if (options_.hmm == ProfileKey::kName) return name;
    if (acc != "-") return acc;
    if (options_.hmm == ProfileKey::kAccessionOrName) return name;
    const Layout& layout = layout_of(options_.format, nucleotide(options_.program));
    const std::uint32_t column = profile_is_query(program) ? layout.query_acc : layout.target_acc;
    fail_at(line, column,
            "the profile " + quoted(name) + " has no accession (" +
                std::string(layout.headings[column - 1]) + " is \"-\")");
}

void HmmerTableReader::offer(SearchProgram program, std::uint64_t line,
                             std::string_view target_name, std::string_view target_acc,
                             std::string_view query_name, std::string_view query_acc, double e_val,
                             double bit_score) {
    const bool search = profile_is_query(program);
    const std::string_view gene_id = search ? target_name : query_name;
    const std::string_view hmm_id = search ? profile_id(program, line, query_name, query_acc)
                                           : profile_id(program, line, target_name, target_acc);
    table_->add_hit(gene_id, hmm_id, e_val, bit_score);
}

void HmmerTableReader::offer_row(SearchProgram program, std::uint64_t line, std::string_view text,
                                 std::span<const std::string_view> fields) {
    const Layout& layout = layout_of(options_.format, nucleotide(options_.program));
    const bool search = profile_is_query(program);
    const auto at = [&](std::uint32_t column) { return fields[column - 1]; };
    TableRow row;
    row.line = line;
    row.gene_id = at(search ? layout.target_name : layout.query_name);
    row.gene_acc = at(search ? layout.target_acc : layout.query_acc);
    row.hmm_name = at(search ? layout.query_name : layout.target_name);
    row.hmm_acc = at(search ? layout.query_acc : layout.target_acc);
    row.hmm_id = profile_id(program, line, row.hmm_name, row.hmm_acc);
    // A field of number letters that is no number ("1e", "9-") passed the layout check; read as
    // 0 it would make a best hit, so it is refused here.
    const auto real = [&](std::uint32_t column) {
        if (column == 0) return std::numeric_limits<double>::quiet_NaN();
        const std::optional<double> value = number_in(fields[column - 1]);
        if (!value) {
            fail_at(line, column,
                    std::string(layout.headings[column - 1]) + " " + quoted(fields[column - 1]) +
                        " is not a number");
        }
        return *value;
    };
    // The names and scores first: a sink that keeps few rows reads the rest of those alone.
    const bool by_domain = options_.score == ScoreKind::kDomain;
    const bool domains = layout.dom_e_val != 0;
    row.has_domains = domains;
    row.seq_e_val = real(layout.seq_e_val);
    row.seq_bit_score = real(layout.seq_bit_score);
    row.dom_bit_score = real(domains ? layout.dom_bit_score : layout.best_dom_bit_score);
    // Converting a decimal costs more than the rest of its field's work: one that nothing
    // reads is only checked to be one.
    const std::uint32_t dom_e_column = domains ? layout.dom_e_val : layout.best_dom_e_val;
    if (by_domain || sink_->reads_domain_e_value() || !is_decimal(fields[dom_e_column - 1])) {
        row.dom_e_val = real(dom_e_column);
    } else {
        row.dom_e_val = std::numeric_limits<double>::quiet_NaN();
    }
    row.e_val = by_domain ? row.dom_e_val : row.seq_e_val;
    row.bit_score = by_domain ? row.dom_bit_score : row.seq_bit_score;
    if (!sink_->wants(row)) return;
    // The row has passed first_misfit, so a whole column holds digits alone; only too many of
    // them can fail.
    const auto whole = [&](std::uint32_t column) {
        if (column == 0) return std::uint64_t{0};
        const std::string_view digits = fields[column - 1];
        std::uint64_t value = 0;
        const auto [stop, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc{}) {
            fail_at(
                line, column,
                std::string(layout.headings[column - 1]) + " " + quoted(digits) + " is too large");
        }
        return value;
    };
    const std::uint32_t gene_length_column = search ? layout.target_len : layout.query_len;
    const std::uint32_t hmm_length_column = search ? layout.query_len : layout.target_len;
    row.gene_length = whole(gene_length_column);
    row.hmm_length = whole(hmm_length_column);
    row.hmm_from = whole(layout.hmm_from);
    row.hmm_to = whole(layout.hmm_to);
    row.ali_from = whole(layout.ali_from);
    row.ali_to = whole(layout.ali_to);
    // A domain lies on its profile and on its gene, start before end: coordinates that do not
    // would make a coverage past 100 % that passes any filter.
    const auto check_span = [&](std::uint32_t from_column, std::uint64_t from,
                                std::uint32_t to_column, std::uint64_t to,
                                std::uint32_t length_column, std::uint64_t length) {
        for (const auto& [column, value] :
             {std::pair{from_column, from}, std::pair{to_column, to}}) {
            if (value < 1 || value > length) {
                fail_at(line, column,
                        std::string(layout.headings[column - 1]) + " " + std::to_string(value) +
                            " is outside 1.." + std::to_string(length) + " (" +
                            std::string(layout.headings[length_column - 1]) + ")");
            }
        }
        if (from > to) {
            fail_at(line, from_column,
                    std::string(layout.headings[from_column - 1]) + " " + std::to_string(from) +
                        " is after " + std::string(layout.headings[to_column - 1]) + " " +
                        std::to_string(to));
        }
    };
    const bool per_domain = &layout == &kDomtblout;
    if (per_domain) {
        check_span(layout.hmm_from, row.hmm_from, layout.hmm_to, row.hmm_to, hmm_length_column,
                   row.hmm_length);
        check_span(layout.ali_from, row.ali_from, layout.ali_to, row.ali_to, gene_length_column,
                   row.gene_length);
    }
    if (sink_->reads_every_column()) {
        const std::string_view last = fields[layout.columns - 1];
        const auto rest_at = static_cast<std::size_t>(last.data() + last.size() - text.data());
        std::string_view rest = text.substr(rest_at);
        while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
        while (!rest.empty() && is_blank(rest.back())) rest.remove_suffix(1);
        if (!util::is_utf8(rest)) {
            fail_at(line, layout.columns + 1, "the description " + quoted(rest) + " is not UTF-8");
        }
        row.description = rest;
        row.dom_index = whole(layout.dom_index);
        row.dom_count = whole(layout.dom_count);
        row.env_from = whole(layout.env_from);
        row.env_to = whole(layout.env_to);
        if (per_domain) {
            check_span(layout.env_from, row.env_from, layout.env_to, row.env_to, gene_length_column,
                       row.gene_length);
        }
        if (&layout == &kNhmmerTblout) {
            row.dom_index = 1;
            row.dom_count = 1;
        }
    }
    sink_->take(row);
}

void HmmerTableReader::offer_waiting(SearchProgram program) {
    const std::string_view text = text_;
    for (const Waiting& row : waiting_) {
        std::array<std::string_view, 4> parts;
        std::size_t at = row.text_at;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            parts[i] = text.substr(at, row.length[i]);
            at += row.length[i];
        }
        offer(program, row.line, parts[0], parts[1], parts[2], parts[3], row.e_val, row.bit_score);
        util::poll_interrupt(at - row.text_at + sizeof(Waiting));
        charge_now_and_then();
    }
    waiting_.clear();
    const Layout& layout = layout_of(options_.format, nucleotide(options_.program));
    for (const auto& [line, text_at, size] : waiting_lines_) {
        const std::string_view text_line = text.substr(text_at, size);
        std::array<Field, kMostColumns> fields;
        split_fields(text_line, std::span<Field>(fields.data(), layout.columns));
        std::array<std::string_view, kMostColumns> texts;
        for (std::size_t i = 0; i < layout.columns; ++i) texts[i] = fields[i].text;
        offer_row(program, line, text_line, texts);
        util::poll_interrupt(size + sizeof(WaitingLine));
        charge_now_and_then();
    }
    // The held rows are all in the table now: their memory goes back, to the account too.
    const std::size_t held = waiting_.capacity() * sizeof(Waiting) +
                             waiting_lines_.capacity() * sizeof(WaitingLine) + text_.capacity();
    waiting_ = {};
    waiting_lines_ = {};
    text_ = {};
    account().release(held);
}

void HmmerTableReader::charge_now_and_then() {
    // The table grows from every held row while they are all still there: it is charged as it
    // goes, not once the piece that ended with the "# Program:" line is done.
    if (++offered_ % kChargeEvery == 0) {
        util::charge_growth(account(), kept_bytes(), kept_bytes_, kTableGrowth);
    }
}

template <class Rows>
void HmmerTableReader::hold(Rows& rows, std::size_t text) {
    // HMMER writes the program after the rows, so a table read without one is held whole:
    // a large one must stop at what the call may keep, saying how to stream it instead.
    const auto need = [] {
        return util::MemoryNeed{.what = "a HMMER table held until its \"# Program:\" line",
                                .detail = "name the program to read its rows as they come"};
    };
    util::reserve_charged(account(), rows, 1, need);
    util::reserve_charged(account(), text_, text, need);
}

namespace {

void read_into(std::string_view path, HmmerTableReader& reader) {
    util::read_pieces(path, util::FileKind::kHmmerTable, kReadBuffer,
                      [&reader](std::string_view piece) { reader.feed(piece); });
    reader.finish();
}

std::optional<SearchProgram> program_at_end(std::string_view path);

}  // namespace

void read_hmmer_file(std::string_view path, const HmmerOptions& options, TopHitTable& table,
                     util::MemoryAccount* account) {
    HmmerTableReader reader(path, options, table);
    if (account != nullptr) reader.share_account(*account);
    if (options.program == SearchProgram::kFromFile) {
        if (const auto program = program_at_end(path)) reader.expect_program(*program);
    }
    read_into(path, reader);
}

namespace {

// The program named by the last "# Program:" line near the end of a plain file, when there is
// one. HMMER writes that line after the rows; known first, it lets the rows go straight on
// instead of waiting whole in memory.
std::optional<SearchProgram> program_at_end(std::string_view path) {
    constexpr std::size_t kTail = 16384;
    std::error_code error;
    // Only a regular file is opened here: opening a FIFO to look would take the writer waiting
    // on it from the read that follows.
    if (!std::filesystem::is_regular_file(std::string(path), error)) return std::nullopt;
    util::OsFile file = util::OsFile::open_read(path);
    const std::uintmax_t size = std::filesystem::file_size(std::string(path), error);
    if (!file.is_open() || !file.is_regular() || error) return std::nullopt;
    std::array<char, 2> magic{};
    if (file.read_at(magic, 0) == 2 && magic[0] == '\x1f' && magic[1] == '\x8b') {
        return std::nullopt;  // gzip: its end is not text
    }
    std::string tail(static_cast<std::size_t>(std::min<std::uintmax_t>(size, kTail)), '\0');
    const std::ptrdiff_t count = file.read_at(tail, size - tail.size());
    if (count < 0) return std::nullopt;
    tail.resize(static_cast<std::size_t>(count));
    const std::size_t at = tail.rfind("\n# Program:");
    if (at == std::string::npos) return std::nullopt;
    std::array<Field, 3> fields;
    const std::size_t end = tail.find('\n', at + 1);
    const std::string_view line = std::string_view(tail).substr(at + 1, end - at - 1);
    if (split_fields(line, fields) < 3) return std::nullopt;
    for (const auto& [name, program] : kPrograms) {
        if (fields[2].text == name) return program;
    }
    return std::nullopt;
}

}  // namespace

void read_hmmer_file(std::string_view path, const HmmerOptions& options, RowSink& sink,
                     util::MemoryAccount* account) {
    HmmerTableReader reader(path, options, sink);
    if (account != nullptr) reader.share_account(*account);
    if (options.program == SearchProgram::kFromFile) {
        if (const auto program = program_at_end(path)) reader.expect_program(*program);
    }
    read_into(path, reader);
}

}  // namespace velko::hmmer
