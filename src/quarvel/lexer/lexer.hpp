// The IDF tokenizer. Works on the input bytes only and touches no Python object,
// so the parser can run it without the interpreter lock.
#pragma once
#include "quarvel/lexer_api.hpp"

namespace quarvel::lexer {

// Sets up a fresh tokenizer state over `content` (kept as a view, not copied).
void reset(LexerInstance* self, std::string_view content, bool is_idd);

// Goes on over the next piece of the input, counting lines on; whether it is UTF-8.
bool continue_with(LexerInstance* self, std::string_view piece);

bool scan_next_line(LexerInstance* self, std::string_view& line);
Token next_token(LexerInstance* self);
void tokenize_line(LexerInstance* self, std::string_view line);
void push_text_token(LexerInstance* self, std::string_view text);

}  // namespace quarvel::lexer
