// Thresholds, cutoffs and coverage applied row by row, then pair by pair.
#include "hmmer/filters.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <span>
#include <utility>

#include "util/failure.hpp"
#include "util/os_file.hpp"
#include "util/quote_path.hpp"

namespace velko::hmmer {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The text a KeptRow of the row holds beside its fixed fields.
std::size_t text_bytes(const TableRow& row) {
    return row.description.size() + row.gene_acc.size() + row.hmm_acc.size();
}

KeptRow kept_row_of(const TableRow& row) {
    KeptRow kept;
    kept.description = row.description;
    kept.gene_acc = row.gene_acc;
    kept.hmm_acc = row.hmm_acc;
    kept.seq_e_val = row.seq_e_val;
    kept.seq_bit_score = row.seq_bit_score;
    kept.dom_e_val = row.dom_e_val;
    kept.dom_bit_score = row.dom_bit_score;
    kept.dom_count = row.dom_count;
    kept.gene_length = row.gene_length;
    kept.hmm_length = row.hmm_length;
    kept.hmm_from = row.hmm_from;
    kept.hmm_to = row.hmm_to;
    kept.ali_from = row.ali_from;
    kept.ali_to = row.ali_to;
    kept.env_from = row.env_from;
    kept.env_to = row.env_to;
    kept.hmm_coverage = kNaN;
    kept.gene_coverage = kNaN;
    return kept;
}

}  // namespace

constexpr std::size_t kSeenBits = std::size_t{1} << 24;

HitFilter::HitFilter(const FilterOptions& options, TopHitTable& table)
    : options_(options), table_(table) {
    gather_ =
        options.keep_rows || options.min_hmm_coverage > 0.0 || options.min_gene_coverage > 0.0;
    by_pair_ = options.keep_rows;
}

void HitFilter::allow_second_pass() { second_pass_allowed_ = gather_ && !by_pair_; }

bool HitFilter::wants_second_pass() const {
    return second_pass_allowed_ && !second_pass_ && !returned_.empty();
}

void HitFilter::begin_second_pass() {
    if (run_open_) close_run();
    second_pass_ = true;
    by_pair_ = true;
    pairs_.clear();
    spans_.clear();
    names_.clear();
    current_ = 0;
    failed_ = {};
}

std::uint32_t HitFilter::Fingerprints::low_of(std::uint64_t print) {
    const auto low = static_cast<std::uint32_t>(print);
    return low == 0 ? 1 : low;  // 0 marks an empty slot
}

std::size_t HitFilter::Fingerprints::home(const Part& part, std::uint32_t low) {
    // The high half of low * size: the slot in proportion, with no power-of-two size.
    return static_cast<std::size_t>((std::uint64_t{low} * part.slots.size()) >> 32);
}

bool HitFilter::Fingerprints::contains(std::uint64_t print) const {
    if (count_ == 0) return false;
    const Part& part = parts_[print >> 52];
    if (part.count == 0) return false;
    const std::uint32_t low = low_of(print);
    for (std::size_t at = home(part, low); part.slots[at] != 0;) {
        if (part.slots[at] == low) return true;
        if (++at == part.slots.size()) at = 0;
    }
    return false;
}

void HitFilter::Fingerprints::insert(std::uint64_t print) {
    if (parts_.empty()) {
        parts_.resize(kParts);
        bytes_ = kParts * sizeof(Part);
    }
    Part& part = parts_[print >> 52];
    const auto place = [](Part& into, std::uint32_t low) {
        std::size_t at = home(into, low);
        for (; into.slots[at] != 0; at = at + 1 == into.slots.size() ? 0 : at + 1) {
            if (into.slots[at] == low) return;
        }
        into.slots[at] = low;
        ++into.count;
    };
    if ((std::size_t{part.count} + 1) * 20 > part.slots.size() * 17) {
        const std::vector<std::uint32_t> old = std::exchange(
            part.slots,
            std::vector<std::uint32_t>(std::max<std::size_t>(8, part.slots.size() * 3 / 2)));
        part.count = 0;
        bytes_ += (part.slots.size() - old.size()) * sizeof(std::uint32_t);
        for (const std::uint32_t kept : old) {
            if (kept != 0) place(part, kept);
        }
    }
    const std::uint32_t before = part.count;
    place(part, low_of(print));
    count_ += part.count - before;
}

std::size_t HitFilter::memory_bytes() const {
    return table_.memory_bytes() + pairs_.capacity() * sizeof(Pair) + pair_index_.memory_bytes() +
           names_.capacity() + spans_.capacity() * sizeof(Span) +
           seen_.capacity() * sizeof(std::uint64_t) + failed_.memory_bytes() +
           returned_.memory_bytes() + rows_.capacity() * sizeof(KeptRow) + row_text_bytes_;
}

void HitFilter::fail_at(std::uint64_t line, std::string_view reason) const {
    throw util::Failure({.kind = util::FailureKind::kFormat,
                         .file = util::FileKind::kHmmerTable,
                         .path = source_,
                         .line = line,
                         .reason = std::string(reason)});
}

bool HitFilter::passes(const TableRow& row) {
    // NaN scores fail every threshold, as they pass no comparison.
    const auto at_most = [](double value, const std::optional<double>& bound) {
        return !bound || value <= *bound;
    };
    const auto at_least = [](double value, const std::optional<double>& bound) {
        return !bound || value >= *bound;
    };
    if (row.has_sequence && (!at_most(row.seq_e_val, options_.max_seq_e_val) ||
                             !at_least(row.seq_bit_score, options_.min_seq_bit_score))) {
        return false;
    }
    if (row.has_domains && (!at_most(row.dom_e_val, options_.max_dom_e_val) ||
                            !at_least(row.dom_bit_score, options_.min_dom_bit_score))) {
        return false;
    }
    if (!options_.cutoff) return true;
    if (last_cutoffs_ == nullptr || row.hmm_name != last_profile_) {
        last_profile_ = row.hmm_name;
        last_cutoffs_ = options_.cutoffs->find(row.hmm_name, row.hmm_acc);
    }
    const std::optional<Cutoff>* cutoff =
        last_cutoffs_ == nullptr ? nullptr : &last_cutoffs_->of(*options_.cutoff);
    if (cutoff == nullptr || !cutoff->has_value()) {
        if (options_.missing_cutoff == MissingCutoff::kKeep) return true;
        if (options_.missing_cutoff == MissingCutoff::kDrop) return false;
        fail_missing_cutoff(source_, row.line, row.hmm_name, *options_.cutoff,
                            last_cutoffs_ != nullptr);
    }
    const Cutoff& bounds = **cutoff;
    // As hmmsearch --cut_ga does: the sequence's score against the first number, each
    // domain's against the second.
    if (row.has_sequence && !(row.seq_bit_score >= bounds.sequence)) return false;
    return !row.has_domains || row.dom_bit_score >= bounds.domain;
}

bool HitFilter::wants(const TableRow& row) {
    wanted_line_ = passes(row) ? row.line : 0;
    return wanted_line_ != 0;
}

void HitFilter::take(const TableRow& row) {
    const bool wanted = row.line != 0 && std::exchange(wanted_line_, 0) == row.line;
    if (!wanted && !passes(row)) return;
    if (second_pass_ && !returned_.contains(fingerprint(row.gene_id, row.hmm_id))) return;
    if (gather_) {
        gather(row);
    } else {
        table_.add_hit(row.gene_id, row.hmm_id, row.e_val, row.bit_score);
    }
}

std::string_view HitFilter::gene_of(const Pair& pair) const {
    return std::string_view(names_).substr(pair.names_at, pair.gene_size);
}

std::string_view HitFilter::hmm_of(const Pair& pair) const {
    return std::string_view(names_).substr(pair.names_at + pair.gene_size, pair.hmm_size);
}

const std::string& HitFilter::key_of(std::string_view gene_id, std::string_view hmm_id) {
    key_.assign(gene_id);
    key_ += '\0';
    key_ += hmm_id;
    return key_;
}

std::uint64_t HitFilter::fingerprint(std::string_view gene_id, std::string_view hmm_id) {
    return std::hash<std::string_view>{}(key_of(gene_id, hmm_id));
}

void HitFilter::add_pair(const TableRow& row) {
    Pair pair;
    pair.names_at = names_.size();
    pair.gene_size = static_cast<std::uint32_t>(row.gene_id.size());
    pair.hmm_size = static_cast<std::uint32_t>(row.hmm_id.size());
    pair.e_val = row.e_val;
    pair.bit_score = row.bit_score;
    names_ += row.gene_id;
    names_ += row.hmm_id;
    pairs_.push_back(pair);
}

void HitFilter::gather(const TableRow& row) {
    if (!by_pair_) {
        if (!run_open_ || gene_of(pairs_.back()) != row.gene_id ||
            hmm_of(pairs_.back()) != row.hmm_id) {
            if (run_open_) close_run();
            if (!second_pass_allowed_ && seen_.empty()) seen_.assign(kSeenBits / 64, 0);
            if (second_pass_allowed_) {
                run_print_ = fingerprint(row.gene_id, row.hmm_id);
                if (failed_.contains(run_print_)) returned_.insert(run_print_);
            } else {
                const std::uint64_t print =
                    std::hash<std::string_view>{}(key_of(row.gene_id, row.hmm_id)) % kSeenBits;
                std::uint64_t& word = seen_[print / 64];
                const std::uint64_t bit = std::uint64_t{1} << (print % 64);
                if ((word & bit) != 0) maybe_split_ = true;
                word |= bit;
            }
            current_ = static_cast<std::uint32_t>(pairs_.size());
            add_pair(row);
            run_spans_ = spans_.size();
            run_open_ = true;
        }
        Pair& pair = pairs_.back();
        if (hit_order(pair.e_val, pair.bit_score, row.e_val, row.bit_score) == HitOrder::kLess) {
            pair.e_val = row.e_val;
            pair.bit_score = row.bit_score;
        }
        add_span(pair, row);
        return;
    }
    if (pairs_.empty() || gene_of(pairs_[current_]) != row.gene_id ||
        hmm_of(pairs_[current_]) != row.hmm_id) {
        const auto [index, added] = pair_index_.try_emplace(key_of(row.gene_id, row.hmm_id));
        if (added) {
            *index = static_cast<std::uint32_t>(pairs_.size());
            add_pair(row);
            if (options_.keep_rows) {
                rows_.push_back(kept_row_of(row));
                row_text_bytes_ += text_bytes(row);
            }
        } else {
            split_ = true;
        }
        current_ = *index;
    }
    Pair& pair = pairs_[current_];
    if (hit_order(pair.e_val, pair.bit_score, row.e_val, row.bit_score) == HitOrder::kLess) {
        pair.e_val = row.e_val;
        pair.bit_score = row.bit_score;
        if (options_.keep_rows) {
            rows_[current_] = kept_row_of(row);
            row_text_bytes_ += text_bytes(row);
        }
    }
    add_span(pair, row);
}

void HitFilter::add_span(Pair& pair, const TableRow& row) {
    if (!row.has_domains) return;
    if ((options_.min_hmm_coverage > 0.0 && row.hmm_length == 0) ||
        (options_.min_gene_coverage > 0.0 && row.gene_length == 0)) {
        fail_at(row.line, "this table gives no length for the " +
                              std::string(row.hmm_length == 0 ? "profile" : "gene") +
                              ", which coverage needs");
    }
    constexpr std::uint64_t kMost = std::numeric_limits<std::uint32_t>::max();
    if (std::max({row.hmm_from, row.hmm_to, row.ali_from, row.ali_to}) > kMost) {
        fail_at(row.line, "a coordinate beyond 4294967295, which coverage cannot take");
    }
    pair.hmm_length = row.hmm_length;
    pair.gene_length = row.gene_length;
    const auto low = [](std::uint64_t a, std::uint64_t b) {
        return static_cast<std::uint32_t>(std::min(a, b));
    };
    const auto high = [](std::uint64_t a, std::uint64_t b) {
        return static_cast<std::uint32_t>(std::max(a, b));
    };
    spans_.push_back({current_, low(row.hmm_from, row.hmm_to), high(row.hmm_from, row.hmm_to),
                      low(row.ali_from, row.ali_to), high(row.ali_from, row.ali_to)});
}

namespace {

// The number of positions in the union of the intervals, which it sorts.
std::uint64_t union_length(std::span<std::pair<std::uint32_t, std::uint32_t>> intervals) {
    std::sort(intervals.begin(), intervals.end());
    std::uint64_t total = 0;
    std::uint64_t from = intervals.front().first;
    std::uint64_t to = intervals.front().second;
    for (const auto& [next_from, next_to] : intervals) {
        if (next_from > to + 1) {
            total += to - from + 1;
            from = next_from;
            to = next_to;
        } else {
            to = std::max<std::uint64_t>(to, next_to);
        }
    }
    return total + (to - from + 1);
}

double share(std::uint64_t covered, std::uint64_t length) {
    return length == 0 ? kNaN : static_cast<double>(covered) / static_cast<double>(length);
}

}  // namespace

bool HitFilter::covers(Pair& pair, std::span<Span> spans) {
    pair.hmm_coverage = pair.gene_coverage = kNaN;
    if (!spans.empty()) {
        scratch_hmm_.clear();
        scratch_gene_.clear();
        for (const Span& span : spans) {
            scratch_hmm_.emplace_back(span.hmm_from, span.hmm_to);
            scratch_gene_.emplace_back(span.ali_from, span.ali_to);
        }
        pair.hmm_coverage = share(union_length(scratch_hmm_), pair.hmm_length);
        pair.gene_coverage = share(union_length(scratch_gene_), pair.gene_length);
    }
    // NaN, no domain to cover, fails a coverage asked for.
    return (options_.min_hmm_coverage <= 0.0 || pair.hmm_coverage >= options_.min_hmm_coverage) &&
           (options_.min_gene_coverage <= 0.0 || pair.gene_coverage >= options_.min_gene_coverage);
}

void HitFilter::close_run() {
    run_open_ = false;
    Pair& pair = pairs_.back();
    const std::span<Span> spans(spans_.data() + run_spans_, spans_.size() - run_spans_);
    if (covers(pair, spans)) {
        table_.add_hit(gene_of(pair), hmm_of(pair), pair.e_val, pair.bit_score);
    } else if (!second_pass_allowed_) {
        return;  // waits, in case its pair comes back
    } else if (table_.contains_gene_hmm(gene_of(pair), hmm_of(pair))) {
        // The pair passed in an earlier run, and more domains only add coverage.
        table_.add_hit(gene_of(pair), hmm_of(pair), pair.e_val, pair.bit_score);
    } else {
        failed_.insert(run_print_);  // a later run of the pair makes a second pass
    }
    names_.resize(pair.names_at);
    pairs_.pop_back();
    spans_.resize(run_spans_);
}

// Runs that failed alone, judged again when their pair may have come back: with a run that
// passed, the pair passes (coverage only grows with more domains) and the best hit decides;
// otherwise the union of its runs' domains decides.
void HitFilter::offer_failed_runs() {
    constexpr std::uint32_t kPassed = std::numeric_limits<std::uint32_t>::max();
    util::TextMap<std::uint32_t> groups;
    std::vector<std::uint32_t> group_of(pairs_.size());
    std::vector<std::uint32_t> firsts;
    for (std::uint32_t i = 0; i < pairs_.size(); ++i) {
        const Pair& pair = pairs_[i];
        if (table_.contains_gene_hmm(gene_of(pair), hmm_of(pair))) {
            table_.add_hit(gene_of(pair), hmm_of(pair), pair.e_val, pair.bit_score);
            group_of[i] = kPassed;
            continue;
        }
        const auto [group, added] = groups.try_emplace(key_of(gene_of(pair), hmm_of(pair)));
        if (added) {
            *group = static_cast<std::uint32_t>(firsts.size());
            firsts.push_back(i);
        } else {
            Pair& first = pairs_[firsts[*group]];
            if (hit_order(first.e_val, first.bit_score, pair.e_val, pair.bit_score) ==
                HitOrder::kLess) {
                first.e_val = pair.e_val;
                first.bit_score = pair.bit_score;
            }
        }
        group_of[i] = *group;
    }
    std::vector<Span> spans;
    for (const Span& span : spans_) {
        const std::uint32_t group = group_of[span.pair];
        if (group != kPassed) {
            spans.push_back({group, span.hmm_from, span.hmm_to, span.ali_from, span.ali_to});
        }
    }
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.pair < b.pair; });
    std::size_t at = 0;
    for (std::uint32_t group = 0; group < firsts.size(); ++group) {
        const std::size_t start = at;
        while (at < spans.size() && spans[at].pair == group) ++at;
        Pair& pair = pairs_[firsts[group]];
        if (covers(pair, std::span<Span>(spans.data() + start, at - start))) {
            table_.add_hit(gene_of(pair), hmm_of(pair), pair.e_val, pair.bit_score);
        }
    }
}

void HitFilter::cover() {
    if (split_) {
        std::stable_sort(spans_.begin(), spans_.end(),
                         [](const Span& a, const Span& b) { return a.pair < b.pair; });
    }
    for (Pair& pair : pairs_) pair.hmm_coverage = pair.gene_coverage = kNaN;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> on_hmm;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> on_gene;
    for (std::size_t at = 0; at < spans_.size();) {
        const std::uint32_t index = spans_[at].pair;
        on_hmm.clear();
        on_gene.clear();
        for (; at < spans_.size() && spans_[at].pair == index; ++at) {
            on_hmm.emplace_back(spans_[at].hmm_from, spans_[at].hmm_to);
            on_gene.emplace_back(spans_[at].ali_from, spans_[at].ali_to);
        }
        Pair& pair = pairs_[index];
        pair.hmm_coverage = share(union_length(on_hmm), pair.hmm_length);
        pair.gene_coverage = share(union_length(on_gene), pair.gene_length);
    }
    spans_ = {};
}

void HitFilter::finish() {
    if (!by_pair_) {
        if (run_open_) close_run();
        if (maybe_split_) offer_failed_runs();
        pairs_ = {};
        spans_ = {};
        names_ = {};
        seen_ = {};
        return;
    }
    cover();
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        Pair& pair = pairs_[i];
        // NaN, no domain to cover, fails a coverage asked for.
        if (options_.min_hmm_coverage > 0.0 && !(pair.hmm_coverage >= options_.min_hmm_coverage)) {
            continue;
        }
        if (options_.min_gene_coverage > 0.0 &&
            !(pair.gene_coverage >= options_.min_gene_coverage)) {
            continue;
        }
        pair.kept = true;
        if (options_.keep_rows) {
            rows_[i].hmm_coverage = pair.hmm_coverage;
            rows_[i].gene_coverage = pair.gene_coverage;
        }
        table_.add_hit(gene_of(pair), hmm_of(pair), pair.e_val, pair.bit_score);
    }
    if (!options_.keep_rows) {
        pairs_ = {};
        pair_index_ = {};
        names_ = {};
        returned_ = {};
    }
}

void filter_hmmer_files(std::span<const std::string> paths, const HmmerOptions& options,
                        HitFilter& filter) {
    // A pipe or a terminal gives its bytes once; a regular file (plain or gzip) can be read
    // again from its start. Asked of the name, not of an open file: opening a FIFO just to
    // look would take the writer waiting on it from the read that follows.
    const bool again = std::all_of(paths.begin(), paths.end(), [](const std::string& path) {
        std::error_code error;
        return std::filesystem::is_regular_file(path, error);
    });
    if (again) filter.allow_second_pass();
    util::MemoryAccount account;  // what the filter and its table gain, over every file
    // The second pass must read what the first did: a file changed in between would give a
    // table that matches neither its old state nor its new one.
    std::vector<std::optional<util::FileIdentity>> identities;
    const auto read_all = [&] {
        for (const std::string& path : paths) {
            filter.set_source(path);
            read_hmmer_file(path, options, filter, &account);
        }
    };
    const auto check_unchanged = [&] {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (util::file_identity(paths[i]) != identities[i]) {
                throw util::Failure(
                    {.kind = util::FailureKind::kRefused,
                     .file = util::FileKind::kHmmerTable,
                     .path = paths[i],
                     .reason = util::quote_path(paths[i]) +
                               " changed while it was read: coverage reads each file twice, and "
                               "its size, times or inode differ between the two passes"});
            }
        }
    };
    if (again) {
        for (const std::string& path : paths) identities.push_back(util::file_identity(path));
    }
    read_all();
    if (filter.wants_second_pass()) {
        check_unchanged();
        filter.begin_second_pass();
        read_all();
        check_unchanged();
    }
}

const KeptRow* HitFilter::kept_row(std::string_view gene_id, std::string_view hmm_id) const {
    std::string key(gene_id);
    key += '\0';
    key += hmm_id;
    const std::uint32_t* index = pair_index_.find(key);
    if (index == nullptr || !pairs_[*index].kept) return nullptr;
    return &rows_[*index];
}

}  // namespace velko::hmmer
