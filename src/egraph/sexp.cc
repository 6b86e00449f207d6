#include "egraph/sexp.h"

#include <cctype>

namespace brantel::egraph {
namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  support::Result<Sexp, std::string> read_all() {
    skip_space();
    if (pos_ == text_.size()) return support::Err{std::string("empty input")};
    auto sexp = read_one();
    if (!sexp) return sexp;
    skip_space();
    if (pos_ != text_.size()) {
      return support::Err{"unexpected text after the expression at offset " + std::to_string(pos_)};
    }
    return sexp;
  }

 private:
  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }

  support::Result<Sexp, std::string> read_one() {
    if (text_[pos_] == ')') return support::Err{"unexpected ) at offset " + std::to_string(pos_)};
    if (text_[pos_] != '(') {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && !is_space(text_[pos_]) && text_[pos_] != '(' &&
             text_[pos_] != ')') {
        ++pos_;
      }
      Sexp atom;
      atom.atom = std::string(text_.substr(start, pos_ - start));
      return atom;
    }
    // Patterns are short; the cap only keeps a malformed text from exhausting the
    // stack through this recursion.
    if (++depth_ > kMaxDepth) return support::Err{std::string("lists nested too deeply")};
    ++pos_;  // the opening parenthesis
    Sexp list;
    list.is_list = true;
    while (true) {
      skip_space();
      if (pos_ == text_.size()) return support::Err{std::string("unclosed list")};
      if (text_[pos_] == ')') {
        ++pos_;
        --depth_;
        return list;
      }
      auto item = read_one();
      if (!item) return item;
      list.items.push_back(std::move(*item));
    }
  }

  static constexpr std::size_t kMaxDepth = 256;
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
};

}  // namespace

support::Result<Sexp, std::string> read_sexp(std::string_view text) { return Reader(text).read_all(); }

}  // namespace brantel::egraph
