#include "store/graph/flat_buffer.h"

#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <new>

#include "support/huge_pages.h"
#include "support/retained_mappings.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace brantel::store::detail {

namespace {

#if defined(__linux__)
constexpr bool kOwnMappings = true;

// The whole mapping, not just the 2 MiB pages inside it: advice on part of a
// mapping splits it, and mremap refuses a range that spans more than one.
void advise_huge_pages(char* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes >= RawStorage::kHugeBytes) (void)madvise(data, bytes, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Mappings from this size on are whole huge pages (see mapping_size).
constexpr std::size_t kWholeHugeBytes = std::size_t{4} << 20;

// The size to map for `bytes`: whole pages, and whole huge pages from
// kWholeHugeBytes on. Such a mapping ends on a huge-page boundary, so no 2 MiB
// range of it sticks out past the end; the kernel backs such a range with
// small pages, and they stay small after the mapping grows over them. Below
// kWholeHugeBytes the rounding would cost too large a share of the buffer.
std::size_t mapping_size(std::size_t bytes) {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t unit = bytes >= kWholeHugeBytes ? support::kHugePageBytes : page;
  return (bytes + unit - 1) / unit * unit;
}

char* map_anonymous(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(p);
}

// Retained memory for `bytes` (from mapping_size), or nullptr. One that will be
// advised starts on a huge-page boundary, so that the kernel can back all of it
// with huge pages.
char* take_retained(std::size_t bytes) {
  return static_cast<char*>(support::take_retained(bytes, bytes >= RawStorage::kHugeBytes));
}

// A fresh mapping of `bytes`, aligned as take_retained's.
char* map_fresh(std::size_t bytes) {
  if (bytes < RawStorage::kHugeBytes) return map_anonymous(bytes);
  return static_cast<char*>(support::map_huge_aligned(bytes));
}

// `data`'s mapping of `old_bytes` grown to `bytes`. Into retained memory when
// there is some: copying the contents costs less than faulting in the new
// part. Otherwise moved by page table, never copied: in place when the
// addresses after it are free, else onto a fresh mapping from map_fresh, so
// that it stays on a huge-page boundary.
char* remap_grown(char* data, std::size_t old_bytes, std::size_t bytes) {
  if (char* kept = take_retained(bytes)) {
    std::memcpy(kept, data, old_bytes);
    support::release_mapping(data, old_bytes);
    return kept;
  }
  void* p = mremap(data, old_bytes, bytes, 0);
  if (p != MAP_FAILED) return static_cast<char*>(p);
  char* target = map_fresh(bytes);
  p = mremap(data, old_bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (p == MAP_FAILED) {
    munmap(target, bytes);
    throw std::bad_alloc();
  }
  return static_cast<char*>(p);
}
#else
constexpr bool kOwnMappings = false;
#endif

bool is_mapped(std::size_t capacity) { return kOwnMappings && capacity >= RawStorage::kMapBytes; }

}  // namespace

void RawStorage::grow_to(std::size_t bytes) {
  if (bytes <= capacity_) return;
  if (!is_mapped(bytes)) {
    void* p = std::realloc(data_, bytes);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = bytes;
    return;
  }
#if defined(__linux__)
  const std::size_t mapped = mapping_size(bytes);
  if (is_mapped(capacity_)) {
    data_ = remap_grown(data_, capacity_, mapped);
  } else {
    char* p = take_retained(mapped);
    if (p == nullptr) p = map_fresh(mapped);
    if (capacity_ != 0) std::memcpy(p, data_, capacity_);
    std::free(data_);
    data_ = p;
  }
  capacity_ = mapped;
  advise_huge_pages(data_, capacity_);
#endif
}

RawStorage RawStorage::zeroed(std::size_t bytes) {
  RawStorage out;
  if (bytes == 0) return out;
  if (is_mapped(bytes)) {
#if defined(__linux__)
    // A fresh mapping reads as zeros and costs nothing until touched; retained
    // memory is already faulted in, and zeroing it is the cheaper of the two.
    out.capacity_ = mapping_size(bytes);
    out.data_ = take_retained(out.capacity_);
    if (out.data_ != nullptr) {
      std::memset(out.data_, 0, bytes);
    } else {
      out.data_ = map_fresh(out.capacity_);
    }
    advise_huge_pages(out.data_, out.capacity_);
#endif
    return out;
  }
  void* p = std::calloc(bytes, 1);
  if (p == nullptr) throw std::bad_alloc();
  out.data_ = static_cast<char*>(p);
  out.capacity_ = bytes;
  return out;
}

void RawStorage::release() noexcept {
  if (is_mapped(capacity_)) {
#if defined(__linux__)
    support::release_mapping(data_, capacity_);
#endif
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  capacity_ = 0;
}

}  // namespace brantel::store::detail
