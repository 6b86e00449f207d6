// Poisoning needs an internal error while a store lock is held, which no store
// input can cause, so a test peer raises one. This binary also replaces the global
// allocator, so that a test can make one allocation fail on purpose and check
// that it poisons nothing. It is its own executable so the replacement touches
// no other test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "optimizer/incremental/incremental_reducer.h"
#include "store/graph/graph_store.h"
#include "test_nodes.h"
#include "testing/graph_store_peer.h"

// Sanitizer runtimes bring their own operator new; replacing it there either
// fails to link or mismatches their bookkeeping, so those builds skip these tests.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRANTEL_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BRANTEL_SANITIZER_ALLOCATOR 1
#endif
#endif

namespace {
thread_local bool fail_next_allocation = false;
#ifdef BRANTEL_SANITIZER_ALLOCATOR
constexpr bool kCanFailAllocations = false;
#else
constexpr bool kCanFailAllocations = true;
#endif
}  // namespace

#ifndef BRANTEL_SANITIZER_ALLOCATOR
// Out of line, so the compiler never sees malloc and free paired with new and
// delete at one call site.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (fail_next_allocation) {
    fail_next_allocation = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace brantel::incremental {
namespace {

using namespace test_nodes;  // NOLINT: test-local shorthands

void poison(store::GraphStore& store) { store::GraphStoreTestPeer::fail_while_locked(store); }

std::string panic_message(const std::function<void()>& call) {
  try {
    call();
  } catch (const support::InternalError& e) {
    return e.what();
  }
  return "(no internal error)";
}

TEST(IncrementalReducerPoison, PoisonedStoreLockPoisonsTheReducerDuringStep) {
  store::GraphStore store;
  const store::NodeId x = source(store, "x");
  op(store, "f", {x});
  IncrementalReducer reducer;
  ASSERT_TRUE(reducer.step(store).ok());
  op(store, "g", {x});
  poison(store);
  ASSERT_EQ(panic_message([&] { (void)store.node_count(); }).rfind(store::kStorePoisonedMessage, 0), 0u);

  EXPECT_EQ(panic_message([&] { (void)reducer.step(store); }).rfind(store::kStorePoisonedMessage, 0), 0u);

  // From now on every method fails before doing anything, whatever store it gets.
  store::GraphStore healthy;
  source(healthy, "y");
  const std::vector<store::NodeId> outputs = {0};
  const std::vector<std::function<void()>> calls = {
      [&] { (void)reducer.watermark(); },
      [&] { (void)reducer.total_work(); },
      [&] { (void)reducer.canonical_count(); },
      [&] { (void)reducer.step(healthy); },
      [&] { (void)reducer.finalize(healthy, outputs, false); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(panic_message(calls[i]), std::string(kReducerPoisonedMessage)) << "call " << i;
  }
}

TEST(IncrementalReducerPoison, PoisonedStoreLockPoisonsTheReducerDuringFinalize) {
  store::GraphStore store;
  source(store, "x");
  poison(store);
  IncrementalReducer reducer;
  const std::vector<store::NodeId> outputs;
  EXPECT_EQ(panic_message([&] { (void)reducer.finalize(store, outputs, false); })
                .rfind(store::kStorePoisonedMessage, 0),
            0u);
  EXPECT_EQ(panic_message([&] { (void)reducer.watermark(); }), std::string(kReducerPoisonedMessage));
}

// output_marks copies the marks into a vector under the store lock; failing that
// allocation aborts a lock holder, but leaves the store whole, so nothing is
// poisoned. (Node records grow through realloc, which this replacement does not
// reach; the marks vector takes operator new, so one mark is set first.)
TEST(IncrementalReducerPoison, AnAllocationFailureUnderTheStoreLockPoisonsNothing) {
  if (!kCanFailAllocations) GTEST_SKIP() << "the sanitizer runtime owns operator new";
  store::GraphStore store;
  source(store, "x");
  ASSERT_TRUE(store.mark_output(0).ok());
  fail_next_allocation = true;
  EXPECT_THROW((void)store.output_marks(), std::bad_alloc);
  fail_next_allocation = false;
  EXPECT_EQ(store.output_marks(), std::vector<store::NodeId>{0});
  IncrementalReducer reducer;
  auto r = reducer.step(store);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 1u);
}

// A reducer untouched by the failure keeps working: poisoning is per object.
TEST(IncrementalReducerPoison, OtherReducersAreUnaffected) {
  store::GraphStore bad, good;
  source(bad, "x");
  source(good, "x");
  poison(bad);
  IncrementalReducer victim, bystander;
  (void)panic_message([&] { (void)victim.step(bad); });
  auto r = bystander.step(good);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 1u);
  EXPECT_EQ(bystander.watermark(), 1u);
}

}  // namespace
}  // namespace brantel::incremental
