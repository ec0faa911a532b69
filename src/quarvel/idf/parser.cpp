// The IDF grammar over the tokenizer's stream: objects are a class name and field
// values separated by commas and closed by a semicolon. Plain C++: it runs without
// the interpreter lock and touches no Python object.
#include "core.hpp"

namespace quarvel::idf {

ParseFailure parse_idf(LexerObject* lexer, std::vector<c_IDFObject>& out) noexcept {
  ParseFailure failure;
  try {
    const auto next_token = g.lexer->ops->next_token;
    c_IDFObject current;
    // Values gather in a reused vector and move into one of exact size per object:
    // one allocation per object instead of one per doubling, and no spare capacity
    // kept for the model's lifetime.
    std::vector<std::string> gathered;
    gathered.reserve(64);
    std::string last_text;
    bool object_started = false;
    auto store_slot = [&] {
      if (object_started) {
        gathered.push_back(std::move(last_text));
      } else {
        current.class_name = std::move(last_text);
      }
      last_text.clear();
    };
    for (;;) {
      Token tok = next_token(lexer);
      switch (tok.type) {
        case TOKEN_EOF:
          if (object_started || !last_text.empty()) {
            failure.kind = ParseFailure::kUnterminated;
            failure.line = lexer->line_num;
          }
          return failure;
        case TOKEN_ERROR:
          failure.kind = ParseFailure::kTokenError;
          failure.line = lexer->line_num;
          failure.text = std::move(tok.value);
          return failure;
        case TOKEN_TEXT:
          if (!object_started && last_text.empty()) current.line = lexer->line_num;
          if (!last_text.empty()) {
            failure.kind = ParseFailure::kMissingDelimiter;
            failure.line = lexer->line_num;
            failure.text = std::move(tok.value);
            return failure;
          }
          last_text = std::move(tok.value);
          break;
        case TOKEN_COMMA:
          if (!object_started && last_text.empty()) current.line = lexer->line_num;
          store_slot();
          object_started = true;
          break;
        case TOKEN_SEMICOLON:
          if (!object_started && last_text.empty()) current.line = lexer->line_num;
          store_slot();
          current.values.reserve(gathered.size());
          for (std::string& value : gathered) current.values.push_back(std::move(value));
          gathered.clear();
          out.push_back(std::move(current));
          current = c_IDFObject();
          object_started = false;
          break;
        default:
          failure.kind = ParseFailure::kUnknownToken;
          failure.line = lexer->line_num;
          failure.token_type = static_cast<int>(tok.type);
          return failure;
      }
    }
  } catch (const std::bad_alloc&) {
    failure.kind = ParseFailure::kNoMemory;
  }
  return failure;
}

}  // namespace quarvel::idf
