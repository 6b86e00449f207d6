// A mutex that stays poisoned once a holder was aborted by an internal error.
//
// The guard notes std::uncaught_exceptions() when it locks; if the count has risen
// by the time it unlocks and an InternalError was made meanwhile, the holder is
// unwinding from that error and the protected state may be half-changed, so
// every later lock() panics with the owner's fixed message instead of exposing
// that state. Any other exception (std::bad_alloc) does not poison: the code
// under these locks leaves its state whole when an allocation fails.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string_view>

#include "support/check.h"
#include "support/thread_annotations.h"

namespace brantel::support {

// Called around a lock acquisition that has to wait. The Python layer installs
// one per call that detaches the thread from the interpreter while it waits, so
// a thread blocked on a core lock never holds up a stop-the-world pause. The core
// knows nothing of Python; without a hook a wait is a plain wait.
class WaitHook {
 public:
  virtual void before_wait() noexcept = 0;
  // May unwind (the Python layer's re-attach can end the thread); the lock just
  // taken is then released.
  virtual void after_wait() = 0;

 protected:
  ~WaitHook() = default;
};

inline thread_local WaitHook* current_wait_hook = nullptr;

class BRANTEL_CAPABILITY("mutex") PoisonableMutex {
 public:
  explicit PoisonableMutex(std::string_view poisoned_message) : message_(poisoned_message) {}
  PoisonableMutex(const PoisonableMutex&) = delete;
  PoisonableMutex& operator=(const PoisonableMutex&) = delete;

 private:
  friend class PoisonGuard;

  // Uncontended locks pay only a try_lock; only a real wait runs the hook.
  void lock() BRANTEL_ACQUIRE() {
    if (!mu_.try_lock()) {
      WaitHook* hook = current_wait_hook;
      if (hook != nullptr) hook->before_wait();
      mu_.lock();
      if (hook != nullptr) {
        try {
          hook->after_wait();
        } catch (...) {
          mu_.unlock();
          throw;
        }
      }
    }
    if (poisoned_.load(std::memory_order_acquire)) {
      mu_.unlock();
      panic(message_);
    }
  }
  void unlock() BRANTEL_RELEASE() { mu_.unlock(); }

  std::mutex mu_;
  std::atomic<bool> poisoned_{false};
  std::string_view message_;
};

// The only way to hold a PoisonableMutex, so that every holder poisons it alike.
class BRANTEL_SCOPED_CAPABILITY PoisonGuard {
 public:
  explicit PoisonGuard(PoisonableMutex& mu) BRANTEL_ACQUIRE(mu)
      : mu_(mu), exceptions_at_entry_(std::uncaught_exceptions()), internal_errors_at_entry_(t_internal_errors_made) {
    mu_.lock();
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;
  ~PoisonGuard() BRANTEL_RELEASE() {
    // The thread-local counter first: it is the cheap test, and almost always equal.
    if (t_internal_errors_made != internal_errors_at_entry_ && std::uncaught_exceptions() > exceptions_at_entry_) {
      mu_.poisoned_.store(true, std::memory_order_release);
    }
    mu_.unlock();
  }

 private:
  PoisonableMutex& mu_;
  int exceptions_at_entry_;
  std::uint64_t internal_errors_at_entry_;
};

}  // namespace brantel::support
