// TopHitTable: the best hit per gene and profile, and each gene's top hit.
#pragma once

#include <cstdint>
#include <deque>
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

/// What a read that fills a table names when the table's growth would not fit in memory.
inline constexpr std::string_view kTableGrowth = "the table of hits read so far";

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
    /// add_hit by merge_order: what merging tables offers, so that the hit kept for a pair is
    /// the same whatever order the tables (and their NaN scores) come in.
    void merge_hit(std::string_view gene_id, std::string_view hmm_id, double e_val,
                   double bit_score);

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
    /// About the bytes the table holds, for the memory accounts of the calls that fill it.
    [[nodiscard]] std::size_t memory_bytes() const;

    /// Calls visit(gene_id, hits) once per gene, in the order genes were first offered, each
    /// gene's hits in the order their profiles were; `hits` is never empty.
    template <class Visit>
    void for_each_gene(Visit&& visit) const {
        genes_.for_each([&](std::string_view gene_id, const Gene& gene) {
            StoredHit one;
            visit(gene_id, hits_of(gene, one));
        });
    }

    /// Every profile identifier that has a stored hit, indexed by ProfileId.
    [[nodiscard]] std::span<const std::string> profile_names() const { return profile_names_; }

private:
    // Most genes of a filtered table keep one hit, held in place; a gene with more holds the
    // index of its list in many_. The entry of a gene is then 40 bytes with its key's place.
    struct Gene {
        double e_val = 0.0;  // the only hit, while `more` is 0
        double bit_score = 0.0;
        ProfileId profile = 0;
        std::uint32_t more = 0;  // 1 + the position of the gene's hits in many_
    };
    // A gene has few profiles as a rule, so its hits sit in a vector scanned by ProfileId; an
    // index (in indexes_, under the list's position) appears only when a gene collects many,
    // keeping add_hit constant-time for those.
    using Many = std::vector<StoredHit>;
    using Index = std::unordered_map<ProfileId, std::uint32_t>;

    /// The gene's hits; `one` holds the copy of a single hit.
    [[nodiscard]] std::span<const StoredHit> hits_of(const Gene& gene, StoredHit& one) const {
        if (gene.more != 0) return many_[gene.more - 1];
        one = StoredHit{gene.profile, gene.e_val, gene.bit_score};
        return {&one, 1};
    }

    template <class Replaces>
    void offer_hit(std::string_view gene_id, std::string_view hmm_id, double e_val,
                   double bit_score, Replaces replaces);
    [[nodiscard]] std::optional<StoredHit> stored_hit(std::string_view gene_id,
                                                      std::string_view hmm_id) const;
    [[nodiscard]] std::optional<ProfileId> find_profile(std::string_view hmm_id) const;
    ProfileId intern_profile(std::string_view hmm_id);
    /// The position of the profile's hit in gene.hits, or gene.hits.size() when it has none.
    [[nodiscard]] std::size_t find_hit(std::uint32_t more, ProfileId profile) const;
    void append_hit(std::uint32_t more, const StoredHit& hit);
    [[nodiscard]] Hit make_hit(std::string_view gene_id, const StoredHit& stored) const;
    /// The gene's top hit among `hits` (never empty).
    [[nodiscard]] static const StoredHit& best_hit(std::span<const StoredHit> hits);

    util::TextMap<Gene> genes_;
    std::deque<Many> many_;  // grows without moving the lists it holds
    std::unordered_map<std::uint32_t, Index> indexes_;
    // Profile identifiers repeat across genes: each is kept once and named by its position.
    util::TextMap<ProfileId> profile_ids_;
    std::vector<std::string> profile_names_;
    std::size_t hit_count_ = 0;
    std::size_t extra_bytes_ = 0;  // what the lists, indexes and profile names hold
};

}  // namespace velko::hmmer
