#include "lexer.hpp"

#include "quarvel/text.hpp"
#include "quarvel/utf8.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__GNUC__)
#define QUARVEL_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define QUARVEL_ALWAYS_INLINE __forceinline
#else
#define QUARVEL_ALWAYS_INLINE inline
#endif

namespace quarvel::lexer {

namespace {

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

// Where the blanks that end p[0, limit) begin.
size_t trailing_blanks(const char* p, size_t limit) {
  uint64_t word;
  while (limit >= 8 && (std::memcpy(&word, p + limit - 8, 8), word == kEightSpaces)) limit -= 8;
  while (limit > 0 && class_of(p[limit - 1]) == kBlank) --limit;
  return limit;
}

// An error token; its text is kept by the tokenizer (one error ends the input).
Token error_token(LexerObject* self, const char* what, size_t column, int byte) {
  char text[96];
  if (byte >= 0) {
    std::snprintf(text, sizeof(text), "%s 0x%02x at column %zu", what, byte, column);
  } else {
    std::snprintf(text, sizeof(text), "%s at column %zu", what, column);
  }
  self->error_text.assign(text);
  return Token{TOKEN_ERROR, self->error_text};
}

// One pass over the input, done on first need (without the interpreter lock):
// where the first byte that is not text lies, and whether CR line ends occur.
void precheck(LexerObject* self) {
  const std::string_view text = self->content;
  self->prechecked = true;
  self->bad_at = text.size();
  self->has_cr = false;
  if (text.empty()) return;  // no data pointer to search
  const void* nul = std::memchr(text.data(), '\0', text.size());
  const size_t limit = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text.data()) : text.size();
  self->bad_at = utf8_first_invalid(text.data(), limit);
  if (self->bad_at == limit && !nul) self->bad_at = text.size();
  self->has_cr = std::memchr(text.data(), '\r', text.size()) != nullptr;
}

// The part of a line that can hold tokens: up to its comment, without the blanks
// before the comment (so that padding before "!-" is never walked token by token).
// `bang` receives where the comment starts, or npos.
std::string_view tokenizable(std::string_view line, bool is_idd, size_t& bang) {
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
// Returns false when only blanks were left. Inlined into next_token, its only caller
// on the hot path: the call itself cost as much as a short token's bytes.
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
  const size_t start = i;
  size_t last = i;  // last byte that is not a blank
  for (++i; i < n; ++i) {
    const uint8_t k = class_of(p[i]);
    if (k == kPlain) {
      last = i;
    } else if (k == kDelimiter) {
      break;
    }
  }
  type = TOKEN_TEXT;
  text = rest.substr(start, last + 1 - start);
  rest = rest.substr(i);
  return true;
}

}  // namespace

void reset(LexerObject* self, std::string_view content, bool is_idd) {
  self->buffer.clear();
  self->buffer_idx = 0;
  self->line_num = 0;
  self->is_idd = is_idd;
  self->content = content;
  self->pos = 0;
  self->line_rest = std::string_view();
  self->bad_at = content.size();
  self->has_cr = false;
  self->prechecked = false;
  self->keep_comments = false;
  self->comments.clear();
}

void continue_with(LexerObject* self, std::string_view piece) {
  const int64_t line = self->line_num;
  const bool keep_comments = self->keep_comments;
  reset(self, piece, self->is_idd);
  self->line_num = line;
  self->keep_comments = keep_comments;
}

// Takes the next line (without its line break) and counts it. Lines end at LF,
// CRLF or a lone CR. A line that holds a NUL or invalid UTF-8 byte queues its
// tokens before that byte and an error, and ends the input. Returns false at the end.
bool scan_next_line(LexerObject* self, std::string_view& line) {
  if (!self->prechecked) precheck(self);
  const std::string_view text = self->content;
  const size_t size = text.size();
  const size_t pos = self->pos;
  if (pos >= size) return false;
  const char* data = text.data();
  size_t end;
  if (!self->has_cr) {
    if (data[pos] == '\n') {
      // A run of empty lines is counted eight bytes at a time.
      size_t run = pos;
      constexpr uint64_t kEightBreaks = 0x0A0A0A0A0A0A0A0AULL;
      for (uint64_t word; run + 8 <= size && (std::memcpy(&word, data + run, 8), word == kEightBreaks);) run += 8;
      while (run < size && data[run] == '\n') ++run;
      self->line_num += static_cast<int64_t>(run - pos);
      self->pos = run;
      if (run >= size) return false;
      return scan_next_line(self, line);
    }
    const void* lf = std::memchr(data + pos, '\n', size - pos);
    end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : size;
    self->pos = end + 1;
  } else {
    end = pos;
    while (end < size && data[end] != '\n' && data[end] != '\r') ++end;
    self->pos = (end + 1 < size && data[end] == '\r' && data[end + 1] == '\n') ? end + 2 : end + 1;
  }
  line = text.substr(pos, end - pos);
  ++self->line_num;
  if (self->bad_at < end) {
    const size_t bad = self->bad_at - pos;
    tokenize_line(self, line.substr(0, bad));
    const auto byte = static_cast<unsigned char>(line[bad]);
    self->buffer.push_back(byte == 0 ? error_token(self, "NUL byte", bad + 1, -1)
                                     : error_token(self, "invalid UTF-8 byte", bad + 1, byte));
    self->pos = size;  // nothing after an error is read
    line = std::string_view();
  }
  return true;
}

void push_text_token(LexerObject* self, std::string_view text) {
  if (!text.empty()) self->buffer.push_back(Token{TOKEN_TEXT, text});
}

// Keeps the comment of a line when asked to: one that is not the writer's own "!-".
void keep_comment(LexerObject* self, std::string_view line, size_t bang, std::string_view tokens) {
  if (bang == std::string_view::npos || self->is_idd) return;
  const std::string_view text = line.substr(bang + 1);
  if (!text.empty() && text.front() == '-') return;
  self->comments.push_back(LexComment{self->line_num, !trim_blanks(tokens).empty(), text});
}

void tokenize_line(LexerObject* self, std::string_view line) {
  size_t bang;
  std::string_view rest = tokenizable(line, self->is_idd, bang);
  TokenType type;
  std::string_view text;
  while (take_token(rest, type, text)) {
    if (type == TOKEN_TEXT) {
      push_text_token(self, text);
    } else {
      self->buffer.push_back(Token{type, std::string_view()});
    }
  }
}

Token next_token(LexerObject* self) {
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
    self->line_rest = tokenizable(line, self->is_idd, bang);
    if (self->keep_comments) keep_comment(self, line, bang, self->line_rest);
  }
}

}  // namespace quarvel::lexer
