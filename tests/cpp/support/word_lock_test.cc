#include "support/word_lock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace brantel::support {
namespace {

TEST(WordLock, TryLockFailsWhileHeldAndSucceedsAfter) {
  WordLock lock;
  ASSERT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock());
  lock.unlock();
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

// Contended increments: a lost wake-up hangs the test, a lock that lets two
// holders in loses increments.
TEST(WordLock, SerializesContendedHolders) {
  WordLock lock;
  std::uint64_t counter = 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        lock.lock();
        const std::uint64_t seen = counter;
        if (i % 64 == 0) std::this_thread::yield();  // hold long enough for others to sleep
        counter = seen + 1;
        lock.unlock();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
}

}  // namespace
}  // namespace brantel::support
