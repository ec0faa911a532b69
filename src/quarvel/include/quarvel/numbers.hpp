// Number text read the same in every process locale. The C library's strtol and
// strtod follow the locale (a decimal comma makes "0.5" stop at the point); these read
// what they read in the "C" locale: leading white space, a sign, decimal digits with
// an optional point and exponent, hexadecimal floats, inf, infinity and nan, with
// saturation instead of an error when a number is out of range.
#pragma once
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

// Standard libraries without floating-point from_chars/to_chars (libc++ before LLVM 20,
// as on macOS) read through the vendored fast_float instead; QUARVEL_PORTABLE_NUMBERS
// forces that path, so that it is built and tested where the standard one exists too.
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L && !defined(QUARVEL_PORTABLE_NUMBERS)
#define QUARVEL_STD_FLOAT_CHARCONV 1
#else
#define QUARVEL_STD_FLOAT_CHARCONV 0
#include "third_party/fast_float/fast_float.h"
#endif

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

#if !QUARVEL_STD_FLOAT_CHARCONV
// Hexadecimal digits with an optional point and a binary exponent ("1.8p3"), as
// strtod reads what follows "0x". The first 15 significant digits are kept exactly, the
// rest folded into a sticky bit, so that converting the mantissa rounds once, correctly.
inline bool parse_hex_float(std::string_view s, double& out) noexcept {
  uint64_t mantissa = 0;
  long long exponent = 0;  // binary, of the last kept digit
  int kept = 0;
  bool any = false, point = false, sticky = false;
  size_t i = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '.') {
      if (point) return false;
      point = true;
      continue;
    }
    if (!is_hex_digit(c)) break;
    any = true;
    const int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    if (mantissa == 0 && d == 0) {
      if (point) exponent -= 4;
      continue;
    }
    if (kept < 15) {
      mantissa = mantissa * 16 + static_cast<uint64_t>(d);
      ++kept;
      if (point) exponent -= 4;
    } else {
      sticky = sticky || d != 0;
      if (!point) exponent += 4;
    }
  }
  if (!any) return false;
  if (i < s.size()) {
    if (s[i] != 'p' && s[i] != 'P') return false;
    std::string_view e = s.substr(i + 1);
    const bool negative = !e.empty() && e.front() == '-';
    if (!e.empty() && (e.front() == '-' || e.front() == '+')) e.remove_prefix(1);
    if (e.empty()) return false;
    long long value = 0;
    for (char c : e) {
      if (!is_digit(c)) return false;
      if (value < (1LL << 40)) value = value * 10 + (c - '0');
    }
    exponent += negative ? -value : value;
  }
  if (sticky) mantissa = (mantissa << 1) | 1, exponent -= 1;
  if (exponent > 100000) exponent = 100000;
  if (exponent < -100000) exponent = -100000;
  out = std::ldexp(static_cast<double>(mantissa), static_cast<int>(exponent));
  return true;
}
#endif

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
#if QUARVEL_STD_FLOAT_CHARCONV
  const auto format = hex ? std::chars_format::hex : std::chars_format::general;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, format);
#else
  if (hex) {
    if (!parse_hex_float(s, value)) return false;
    out = negative ? -value : value;
    return true;
  }
  const auto [ptr, ec] = fast_float::from_chars(s.data(), s.data() + s.size(), value);
#endif
  if (ptr != s.data() + s.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    value = too_large(s, hex) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc()) {
    return false;
  }
  out = negative ? -value : value;
  return true;
}

// A number as the engine reads one from a field: an optional sign, decimal digits with an
// optional point (at least one digit before or after it), and an optional exponent (e or E,
// an optional sign, digits); nothing else, not even a blank. Hexadecimal floats, inf and
// nan, which parse_real_text also reads, are not numbers to the engine. This is the rule
// for checking, comparing and converting a model; reading a field follows strtod.
inline bool parse_engine_number(std::string_view text, double& out) noexcept {
  using numbers_detail::is_digit;
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && is_digit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == n && parse_real_text(text, out);
}

// The shortest text that reads back as `v` ("0.1", "1e+300"), in any locale.
inline std::string shortest_text(double v) {
#if QUARVEL_STD_FLOAT_CHARCONV
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), v);
  return ec == std::errc() ? std::string(buffer, end) : std::string("?");
#else
  if (!std::isfinite(v)) return std::isnan(v) ? "nan" : (v < 0 ? "-inf" : "inf");
  if (v == 0) return std::signbit(v) ? "-0" : "0";
  // The fewest significant digits that read back exactly (printf's %e rounds correctly;
  // its decimal point, which follows the locale, is read as a point), then written in
  // fixed or scientific notation, whichever is shorter (fixed on a tie), as
  // std::to_chars does.
  const std::string sign = v < 0 ? "-" : "";
  for (int digits = 1; digits <= 17; ++digits) {
    char printed[64];
    const int n = std::snprintf(printed, sizeof(printed), "%.*e", digits - 1, std::fabs(v));
    if (n <= 0 || n >= static_cast<int>(sizeof(printed))) break;
    std::string text;  // the significant digits
    long long exponent = 0;
    const char* p = printed;
    for (; *p && *p != 'e'; ++p) {
      if (*p >= '0' && *p <= '9') text += *p;
    }
    if (*p == 'e') exponent = std::atoll(p + 1);
    while (text.size() > 1 && text.back() == '0') text.pop_back();
    const std::string scientific = sign + text.substr(0, 1) + (text.size() > 1 ? "." + text.substr(1) : "") + "e" +
                                   (exponent < 0 ? "-" : "+") + (std::llabs(exponent) < 10 ? "0" : "") +
                                   std::to_string(std::llabs(exponent));
    std::string fixed = sign;
    const auto count = static_cast<long long>(text.size());
    if (exponent + 1 > count) {
      // A whole number wider than its significant digits: written out exactly.
      char whole[400];
      std::snprintf(whole, sizeof(whole), "%.0f", std::fabs(v));
      fixed += whole;
    } else if (exponent >= 0) {
      fixed += exponent + 1 == count ? text
                                     : text.substr(0, static_cast<size_t>(exponent + 1)) + "." +
                                           text.substr(static_cast<size_t>(exponent + 1));
    } else {
      fixed += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + text;
    }
    double back;
    if (parse_real_text(scientific, back) && back == v) return fixed.size() <= scientific.size() ? fixed : scientific;
  }
  return sign + "?";
#endif
}

}  // namespace quarvel
