#include <gtest/gtest.h>

#include "reduce_property.h"

namespace brantel::reduce {
namespace {

TEST(ReduceGraphProperty, KeepingEngine) {
  testing::check_random_graphs([] { return std::make_unique<testing::KeepEngine>(false); }, 400);
}

TEST(ReduceGraphProperty, MergingEngine) {
  testing::check_random_graphs([] { return std::make_unique<testing::MergingEngine>(true); }, 400);
}

// Leaves equal terms apart, so the pipeline's own hash-consing does the merging.
TEST(ReduceGraphProperty, MergingEngineWithoutHashConsing) {
  testing::check_random_graphs([] { return std::make_unique<testing::MergingEngine>(false); }, 400);
}

}  // namespace
}  // namespace brantel::reduce
