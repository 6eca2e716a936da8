// Memory the process may still take, byte arithmetic that saturates, and huge-page advice.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velko::util {

/// a * b, or UINT64_MAX when the product does not fit: byte estimates saturate, never wrap.
[[nodiscard]] std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);

/// a + b, saturating like saturating_mul.
[[nodiscard]] std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

/// The memory a new result may take: the machine's physical memory, lowered to what the kernel
/// reports available now and to what is left under the cgroup limit when one is set.
[[nodiscard]] std::uint64_t memory_limit();

/// Estimates up to this many bytes are let through without asking the system: memory_limit()
/// reads several files, which costs far more than the small work it would guard.
inline constexpr std::uint64_t kUncheckedBytes = std::uint64_t{64} << 20;

/// Refuses, by throwing std::bad_alloc, a peak of `bytes` that exceeds memory_limit(): a result
/// that cannot fit must fail before it is built, not get the process killed halfway. Peaks up to
/// kUncheckedBytes pass unchecked.
void require_memory(std::uint64_t bytes);

/// Asks for huge pages behind [data, data + bytes) when it is large enough to gain, before the
/// memory is first touched. Large buffers written or read at random otherwise pay a TLB miss
/// (and, on first touch, a page fault) every 4 KiB. The kernel may refuse; that costs nothing.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace velko::util
