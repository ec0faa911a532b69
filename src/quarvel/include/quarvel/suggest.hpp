// "Did you mean": the schema names closest to a misspelt one. Names are compared folded
// (ASCII lower case, '_' read as a space, '-', '/' and '*' dropped, as attribute names
// spell fields) by edit distance, a swap of two neighbours counting as one edit; a
// candidate is offered when it is within about a quarter of the word's length.
#pragma once
#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarvel/text.hpp"

namespace quarvel {

inline std::string folded_for_match(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '-' || c == '/' || c == '*') continue;
    out += c == '_' ? ' ' : ascii_lower(c);
  }
  return out;
}

// A field name as an attribute spells it: blanks as '_', and '-', '/' and '*' dropped.
inline std::string attribute_spelling(std::string_view field_name) {
  std::string out;
  for (char c : field_name) {
    if (c == ' ') out += '_';
    else if (c != '-' && c != '/' && c != '*') out += c;
  }
  return out;
}

// Edit distance (optimal string alignment), or limit + 1 when it exceeds `limit`.
inline size_t edit_distance(std::string_view a, std::string_view b, size_t limit) {
  const size_t n = a.size(), m = b.size();
  if ((n > m ? n - m : m - n) > limit) return limit + 1;
  std::vector<size_t> before(m + 1), previous(m + 1), current(m + 1);
  for (size_t j = 0; j <= m; ++j) previous[j] = j;
  for (size_t i = 1; i <= n; ++i) {
    current[0] = i;
    size_t row_best = current[0];
    for (size_t j = 1; j <= m; ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      size_t d = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d = std::min(d, before[j - 2] + 1);
      current[j] = d;
      row_best = std::min(row_best, d);
    }
    if (row_best > limit) return limit + 1;
    before.swap(previous);
    previous.swap(current);
  }
  return std::min(previous[m], limit + 1);
}

// The positions in `candidates` of at most `most` names closest to `word`: those nearest
// of all, in the candidates' order. An empty word, or one that nothing is near, gives none.
inline std::vector<size_t> closest_names(std::string_view word, std::span<const std::string_view> candidates,
                                         size_t most = 3) {
  const std::string folded = folded_for_match(word);
  std::vector<std::pair<size_t, size_t>> near;  // (distance, position)
  if (folded.empty()) return {};
  const size_t limit = std::max<size_t>(1, (folded.size() + 1) / 4);
  for (size_t i = 0; i < candidates.size(); ++i) {
    const size_t d = edit_distance(folded, folded_for_match(candidates[i]), limit);
    if (d <= limit) near.emplace_back(d, i);
  }
  std::stable_sort(near.begin(), near.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<size_t> out;
  for (size_t i = 0; i < near.size() && i < most && near[i].first == near[0].first; ++i) out.push_back(near[i].second);
  return out;
}

// "Did you mean 'A'?", "Did you mean 'A' or 'B'?", "Did you mean 'A', 'B' or 'C'?"; empty for none.
inline std::string did_you_mean(const std::vector<std::string>& names) {
  if (names.empty()) return {};
  std::string out = "Did you mean ";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += i + 1 == names.size() ? " or " : ", ";
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out + "?";
}

#ifdef Py_PYTHON_H
// Gives the exception being raised the closest names: as its `suggestions` (a tuple, empty
// when none is near) and, when there are any, as a note, which tracebacks and the command
// line print after the message. The message itself stays as it is: callers match on it.
// Returns -1 with a new exception set when that fails.
inline int attach_suggestions(const std::vector<std::string>& names) {
  PyObject* error = PyErr_GetRaisedException();
  if (!error) return 0;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  bool ok = tuple != nullptr;
  for (size_t i = 0; ok && i < names.size(); ++i) {
    PyObject* name = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
    ok = name != nullptr;
    if (ok) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
  }
  ok = ok && PyObject_SetAttrString(error, "suggestions", tuple) == 0;
  Py_XDECREF(tuple);
  if (ok && !names.empty()) {
    const std::string note = did_you_mean(names);
    PyObject* done = PyObject_CallMethod(error, "add_note", "s#", note.data(), static_cast<Py_ssize_t>(note.size()));
    ok = done != nullptr;
    Py_XDECREF(done);
  }
  if (!ok) {
    Py_DECREF(error);
    return -1;
  }
  PyErr_SetRaisedException(error);
  return 0;
}
#endif

}  // namespace quarvel
