// FlatBuffer<T>: a flat, growable array of trivially copyable values, for the
// store's large buffers (record bytes, record offsets, the intern table).
//
// std::string and std::vector grow by allocating twice the size and copying. At
// a million nodes that copies about 100 MB of record bytes and faults every
// page in twice. A FlatBuffer of kMapBytes or more is a mapping of its own
// instead, grown with mremap: the kernel moves page tables, and nothing is
// copied or faulted in again. (glibc's realloc does that only while its mmap
// threshold, which rises each time a process frees a large block, stays below
// the buffer's size; past it, every doubling copies.) Buffers of kHugeBytes or
// more ask for transparent huge pages, which turns 512 page faults into one
// and spares the intern table's random probes most TLB misses; the resident
// cost is at most one partly used 2 MiB page per buffer. A freed mapping is
// retained for the next buffer that grows (support/retained_mappings.h), which
// then copies into memory already faulted in rather than fault in more.
//
// Elements beyond size() hold no particular value except after zeroed(), which
// promises zeros up to size() (a fresh mapping is zero without being written).
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace brantel::store {

namespace detail {

// Untyped storage behind FlatBuffer; see the file comment for the policy.
class RawStorage {
 public:
  static constexpr std::size_t kMapBytes = std::size_t{256} << 10;
  static constexpr std::size_t kHugeBytes = std::size_t{2} << 20;

  RawStorage() noexcept = default;
  RawStorage(RawStorage&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  RawStorage& operator=(RawStorage&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  RawStorage(const RawStorage&) = delete;
  RawStorage& operator=(const RawStorage&) = delete;
  ~RawStorage() { release(); }

  char* data() const noexcept { return data_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Makes room for at least `bytes`, keeping the contents. Throws
  // std::bad_alloc when memory is exhausted.
  void grow_to(std::size_t bytes);
  // Fresh storage of at least `bytes` zero bytes; the old contents are dropped.
  static RawStorage zeroed(std::size_t bytes);

 private:
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t capacity_ = 0;  // bytes
};

}  // namespace detail

template <typename T>
class FlatBuffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "FlatBuffer moves its elements as bytes");

 public:
  FlatBuffer() noexcept = default;
  FlatBuffer(FlatBuffer&& other) noexcept
      : storage_(std::move(other.storage_)), size_(std::exchange(other.size_, 0)) {}
  FlatBuffer& operator=(FlatBuffer&& other) noexcept {
    storage_ = std::move(other.storage_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  // A copy is sized to the contents, not to the source's capacity.
  FlatBuffer(const FlatBuffer& other) { assign(other.data(), other.size()); }
  FlatBuffer& operator=(const FlatBuffer& other) {
    if (this != &other) {
      clear();
      assign(other.data(), other.size());
    }
    return *this;
  }

  // `count` zero elements.
  static FlatBuffer zeroed(std::size_t count) {
    FlatBuffer out;
    out.storage_ = detail::RawStorage::zeroed(count * sizeof(T));
    out.size_ = count;
    return out;
  }

  T* data() noexcept { return reinterpret_cast<T*>(storage_.data()); }
  const T* data() const noexcept { return reinterpret_cast<const T*>(storage_.data()); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return storage_.capacity() / sizeof(T); }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }

  void reserve(std::size_t count) {
    if (count > capacity()) storage_.grow_to(count * sizeof(T));
  }
  // Room for `more` elements beyond size(), grown as appends grow.
  void reserve_more(std::size_t more) {
    if (more > capacity() - size_) grow_for(more);
  }
  void clear() noexcept { size_ = 0; }
  void push_back(const T& value) {
    if (size_ == capacity()) grow_for(1);
    data()[size_++] = value;
  }
  void append(const T* values, std::size_t count) {
    if (count > capacity() - size_) grow_for(count);
    if (count != 0) std::memcpy(data() + size_, values, count * sizeof(T));
    size_ += count;
  }
  // Appends `count` elements left for the caller to write, and returns where
  // they start: a writer that knows a field's size fills it in place.
  T* extend(std::size_t count) {
    if (count > capacity() - size_) grow_for(count);
    T* at = data() + size_;
    size_ += count;
    return at;
  }
  void assign(const T* values, std::size_t count) {
    clear();
    append(values, count);
  }

  friend bool operator==(const FlatBuffer& a, const FlatBuffer& b) noexcept {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_ * sizeof(T)) == 0);
  }

 private:
  // Geometric growth, so n appends cost O(n) in all.
  void grow_for(std::size_t more) {
    std::size_t want = size_ + more;
    const std::size_t doubled = 2 * capacity();
    if (want < doubled) want = doubled;
    if (want < 16) want = 16;
    storage_.grow_to(want * sizeof(T));
  }

  detail::RawStorage storage_;
  std::size_t size_ = 0;
};

// A byte buffer's contents as a view. An empty buffer has no storage; its view
// still points somewhere, so callers may hand it to memcpy and the like.
inline std::string_view bytes_of(const FlatBuffer<char>& buffer) noexcept {
  if (buffer.empty()) return std::string_view("", 0);
  return std::string_view(buffer.data(), buffer.size());
}

}  // namespace brantel::store
