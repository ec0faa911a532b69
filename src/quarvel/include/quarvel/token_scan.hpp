// The tokenizer's hot path, inlined where tokens are taken: the tokenizer module and
// the model parser both build it, so that the parser pays no call per token (a call
// cost as much as a short token's bytes). Lines are read by the tokenizer's own
// scan_next_line (passed in), which also handles bad bytes and queued errors.
#pragma once
#include "lexer_api.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__GNUC__)
#define QUARVEL_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define QUARVEL_ALWAYS_INLINE __forceinline
#else
#define QUARVEL_ALWAYS_INLINE inline
#endif

namespace quarvel::token_scan {

// Byte classes for splitting a line into tokens.
enum : uint8_t { kPlain = 0, kBlank = 1, kDelimiter = 2 };

struct ClassTable {
  uint8_t cls[256] = {};
  constexpr ClassTable() {
    cls[static_cast<uint8_t>(' ')] = kBlank;
    cls[static_cast<uint8_t>('\t')] = kBlank;
    cls[static_cast<uint8_t>(',')] = kDelimiter;
    cls[static_cast<uint8_t>(';')] = kDelimiter;
  }
};
constexpr ClassTable kClasses;

inline uint8_t class_of(char c) { return kClasses.cls[static_cast<uint8_t>(c)]; }

// The padding before a line's "!-" comment is skipped eight bytes at a time (a word
// read with memcpy, so unaligned reads are fine) instead of a byte at a time.
constexpr uint64_t kEightSpaces = 0x2020202020202020ULL;

constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;

// The high bit of each byte of `word` that equals `byte`, and maybe of bytes after such a
// byte (a borrow): the lowest bit set is always exact, which is all the scans below read.
inline uint64_t bytes_equal(uint64_t word, char byte) {
  const uint64_t x = word ^ (kOnes * static_cast<uint8_t>(byte));
  return (x - kOnes) & ~x & kHighs;
}

// Where the first ',' or ';' of p[i, n) is, or n: eight bytes a step, as long tokens
// (names, node names) are what most of a model's bytes are.
inline size_t next_delimiter(const char* p, size_t i, size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= n; i += 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (const uint64_t hits = bytes_equal(word, ',') | bytes_equal(word, ';')) {
        return i + static_cast<size_t>(std::countr_zero(hits) >> 3);
      }
    }
  }
  while (i < n && class_of(p[i]) != kDelimiter) ++i;
  return i;
}

// Where the blanks that end p[0, limit) begin.
inline size_t trailing_blanks(const char* p, size_t limit) {
  uint64_t word;
  while (limit >= 8 && (std::memcpy(&word, p + limit - 8, 8), word == kEightSpaces)) limit -= 8;
  while (limit > 0 && class_of(p[limit - 1]) == kBlank) --limit;
  return limit;
}

// The part of a line that can hold tokens: up to its comment, without the blanks
// before the comment (so that padding before "!-" is never walked token by token).
// `bang` receives where the comment starts, or npos.
inline std::string_view tokenizable(std::string_view line, bool is_idd, size_t& bang) {
  bang = std::string_view::npos;
  if (line.empty()) return line;
  size_t limit = line.size();
  if (const void* found = std::memchr(line.data(), '!', limit)) {
    limit = static_cast<size_t>(static_cast<const char*>(found) - line.data());
    bang = limit;
  }
  if (is_idd) {
    if (const void* slash = std::memchr(line.data(), '\\', limit)) {
      limit = static_cast<size_t>(static_cast<const char*>(slash) - line.data());
    }
  }
  return line.substr(0, trailing_blanks(line.data(), limit));
}

// Takes the next token off the front of `rest` (a tokenizable part of a line).
// Returns false when only blanks were left.
QUARVEL_ALWAYS_INLINE bool take_token(std::string_view& rest, TokenType& type, std::string_view& text) {
  const char* p = rest.data();
  const size_t n = rest.size();
  size_t i = 0;
  while (i < n && class_of(p[i]) == kBlank) ++i;
  if (i == n) {
    rest = std::string_view();
    return false;
  }
  if (class_of(p[i]) == kDelimiter) {
    type = p[i] == ',' ? TOKEN_COMMA : TOKEN_SEMICOLON;
    text = std::string_view();
    rest = rest.substr(i + 1);
    return true;
  }
  // To the delimiter, then back over the blanks before it.
  const size_t start = i;
  i = next_delimiter(p, i + 1, n);
  size_t end = i;
  while (class_of(p[end - 1]) == kBlank) --end;  // stops after p[start], which is not a blank
  type = TOKEN_TEXT;
  text = rest.substr(start, end - start);
  rest = rest.substr(i);
  return true;
}

// Keeps the comment of a line when asked to: one that is not the writer's own "!-".
inline void keep_comment(LexerInstance* self, std::string_view line, size_t bang, std::string_view tokens) {
  if (bang == std::string_view::npos || self->is_idd) return;
  const std::string_view text = line.substr(bang + 1);
  if (!text.empty() && text.front() == '-') return;
  self->comments.push_back(LexComment{self->line_num, !tokens.empty(), text});  // tokens come trimmed
}

// The next token: queued ones first, then the rest of the current line, then the next
// line's. Needs no interpreter lock.
template <class ScanLine>
QUARVEL_ALWAYS_INLINE Token next_token(LexerInstance* self, ScanLine&& scan_next_line) {
  for (;;) {
    if (self->buffer_idx < self->buffer.size()) return self->buffer[self->buffer_idx++];
    if (!self->buffer.empty()) {
      self->buffer.clear();
      self->buffer_idx = 0;
    }
    TokenType type;
    std::string_view text;
    if (take_token(self->line_rest, type, text)) return Token{type, text};
    std::string_view line;
    if (!scan_next_line(self, line)) {
      if (self->line_num == 0) self->line_num = 1;
      return Token{TOKEN_EOF, std::string_view()};
    }
    size_t bang;
    self->line_start = line.data();
    self->line_rest = tokenizable(line, self->is_idd, bang);
    if (self->keep_comments) keep_comment(self, line, bang, self->line_rest);
  }
}

}  // namespace quarvel::token_scan
