#include "support/retained_mappings.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>

#include "support/huge_pages.h"
#include "support/no_destructor.h"
#include "support/word_lock.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brantel::support {

namespace {

#if defined(__linux__)

struct Retained {
  char* data;
  std::size_t bytes;
};

// Oldest first, in a fixed array: the list never allocates, so handing memory
// back cannot fail. A few dozen entries at most, so a linear scan is the
// fastest look-up there is; it runs once per buffer growth, not per element.
class RetainedList {
 public:
  void* take(std::size_t bytes, bool huge_aligned) noexcept {
    std::lock_guard lock(mu_);
    std::size_t best = count_;
    for (std::size_t k = 0; k < count_; ++k) {
      const Retained& r = kept_[k];
      if (r.bytes < bytes) continue;
      if (huge_aligned && reinterpret_cast<std::uintptr_t>(r.data) % kHugePageBytes != 0) continue;
      if (best == count_ || r.bytes < kept_[best].bytes) best = k;
    }
    if (best == count_) return nullptr;
    Retained& r = kept_[best];
    char* out = r.data;
    total_ -= bytes;
    if (r.bytes == bytes) {
      std::copy(kept_.begin() + static_cast<std::ptrdiff_t>(best) + 1,
                kept_.begin() + static_cast<std::ptrdiff_t>(count_), kept_.begin() + static_cast<std::ptrdiff_t>(best));
      --count_;
    } else {
      // The head goes; the rest stays retained in its place.
      r.data += bytes;
      r.bytes -= bytes;
    }
    return out;
  }

  void release(char* data, std::size_t bytes) noexcept {
    std::array<Retained, kMaxEntries + 1> dropped;
    std::size_t drop = 0;
    {
      std::lock_guard lock(mu_);
      if (bytes > kRetainedBytes) {
        dropped[drop++] = {data, bytes};
      } else {
        while (total_ + bytes > kRetainedBytes || count_ == kMaxEntries) {
          total_ -= kept_[drop].bytes;
          dropped[drop] = kept_[drop];
          ++drop;
          --count_;
        }
        std::copy(kept_.begin() + static_cast<std::ptrdiff_t>(drop),
                  kept_.begin() + static_cast<std::ptrdiff_t>(drop + count_), kept_.begin());
        kept_[count_++] = {data, bytes};
        total_ += bytes;
      }
    }
    // Outside the lock: unmapping a large range takes a while.
    for (std::size_t k = 0; k < drop; ++k) munmap(dropped[k].data, dropped[k].bytes);
  }

  std::size_t total() noexcept {
    std::lock_guard lock(mu_);
    return total_;
  }

 private:
  static constexpr std::size_t kMaxEntries = 64;

  // Never throws, so neither can taking nor handing back.
  WordLock mu_;
  std::array<Retained, kMaxEntries> kept_{};
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

RetainedList& retained() {
  static NoDestructor<RetainedList> list;
  return list.get();
}

#endif

}  // namespace

#if defined(__linux__)

void* take_retained(std::size_t bytes, bool huge_aligned) noexcept { return retained().take(bytes, huge_aligned); }

void release_mapping(void* data, std::size_t bytes) noexcept {
  if (data != nullptr) retained().release(static_cast<char*>(data), bytes);
}

std::size_t retained_bytes() noexcept { return retained().total(); }

#else

void* take_retained(std::size_t, bool) noexcept { return nullptr; }
void release_mapping(void*, std::size_t) noexcept {}
std::size_t retained_bytes() noexcept { return 0; }

#endif

}  // namespace brantel::support
