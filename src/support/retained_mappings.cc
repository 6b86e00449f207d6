#include "support/retained_mappings.h"

#include <cstdint>
#include <mutex>
#include <vector>

#include "support/huge_pages.h"
#include "support/no_destructor.h"

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

// Oldest first. A few dozen entries at most, so a linear scan is the fastest
// look-up there is; it runs once per buffer growth, not per element.
class RetainedList {
 public:
  void* take(std::size_t bytes, bool huge_aligned) {
    std::lock_guard lock(mu_);
    std::size_t best = kept_.size();
    for (std::size_t k = 0; k < kept_.size(); ++k) {
      const Retained& r = kept_[k];
      if (r.bytes < bytes) continue;
      if (huge_aligned && reinterpret_cast<std::uintptr_t>(r.data) % kHugePageBytes != 0) continue;
      if (best == kept_.size() || r.bytes < kept_[best].bytes) best = k;
    }
    if (best == kept_.size()) return nullptr;
    Retained& r = kept_[best];
    char* out = r.data;
    total_ -= bytes;
    if (r.bytes == bytes) {
      kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(best));
    } else {
      // The head goes; the rest stays retained in its place.
      r.data += bytes;
      r.bytes -= bytes;
    }
    return out;
  }

  void release(char* data, std::size_t bytes) {
    std::vector<Retained> dropped;
    {
      std::lock_guard lock(mu_);
      if (bytes > kRetainedBytes) {
        dropped.push_back({data, bytes});
      } else {
        std::size_t drop = 0;
        std::size_t total = total_;
        while (total + bytes > kRetainedBytes || kept_.size() - drop >= kMaxEntries) {
          total -= kept_[drop].bytes;
          ++drop;
        }
        dropped.assign(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
        kept_.push_back({data, bytes});
        total_ = total + bytes;
      }
    }
    // Outside the lock: unmapping a large range takes a while.
    for (const Retained& r : dropped) munmap(r.data, r.bytes);
  }

  std::size_t total() {
    std::lock_guard lock(mu_);
    return total_;
  }

 private:
  static constexpr std::size_t kMaxEntries = 64;

  std::mutex mu_;
  std::vector<Retained> kept_;
  std::size_t total_ = 0;
};

RetainedList& retained() {
  static NoDestructor<RetainedList> list;
  return list.get();
}

#endif

}  // namespace

#if defined(__linux__)

void* take_retained(std::size_t bytes, bool huge_aligned) noexcept {
  try {
    return retained().take(bytes, huge_aligned);
  } catch (...) {
    return nullptr;  // a lock failure: map fresh memory instead
  }
}

void release_mapping(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  try {
    retained().release(static_cast<char*>(data), bytes);
  } catch (...) {
    munmap(data, bytes);  // no room to keep it: give it back
  }
}

std::size_t retained_bytes() noexcept {
  try {
    return retained().total();
  } catch (...) {
    return 0;
  }
}

#else

void* take_retained(std::size_t, bool) noexcept { return nullptr; }
void release_mapping(void*, std::size_t) noexcept {}
std::size_t retained_bytes() noexcept { return 0; }

#endif

}  // namespace brantel::support
