// Reading bytes several at once, for the hot loops of the tokenizer, the schema parser
// and the hashes: a text's last bytes as one word, and scans for blanks, for the first
// of two bytes and for how many there are.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#endif

namespace quarvel::byte_scan {

inline bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// The last 1..7 bytes of a text as one word, as std::memcpy into a zeroed word gives them
// on a little-endian machine, without the library call that a copy of unknown length
// costs: overlapping loads, whose shared bytes land in the same places.
inline uint64_t tail_word(const char* p, size_t n) noexcept {
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return uint64_t{lo} | (uint64_t{hi} << (8 * (n - 4)));
  }
  const auto byte = [p](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
  return byte(0) | byte(n / 2) | byte(n - 1);
}

// The scans below take a step of several bytes at once: sixteen with SSE2 (every x86-64),
// else eight as one word where words are little-endian (arm64 among them); a byte a step
// elsewhere, or when QUARVEL_PORTABLE_SCAN builds the word path on a machine with SSE2
// (to test it). A step may read past the end of what is scanned, up to `readable` (the
// end of the text it lies in): a short token or run of blanks then costs one step however
// near the end of its line it is. What a step finds past the end is not taken.
//
// A step's `Mask` has a bit, or a byte's high bit, for each of its bytes that matched.
#if (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)) && !defined(QUARVEL_PORTABLE_SCAN)
constexpr size_t kStep = 16;
using Mask = uint32_t;
constexpr Mask kEveryByte = 0xFFFFu;
inline Mask bytes_either(const char* p, char a, char b) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<Mask>(
      _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(a)), _mm_cmpeq_epi8(v, _mm_set1_epi8(b)))));
}
inline size_t first_of(Mask m) { return static_cast<size_t>(std::countr_zero(m)); }
inline size_t last_of(Mask m) { return static_cast<size_t>(31 - std::countl_zero(m)); }
constexpr size_t kBitsPerByte = 1;
#else
constexpr size_t kStep = std::endian::native == std::endian::little ? 8 : 0;
using Mask = uint64_t;
constexpr Mask kEveryByte = 0x8080808080808080ULL;
// The high bit of exactly the bytes of `word` that equal `byte` (no borrow between bytes).
inline Mask bytes_equal(uint64_t word, char byte) {
  const uint64_t x = word ^ (0x0101010101010101ULL * static_cast<uint8_t>(byte));
  return ~(((x & ~kEveryByte) + ~kEveryByte) | x) & kEveryByte;
}
inline Mask bytes_either(const char* p, char a, char b) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return bytes_equal(word, a) | bytes_equal(word, b);
}
inline size_t first_of(Mask m) { return static_cast<size_t>(std::countr_zero(m)) >> 3; }
inline size_t last_of(Mask m) { return static_cast<size_t>(63 - std::countl_zero(m)) >> 3; }
constexpr size_t kBitsPerByte = 8;
#endif

// The bits of a step's first `k` bytes (k below the step).
inline Mask bytes_below(size_t k) { return (Mask{1} << (k * kBitsPerByte)) - 1; }

inline Mask non_blanks(const char* p) { return ~bytes_either(p, ' ', '\t') & kEveryByte; }

// Where the steps over p[i, n) end: a step may start below n, and where it reads no
// further than `readable`.
inline size_t steps_end(const char* p, size_t n, const char* readable) {
  const auto can = static_cast<size_t>(readable - p);
  return kStep == 0 || can < kStep ? 0 : std::min(n, can - kStep + 1);
}

// Where the first `a` or `b` of p[i, n) is, or n.
inline size_t find_either(const char* p, size_t i, size_t n, const char* readable, char a, char b) {
  if constexpr (kStep > 0) {
    for (const size_t stop = steps_end(p, n, readable); i < stop; i += kStep) {
      if (const Mask hits = bytes_either(p + i, a, b)) return std::min(i + first_of(hits), n);
    }
    if (i >= n) return n;
  }
  while (i < n && p[i] != a && p[i] != b) ++i;
  return i;
}

// How many bytes of p[0, n) are `a` or `b`.
inline size_t count_either(const char* p, size_t n, const char* readable, char a, char b) {
  size_t count = 0, i = 0;
  if constexpr (kStep > 0) {
    for (const size_t stop = steps_end(p, n, readable); i < stop; i += kStep) {
      Mask hits = bytes_either(p + i, a, b);
      if (n - i < kStep) hits &= bytes_below(n - i);
      count += static_cast<size_t>(std::popcount(hits));
    }
    if (i >= n) return count;
  }
  for (; i < n; ++i) count += p[i] == a || p[i] == b;
  return count;
}

// Where the blanks that begin p[0, n) end.
inline size_t leading_blanks(const char* p, size_t n, const char* readable) {
  size_t i = 0;
  if (n == 0 || !is_blank(p[0])) return 0;  // most tokens follow their delimiter
  if constexpr (kStep > 0) {
    for (const size_t stop = steps_end(p, n, readable); i < stop; i += kStep) {
      if (const Mask other = non_blanks(p + i)) return std::min(i + first_of(other), n);
    }
    if (i >= n) return n;
  }
  while (i < n && is_blank(p[i])) ++i;
  return i;
}

// Where the blanks that end p[0, limit) begin.
inline size_t trailing_blanks(const char* p, size_t limit) {
  if constexpr (kStep > 0) {
    for (; limit >= kStep; limit -= kStep) {
      if (const Mask other = non_blanks(p + limit - kStep)) return limit - kStep + last_of(other) + 1;
    }
  }
  while (limit > 0 && is_blank(p[limit - 1])) --limit;
  return limit;
}

}  // namespace quarvel::byte_scan
