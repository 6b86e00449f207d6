// NoDestructor<T>: holds a T that is built on first use and never destroyed.
//
// For process-wide tables (the symbol table, the engine's stand-in pool) that a
// thread may still use while the process exits: a static that is torn down at exit
// could be read after its destructor ran.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace brantel::support {

template <typename T>
class NoDestructor {
 public:
  NoDestructor() { std::construct_at(ptr()); }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  T& get() noexcept { return *ptr(); }

 private:
  T* ptr() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
  alignas(T) std::byte storage_[sizeof(T)];
};

}  // namespace brantel::support
