// Thresholds, cutoffs and coverage applied row by row, then pair by pair.
#include "hmmer/filters.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "util/file_error.hpp"

namespace velko::hmmer {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string_view cutoff_tag(CutoffKind kind) {
    switch (kind) {
        case CutoffKind::kGathering:
            return "GA";
        case CutoffKind::kTrusted:
            return "TC";
        case CutoffKind::kNoise:
            break;
    }
    return "NC";
}

std::string pair_key(std::string_view gene_id, std::string_view hmm_id) {
    std::string key;
    key.reserve(gene_id.size() + hmm_id.size() + 1);
    key += gene_id;
    key += '\0';
    key += hmm_id;
    return key;
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

HitFilter::HitFilter(const FilterOptions& options, TopHitTable& table)
    : options_(options), table_(table) {
    gather_ = options.keep_rows || options.min_hmm_coverage > 0.0 ||
              options.min_gene_coverage > 0.0;
}

void HitFilter::fail_at(std::uint64_t line, std::string_view reason) const {
    throw util::FormatError(source_, line, 0, reason);
}

bool HitFilter::passes(const TableRow& row) {
    // NaN scores fail every threshold, as they pass no comparison.
    const auto at_most = [](double value, const std::optional<double>& bound) {
        return !bound || value <= *bound;
    };
    const auto at_least = [](double value, const std::optional<double>& bound) {
        return !bound || value >= *bound;
    };
    if (!at_most(row.seq_e_val, options_.max_seq_e_val) ||
        !at_least(row.seq_bit_score, options_.min_seq_bit_score)) {
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
        fail_at(row.line, "the profile \"" + std::string(row.hmm_name) + "\" has no " +
                              std::string(cutoff_tag(*options_.cutoff)) + " line" +
                              (last_cutoffs_ == nullptr ? " (it is not in the profile file)"
                                                        : " in the profile file"));
    }
    const Cutoff& bounds = **cutoff;
    // As hmmsearch --cut_ga does: the sequence's score against the first number, each
    // domain's against the second.
    if (!(row.seq_bit_score >= bounds.sequence)) return false;
    return !row.has_domains || row.dom_bit_score >= bounds.domain;
}

void HitFilter::take(const TableRow& row) {
    if (!passes(row)) return;
    if (!gather_) {
        table_.add_hit(row.gene_id, row.hmm_id, row.e_val, row.bit_score);
        return;
    }
    // A gene's domains of one profile are listed together, so the last pair is the likely one.
    if (last_pair_ >= pairs_.size() || pairs_[last_pair_].gene_id != row.gene_id ||
        pairs_[last_pair_].hmm_id != row.hmm_id) {
        const auto [found, added] =
            pair_index_.try_emplace(pair_key(row.gene_id, row.hmm_id), pairs_.size());
        if (added) {
            Pair pair;
            pair.gene_id = row.gene_id;
            pair.hmm_id = row.hmm_id;
            pair.e_val = row.e_val;
            pair.bit_score = row.bit_score;
            if (options_.keep_rows) pair.row = kept_row_of(row);
            pairs_.push_back(std::move(pair));
        }
        last_pair_ = found->second;
    }
    Pair& pair = pairs_[last_pair_];
    if (hit_order(pair.e_val, pair.bit_score, row.e_val, row.bit_score) == HitOrder::kLess) {
        pair.e_val = row.e_val;
        pair.bit_score = row.bit_score;
        if (options_.keep_rows) pair.row = kept_row_of(row);
    }
    if (!row.has_domains) return;
    if ((options_.min_hmm_coverage > 0.0 && row.hmm_length == 0) ||
        (options_.min_gene_coverage > 0.0 && row.gene_length == 0)) {
        fail_at(row.line, "this table gives no length for the " +
                              std::string(row.hmm_length == 0 ? "profile" : "gene") +
                              ", which coverage needs");
    }
    pair.hmm_length = row.hmm_length;
    pair.gene_length = row.gene_length;
    pair.on_hmm.push_back({std::min(row.hmm_from, row.hmm_to), std::max(row.hmm_from, row.hmm_to)});
    pair.on_gene.push_back({std::min(row.ali_from, row.ali_to), std::max(row.ali_from, row.ali_to)});
}

double HitFilter::covered(std::vector<Interval>& intervals, std::uint64_t length) {
    if (length == 0 || intervals.empty()) return kNaN;
    std::sort(intervals.begin(), intervals.end(),
              [](const Interval& a, const Interval& b) { return a.from < b.from; });
    std::uint64_t total = 0;
    std::uint64_t from = intervals.front().from;
    std::uint64_t to = intervals.front().to;
    for (const Interval& next : intervals) {
        if (next.from > to + 1) {
            total += to - from + 1;
            from = next.from;
            to = next.to;
        } else {
            to = std::max(to, next.to);
        }
    }
    total += to - from + 1;
    return static_cast<double>(total) / static_cast<double>(length);
}

void HitFilter::finish() {
    for (Pair& pair : pairs_) {
        const double on_hmm = covered(pair.on_hmm, pair.hmm_length);
        const double on_gene = covered(pair.on_gene, pair.gene_length);
        pair.on_hmm = {};
        pair.on_gene = {};
        if (options_.min_hmm_coverage > 0.0 && !(on_hmm >= options_.min_hmm_coverage)) continue;
        if (options_.min_gene_coverage > 0.0 && !(on_gene >= options_.min_gene_coverage)) {
            continue;
        }
        pair.kept = true;
        pair.row.hmm_coverage = on_hmm;
        pair.row.gene_coverage = on_gene;
        table_.add_hit(pair.gene_id, pair.hmm_id, pair.e_val, pair.bit_score);
    }
    if (!options_.keep_rows) {
        pairs_ = {};
        pair_index_ = {};
    }
}

const KeptRow* HitFilter::kept_row(std::string_view gene_id, std::string_view hmm_id) const {
    const auto found = pair_index_.find(pair_key(gene_id, hmm_id));
    if (found == pair_index_.end() || !pairs_[found->second].kept) return nullptr;
    return &pairs_[found->second].row;
}

}  // namespace velko::hmmer
