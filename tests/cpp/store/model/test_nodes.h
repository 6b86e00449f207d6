// Small builders shared by the node-model tests.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "store/model/node.h"

namespace brantel::store::testing {

inline ParamValue I(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
inline ParamValue F(double v) { return ParamValue(std::in_place_index<1>, float_bits_of(v)); }
inline ParamValue FBits(std::uint64_t bits) { return ParamValue(std::in_place_index<1>, FloatBits{bits}); }
inline ParamValue B(bool v) { return ParamValue(std::in_place_index<2>, v); }
inline ParamValue S(std::string v) { return ParamValue(std::in_place_index<3>, std::move(v)); }

// A readable dump of a map, for table rows: k=Int(1), k=Float(0x...), ...
inline std::string dump(const ParamMap& params) {
  std::string out;
  for (const ParamEntry& e : params) {
    if (!out.empty()) out += ", ";
    out += e.key + "=";
    switch (tag_of(e.value)) {
      case ParamTag::kInt: out += "Int(" + std::to_string(std::get<std::int64_t>(e.value)) + ")"; break;
      case ParamTag::kFloat: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "Float(0x%016llx)",
                      static_cast<unsigned long long>(std::get<FloatBits>(e.value).bits));
        out += buf;
        break;
      }
      case ParamTag::kBool: out += std::get<bool>(e.value) ? "Bool(true)" : "Bool(false)"; break;
      case ParamTag::kStr: out += "Str(" + std::get<std::string>(e.value) + ")"; break;
    }
  }
  return out;
}

}  // namespace brantel::store::testing
