// TopHitTable: the best hit per gene and profile, and each gene's top hit.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hmmer/hit.hpp"
#include "util/text_map.hpp"

namespace velko::hmmer {

/// Index of a profile identifier in the table's list of profile names.
using ProfileId = std::uint32_t;

/// The scores stored for one gene and profile.
struct StoredHit {
    ProfileId profile = 0;
    double e_val = 0.0;
    double bit_score = 0.0;
};

/// Keeps, for every gene and profile, the best hit offered; only grows.
class TopHitTable {
public:
    /// Stores the hit when the pair is new, or replaces the stored one when that is less than
    /// the new hit in the hit ordering; otherwise keeps the stored hit.
    void add_hit(std::string_view gene_id, std::string_view hmm_id, double e_val, double bit_score);

    [[nodiscard]] bool contains_gene_id(std::string_view gene_id) const;
    [[nodiscard]] bool contains_gene_hmm(std::string_view gene_id, std::string_view hmm_id) const;

    /// A copy of the gene's best hit; a tie on both scores goes to the one visited last.
    [[nodiscard]] std::optional<Hit> py_get_top_hit(std::string_view gene_id) const;
    /// A copy of the hit stored for the pair.
    [[nodiscard]] std::optional<Hit> py_get_hmm_hit(std::string_view gene_id,
                                                    std::string_view hmm_id) const;

    /// A new table holding each gene's best hit, the one py_get_top_hit copies.
    [[nodiscard]] TopHitTable top_hits() const;

    /// The number of gene-profile pairs, each holding one hit.
    [[nodiscard]] std::size_t hit_count() const { return hit_count_; }
    [[nodiscard]] std::size_t gene_count() const { return genes_.size(); }

    /// Calls visit(gene_id, hits) once per gene, in no defined order; `hits` is never empty.
    template <class Visit>
    void for_each_gene(Visit&& visit) const {
        genes_.for_each([&](std::string_view gene_id, const Gene& gene) {
            visit(gene_id, std::span<const StoredHit>(gene.hits));
        });
    }

    /// Every profile identifier that has a stored hit, indexed by ProfileId.
    [[nodiscard]] std::span<const std::string> profile_names() const { return profile_names_; }

private:
    // A gene has few profiles as a rule, so its hits sit in a vector scanned by ProfileId; the
    // index appears only when a gene collects many, keeping add_hit constant-time for those.
    struct Gene {
        std::vector<StoredHit> hits;
        std::unique_ptr<std::unordered_map<ProfileId, std::uint32_t>> index;
    };

    [[nodiscard]] std::optional<ProfileId> find_profile(std::string_view hmm_id) const;
    ProfileId intern_profile(std::string_view hmm_id);
    /// The position of the profile's hit in gene.hits, or gene.hits.size() when it has none.
    [[nodiscard]] static std::size_t find_hit(const Gene& gene, ProfileId profile);
    static void append_hit(Gene& gene, const StoredHit& hit);
    [[nodiscard]] Hit make_hit(std::string_view gene_id, const StoredHit& stored) const;
    /// The gene's top hit among `hits` (never empty).
    [[nodiscard]] static const StoredHit& best_hit(std::span<const StoredHit> hits);

    util::TextMap<Gene> genes_;
    // Profile identifiers repeat across genes: each is kept once and named by its position.
    util::TextMap<ProfileId> profile_ids_;
    std::vector<std::string> profile_names_;
    std::size_t hit_count_ = 0;
};

}  // namespace velko::hmmer
