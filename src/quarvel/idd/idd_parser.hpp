// Parser of the engine's dictionary text into schema records. Plain C++: it touches
// no Python object except through the lower-casing callback it is given.
#pragma once
#include "quarvel/idd_api.hpp"
#include "quarvel/status.hpp"

#include <functional>

namespace quarvel::idd {

// Lower-cases a name that holds non-ASCII text; returns false when it failed.
using LowerFn = std::function<bool(std::string_view, std::string&)>;

// Parses `text` into `out` (which is only assigned on success). A malformed text fails
// with kSchemaText (its line and what is wrong), a failed `lower` with kPythonError.
// The field records view `text`: it must outlive `out`.
Status parse_idd(std::string_view text, const LowerFn& lower, c_IDD& out);

// Lower-cases `s`: ASCII directly, other text through `lower`.
bool lower_name(std::string_view s, const LowerFn& lower, std::string& out);

}  // namespace quarvel::idd
