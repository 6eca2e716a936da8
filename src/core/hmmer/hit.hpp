// Hit: one profile-search hit, its ordering, equality and text forms.
#pragma once

#include <string>
#include <string_view>

namespace velko::hmmer {

/// One hit of profile `hmm_id` on gene `gene_id`; nothing is validated or normalised.
struct Hit {
    std::string gene_id;
    std::string hmm_id;
    double e_val = 0.0;
    double bit_score = 0.0;
};

/// The three outcomes of the hit ordering. Not std::partial_ordering: with NaN the ordering
/// still answers, and "greater" is the answer.
enum class HitOrder { kLess, kEqual, kGreater };

/// Compares on scores alone: the higher bit score is greater; at equal bit scores the lower
/// e-value is greater; every comparison involving a NaN that decides is greater.
[[nodiscard]] HitOrder hit_order(double a_e_val, double a_bit_score, double b_e_val,
                                 double b_bit_score);
[[nodiscard]] inline HitOrder hit_order(const Hit& a, const Hit& b) {
    return hit_order(a.e_val, a.bit_score, b.e_val, b.bit_score);
}

/// The hit ordering made total for merging tables: a NaN bit score is less than every number
/// and a NaN e-value greater than every number, so every pair of hits has one answer and the
/// best of several does not depend on the order they come in. kEqual only for equal scores
/// (NaN with NaN).
[[nodiscard]] HitOrder merge_order(double a_e_val, double a_bit_score, double b_e_val,
                                   double b_bit_score);

/// Byte-equal identifiers and IEEE-equal scores (so a hit holding NaN equals no hit).
[[nodiscard]] bool hits_equal(const Hit& a, const Hit& b);

/// The six comparison operators, in the order of their Python codes.
enum class CompareOp { kLt, kLe, kEq, kNe, kGt, kGe };

/// `a op b`: the ordering operators by hit_order, == and != by hits_equal.
[[nodiscard]] bool compare(const Hit& a, const Hit& b, CompareOp op);

/// The short form: "PF00005,0.00001,50.5".
[[nodiscard]] std::string hmm_str(const Hit& hit);
/// Appends "hmm_id,e_val,bit_score" for the given parts.
void append_short_form(std::string& out, std::string_view hmm_id, double e_val, double bit_score);

/// The long form: "g1 PF00005 (0.00001/50.5)".
[[nodiscard]] std::string repr(const Hit& hit);

}  // namespace velko::hmmer
