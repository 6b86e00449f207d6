#include "support/retained_mappings.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>

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
  // Freed with MADV_FREE: the kernel may have taken some of its pages back.
  bool lazy;
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
    total_of(r) -= bytes;
    if (r.bytes == bytes) {
      remove(best);
    } else {
      // The head goes; the rest stays retained in its place.
      r.data += bytes;
      r.bytes -= bytes;
    }
    return out;
  }

  void release(char* data, std::size_t bytes) noexcept {
    {
      std::lock_guard lock(mu_);
      if (hot_ + bytes <= kRetainedBytes && count_ < kMaxEntries) {
        append({data, bytes, false});
        return;
      }
    }
    // Freed lazily before it is listed, so no taker can have written to it yet.
    if (bytes > kLazyRetainedBytes || madvise(data, bytes, MADV_FREE) != 0) {
      munmap(data, bytes);
      return;
    }
    std::array<Retained, kMaxEntries> dropped;
    std::size_t drop = 0;
    {
      std::lock_guard lock(mu_);
      while (lazy_ + bytes > kLazyRetainedBytes || count_ == kMaxEntries) {
        // The oldest lazily freed entry, or the oldest of all when the list is full
        // of entries kept as they are. Over the bound there is always a lazy one,
        // since this one alone fits.
        std::size_t victim = 0;
        while (victim < count_ && !kept_[victim].lazy) ++victim;
        if (victim == count_) victim = 0;
        dropped[drop++] = kept_[victim];
        total_of(kept_[victim]) -= kept_[victim].bytes;
        remove(victim);
      }
      append({data, bytes, true});
    }
    // Outside the lock: unmapping a large range takes a while.
    for (std::size_t k = 0; k < drop; ++k) munmap(dropped[k].data, dropped[k].bytes);
  }

  std::size_t total() noexcept {
    std::lock_guard lock(mu_);
    return hot_ + lazy_;
  }
  std::size_t lazy_total() noexcept {
    std::lock_guard lock(mu_);
    return lazy_;
  }

 private:
  static constexpr std::size_t kMaxEntries = 64;

  std::size_t& total_of(const Retained& r) noexcept { return r.lazy ? lazy_ : hot_; }
  void append(const Retained& r) noexcept {
    kept_[count_++] = r;
    total_of(r) += r.bytes;
  }
  void remove(std::size_t k) noexcept {
    std::copy(kept_.begin() + static_cast<std::ptrdiff_t>(k) + 1,
              kept_.begin() + static_cast<std::ptrdiff_t>(count_), kept_.begin() + static_cast<std::ptrdiff_t>(k));
    --count_;
  }

  // Never throws, so neither can taking nor handing back.
  std::mutex mu_;
  std::array<Retained, kMaxEntries> kept_{};
  std::size_t count_ = 0;
  std::size_t hot_ = 0;   // kept as they were freed
  std::size_t lazy_ = 0;  // freed with MADV_FREE
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
std::size_t lazily_retained_bytes() noexcept { return retained().lazy_total(); }

#else

void* take_retained(std::size_t, bool) noexcept { return nullptr; }
void release_mapping(void*, std::size_t) noexcept {}
std::size_t retained_bytes() noexcept { return 0; }
std::size_t lazily_retained_bytes() noexcept { return 0; }

#endif

}  // namespace brantel::support
