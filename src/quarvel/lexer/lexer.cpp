#include "lexer.hpp"
#include "quarvel/token_scan.hpp"

#include "quarvel/text.hpp"
#include "quarvel/utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quarvel::lexer {

using token_scan::take_token;
using token_scan::tokenizable;

namespace {

// An error token; its text is kept by the tokenizer (one error ends the input).
Token error_token(LexerInstance* self, const char* what, size_t column, int byte) {
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
// Returns whether the whole input is UTF-8 (a NUL counts as UTF-8 here).
bool precheck(LexerInstance* self) {
  const std::string_view text = self->content;
  self->prechecked = true;
  self->bad_at = text.size();
  self->has_cr = false;
  if (text.empty()) return true;  // no data pointer to search
  const size_t invalid = utf8_first_invalid(text.data(), text.size());
  const void* nul = std::memchr(text.data(), '\0', text.size());
  const size_t nul_at = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text.data()) : text.size();
  self->bad_at = std::min(invalid, nul_at);
  self->has_cr = std::memchr(text.data(), '\r', text.size()) != nullptr;
  return invalid == text.size();
}

}  // namespace

void reset(LexerInstance* self, std::string_view content, bool is_idd) {
  self->buffer.clear();
  self->buffer_idx = 0;
  self->line_num = 0;
  self->is_idd = is_idd;
  self->content = content;
  self->pos = 0;
  self->line_rest = std::string_view();
  self->line_start = nullptr;
  self->bad_at = content.size();
  self->has_cr = false;
  self->prechecked = false;
  self->keep_comments = false;
  self->comments.clear();
}

bool continue_with(LexerInstance* self, std::string_view piece) {
  const int64_t line = self->line_num;
  const bool keep_comments = self->keep_comments;
  reset(self, piece, self->is_idd);
  self->line_num = line;
  self->keep_comments = keep_comments;
  return precheck(self);
}

// Takes the next line (without its line break) and counts it. Lines end at LF,
// CRLF or a lone CR. A line that holds a NUL or invalid UTF-8 byte queues its
// tokens before that byte and an error, and ends the input. Returns false at the end.
bool scan_next_line(LexerInstance* self, std::string_view& line) {
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

void push_text_token(LexerInstance* self, std::string_view text) {
  if (!text.empty()) self->buffer.push_back(Token{TOKEN_TEXT, text});
}

void tokenize_line(LexerInstance* self, std::string_view line) {
  std::string_view rest = tokenizable(line, self->is_idd, token_scan::comment_start(line));
  TokenType type;
  std::string_view text;
  while (take_token(rest, type, text, self->content.data() + self->content.size())) {
    if (type == TOKEN_TEXT) {
      push_text_token(self, text);
    } else {
      self->buffer.push_back(Token{type, std::string_view()});
    }
  }
}

Token next_token(LexerInstance* self) { return token_scan::next_token(self, scan_next_line); }

}  // namespace quarvel::lexer
