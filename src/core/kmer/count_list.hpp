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

class CountBlock;
struct DeadPages;

/// A fixed-size list of counts. The results of a FASTA file are carved from a few large blocks
/// instead of one zeroed allocation each (see CountPool); a list dropped from a block hands its
/// pages back while the block lives on, so results kept after the others are dropped hold about
/// their own size. Copies are deep and owned.
class CountList {
public:
    CountList() = default;
    /// Takes over `counts` (implicit: any vector of counts is a count list).
    CountList(std::vector<std::uint64_t>&& counts) noexcept
        : owned_(std::move(counts)), data_(owned_.data()), size_(owned_.size()) {}
    /// `size` counts at `data`, inside `block`, which CountPool has counted the list in.
    CountList(std::shared_ptr<CountBlock> block, std::uint64_t* data, std::size_t size) noexcept
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
    ~CountList();

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
    // Implicit, like the vector it stands in for: kernels take the counts as a span.
    operator std::span<std::uint64_t>() { return {data_, size_}; }
    operator std::span<const std::uint64_t>() const { return {data_, size_}; }

    bool operator==(const CountList& other) const {
        return std::equal(begin(), end(), other.begin(), other.end());
    }

private:
    std::vector<std::uint64_t> owned_;
    std::shared_ptr<CountBlock> block_;
    std::uint64_t* data_ = nullptr;
    std::size_t size_ = 0;
};

/// Zeroed count lists carved in turn from blocks mapped straight from the system: a few system
/// calls serve thousands of short records, and memory the system hands out arrives zeroed, so
/// no byte is written twice. A block is unmapped when its last list goes; before that, pages
/// that no list holds any longer are handed back to the system, a run at a time.
class CountPool {
public:
    CountPool();
    /// Hands back the unused end of the last block (the lists keep the rest).
    ~CountPool();
    CountPool(const CountPool&) = delete;
    CountPool& operator=(const CountPool&) = delete;

    /// Counts left in the current block.
    [[nodiscard]] std::size_t room() const { return room_; }

    /// Maps a new block of `counts` zeroed counts, asking for huge pages when it is large; lists
    /// are taken from it until it has no room. Throws std::bad_alloc when the system refuses.
    void new_block(std::size_t counts);

    /// The next `size` counts of the current block, which must have room for them.
    [[nodiscard]] CountList take(std::size_t size);

private:
    std::shared_ptr<DeadPages> dead_;
    std::shared_ptr<CountBlock> block_;
    std::uint64_t* next_ = nullptr;
    std::size_t room_ = 0;
};

/// `bytes` zeroed bytes straight from the system, for munmap to free; a large block starts on a
/// huge-page boundary and asks for huge pages. Throws std::bad_alloc when the system refuses.
[[nodiscard]] char* map_zeroed(std::size_t bytes);

/// `bytes` zeroed bytes straight from the system, asking for huge pages, unmapped when the last
/// owner drops them. Throws std::bad_alloc when the system refuses.
[[nodiscard]] std::shared_ptr<void> map_zeroed_block(std::size_t bytes);

}  // namespace velko::kmer
