#include "store/graph/flat_buffer.h"

#include <cstdlib>
#include <new>

#include "support/huge_pages.h"

namespace brantel::store::detail {

namespace {

void advise_huge_pages(char* data, std::size_t bytes) {
  if (bytes >= RawStorage::kHugeBytes) support::advise_huge_pages(data, bytes);
}

}  // namespace

void RawStorage::grow_to(std::size_t bytes) {
  if (bytes <= capacity_) return;
  // glibc serves a large block from its own mapping and grows it with mremap,
  // which moves page tables instead of copying bytes.
  void* p = std::realloc(data_, bytes);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  capacity_ = bytes;
  advise_huge_pages(data_, capacity_);
}

RawStorage RawStorage::zeroed(std::size_t bytes) {
  RawStorage out;
  if (bytes == 0) return out;
  // calloc skips the zeroing for a fresh mapping, which reads as zeros.
  void* p = std::calloc(bytes, 1);
  if (p == nullptr) throw std::bad_alloc();
  out.data_ = static_cast<char*>(p);
  out.capacity_ = bytes;
  advise_huge_pages(out.data_, out.capacity_);
  return out;
}

void RawStorage::release() noexcept {
  std::free(data_);
  data_ = nullptr;
  capacity_ = 0;
}

}  // namespace brantel::store::detail
