// TextMap: a compact hash map from text to a value, for tables looked up one key at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/block_vector.hpp"

namespace velko::util {

/// Maps text keys (compared byte for byte) to values. Open addressing over a small slot array,
/// entries and keys in blocks: a lookup touches a slot, an entry and its key, where a
/// node-based map chases several pointers scattered over the heap. Entries are never removed
/// and never move, so pointers to values stay valid for the map's life.
///
/// Growing never copies the entries or the keys: they fill fixed blocks, so a table of a
/// million genes holds each byte once instead of twice while a vector or string doubles.
/// Throws std::bad_alloc past 2^32 - 1 entries.
template <class Value>
class TextMap {
public:
    [[nodiscard]] std::size_t size() const { return entries_.size(); }
    /// The bytes the map holds: slots, entries and keys, used or not.
    [[nodiscard]] std::size_t memory_bytes() const {
        return slot_count_ * sizeof(Slot) + entries_.capacity_bytes() + key_bytes_;
    }

    /// The value stored under `key`, or nullptr.
    [[nodiscard]] const Value* find(std::string_view key) const {
        if (entries_.empty()) return nullptr;
        const std::uint64_t hash = hash_of(key);
        const std::uint32_t tag = tag_of(hash);
        for (std::size_t at = hash & mask(); slots_[at].entry != 0; at = (at + 1) & mask()) {
            const Slot& slot = slots_[at];
            if (slot.tag != tag) continue;
            if (key_of(slot.entry - 1) == key) return &entries_[slot.entry - 1].value;
        }
        return nullptr;
    }
    [[nodiscard]] Value* find(std::string_view key) {
        return const_cast<Value*>(std::as_const(*this).find(key));
    }

    /// The value under `key`, made from `Value{}` when the key is new; true when it was new.
    std::pair<Value*, bool> try_emplace(std::string_view key) {
        if ((entries_.size() + 1) * 4 > slot_count_ * 3) grow();
        const std::uint64_t hash = hash_of(key);
        const std::uint32_t tag = tag_of(hash);
        std::size_t at = hash & mask();
        for (; slots_[at].entry != 0; at = (at + 1) & mask()) {
            const Slot& slot = slots_[at];
            if (slot.tag != tag) continue;
            if (key_of(slot.entry - 1) == key) return {&entries_[slot.entry - 1].value, false};
        }
        if (entries_.size() >= UINT32_MAX) throw std::bad_alloc();
        // Room first, then the key: a refusal at either step leaves the map as it was.
        entries_.reserve_one();
        Entry& added = entries_.push_back(Entry{store_key(key), Value{}});
        slots_[at] = Slot{tag, static_cast<std::uint32_t>(entries_.size())};
        return {&added.value, true};
    }

    /// Calls visit(key, value) for every entry, in the order the keys were added.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t i = 0; i < entries_.size(); ++i) visit(key_of(i), entries_[i].value);
    }

private:
    struct Slot {
        std::uint32_t tag = 0;    // high bits of the key's hash, to skip most key comparisons
        std::uint32_t entry = 0;  // position of the entry plus one; 0 marks an empty slot
    };
    // A key is named by its block (high 32 bits) and its place in the block. Keys sit back to
    // back in entry order, so a key ends where the next one starts, or at its block's end.
    struct Entry {
        std::uint64_t key_at;
        Value value;
    };
    // A key block holds 256 KiB, or one longer key.
    static constexpr std::size_t kKeyBlock = std::size_t{256} << 10;

    static std::uint64_t hash_of(std::string_view key) {
        return std::hash<std::string_view>{}(key);
    }
    static std::uint32_t tag_of(std::uint64_t hash) {
        return static_cast<std::uint32_t>(hash >> 32);
    }
    [[nodiscard]] std::size_t mask() const { return slot_count_ - 1; }
    [[nodiscard]] std::string_view key_of(std::size_t i) const {
        const std::uint64_t at = entries_[i].key_at;
        const std::string& block = keys_[at >> 32];
        std::size_t end = block.size();
        if (i + 1 < entries_.size() && (entries_[i + 1].key_at >> 32) == (at >> 32)) {
            end = entries_[i + 1].key_at & UINT32_MAX;
        }
        const std::size_t start = at & UINT32_MAX;
        return std::string_view(block).substr(start, end - start);
    }

    std::uint64_t store_key(std::string_view key) {
        if (key.size() >= UINT32_MAX) throw std::bad_alloc();
        if (keys_.empty() ||
            (!keys_.back().empty() && keys_.back().size() + key.size() > kKeyBlock)) {
            keys_.emplace_back();
            // The first block doubles as it fills; later ones start at their final size.
            if (keys_.size() > 1) {
                keys_.back().reserve(std::max(kKeyBlock, key.size()));
                key_bytes_ += keys_.back().capacity();
            }
        }
        std::string& block = keys_.back();
        const std::uint64_t at = (std::uint64_t{keys_.size() - 1} << 32) | block.size();
        const std::size_t capacity = block.capacity();
        block.append(key);
        key_bytes_ += block.capacity() - capacity;
        return at;
    }
    // At most three slots in four are used: probe runs stay a cache line or two long, and the
    // tags spare the keys of all but the entry looked for. The slots are placed again from the
    // entries alone, so the array is resized in place (a large one is remapped, not copied)
    // and never coexists with a copy of itself; a refusal leaves it as it was.
    void grow() {
        const std::size_t count = slot_count_ == 0 ? 16 : slot_count_ * 2;
        void* grown = std::realloc(slots_.get(), count * sizeof(Slot));
        if (grown == nullptr) throw std::bad_alloc();
        slots_.release();
        slots_.reset(static_cast<Slot*>(grown));
        slot_count_ = count;
        std::memset(grown, 0, count * sizeof(Slot));
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const std::uint64_t hash = hash_of(key_of(i));
            std::size_t at = hash & mask();
            while (slots_[at].entry != 0) at = (at + 1) & mask();
            slots_[at] = Slot{tag_of(hash), static_cast<std::uint32_t>(i + 1)};
        }
    }

    struct Free {
        void operator()(Slot* slots) const { std::free(slots); }
    };
    std::unique_ptr<Slot[], Free> slots_;
    std::size_t slot_count_ = 0;
    BlockVector<Entry> entries_;
    std::vector<std::string> keys_;
    std::size_t key_bytes_ = 0;  // the capacity of the key blocks
};

}  // namespace velko::util
