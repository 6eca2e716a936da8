// Reading the cutoffs of HMMER 3 profile files: the header of each profile, the model skipped.
#include "hmmer/cutoffs.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

#include "util/failure.hpp"
#include "util/input_stream.hpp"
#include "util/number_text.hpp"
#include "util/quote_path.hpp"

namespace velko::hmmer {
namespace {

constexpr std::size_t kReadBuffer = std::size_t{1} << 18;

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

struct Word {
    std::string_view text;
    std::uint32_t column = 0;  // 1-based
};

// The blank-separated words of a line, at most `most`.
std::vector<Word> words_of(std::string_view line, std::size_t most) {
    std::vector<Word> words;
    std::size_t at = 0;
    while (words.size() < most) {
        while (at < line.size() && is_blank(line[at])) ++at;
        if (at == line.size()) break;
        const std::size_t start = at;
        while (at < line.size() && !is_blank(line[at])) ++at;
        words.push_back({line.substr(start, at - start), static_cast<std::uint32_t>(start + 1)});
    }
    return words;
}

// The kind whose line starts with `tag`, if any.
std::optional<CutoffKind> kind_of_tag(std::string_view tag) {
    for (const CutoffName& entry : kCutoffNames) {
        if (entry.tag == tag) return entry.kind;
    }
    return std::nullopt;
}

}  // namespace

std::string_view cutoff_tag(CutoffKind kind) {
    for (const CutoffName& entry : kCutoffNames) {
        if (entry.kind == kind) return entry.tag;
    }
    return {};
}

const std::optional<Cutoff>& ProfileCutoffs::of(CutoffKind kind) const {
    switch (kind) {
        case CutoffKind::kGathering:
            return gathering;
        case CutoffKind::kTrusted:
            return trusted;
        case CutoffKind::kNoise:
            break;
    }
    return noise;
}

std::optional<Cutoff>& ProfileCutoffs::of(CutoffKind kind) {
    return const_cast<std::optional<Cutoff>&>(std::as_const(*this).of(kind));
}

const ProfileCutoffs* CutoffTable::find(std::string_view id) const {
    const std::string key(id);
    if (const auto found = by_name_.find(key); found != by_name_.end()) {
        return &profiles_[found->second];
    }
    if (const auto found = by_accession_.find(key); found != by_accession_.end()) {
        return &profiles_[found->second];
    }
    return nullptr;
}

const ProfileCutoffs* CutoffTable::find(std::string_view name, std::string_view accession) const {
    if (const auto found = by_name_.find(std::string(name)); found != by_name_.end()) {
        return &profiles_[found->second];
    }
    if (accession.empty() || accession == "-") return nullptr;
    const auto found = by_accession_.find(std::string(accession));
    return found == by_accession_.end() ? nullptr : &profiles_[found->second];
}

void CutoffTable::add(ProfileCutoffs profile) {
    const std::size_t at = profiles_.size();
    by_name_[profile.name] = at;
    if (!profile.accession.empty()) by_accession_[profile.accession] = at;
    profiles_.push_back(std::move(profile));
}

CutoffReader::CutoffReader(std::string_view path, CutoffTable& table)
    : path_(path), table_(table) {}

// A profile file is a HMMER file too, and its failures read as a HMMER table's: the same
// error with its place.
void CutoffReader::fail_at(std::uint32_t column, std::string_view reason) const {
    throw util::Failure({.kind = util::FailureKind::kFormat,
                         .file = util::FileKind::kHmmerTable,
                         .path = path_,
                         .line = line_,
                         .column = column,
                         .reason = std::string(reason)});
}

void CutoffReader::feed(std::string_view bytes) {
    lines_.feed(bytes, [this](std::string_view line) { take_line(line); });
}

void CutoffReader::finish() {
    lines_.finish([this](std::string_view line) { take_line(line); });
    if (in_profile_) {
        fail_at(0,
                "the file ends inside a profile: no \"//\" line closes the one starting on line " +
                    std::to_string(profile_line_));
    }
    if (line_ == 0) fail_at(0, "the file is empty, not a HMMER 3 profile file");
}

void CutoffReader::take_line(std::string_view line) {
    ++line_;
    if (in_model_) {
        // The model's rows are numbers only; its end is the one line that starts with "//".
        if (line.starts_with("//")) end_profile();
        return;
    }
    const std::vector<Word> words = words_of(line, 4);
    if (words.empty()) return;
    const std::string_view tag = words[0].text;
    if (!in_profile_) {
        if (!tag.starts_with("HMMER3") || words[0].column != 1) {
            fail_at(words[0].column,
                    "not a HMMER 3 profile file: a profile starts with a \"HMMER3/\" line");
        }
        in_profile_ = true;
        profile_line_ = line_;
        current_ = ProfileCutoffs{};
        current_.line = line_;
        tag_lines_.clear();
        return;
    }
    if (tag == "HMM") {
        if (current_.name.empty()) {
            fail_at(1, "the profile starting on line " + std::to_string(profile_line_) +
                           " has no NAME line");
        }
        in_model_ = true;
        return;
    }
    if (tag == "//") {
        fail_at(1, "a profile ends before its model (no \"HMM\" line)");
    }
    const std::optional<CutoffKind> kind = kind_of_tag(tag);
    if (tag == "NAME" || tag == "ACC" || tag == "LENG" || kind) {
        // A second line of a tag would silently replace the first: which one the curator
        // meant cannot be told, so the file is refused.
        const auto [seen, first] = tag_lines_.try_emplace(std::string(tag), line_);
        if (!first) {
            fail_at(1, std::string(tag) + " appears twice in the profile starting on line " +
                           std::to_string(profile_line_) + " (first on line " +
                           std::to_string(seen->second) + ")");
        }
    }
    if (tag == "NAME" || tag == "ACC") {
        if (words.size() < 2) fail_at(1, std::string(tag) + " has no value");
        (tag == "NAME" ? current_.name : current_.accession) = std::string(words[1].text);
        if (tag == "NAME") {
            // Within one file a name is one profile (a later file may still replace it).
            const auto [seen, first] = name_lines_.try_emplace(current_.name, line_);
            if (!first) {
                fail_at(words[1].column, "the profile " + util::quote_text(current_.name, 40) +
                                             " is named twice (first on line " +
                                             std::to_string(seen->second) + ")");
            }
        }
        return;
    }
    if (tag == "LENG") {
        std::uint64_t length = 0;
        const std::string_view text = words.size() < 2 ? std::string_view() : words[1].text;
        const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), length);
        if (text.empty() || error != std::errc{} || stop != text.data() + text.size()) {
            fail_at(words.size() < 2 ? 5 : words[1].column, "LENG is not a whole number");
        }
        current_.length = length;
        return;
    }
    if (!kind) return;
    // Pfam ends the line with ";", sometimes glued to the second number.
    std::array<double, 2> values{};
    for (std::size_t i = 0; i < 2; ++i) {
        std::string_view text = i + 1 < words.size() ? words[i + 1].text : std::string_view();
        if (text.ends_with(';')) text.remove_suffix(1);
        const util::ParsedNumber number = util::parse_number(text);
        if (text.empty() || number.error != util::NumberError::kNone) {
            fail_at(i + 1 < words.size() ? words[i + 1].column : 0,
                    std::string(tag) +
                        " needs two bit scores (the full sequence's and the "
                        "domain's)");
        }
        // No score passes a NaN threshold, so "nan" would drop every hit of the profile.
        if (!std::isfinite(number.value)) {
            fail_at(words[i + 1].column, std::string(tag) + " " + util::quote_text(text, 40) +
                                             " is not a finite bit score");
        }
        values[i] = number.value;
    }
    current_.of(*kind) = Cutoff{values[0], values[1]};
}

void CutoffReader::end_profile() {
    table_.add(std::move(current_));
    current_ = ProfileCutoffs{};
    in_profile_ = false;
    in_model_ = false;
}

void read_cutoff_file(std::string_view path, CutoffTable& table) {
    CutoffReader reader(path, table);
    util::read_pieces(path, util::FileKind::kHmmerTable, kReadBuffer,
                      [&reader](std::string_view piece) { reader.feed(piece); });
    reader.finish();
}

void fail_missing_cutoff(std::string_view path, std::uint64_t line, std::string_view profile,
                         CutoffKind kind, bool in_file) {
    throw util::Failure(
        {.kind = util::FailureKind::kFormat,
         .file = util::FileKind::kHmmerTable,
         .path = std::string(path),
         .line = line,
         .reason = "the profile \"" + std::string(profile) + "\" has no " +
                   std::string(cutoff_tag(kind)) + " line" +
                   (in_file ? " in the profile file" : " (it is not in the profile file)")});
}

std::size_t check_cutoff_file(std::string_view path, CutoffKind kind) {
    CutoffTable table;
    read_cutoff_file(path, table);
    for (const ProfileCutoffs& profile : table.profiles()) {
        if (!profile.of(kind)) fail_missing_cutoff(path, profile.line, profile.name, kind, true);
    }
    return table.size();
}

}  // namespace velko::hmmer
