// What a field's text may be: the rules every way of storing a value (a field write,
// a new object, a document of the engine's JSON form) checks, so that the text a model
// writes reads back as the same values.
#pragma once
#include "text.hpp"

#include <string_view>

namespace quarvel {

// The words that stand for a size or a value the engine works out itself.
inline bool is_sizing_word(std::string_view text) noexcept {
  return ascii_iequals(text, "autosize") || ascii_iequals(text, "autocalculate");
}

// Why a text cannot stand in a field: it holds a character that IDF text has no way to
// write (a delimiter, the comment mark, a line break, NUL), or it begins or ends with a
// blank or a tab, which a reader of the text drops.
struct FieldTextFault {
  enum Kind { kNone, kCharacter, kBlankAtEnd } kind = kNone;
  char character = 0;
  explicit operator bool() const noexcept { return kind != kNone; }
};

inline FieldTextFault field_text_fault(std::string_view text) noexcept {
  for (char c : text) {
    if (c == ',' || c == ';' || c == '!' || c == '\r' || c == '\n' || c == '\0') {
      return FieldTextFault{FieldTextFault::kCharacter, c};
    }
  }
  if (!text.empty() && (is_blank(text.front()) || is_blank(text.back()))) {
    return FieldTextFault{FieldTextFault::kBlankAtEnd, is_blank(text.front()) ? text.front() : text.back()};
  }
  return FieldTextFault{};
}

}  // namespace quarvel
