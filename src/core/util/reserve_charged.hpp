// Growing what a call keeps, within the call's memory account.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "util/memory.hpp"

namespace velko::util {

/// Makes room in `held` (a vector or string the call keeps) for `more` elements, doubling as
/// the container would, and charges the growth to `account`: the new block before it is made,
/// since both blocks live while the elements move, the old one released after. Throws as
/// MemoryAccount::charge does, leaving `held` as it was.
template <class Container, class What>
void reserve_charged(MemoryAccount& account, Container& held, std::size_t more, What&& what) {
    using Item = typename Container::value_type;
    const std::size_t capacity = held.capacity();
    if (held.size() + more <= capacity) return;
    const std::size_t larger = std::max(capacity * 2, held.size() + more);
    account.charge(saturating_mul(larger, sizeof(Item)), std::forward<What>(what));
    held.reserve(larger);
    account.release(capacity * sizeof(Item));
}

/// Charges `account` with what a structure the call fills has gained since `charged`, its size
/// in bytes when last charged, given its size `now`; then `charged` is `now`. Throws as
/// MemoryAccount::charge does.
template <class What>
void charge_growth(MemoryAccount& account, std::size_t now, std::size_t& charged, What&& what) {
    if (now <= charged) return;
    account.charge(now - charged, std::forward<What>(what));
    charged = now;
}

}  // namespace velko::util
