// Field lookups on a class definition: the functions published to other modules.
#pragma once
#include "quarvel/idd_api.hpp"

namespace quarvel::idd {

int resolve_key_to_field_index(const ClassDef& cls, PyObject* key);
int find_field_index(const ClassDef& cls, std::string_view name);
std::string get_field_name(const ClassDef& cls, int idx, bool with_units);
const FieldDef* get_field_def(const ClassDef& cls, int idx);

// Index of a field given its lower-cased name, or -1.
int lookup_lowered_name(const ClassDef& cls, std::string_view lowered);

}  // namespace quarvel::idd
