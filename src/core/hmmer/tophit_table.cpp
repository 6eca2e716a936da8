// The replacement rule, the top-hit scan and the lookups of the top-hit table.
#include "hmmer/tophit_table.hpp"

#include <string>
#include <utility>

#include "util/interrupt.hpp"

namespace velko::hmmer {
namespace {

// Past this many profiles a gene gets an index instead of a linear scan.
constexpr std::size_t kIndexFrom = 16;
// What an entry of an index costs: a hash node with its heap header and its share of buckets.
constexpr std::size_t kIndexEntryBytes = 48;

}  // namespace

std::optional<ProfileId> TopHitTable::find_profile(std::string_view hmm_id) const {
    const ProfileId* found = profile_ids_.find(hmm_id);
    if (found == nullptr) return std::nullopt;
    return *found;
}

ProfileId TopHitTable::intern_profile(std::string_view hmm_id) {
    if (const ProfileId* id = profile_ids_.find(hmm_id)) return *id;
    // The name and its place are made before the map learns the key, so a refusal cannot
    // leave the key naming another profile's place.
    std::string name(hmm_id);
    if (profile_names_.size() == profile_names_.capacity()) {
        profile_names_.reserve(2 * profile_names_.size() + 1);
    }
    *profile_ids_.try_emplace(hmm_id).first = static_cast<ProfileId>(profile_names_.size());
    profile_names_.push_back(std::move(name));
    extra_bytes_ += sizeof(std::string) + hmm_id.size();
    return static_cast<ProfileId>(profile_names_.size() - 1);
}

std::size_t TopHitTable::find_hit(std::uint32_t more, ProfileId profile) const {
    const Many& many = many_[more - 1];
    if (many.size() > kIndexFrom) {
        const Index& index = indexes_.at(more);
        const auto found = index.find(profile);
        return found == index.end() ? many.size() : found->second;
    }
    std::size_t at = 0;
    while (at < many.size() && many[at].profile != profile) ++at;
    return at;
}

void TopHitTable::append_hit(std::uint32_t more, const StoredHit& hit) {
    Many& many = many_[more - 1];
    const std::size_t capacity = many.capacity();
    many.push_back(hit);
    extra_bytes_ += (many.capacity() - capacity) * sizeof(StoredHit);
    if (many.size() > kIndexFrom + 1) {
        indexes_.at(more).emplace(hit.profile, static_cast<std::uint32_t>(many.size() - 1));
        extra_bytes_ += kIndexEntryBytes;
    } else if (many.size() > kIndexFrom) {
        Index& index = indexes_[more];
        for (std::size_t i = 0; i < many.size(); ++i) {
            index.emplace(many[i].profile, static_cast<std::uint32_t>(i));
        }
        extra_bytes_ += many.size() * kIndexEntryBytes;
    }
}

Hit TopHitTable::make_hit(std::string_view gene_id, const StoredHit& stored) const {
    return Hit{std::string(gene_id), profile_names_[stored.profile], stored.e_val,
               stored.bit_score};
}

void TopHitTable::add_hit(std::string_view gene_id, std::string_view hmm_id, double e_val,
                          double bit_score) {
    // Only a strictly better hit replaces: ties and NaN keep the first one offered.
    offer_hit(gene_id, hmm_id, e_val, bit_score,
              [](double e, double s, double new_e, double new_s) {
                  return hit_order(e, s, new_e, new_s) == HitOrder::kLess;
              });
}

void TopHitTable::merge_hit(std::string_view gene_id, std::string_view hmm_id, double e_val,
                            double bit_score) {
    offer_hit(gene_id, hmm_id, e_val, bit_score,
              [](double e, double s, double new_e, double new_s) {
                  return merge_order(e, s, new_e, new_s) == HitOrder::kLess;
              });
}

template <class Replaces>
void TopHitTable::offer_hit(std::string_view gene_id, std::string_view hmm_id, double e_val,
                            double bit_score, Replaces replaces) {
    const ProfileId profile = intern_profile(hmm_id);
    const StoredHit offered{profile, e_val, bit_score};
    const auto [gene, added] = genes_.try_emplace(gene_id);
    const auto keep_better = [&](double& stored_e_val, double& stored_bit_score) {
        if (replaces(stored_e_val, stored_bit_score, e_val, bit_score)) {
            stored_e_val = e_val;
            stored_bit_score = bit_score;
        }
    };
    if (added) {
        *gene = Gene{e_val, bit_score, profile, 0};
        ++hit_count_;
        return;
    }
    if (gene->more == 0) {
        if (gene->profile == profile) {
            keep_better(gene->e_val, gene->bit_score);
            return;
        }
        Many& many = many_.emplace_back();
        many.reserve(2);
        extra_bytes_ += sizeof(Many) + 2 * sizeof(StoredHit);
        many.push_back(StoredHit{gene->profile, gene->e_val, gene->bit_score});
        many.push_back(offered);
        gene->more = static_cast<std::uint32_t>(many_.size());
        ++hit_count_;
        return;
    }
    const std::size_t at = find_hit(gene->more, profile);
    Many& many = many_[gene->more - 1];
    if (at == many.size()) {
        append_hit(gene->more, offered);
        ++hit_count_;
        return;
    }
    keep_better(many[at].e_val, many[at].bit_score);
}

std::size_t TopHitTable::memory_bytes() const {
    return genes_.memory_bytes() + profile_ids_.memory_bytes() + extra_bytes_;
}

bool TopHitTable::contains_gene_id(std::string_view gene_id) const {
    return genes_.find(gene_id) != nullptr;
}

bool TopHitTable::contains_gene_hmm(std::string_view gene_id, std::string_view hmm_id) const {
    return stored_hit(gene_id, hmm_id).has_value();
}

const StoredHit& TopHitTable::best_hit(std::span<const StoredHit> hits) {
    const StoredHit* best = &hits.front();
    for (std::size_t i = 1; i < hits.size(); ++i) {
        // The best so far stays only when it is greater; an equal hit takes its place, and a
        // NaN bit score that became the best is greater than everything after it.
        const StoredHit& hit = hits[i];
        if (hit_order(best->e_val, best->bit_score, hit.e_val, hit.bit_score) !=
            HitOrder::kGreater) {
            best = &hit;
        }
    }
    return *best;
}

std::optional<Hit> TopHitTable::py_get_top_hit(std::string_view gene_id) const {
    const Gene* gene = genes_.find(gene_id);
    if (gene == nullptr) return std::nullopt;
    StoredHit one;
    return make_hit(gene_id, best_hit(hits_of(*gene, one)));
}

TopHitTable TopHitTable::top_hits() const {
    TopHitTable top;
    for_each_gene([&](std::string_view gene_id, std::span<const StoredHit> hits) {
        const StoredHit& best = best_hit(hits);
        top.add_hit(gene_id, profile_names_[best.profile], best.e_val, best.bit_score);
        util::poll_interrupt(gene_id.size() + hits.size_bytes());
    });
    return top;
}

std::optional<StoredHit> TopHitTable::stored_hit(std::string_view gene_id,
                                                 std::string_view hmm_id) const {
    const Gene* gene = genes_.find(gene_id);
    if (gene == nullptr) return std::nullopt;
    const auto profile = find_profile(hmm_id);
    if (!profile) return std::nullopt;
    if (gene->more == 0) {
        if (gene->profile != *profile) return std::nullopt;
        return StoredHit{gene->profile, gene->e_val, gene->bit_score};
    }
    const Many& many = many_[gene->more - 1];
    const std::size_t at = find_hit(gene->more, *profile);
    if (at == many.size()) return std::nullopt;
    return many[at];
}

std::optional<Hit> TopHitTable::py_get_hmm_hit(std::string_view gene_id,
                                               std::string_view hmm_id) const {
    const std::optional<StoredHit> stored = stored_hit(gene_id, hmm_id);
    if (!stored) return std::nullopt;
    return make_hit(gene_id, *stored);
}

}  // namespace velko::hmmer
