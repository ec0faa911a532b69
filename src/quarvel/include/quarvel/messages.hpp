// Every message the native modules raise, in one place: first the wordings that callers
// and stored tests rely on word for word (the format of the library's contract), then
// the library's own. Format strings follow PyUnicode_FromFormat / PyErr_Format.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

namespace quarvel::messages {

// A message of the plain C++ layer (which makes no Python object): `tmpl` with each "{}"
// replaced by the next of `parts`.
inline std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> parts) {
  std::string out;
  auto part = parts.begin();
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == '{' && i + 1 < tmpl.size() && tmpl[i + 1] == '}' && part != parts.end()) {
      out += *part++;
      ++i;
    } else {
      out += tmpl[i];
    }
  }
  return out;
}

// ---- wordings of the contract ------------------------------------------------------------

// IDF text that does not parse (%lld: the line).
inline constexpr char kUnterminated[] = "IDF parsing error (Line %lld): unterminated object before EOF; missing ';'.";
inline constexpr char kTokenError[] = "IDF parsing error (Line %lld): %R";
inline constexpr char kMissingDelimiter[] = "IDF parsing error (Line %lld): missing delimiter before '%U'.";
inline constexpr char kUnknownToken[] = "IDF parsing error (Line %lld): unrecognized token type '%d'.";
inline constexpr char kUnknownClassInText[] = "IDF parsing error: Unknown class: '%s'";
inline constexpr char kUnknownClass[] = "Unknown class: '%U'";
inline constexpr char kClassIndexOutOfBounds[] = "Class index out of bounds: %zu";
inline constexpr char kInitRefused[] = "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string().";
inline constexpr char kNotMember[] = "Error: The object belongs to a different IDF model or is detached.";
inline constexpr char kNoDeletion[] = "Subscript %.10s not supported by %.200s";
inline constexpr char kInvalidValuesType[] = "Invalid values type: %U. Expected list or dict";
inline constexpr char kArgumentType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kNoneHasNoAttribute[] = "'NoneType' object has no attribute '%.30s'";
inline constexpr char kArgumentCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char kNoKeywords[] = "%s() takes no keyword arguments";
inline constexpr char kUnknownField[] = "Unknown field %R for class '%s'";

// Schema (IDD) text that does not parse: "IDD parsing error (Line %lld): %s", the second
// part one of the texts below ({} filled by fill()).
inline constexpr char kIddParseError[] = "IDD parsing error (Line %lld): %s";
inline constexpr char kIddUnclosedClass[] = "class '{}' (line {}) is missing its closing ';'";
inline constexpr char kIddFieldOutsideClass[] = "field {} outside a class";
inline constexpr char kIddMissingClassName[] = "missing class name before '{}'";
inline constexpr char kIddClassNameDelimiter[] = "class name '{}' must be followed by ',' or ';'";
inline constexpr char kIddMissingFieldCode[] = "missing field code before '{}' in class '{}'";
inline constexpr char kIddFieldDelimiter[] = "field {} must be followed by ',' or ';'";
inline constexpr char kIddDuplicateClass[] = "duplicate class '{}' (first defined on line {})";
inline constexpr char kIddMinFields[] = "\\min-fields needs a whole number, got '{}'";
inline constexpr char kIddExtensible[] = "\\extensible needs a positive whole number, got '{}'";
inline constexpr char kIddShortGroup[] = "class '{}' declares \\extensible:{} but lists only {} repeatable fields";

// ---- the library's own -------------------------------------------------------------------

inline constexpr char kSchemaNeeded[] = "Argument 'idd' is None, but a schema (IDD) is needed to load objects";
inline constexpr char kNoSuchFault[] = "a failure of no known kind";
inline constexpr char kCannotHold[] = "%s field '%s' cannot hold %R: IDF text has no way to write it";
inline constexpr char kBlankAtEnd[] =
    "%s field '%s' cannot begin or end with a blank or a tab: IDF text drops them when it is read";
inline constexpr char kNewReturnedLoaded[] =
    "%.200s.__new__() returned a model that is already loaded; it must return a new one";
inline constexpr char kNewReturnedOther[] = "%.200s.__new__() returned %.200s, not an IDF";
inline constexpr char kModelNotLoaded[] =
    "IDF model is not loaded: it has no schema or no object list; use IDF.from_file() or IDF.from_string()";
inline constexpr char kModelBeingRead[] =
    "the model is being validated in another thread; change it when that is done";

}  // namespace quarvel::messages
