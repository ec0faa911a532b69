// The tokenizer's hot path, inlined where tokens are taken: the tokenizer module and
// the model parser both build it, so that the parser pays no call per token (a call
// cost as much as a short token's bytes). Lines are read by the tokenizer's own
// scan_next_line (passed in), which also handles bad bytes and queued errors.
#pragma once
#include "byte_scan.hpp"
#include "lexer_api.hpp"

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

using byte_scan::find_either;
using byte_scan::leading_blanks;
using byte_scan::trailing_blanks;

// Where the comment of a line starts, or npos.
inline size_t comment_start(std::string_view line) {
  const void* found = line.empty() ? nullptr : std::memchr(line.data(), '!', line.size());
  return found ? static_cast<size_t>(static_cast<const char*>(found) - line.data()) : std::string_view::npos;
}

// The part of a line that can hold tokens: up to its comment (at `bang`, or npos),
// without the blanks before the comment (so that padding before "!-" is never walked
// token by token).
inline std::string_view tokenizable(std::string_view line, bool is_idd, size_t bang) {
  size_t limit = bang == std::string_view::npos ? line.size() : bang;
  if (is_idd && limit > 0) {
    if (const void* slash = std::memchr(line.data(), '\\', limit)) {
      limit = static_cast<size_t>(static_cast<const char*>(slash) - line.data());
    }
  }
  return std::string_view(line.data(), trailing_blanks(line.data(), limit));
}

// Takes the next token off the front of `rest` (a tokenizable part of a line).
// Returns false when only blanks were left.
QUARVEL_ALWAYS_INLINE bool take_token(std::string_view& rest, TokenType& type, std::string_view& text,
                                      const char* readable) {
  const char* p = rest.data();
  const size_t n = rest.size();
  if (n == 0) return false;
  size_t i = leading_blanks(p, n, readable);
  if (i == n) {
    rest = std::string_view();
    return false;
  }
  if (class_of(p[i]) == kDelimiter) {
    type = p[i] == ',' ? TOKEN_COMMA : TOKEN_SEMICOLON;
    text = std::string_view();
    rest = std::string_view(p + i + 1, n - i - 1);  // views made directly: no bounds check that throws
    return true;
  }
  // To the delimiter, then back over the blanks before it.
  const size_t start = i;
  i = find_either(p, i + 1, n, readable, ',', ';');
  size_t end = i;
  while (class_of(p[end - 1]) == kBlank) --end;  // stops after p[start], which is not a blank
  type = TOKEN_TEXT;
  text = std::string_view(p + start, end - start);
  rest = std::string_view(p + i, n - i);
  return true;
}

// The next line when it is a plain one (in a checked piece whose lines end in LF, not
// empty, with no bad byte), taken here without a call, with where its comment starts
// (`bang`, or npos) found in the same scan; false for every other line, which the
// tokenizer's scan_next_line takes.
QUARVEL_ALWAYS_INLINE bool next_plain_line(LexerInstance* self, std::string_view& line, size_t& bang) {
  const size_t pos = self->pos, size = self->content.size();
  if (!self->prechecked || self->has_cr || pos >= size) return false;
  const char* data = self->content.data();
  if (data[pos] == '\n') return false;
  size_t end = find_either(data, pos, size, data + size, '\n', '!');
  bang = std::string_view::npos;
  if (end < size && data[end] == '!') {
    bang = end - pos;
    end = find_either(data, end + 1, size, data + size, '\n', '\n');
  }
  if (self->bad_at < end) return false;
  self->pos = end + 1;
  ++self->line_num;
  line = std::string_view(data + pos, end - pos);
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
  const char* readable = self->content.data() + self->content.size();
  for (;;) {
    TokenType type;
    std::string_view text;
    // Queued tokens come only with a line left empty: the rest of a line goes first.
    if (take_token(self->line_rest, type, text, readable)) return Token{type, text};
    if (self->buffer_idx < self->buffer.size()) return self->buffer[self->buffer_idx++];
    if (!self->buffer.empty()) {
      self->buffer.clear();
      self->buffer_idx = 0;
    }
    std::string_view line;
    size_t bang;
    if (!next_plain_line(self, line, bang)) {
      if (!scan_next_line(self, line)) {
        if (self->line_num == 0) self->line_num = 1;
        return Token{TOKEN_EOF, std::string_view()};
      }
      bang = comment_start(line);
    }
    self->line_start = line.data();
    self->line_rest = tokenizable(line, self->is_idd, bang);
    if (self->keep_comments) keep_comment(self, line, bang, self->line_rest);
  }
}

}  // namespace quarvel::token_scan
