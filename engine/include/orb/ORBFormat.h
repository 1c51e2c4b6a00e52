// Type-safe formatting of the engine's printf-style message texts.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace orb {

// One argument of a message text: an integer (any width), a real or a string.
class TORBFmtArg {
 public:
  enum class Kind { Int, Real, Str };
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>, int> = 0>
  TORBFmtArg(T v) : kind_(Kind::Int), int_(static_cast<int64_t>(v)), unsigned_(std::is_unsigned_v<T> && sizeof(T) == 8) {}
  TORBFmtArg(bool v) : kind_(Kind::Int), int_(v ? 1 : 0) {}
  TORBFmtArg(char c) : kind_(Kind::Str), str_(1, c) {}
  TORBFmtArg(double v) : kind_(Kind::Real), real_(v) {}
  TORBFmtArg(const char* s) : kind_(Kind::Str), str_(s ? s : "") {}
  TORBFmtArg(std::string_view s) : kind_(Kind::Str), str_(s) {}
  TORBFmtArg(const std::string& s) : kind_(Kind::Str), str_(s) {}

  Kind kind() const { return kind_; }
  int64_t asInt() const { return int_; }
  bool isUnsigned64() const { return unsigned_; }
  double asReal() const { return real_; }
  const std::string& asStr() const { return str_; }

 private:
  Kind kind_;
  int64_t int_ = 0;
  bool unsigned_ = false;
  double real_ = 0;
  std::string str_;
};

// Raised when a text and its arguments do not fit together (missing argument,
// a string given for %d, ...).
class EORBFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Formats `fmt` with %[-+ 0][width][.precision](d i u x X s f e g c) and %%.
// A '%' that does not start a valid directive is copied literally.
std::string ORBFormatArgs(std::string_view fmt, std::span<const TORBFmtArg> args);

template <class... A>
std::string ORBFormat(std::string_view fmt, const A&... a) {
  const std::array<TORBFmtArg, sizeof...(A)> args{TORBFmtArg(a)...};
  return ORBFormatArgs(fmt, args);
}

}  // namespace orb
