// Freed large mappings, kept for the next large buffer instead of going back to
// the kernel.
//
// On the virtual machines this code runs on, the kernel hands out fresh memory
// at about 3 GB/s: every page is faulted in and zeroed on first touch. A store
// of 100,000 nodes spent a fifth of its adds there, and every e-graph run or
// reduction pays it again for tables the last one just freed. Like malloc,
// which keeps freed memory below its trim threshold, the large buffers keep up
// to kRetainedBytes of freed mappings, already faulted in, and take memory from
// there first.
//
// A run on a million terms frees a few hundred megabytes at once, far more than
// that. Beyond kRetainedBytes, up to kLazyRetainedBytes more are kept as lazily
// freed memory (MADV_FREE): the kernel takes those pages back whenever it needs
// memory, and until it does, the next run finds them still mapped and zeroes
// nothing. So the process holds no more than it could give back at once.
//
// Process-wide and thread-safe. A taken range may hold anything, and a page of
// it that the kernel took back reads as zeros until written; a caller that
// needs zeros writes them. Linux only; elsewhere nothing is ever retained.
#pragma once

#include <cstddef>

namespace brantel::support {

inline constexpr std::size_t kRetainedBytes = std::size_t{64} << 20;
inline constexpr std::size_t kLazyRetainedBytes = std::size_t{1} << 30;

// `bytes` (a multiple of the page size) of a retained mapping, or nullptr when
// none is large enough. With `huge_aligned`, only a range that starts on a
// huge-page boundary will do. The range is the caller's until it hands it back
// to release_mapping with the same size.
void* take_retained(std::size_t bytes, bool huge_aligned) noexcept;

// Keeps the mapping [data, data + bytes) for a later take_retained: as it is while
// it fits within kRetainedBytes, else lazily freed, dropping the oldest lazily
// freed ones to stay within kLazyRetainedBytes. Unmaps it when it alone is larger
// than that, or when it cannot be freed lazily.
void release_mapping(void* data, std::size_t bytes) noexcept;

// The bytes retained now, lazily freed ones included (for tests and diagnostics).
std::size_t retained_bytes() noexcept;
// Of those, the lazily freed ones.
std::size_t lazily_retained_bytes() noexcept;

}  // namespace brantel::support
