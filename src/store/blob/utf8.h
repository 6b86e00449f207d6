// UTF-8 validation for untrusted bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace brantel::blob {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800..U+DFFF), nothing above U+10FFFF, no stray or missing continuation
// bytes. Accepts exactly the byte strings that Rust's str::from_utf8 accepts.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace brantel::blob
