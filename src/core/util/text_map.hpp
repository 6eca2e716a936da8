// TextMap: a compact hash map from text to a value, for tables looked up one key at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velko::util {

/// Maps text keys (compared byte for byte) to values. Open addressing over a small slot array,
/// entries in one vector and keys in one buffer: a lookup touches a slot, an entry and its key,
/// where a node-based map chases several pointers scattered over the heap. Entries are never
/// removed; pointers to values stay valid until the next insertion.
template <class Value>
class TextMap {
public:
    [[nodiscard]] std::size_t size() const { return entries_.size(); }

    /// The value stored under `key`, or nullptr.
    [[nodiscard]] const Value* find(std::string_view key) const {
        if (entries_.empty()) return nullptr;
        const std::uint64_t hash = hash_of(key);
        const std::uint32_t tag = tag_of(hash);
        for (std::size_t at = hash & mask(); slots_[at].entry != 0; at = (at + 1) & mask()) {
            const Slot& slot = slots_[at];
            if (slot.tag != tag) continue;
            const Entry& entry = entries_[slot.entry - 1];
            if (key_of(entry) == key) return &entry.value;
        }
        return nullptr;
    }
    [[nodiscard]] Value* find(std::string_view key) {
        return const_cast<Value*>(std::as_const(*this).find(key));
    }

    /// The value under `key`, made from `Value{}` when the key is new; true when it was new.
    std::pair<Value*, bool> try_emplace(std::string_view key) {
        if ((entries_.size() + 1) * 4 > slots_.size() * 3) grow();
        const std::uint64_t hash = hash_of(key);
        const std::uint32_t tag = tag_of(hash);
        std::size_t at = hash & mask();
        for (; slots_[at].entry != 0; at = (at + 1) & mask()) {
            const Slot& slot = slots_[at];
            if (slot.tag != tag) continue;
            Entry& entry = entries_[slot.entry - 1];
            if (key_of(entry) == key) return {&entry.value, false};
        }
        entries_.push_back(Entry{keys_.size(), Value{}});
        keys_.append(key);
        slots_[at] = Slot{tag, static_cast<std::uint32_t>(entries_.size())};
        return {&entries_.back().value, true};
    }

    /// Calls visit(key, value) for every entry, in no defined order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Entry& entry : entries_) visit(key_of(entry), entry.value);
    }

private:
    struct Slot {
        std::uint32_t tag = 0;    // high bits of the key's hash, to skip most key comparisons
        std::uint32_t entry = 0;  // position in entries_ plus one; 0 marks an empty slot
    };
    // The keys sit back to back in entry order, so a key ends where the next one starts.
    struct Entry {
        std::size_t key_at;
        Value value;
    };

    static std::uint64_t hash_of(std::string_view key) {
        return std::hash<std::string_view>{}(key);
    }
    static std::uint32_t tag_of(std::uint64_t hash) {
        return static_cast<std::uint32_t>(hash >> 32);
    }
    [[nodiscard]] std::size_t mask() const { return slots_.size() - 1; }
    [[nodiscard]] std::string_view key_of(const Entry& entry) const {
        const std::size_t end = &entry == &entries_.back() ? keys_.size() : (&entry + 1)->key_at;
        return std::string_view(keys_).substr(entry.key_at, end - entry.key_at);
    }

    // At most three slots in four are used: probe runs stay a cache line or two long, and the
    // tags spare the keys of all but the entry looked for.
    void grow() {
        std::vector<Slot> slots(slots_.empty() ? 16 : slots_.size() * 2);
        const std::size_t new_mask = slots.size() - 1;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const std::uint64_t hash = hash_of(key_of(entries_[i]));
            std::size_t at = hash & new_mask;
            while (slots[at].entry != 0) at = (at + 1) & new_mask;
            slots[at] = Slot{tag_of(hash), static_cast<std::uint32_t>(i + 1)};
        }
        slots_ = std::move(slots);
    }

    std::vector<Slot> slots_;
    std::vector<Entry> entries_;
    std::string keys_;  // every key, back to back
};

}  // namespace velko::util
