// Transparent-huge-page advice for large, freshly allocated blocks.
//
// On the virtual machines this code runs on, the first touch of a 4 KiB page costs
// microseconds, so a table of tens of megabytes filled front to back spends more
// time in the kernel than in the loop that fills it. Advising the block before it
// is touched lets the kernel fault it in 2 MiB at a time.
//
// Only a hint: where huge pages are unavailable the kernel ignores it, and nothing
// observable depends on it. Callers pick their own size threshold, since advising a
// block that holds at most one huge page only splits its mapping.
#pragma once

#include <cstddef>

namespace brantel::support {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Advises the whole 2 MiB pages inside [data, data + bytes); a no-op for null data
// or a range holding none.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

}  // namespace brantel::support
