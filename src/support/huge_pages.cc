#include "support/huge_pages.h"

#include <cstdint>

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

}  // namespace brantel::support
