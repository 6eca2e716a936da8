// The replacement rule, the top-hit scan and the lookups of the top-hit table.
#include "hmmer/tophit_table.hpp"

#include "util/interrupt.hpp"

namespace velko::hmmer {
namespace {

// Past this many profiles a gene gets an index instead of a linear scan.
constexpr std::size_t kIndexFrom = 16;

}  // namespace

std::optional<ProfileId> TopHitTable::find_profile(std::string_view hmm_id) const {
    const ProfileId* found = profile_ids_.find(hmm_id);
    if (found == nullptr) return std::nullopt;
    return *found;
}

ProfileId TopHitTable::intern_profile(std::string_view hmm_id) {
    const auto [id, added] = profile_ids_.try_emplace(hmm_id);
    if (added) {
        *id = static_cast<ProfileId>(profile_names_.size());
        profile_names_.emplace_back(hmm_id);
    }
    return *id;
}

std::size_t TopHitTable::find_hit(const Gene& gene, ProfileId profile) {
    if (gene.index) {
        const auto found = gene.index->find(profile);
        return found == gene.index->end() ? gene.hits.size() : found->second;
    }
    std::size_t at = 0;
    while (at < gene.hits.size() && gene.hits[at].profile != profile) ++at;
    return at;
}

void TopHitTable::append_hit(Gene& gene, const StoredHit& hit) {
    gene.hits.push_back(hit);
    if (gene.index) {
        gene.index->emplace(hit.profile, static_cast<std::uint32_t>(gene.hits.size() - 1));
    } else if (gene.hits.size() > kIndexFrom) {
        gene.index = std::make_unique<std::unordered_map<ProfileId, std::uint32_t>>();
        for (std::size_t i = 0; i < gene.hits.size(); ++i) {
            gene.index->emplace(gene.hits[i].profile, static_cast<std::uint32_t>(i));
        }
    }
}

Hit TopHitTable::make_hit(std::string_view gene_id, const StoredHit& stored) const {
    return Hit{std::string(gene_id), profile_names_[stored.profile], stored.e_val,
               stored.bit_score};
}

void TopHitTable::add_hit(std::string_view gene_id, std::string_view hmm_id, double e_val,
                          double bit_score) {
    const ProfileId profile = intern_profile(hmm_id);
    const StoredHit offered{profile, e_val, bit_score};
    const auto [gene, added] = genes_.try_emplace(gene_id);
    const std::size_t at = added ? 0 : find_hit(*gene, profile);
    if (added || at == gene->hits.size()) {
        append_hit(*gene, offered);
        ++hit_count_;
        return;
    }
    // Only a strictly better hit replaces: ties and NaN keep the first one offered.
    StoredHit& stored = gene->hits[at];
    if (hit_order(stored.e_val, stored.bit_score, e_val, bit_score) == HitOrder::kLess) {
        stored = offered;
    }
}

bool TopHitTable::contains_gene_id(std::string_view gene_id) const {
    return genes_.find(gene_id) != nullptr;
}

bool TopHitTable::contains_gene_hmm(std::string_view gene_id, std::string_view hmm_id) const {
    const Gene* gene = genes_.find(gene_id);
    if (gene == nullptr) return false;
    const auto profile = find_profile(hmm_id);
    return profile && find_hit(*gene, *profile) < gene->hits.size();
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
    return make_hit(gene_id, best_hit(gene->hits));
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

std::optional<Hit> TopHitTable::py_get_hmm_hit(std::string_view gene_id,
                                               std::string_view hmm_id) const {
    const Gene* gene = genes_.find(gene_id);
    if (gene == nullptr) return std::nullopt;
    const auto profile = find_profile(hmm_id);
    if (!profile) return std::nullopt;
    const std::size_t at = find_hit(*gene, *profile);
    if (at == gene->hits.size()) return std::nullopt;
    return make_hit(gene_id, gene->hits[at]);
}

}  // namespace velko::hmmer
