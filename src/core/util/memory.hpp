// Memory the process may still take, byte arithmetic that saturates, and huge-page advice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>

namespace velko::util {

/// a * b, or UINT64_MAX when the product does not fit: byte estimates saturate, never wrap.
[[nodiscard]] std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);

/// a + b, saturating like saturating_mul.
[[nodiscard]] std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

/// What the process may still take: the smallest headroom under the machine's physical memory,
/// what the kernel reports available, the memory limit of each cgroup from the process's own up
/// to the root (v2 or v1, reclaimable file cache not counted as used), and the address-space
/// and data limits (RLIMIT_AS, RLIMIT_DATA) less what is in use. Reads a few kernel files:
/// microseconds, so only large requests ask.
[[nodiscard]] std::uint64_t memory_headroom();

/// Estimates below this are never checked: looking costs more than small work, and no limit
/// worth having is that tight. Many small pieces add up in a MemoryAccount instead.
inline constexpr std::uint64_t kUncheckedBytes = std::uint64_t{64} << 20;

/// What a MemoryAccount keeps before it first looks at the headroom. Far below
/// kUncheckedBytes: the limit seen then holds until the next look, so under a tight limit (an
/// address space of a few hundred MB) the account refuses before an allocation fails, and a
/// call that keeps this much has done work enough that one look costs nothing by comparison.
inline constexpr std::uint64_t kFirstLookBytes = std::uint64_t{4} << 20;

/// What a refused request was for: "k = 16" and "4^16 counts" make "k = 16 needs about 412 GiB
/// (4^16 counts), more than the 23 GiB available". `exact_bytes`, when not 0, is the size to
/// show where the byte count saturated.
struct MemoryNeed {
    std::string what;
    std::string detail = {};
    double exact_bytes = 0;
};

/// The refusal of a request that would not fit: a std::bad_alloc whose what() says what was
/// refused, raised in Python as MemoryError with that text.
class MemoryRefused : public std::bad_alloc {
public:
    MemoryRefused(std::uint64_t bytes, std::uint64_t headroom, const MemoryNeed& need);
    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

namespace detail {
template <class What>
MemoryNeed describe(What&& what) {
    if constexpr (std::is_invocable_v<What>) {
        return std::forward<What>(what)();
    } else {
        return MemoryNeed{.what = std::string(what)};
    }
}
}  // namespace detail

/// Refuses, by throwing MemoryRefused, a peak of `bytes` more than memory_headroom(): a result
/// that cannot fit must fail before it is built, not get the process killed halfway. `what` is
/// the subject of the message, or a function returning a MemoryNeed, called only on refusal.
template <class What>
void require_memory(std::uint64_t bytes, What&& what) {
    if (bytes < kUncheckedBytes) return;
    const std::uint64_t headroom = memory_headroom();
    if (bytes > headroom) throw MemoryRefused(bytes, headroom, detail::describe(what));
}

/// The memory one call keeps as it goes (count lists, record ids, a line being read), checked
/// against the headroom as it grows: a call that streams its input can only learn its size as it
/// reads, and must stop when its total would not fit rather than when the machine is full.
class MemoryAccount {
public:
    /// Adds `bytes` about to be kept; throws MemoryRefused, naming `what` as require_memory
    /// does, when the call's total would pass what was free when it started keeping.
    template <class What>
    void charge(std::uint64_t bytes, What&& what) {
        total_ = saturating_add(total_, bytes);
        if ((total_ >= next_look_ || total_ > limit_) && !fits(bytes)) {
            throw MemoryRefused(total_, limit_, detail::describe(what));
        }
    }
    /// Takes back `bytes` charged before and since let go.
    void release(std::uint64_t bytes) noexcept { total_ -= bytes < total_ ? bytes : total_; }
    /// The bytes charged and not released.
    [[nodiscard]] std::uint64_t total() const noexcept { return total_; }

private:
    // Looks at the headroom again when the total has grown enough to matter; false when the
    // total passes the call's limit.
    [[nodiscard]] bool fits(std::uint64_t bytes);

    std::uint64_t total_ = 0;
    std::uint64_t limit_ = UINT64_MAX;  // the most this call may keep, as last seen
    std::uint64_t next_look_ = kFirstLookBytes;
};

/// The huge page the kernel backs memory with where asked (x86-64 and arm64 with 4 KiB pages).
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

/// The smallest buffer that huge pages are asked for: below it a partly used huge page would
/// cost more zeroing than its fewer faults and TLB misses save.
inline constexpr std::size_t kHugePagesFrom = 2 * kHugePageBytes;

/// Asks for huge pages behind [data, data + bytes) when it is at least kHugePagesFrom, before
/// the memory is first touched. Large buffers written or read at random otherwise pay a TLB miss
/// (and, on first touch, a page fault) every 4 KiB. The kernel may refuse; that costs nothing.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace velko::util
