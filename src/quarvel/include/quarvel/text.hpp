// Byte-string helpers shared by the modules. Only ASCII letters are folded:
// multi-byte UTF-8 sequences pass through untouched.
#pragma once
#include "byte_scan.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quarvel {

constexpr char ascii_upper(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
}
constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
}

// Returns s with 'a'..'z' raised to 'A'..'Z'; every other byte unchanged.
inline std::string to_upper(std::string s) {
  for (char& c : s) c = ascii_upper(c);
  return s;
}
inline std::string to_upper(std::string_view s) { return to_upper(std::string(s)); }
inline std::string to_upper(const char* s) { return to_upper(std::string(s)); }

inline std::string ascii_lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

// Equal under ASCII case folding, same length, no trimming.
inline bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// The part between the first and the last byte that is neither CR nor LF.
inline std::string_view trim_newlines_view(std::string_view s) noexcept {
  size_t begin = 0, end = s.size();
  while (begin < end && (s[begin] == '\r' || s[begin] == '\n')) ++begin;
  while (end > begin && (s[end - 1] == '\r' || s[end - 1] == '\n')) --end;
  return s.substr(begin, end - begin);
}
inline std::string trim_newlines(std::string_view s) { return std::string(trim_newlines_view(s)); }

using byte_scan::is_blank;

// How many blanks `s` starts with (the schema's lines are indented by two and six).
inline size_t leading_blanks(std::string_view s) noexcept {
  return byte_scan::leading_blanks(s.data(), s.size(), s.data() + s.size());
}

inline std::string_view trim_blanks(std::string_view s) noexcept {
  const size_t begin = leading_blanks(s);
  const size_t end = begin + byte_scan::trailing_blanks(s.data() + begin, s.size() - begin);
  return std::string_view(s.data() + begin, end - begin);
}

inline bool is_ascii(std::string_view s) noexcept {
  // Eight bytes a step: a schema's field names are checked on every load.
  uint64_t high = 0;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    high |= w;
  }
  if (i < s.size()) high |= byte_scan::tail_word(s.data() + i, s.size() - i);
  return (high & 0x8080808080808080ULL) == 0;
}

// Transparent hashing so that maps keyed by std::string can be searched with a view.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace quarvel
