// GraphStoreTestPeer: reaches a store's lock to fail an operation while it is
// held, which no store input can do.
#pragma once

#include <new>

#include "store/graph/graph_store.h"
#include "support/check.h"
#include "support/mutex.h"

namespace brantel::store {

class GraphStoreTestPeer {
 public:
  // An internal error aborting a holder of the lock: poisons it.
  static void fail_while_locked(GraphStore& store) {
    try {
      support::PoisonGuard lock(store.mu_);
      support::panic("simulated failure inside a store operation");
    } catch (const support::InternalError&) {
    }
  }
  // An allocation failure aborting a holder of the lock: must not poison it.
  static void run_out_of_memory_while_locked(GraphStore& store) {
    try {
      support::PoisonGuard lock(store.mu_);
      throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
  }
};

}  // namespace brantel::store
