// A mutex in one 32-bit word that waits on the word itself (a futex on Linux).
//
// The store takes its lock once per add; an uncontended lock and unlock here is
// one atomic exchange each, where std::mutex went through two calls into the
// threads library. Waiting threads sleep rather than spin.
#pragma once

#include <atomic>
#include <cstdint>

namespace brantel::support {

class WordLock {
 public:
  WordLock() = default;
  WordLock(const WordLock&) = delete;
  WordLock& operator=(const WordLock&) = delete;

  bool try_lock() noexcept {
    std::uint32_t expected = kFree;
    return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed);
  }

  void lock() noexcept {
    if (try_lock()) return;
    // Whoever takes the lock from here on marks it contended, so that the
    // unlock that lets it in also wakes the next sleeper, if any.
    while (state_.exchange(kContended, std::memory_order_acquire) != kFree) {
      state_.wait(kContended, std::memory_order_relaxed);
    }
  }

  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kContended) state_.notify_one();
  }

 private:
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kHeld = 1;
  static constexpr std::uint32_t kContended = 2;
  std::atomic<std::uint32_t> state_{kFree};
};

}  // namespace brantel::support
