// UTF-8 validation with an ASCII fast path.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarvel {

// Length of the valid UTF-8 sequence starting at p (p[0] >= 0x80), or 0 when the
// bytes there are not valid UTF-8 (overlong forms, surrogates and values above
// U+10FFFF are refused, as Python's strict decoder does).
inline size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char c = p[0];
  const size_t avail = static_cast<size_t>(end - p);
  auto cont = [&](size_t i) { return i < avail && (p[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (avail < 2) return 0;
    const unsigned char c1 = p[1];
    if (c == 0xE0 && c1 < 0xA0) return 0;  // overlong
    if (c == 0xED && c1 > 0x9F) return 0;  // surrogate
    return (cont(1) && cont(2)) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (avail < 2) return 0;
    const unsigned char c1 = p[1];
    if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
    if (c == 0xF4 && c1 > 0x8F) return 0;  // above U+10FFFF
    return (cont(1) && cont(2) && cont(3)) ? 4 : 0;
  }
  return 0;
}

// Offset of the first byte that does not belong to valid UTF-8, or n when all is valid.
inline size_t utf8_first_invalid(const char* data, size_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto* end = p + n;
  const auto* s = p;
  while (s < end) {
#if defined(__SSE2__)
    // 32 bytes at a time while they are ASCII (the common case of IDF text).
    while (end - s >= 32) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
      if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) break;
      s += 32;
    }
    if (s == end) break;
#endif
    if (end - s >= 8) {
      uint64_t word;
      std::memcpy(&word, s, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        s += 8;
        continue;
      }
    }
    if (*s < 0x80) {
      ++s;
      continue;
    }
    const size_t len = utf8_sequence_length(s, end);
    if (len == 0) return static_cast<size_t>(s - p);
    s += len;
  }
  return n;
}

}  // namespace quarvel
