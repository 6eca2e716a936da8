// Advice to the kernel about large buffers.
#pragma once

#include <cstddef>

namespace velko {

/// Asks for huge pages behind [data, data + bytes) when it is large enough to gain, before the
/// memory is first touched. Large buffers written or read at random otherwise pay a TLB miss
/// (and, on first touch, a page fault) every 4 KiB. The kernel may refuse; that costs nothing.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace velko
