// The bit-score cutoffs (GA, TC, NC) of the profiles in a HMMER 3 text profile file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/line_splitter.hpp"

namespace velko::hmmer {

/// The three cutoffs a curated profile may carry: gathering, trusted and noise.
enum class CutoffKind { kGathering, kTrusted, kNoise };

/// A cutoff's name in annotation's options and the tag of its line in a profile file.
struct CutoffName {
    CutoffKind kind;
    std::string_view name;  // a literal, so its data() ends in NUL
    std::string_view tag;
};

/// The one table of cutoff names and line tags; surfaces bind their choices from it.
inline constexpr std::array<CutoffName, 3> kCutoffNames{{
    {CutoffKind::kGathering, "gathering", "GA"},
    {CutoffKind::kTrusted, "trusted", "TC"},
    {CutoffKind::kNoise, "noise", "NC"},
}};

/// The tag of the kind's line in a profile file: "GA", "TC" or "NC".
[[nodiscard]] std::string_view cutoff_tag(CutoffKind kind);

/// A cutoff line's two bit scores: the full sequence's threshold and the domain's.
struct Cutoff {
    double sequence = 0.0;
    double domain = 0.0;
};

/// What a profile file says about one profile.
struct ProfileCutoffs {
    std::string name;
    std::string accession;  // empty when the profile has none
    std::uint64_t length = 0;
    std::uint64_t line = 0;  // where the profile starts in its file
    std::optional<Cutoff> gathering;
    std::optional<Cutoff> trusted;
    std::optional<Cutoff> noise;

    /// The cutoff of that kind, when the profile has the line.
    [[nodiscard]] const std::optional<Cutoff>& of(CutoffKind kind) const;
    [[nodiscard]] std::optional<Cutoff>& of(CutoffKind kind);
};

/// Every profile of one or more profile files, found by name or by accession.
class CutoffTable {
public:
    /// The profile called `id` (its NAME), else the one whose ACC is `id`, or null.
    [[nodiscard]] const ProfileCutoffs* find(std::string_view id) const;
    /// The profile found by `name` first, then by `accession`.
    [[nodiscard]] const ProfileCutoffs* find(std::string_view name,
                                             std::string_view accession) const;

    /// Adds a profile; a later profile of the same name or accession takes its place.
    void add(ProfileCutoffs profile);

    [[nodiscard]] std::size_t size() const { return profiles_.size(); }
    /// Every profile added, in order.
    [[nodiscard]] const std::vector<ProfileCutoffs>& profiles() const { return profiles_; }

private:
    std::vector<ProfileCutoffs> profiles_;
    std::unordered_map<std::string, std::size_t> by_name_;
    std::unordered_map<std::string, std::size_t> by_accession_;
};

/// Takes the text of a HMMER 3 profile file in pieces of any size: each profile's header
/// (NAME, ACC, LENG, GA, TC, NC) up to its model, whose body is skipped to the "//" line.
class CutoffReader {
public:
    CutoffReader(std::string_view path, CutoffTable& table);

    /// Throws a format util::Failure naming the path, line and column: a file that does not start
    /// with a "HMMER3" line, a profile without NAME, a cutoff line without two numbers, a LENG
    /// that is not a whole number, a cutoff that is not finite, a header line given twice in a
    /// profile, a profile name given twice in the file; util::MemoryRefused for a line longer than
    /// the call may hold.
    void feed(std::string_view bytes);
    /// Reads the last line; fails as feed does, and for a profile cut off before its "//".
    void finish();

private:
    void take_line(std::string_view line);
    void end_profile();
    [[noreturn]] void fail_at(std::uint32_t column, std::string_view reason) const;

    std::string path_;
    CutoffTable& table_;
    util::LineSplitter lines_{"a line of the HMMER profile file"};
    std::uint64_t line_ = 0;
    std::uint64_t profile_line_ = 0;  // where the current profile starts
    bool in_profile_ = false;
    bool in_model_ = false;  // between the "HMM" line and "//"
    ProfileCutoffs current_;
    // The line of each header tag of the current profile, and of each profile's start by name.
    std::unordered_map<std::string, std::uint64_t> tag_lines_;
    std::unordered_map<std::string, std::uint64_t> name_lines_;
};

/// Reads the profile file at `path`, plain or gzip-compressed, into `table`. Throws
/// util::Failure, located in the file: an OS error, damaged or truncated gzip data, and the
/// reader's failures.
void read_cutoff_file(std::string_view path, CutoffTable& table);

/// Throws the format util::Failure of a profile without the `kind` line, at `line` of `path`:
/// the one text of a missing cutoff, whether a row of the profile meets it or a whole profile
/// file is checked. `in_file` is false when no profile of that name or accession was read.
[[noreturn]] void fail_missing_cutoff(std::string_view path, std::uint64_t line,
                                      std::string_view profile, CutoffKind kind, bool in_file);

/// Reads the profile file at `path` as read_cutoff_file does and fails as fail_missing_cutoff
/// at the first profile without the `kind` line, on the line where that profile starts: what a
/// search that meets every profile of the file checks before it starts. Returns the number of
/// profiles.
std::size_t check_cutoff_file(std::string_view path, CutoffKind kind);

}  // namespace velko::hmmer
