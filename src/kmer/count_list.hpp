// CountList: the counts of one result, owned alone or as a slice of a block many results share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace velko::kmer {

/// A fixed-size list of counts. The results of a FASTA file are carved from a few large blocks
/// instead of one zeroed allocation each; a block lives while any of its lists does, so blocks
/// are kept small enough that a few results kept from a large file hold little else. Copies
/// are deep and owned.
class CountList {
public:
    CountList() = default;
    /// Takes over `counts` (implicit: any vector of counts is a count list).
    CountList(std::vector<std::uint64_t>&& counts) noexcept  // NOLINT(google-explicit-constructor)
        : owned_(std::move(counts)), data_(owned_.data()), size_(owned_.size()) {}
    /// `size` counts at `data`, inside the memory `block` keeps alive.
    CountList(std::shared_ptr<void> block, std::uint64_t* data, std::size_t size) noexcept
        : block_(std::move(block)), data_(data), size_(size) {}
    CountList(const CountList& other)
        : CountList(std::vector<std::uint64_t>(other.begin(), other.end())) {}
    // A moved vector keeps its buffer, so data_ stays valid in the new owner.
    CountList(CountList&& other) noexcept
        : owned_(std::move(other.owned_)),
          block_(std::move(other.block_)),
          data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}
    CountList& operator=(CountList other) noexcept {
        swap(other);
        return *this;
    }

    void swap(CountList& other) noexcept {
        owned_.swap(other.owned_);
        block_.swap(other.block_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
    }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] std::uint64_t* data() { return data_; }
    [[nodiscard]] const std::uint64_t* data() const { return data_; }
    [[nodiscard]] std::uint64_t* begin() { return data_; }
    [[nodiscard]] std::uint64_t* end() { return data_ + size_; }
    [[nodiscard]] const std::uint64_t* begin() const { return data_; }
    [[nodiscard]] const std::uint64_t* end() const { return data_ + size_; }
    std::uint64_t& operator[](std::size_t i) { return data_[i]; }
    const std::uint64_t& operator[](std::size_t i) const { return data_[i]; }
    operator std::span<std::uint64_t>() { return {data_, size_}; }              // NOLINT
    operator std::span<const std::uint64_t>() const { return {data_, size_}; }  // NOLINT

    bool operator==(const CountList& other) const {
        return std::equal(begin(), end(), other.begin(), other.end());
    }

private:
    std::vector<std::uint64_t> owned_;
    std::shared_ptr<void> block_;
    std::uint64_t* data_ = nullptr;
    std::size_t size_ = 0;
};

/// `bytes` zeroed bytes straight from the system, asking for huge pages, unmapped when the last
/// owner drops them. Throws std::bad_alloc when the system refuses.
[[nodiscard]] std::shared_ptr<void> map_zeroed_block(std::size_t bytes);

}  // namespace velko::kmer
