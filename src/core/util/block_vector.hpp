// BlockVector: a growing array whose elements never move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace velko::util {

/// Elements in blocks of 2^Shift, all full but the last; the first block grows by doubling up
/// to that size, so a small vector stays small. Growing never copies more than a block, where
/// a doubling vector holds its old copy beside the new one, and references stay valid.
template <class T, unsigned Shift = 12>
class BlockVector {
public:
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    /// The bytes its blocks hold, used or not.
    [[nodiscard]] std::size_t capacity_bytes() const {
        if (blocks_.empty()) return 0;
        return ((blocks_.size() - 1) * kBlock + blocks_.back().capacity()) * sizeof(T);
    }

    [[nodiscard]] const T& operator[](std::size_t i) const {
        return blocks_[i >> Shift][i & (kBlock - 1)];
    }
    [[nodiscard]] T& operator[](std::size_t i) { return blocks_[i >> Shift][i & (kBlock - 1)]; }

    /// Makes room for one more element, so that the next push_back cannot fail; a refusal
    /// (std::bad_alloc) leaves the vector as it was.
    void reserve_one() {
        if (blocks_.empty() || blocks_.back().size() == kBlock) {
            blocks_.emplace_back();
            if (blocks_.size() > 1) blocks_.back().reserve(kBlock);
        }
        std::vector<T>& block = blocks_.back();
        if (block.size() == block.capacity()) {
            block.reserve(std::min(kBlock, std::max<std::size_t>(16, 2 * block.size())));
        }
    }

    /// Appends `value`; a refusal leaves the vector as it was.
    T& push_back(const T& value) {
        reserve_one();
        T& added = blocks_.back().emplace_back(value);
        ++size_;
        return added;
    }

private:
    static constexpr std::size_t kBlock = std::size_t{1} << Shift;

    std::vector<std::vector<T>> blocks_;
    std::size_t size_ = 0;
};

}  // namespace velko::util
