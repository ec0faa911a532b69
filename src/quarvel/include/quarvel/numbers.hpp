// Number text read the same in every process locale. The C library's strtol and
// strtod follow the locale (a decimal comma makes "0.5" stop at the point); these read
// what they read in the "C" locale: leading white space, a sign, decimal digits with
// an optional point and exponent, hexadecimal floats, inf, infinity and nan, with
// saturation instead of an error when a number is out of range.
#pragma once
#include <charconv>
#include <cstdint>
#include <limits>
#include <string_view>

namespace quarvel {

namespace numbers_detail {

constexpr bool is_c_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr bool is_hex_digit(char c) noexcept {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Leading white space and an optional sign, taken off the front of `s`.
inline bool take_sign(std::string_view& s) noexcept {
  while (!s.empty() && is_c_space(s.front())) s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  return negative;
}

// For a well-formed number that std::from_chars found out of range: whether it is too
// large (else it is too small). Its magnitude is the place of its first non-zero digit
// relative to the point, plus its exponent (decimal, or binary after 'p' for hex).
inline bool too_large(std::string_view s, bool hex) noexcept {
  long long place = 0;
  bool found = false, after_point = false;
  size_t i = 0;
  const auto digit = hex ? is_hex_digit : is_digit;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '.') {
      after_point = true;
    } else if (digit(c)) {
      if (!after_point) {
        if (found) ++place;
        if (c != '0') found = true;
      } else if (!found) {
        --place;
        if (c != '0') found = true;
      }
    } else {
      break;
    }
  }
  long long exponent = 0;
  if (i < s.size()) {
    std::string_view e = s.substr(i + 1);
    const bool negative = !e.empty() && e.front() == '-';
    if (!e.empty() && (e.front() == '-' || e.front() == '+')) e.remove_prefix(1);
    for (char c : e) {
      if (!is_digit(c)) break;
      if (exponent < (1LL << 40)) exponent = exponent * 10 + (c - '0');
    }
    if (negative) exponent = -exponent;
  }
  return place * (hex ? 4 : 1) + exponent > 0;
}

}  // namespace numbers_detail

// The whole of `text` as a base-10 integer, as strtoll reads it; false when anything
// is left over or there are no digits. Out-of-range values saturate.
inline bool parse_integer_text(std::string_view text, long long& out) noexcept {
  using namespace numbers_detail;
  std::string_view s = text;
  const bool negative = take_sign(s);
  if (s.empty() || !is_digit(s.front())) return false;
  unsigned long long magnitude = 0;
  bool overflow = false;
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1
               : static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  for (char c : s) {
    if (!is_digit(c)) return false;
    const auto d = static_cast<unsigned long long>(c - '0');
    if (magnitude > (limit - d) / 10) {
      overflow = true;
    } else {
      magnitude = magnitude * 10 + d;
    }
  }
  if (overflow) {
    out = negative ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
  } else {
    out = negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
  }
  return true;
}

// The whole of `text` as a double, as strtod reads it in the "C" locale; false when
// anything is left over. Overflow gives an infinity, underflow zero (with its sign).
inline bool parse_real_text(std::string_view text, double& out) noexcept {
  using namespace numbers_detail;
  std::string_view s = text;
  const bool negative = take_sign(s);
  if (s.empty()) return false;
  // from_chars reads no sign and no "0x"; both are taken here.
  bool hex = false;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
      (is_hex_digit(s[2]) || (s[2] == '.' && s.size() > 3 && is_hex_digit(s[3])))) {
    hex = true;
    s.remove_prefix(2);
  }
  if (s.front() == '+' || s.front() == '-') return false;
  double value = 0;
  const auto format = hex ? std::chars_format::hex : std::chars_format::general;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, format);
  if (ptr != s.data() + s.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    value = too_large(s, hex) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc()) {
    return false;
  }
  out = negative ? -value : value;
  return true;
}

}  // namespace quarvel
