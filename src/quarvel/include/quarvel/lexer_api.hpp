// The tokenizer's records and the table of its operations that the parser calls.
#pragma once
#include "capi.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quarvel {

enum TokenType : int {
  TOKEN_TEXT = 0,
  TOKEN_COMMA = 1,
  TOKEN_SEMICOLON = 2,
  TOKEN_EOF = 3,
  TOKEN_ERROR = 4,
};

// A token's text views the input (or, for an error, the tokenizer's own message): it is
// valid while the input is and, for an error, until the tokenizer reads on.
struct Token {
  TokenType type;
  std::string_view value;
};

// A user's comment: a '!' comment that is not the writer's own ("!-"), kept when the
// tokenizer is asked to keep them. `after_token` tells a comment that follows values on
// its line from one that stands on a line of its own.
struct LexComment {
  int64_t line;
  bool after_token;
  std::string_view text;  // what follows the '!', in the input (valid while the input is)
};

// Layout of a Lexer instance. `content` views the bytes object held in `owner`,
// so the input is never copied and stays alive while the tokenizer runs.
struct LexerInstance {
  PyObject_HEAD
  std::vector<Token> buffer;  // tokens queued ahead of the current line (errors)
  size_t buffer_idx;
  int64_t line_num;
  bool is_idd;
  std::string_view content;
  size_t pos;
  PyObject* owner;
  std::string_view line_rest;  // what is left of the current line to tokenize (token_scan.hpp)
  const char* line_start;      // where the current line begins: the column of a token
  // Set by the tokenizer module only; token_scan.hpp's inline line scan reads them.
  size_t bad_at;               // offset of the first NUL or invalid UTF-8 byte, or content size
  bool has_cr;                 // whether any line ends in CR
  bool prechecked;             // bad_at and has_cr are known
  // Set by the caller before the first token: user comments are appended to `comments`
  // as their lines are read, ahead of the tokens of the same line.
  bool keep_comments;
  std::vector<LexComment> comments;
  std::string error_text;  // what an error token says
};

struct LexerOps {
  // Gives the tokenizer its whole input (a bytes object of UTF-8 text).
  void (*c_init)(LexerInstance* self, PyObject* content, int is_idd);
  // Goes on with the next piece of the input (whole lines, viewed, not copied; kept
  // alive by the caller): lines are counted on, and the comments read from the last
  // piece must have been taken off the queue. Returns whether the piece is UTF-8 (a
  // piece that is not yields an error token at its first bad byte).
  bool (*continue_with)(LexerInstance* self, std::string_view piece);
  // The next line, for token_scan.hpp's next_token; needs no interpreter lock.
  bool (*scan_next_line)(LexerInstance* self, std::string_view& line);
};

// The layout of the tokenizer structs that the parser reads in place.
inline constexpr uint64_t LEXER_LAYOUT = layout_fingerprint(
    sizeof(Token), QUARVEL_OFFSETOF(Token, type), QUARVEL_OFFSETOF(Token, value), sizeof(LexerInstance),
    QUARVEL_OFFSETOF(LexerInstance, buffer), QUARVEL_OFFSETOF(LexerInstance, buffer_idx),
    QUARVEL_OFFSETOF(LexerInstance, line_num), QUARVEL_OFFSETOF(LexerInstance, is_idd),
    QUARVEL_OFFSETOF(LexerInstance, content), QUARVEL_OFFSETOF(LexerInstance, pos), QUARVEL_OFFSETOF(LexerInstance, owner),
    QUARVEL_OFFSETOF(LexerInstance, line_rest), QUARVEL_OFFSETOF(LexerInstance, line_start),
    QUARVEL_OFFSETOF(LexerInstance, keep_comments), QUARVEL_OFFSETOF(LexerInstance, comments),
    QUARVEL_OFFSETOF(LexerInstance, error_text), sizeof(LexComment),
    sizeof(LexerOps));

inline constexpr uint32_t LEXER_CAPI_VERSION = 6;
inline constexpr const char* LEXER_CAPSULE = "quarvel.lexer._C_API";

struct LexerCapi {
  CapiHeader header;
  PyTypeObject* Lexer_type;
  const LexerOps* ops;
};

}  // namespace quarvel
