// The hit ordering and the text forms of a hit.
#include "hmmer/hit.hpp"

#include <cmath>

#include "util/number_text.hpp"

namespace velko::hmmer {

HitOrder hit_order(double a_e_val, double a_bit_score, double b_e_val, double b_bit_score) {
    // Written with plain IEEE comparisons on purpose: every test involving NaN is false, which
    // sends those cases to "greater".
    if (a_bit_score < b_bit_score || (a_bit_score == b_bit_score && a_e_val > b_e_val)) {
        return HitOrder::kLess;
    }
    if (a_bit_score == b_bit_score && a_e_val == b_e_val) return HitOrder::kEqual;
    return HitOrder::kGreater;
}

HitOrder merge_order(double a_e_val, double a_bit_score, double b_e_val, double b_bit_score) {
    // -1 when a is worse on this score, 1 when better; `higher` says which way is better.
    const auto side = [](double a, double b, bool higher) {
        const bool a_nan = std::isnan(a);
        const bool b_nan = std::isnan(b);
        if (a_nan || b_nan) return a_nan == b_nan ? 0 : (a_nan ? -1 : 1);
        if (a == b) return 0;
        return (a > b) == higher ? 1 : -1;
    };
    int order = side(a_bit_score, b_bit_score, true);
    if (order == 0) order = side(a_e_val, b_e_val, false);
    if (order == 0) return HitOrder::kEqual;
    return order < 0 ? HitOrder::kLess : HitOrder::kGreater;
}

bool hits_equal(const Hit& a, const Hit& b) {
    return a.gene_id == b.gene_id && a.hmm_id == b.hmm_id && a.e_val == b.e_val &&
           a.bit_score == b.bit_score;
}

bool compare(const Hit& a, const Hit& b, CompareOp op) {
    // Every operator comes from hit_order(a, b): mirroring (a > b as b < a) differs under NaN.
    const HitOrder order = hit_order(a, b);
    switch (op) {
        case CompareOp::kLt:
            return order == HitOrder::kLess;
        case CompareOp::kLe:
            return order != HitOrder::kGreater;
        case CompareOp::kEq:
            return hits_equal(a, b);
        case CompareOp::kNe:
            return !hits_equal(a, b);
        case CompareOp::kGt:
            return order == HitOrder::kGreater;
        case CompareOp::kGe:
            return order != HitOrder::kLess;
    }
    return false;
}

void append_short_form(std::string& out, std::string_view hmm_id, double e_val, double bit_score) {
    out += hmm_id;
    out += ',';
    util::append_number(out, e_val);
    out += ',';
    util::append_number(out, bit_score);
}

std::string hmm_str(const Hit& hit) {
    std::string text;
    append_short_form(text, hit.hmm_id, hit.e_val, hit.bit_score);
    return text;
}

std::string repr(const Hit& hit) {
    std::string text = hit.gene_id;
    text += ' ';
    text += hit.hmm_id;
    text += " (";
    util::append_number(text, hit.e_val);
    text += '/';
    util::append_number(text, hit.bit_score);
    text += ')';
    return text;
}

}  // namespace velko::hmmer
