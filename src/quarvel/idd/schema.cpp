// Field lookups on a class definition. Plain C++: no Python object is touched here.
#include "schema.hpp"

#include <climits>

namespace quarvel::idd {

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Group number (1, 2, ...) of `lowered` under `pat`, or 0 when it does not match.
long group_number(const ExtPattern& pat, std::string_view lowered) {
  if (!pat.numbered) return 0;
  const size_t fixed = pat.search_prefix.size() + pat.search_suffix.size();
  if (lowered.size() <= fixed || lowered.substr(0, pat.search_prefix.size()) != pat.search_prefix ||
      !ends_with(lowered, pat.search_suffix)) {
    return 0;
  }
  const std::string_view digits = lowered.substr(pat.search_prefix.size(), lowered.size() - fixed);
  if (digits[0] == '0' || digits.size() > 9) return 0;
  long group = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    group = group * 10 + (c - '0');
  }
  return group;
}




}  // namespace

int lookup_lowered_name(const ClassDef& cls, std::string_view lowered) {
  if (const int found = cls.base_field_index_map.find(cls.fields, lowered); found >= 0) return found;
  const ExtensibleDef& ext = cls.extensible;
  if (!ext.is_extensible) return -1;
  for (size_t j = 0; j < ext.patterns.size(); ++j) {
    const long group = group_number(ext.patterns[j], lowered);
    if (group <= 0) continue;
    const long long idx = ext.begin_index + (group - 1) * static_cast<long long>(ext.size) + static_cast<long long>(j);
    if (idx <= kMaxFieldIndex) return static_cast<int>(idx);
  }
  return -1;
}

int find_field_index(const ClassDef& cls, std::string_view name) {
  try {
    return lookup_lowered_name(cls, ascii_lowered(name));
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

const FieldDef* get_field_def(const ClassDef& cls, int idx) { return field_def_at(cls, idx); }

std::string get_field_name(const ClassDef& cls, int idx, bool with_units) {
  if (idx < 0) return std::string();
  const auto i = static_cast<size_t>(idx);
  if (i < cls.fields.size()) {
    std::string name(cls.fields[i].name);
    if (with_units) append_units(name, cls.fields[i].units);
    return name;
  }
  const ExtensibleDef& ext = cls.extensible;
  if (!ext.is_extensible) return std::string();
  const int offset = idx - ext.begin_index;
  const int j = offset % ext.size;
  const ExtPattern& pat = ext.patterns[static_cast<size_t>(j)];
  std::string name = pat.prefix;
  if (pat.numbered) name += std::to_string(offset / ext.size + 1) + pat.suffix;
  const FieldDef& def = cls.fields[static_cast<size_t>(ext.begin_index + j)];
  if (with_units) append_units(name, def.units);
  return name;
}

}  // namespace quarvel::idd
