#include "support/huge_pages.h"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brantel::support {

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (data == nullptr) return;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHugePageBytes - 1) & ~(std::uintptr_t{kHugePageBytes} - 1);
  const std::uintptr_t end = (start + bytes) & ~(std::uintptr_t{kHugePageBytes} - 1);
  // A kernel that refuses leaves the block as it was.
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

#if defined(__linux__)
void* map_huge_aligned(std::size_t bytes) {
  // Mapped with a huge page to spare, trimmed off both ends.
  const std::size_t mapped = bytes + kHugePageBytes;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(std::uintptr_t{kHugePageBytes} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + bytes;
  const std::uintptr_t end = start + mapped;
  if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
  return reinterpret_cast<void*>(aligned);
}
#endif

}  // namespace brantel::support
