#include "lexer.hpp"

#include "quarvel/text.hpp"
#include "quarvel/utf8.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quarvel::lexer {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

constexpr uint64_t has_zero_byte(uint64_t v) { return (v - kOnes) & ~v & kHighs; }

// True when any of the 8 bytes is LF, CR, NUL or has its high bit set: the only
// bytes that need a closer look while a line is scanned.
constexpr bool word_needs_attention(uint64_t w) {
  return (has_zero_byte(w) | has_zero_byte(w ^ (kOnes * '\n')) | has_zero_byte(w ^ (kOnes * '\r')) |
          (w & kHighs)) != 0;
}

// Byte classes for splitting a line into tokens.
enum : uint8_t { kPlain = 0, kBlank = 1, kComma = 2, kSemicolon = 3, kComment = 4, kBackslash = 5 };

struct ClassTable {
  uint8_t cls[256] = {};
  constexpr ClassTable() {
    cls[static_cast<uint8_t>(' ')] = kBlank;
    cls[static_cast<uint8_t>('\t')] = kBlank;
    cls[static_cast<uint8_t>(',')] = kComma;
    cls[static_cast<uint8_t>(';')] = kSemicolon;
    cls[static_cast<uint8_t>('!')] = kComment;
    cls[static_cast<uint8_t>('\\')] = kBackslash;
  }
};
constexpr ClassTable kClasses;

inline uint8_t class_of(char c, bool is_idd) {
  const uint8_t k = kClasses.cls[static_cast<uint8_t>(c)];
  // Outside IDD mode a backslash is ordinary text.
  return (k == kBackslash && !is_idd) ? kPlain : k;
}

void push_error(LexerObject* self, const char* what, size_t column, int byte) {
  char text[96];
  if (byte >= 0) {
    std::snprintf(text, sizeof(text), "%s 0x%02x at column %zu", what, byte, column);
  } else {
    std::snprintf(text, sizeof(text), "%s at column %zu", what, column);
  }
  self->buffer.push_back(Token{TOKEN_ERROR, text});
}

// Offset of the first NUL or invalid UTF-8 byte in the line, or npos.
size_t first_bad_byte(std::string_view line) {
  const void* nul = std::memchr(line.data(), '\0', line.size());
  const size_t nul_at = nul ? static_cast<size_t>(static_cast<const char*>(nul) - line.data())
                            : std::string_view::npos;
  const size_t bad_utf8 = utf8_first_invalid(line.data(), nul ? nul_at : line.size());
  return bad_utf8 < (nul ? nul_at : line.size()) ? bad_utf8 : nul_at;
}

}  // namespace

void reset(LexerObject* self, std::string_view content, bool is_idd) {
  self->buffer.clear();
  self->buffer_idx = 0;
  self->line_num = 0;
  self->is_idd = is_idd;
  self->content = content;
  self->pos = 0;
}

// Takes the next line (without its line break) and counts it. Lines end at LF,
// CRLF or a lone CR. Returns false at the end of the input.
bool scan_next_line(LexerObject* self, std::string_view& line) {
  const std::string_view text = self->content;
  const size_t size = text.size();
  size_t pos = self->pos;
  if (pos >= size) return false;
  const char* data = text.data();
  size_t end = pos;
  bool needs_check = false;
  for (;;) {
    while (end + 8 <= size) {
      uint64_t w;
      std::memcpy(&w, data + end, 8);
      if (word_needs_attention(w)) break;
      end += 8;
    }
    if (end >= size) break;
    const auto c = static_cast<unsigned char>(data[end]);
    if (c == '\n' || c == '\r') break;
    if (c == 0 || c >= 0x80) needs_check = true;
    ++end;
  }
  line = text.substr(pos, end - pos);
  if (end < size && data[end] == '\r' && end + 1 < size && data[end + 1] == '\n') {
    self->pos = end + 2;
  } else {
    self->pos = end + 1;
  }
  ++self->line_num;
  if (needs_check) {
    const size_t bad = first_bad_byte(line);
    if (bad != std::string_view::npos) {
      // Tokens before the bad byte still come out, then the error.
      tokenize_line(self, line.substr(0, bad));
      const auto byte = static_cast<unsigned char>(line[bad]);
      if (byte == 0) {
        push_error(self, "NUL byte", bad + 1, -1);
      } else {
        push_error(self, "invalid UTF-8 byte", bad + 1, byte);
      }
      self->pos = size;  // nothing after an error is read
      line = std::string_view();
    }
  }
  return true;
}

void push_text_token(LexerObject* self, std::string_view text) {
  if (!text.empty()) self->buffer.push_back(Token{TOKEN_TEXT, std::string(text)});
}

void tokenize_line(LexerObject* self, std::string_view line) {
  const char* p = line.data();
  const size_t n = line.size();
  const bool is_idd = self->is_idd;
  size_t i = 0;
  while (i < n) {
    switch (class_of(p[i], is_idd)) {
      case kBlank:
        ++i;
        break;
      case kComma:
        self->buffer.push_back(Token{TOKEN_COMMA, std::string()});
        ++i;
        break;
      case kSemicolon:
        self->buffer.push_back(Token{TOKEN_SEMICOLON, std::string()});
        ++i;
        break;
      case kComment:
      case kBackslash:
        return;
      default: {
        const size_t start = i;
        size_t last = i;  // last byte that is not a blank
        for (++i; i < n; ++i) {
          const uint8_t k = class_of(p[i], is_idd);
          if (k == kPlain) {
            last = i;
          } else if (k != kBlank) {
            break;
          }
        }
        push_text_token(self, std::string_view(p + start, last + 1 - start));
      }
    }
  }
}

Token next_token(LexerObject* self) {
  for (;;) {
    if (self->buffer_idx < self->buffer.size()) return std::move(self->buffer[self->buffer_idx++]);
    self->buffer.clear();
    self->buffer_idx = 0;
    std::string_view line;
    if (!scan_next_line(self, line)) {
      if (self->line_num == 0) self->line_num = 1;
      return Token{TOKEN_EOF, std::string()};
    }
    tokenize_line(self, line);
  }
}

}  // namespace quarvel::lexer
