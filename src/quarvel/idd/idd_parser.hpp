// Parser of the engine's dictionary text into schema records. Plain C++: it touches
// no Python object except through the lower-casing callback it is given.
#pragma once
#include "quarvel/idd_api.hpp"

#include <functional>

namespace quarvel::idd {

struct ParseError {
  int64_t line = 0;
  std::string message;
  bool python_error = false;  // the callback raised; the Python exception is set
};

// Lower-cases a name that holds non-ASCII text; returns false when it failed.
using LowerFn = std::function<bool(std::string_view, std::string&)>;

// Parses `text` into `out` (which is only assigned on success). Returns false and
// fills `err` when the text is malformed.
bool parse_idd(std::string_view text, const LowerFn& lower, c_IDD& out, ParseError& err);

// Lower-cases `s`: ASCII directly, other text through `lower`.
bool lower_name(std::string_view s, const LowerFn& lower, std::string& out);

}  // namespace quarvel::idd
