// The union-find of the tests' reference closures: deliberately simple (no ranks,
// no path compression) so that it shares nothing with the code under test. The
// smaller index of a class is its root.
#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <vector>

namespace brantel::reference {

class NaiveUnionFind {
 public:
  explicit NaiveUnionFind(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }

  std::size_t find(std::size_t x) const {
    while (parent_[x] != x) x = parent_[x];
    return x;
  }
  // False when a and b already were one class.
  bool unite(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return false;
    parent_[std::max(a, b)] = std::min(a, b);
    return true;
  }
  // Every element's root, in order.
  std::vector<std::size_t> roots() const {
    std::vector<std::size_t> out(parent_.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = find(i);
    return out;
  }

 private:
  std::vector<std::size_t> parent_;
};

}  // namespace brantel::reference
