// The value-by-value work of converting between IDF objects and the engine's JSON form
// (quarvel.epjson does the rest): an object's fields to a JSON-ready dict, and a JSON
// object's members back to a line of IDF text. A class's plan, made once in Python, says
// how each property is written:
//   (named, fields, kinds, words, keys, extension, group_fields, group_kinds,
//    group_words, group_keys, field_index, group_index)
// with kinds as bit sets (kNumeric, 2 for integer, kAnyText), words/keys as dicts from the
// upper-cased text to the schema's spelling (or None), and the indexes as dicts from a
// property name to its position.
#include "features.hpp"
#include "quarvel/field_text.hpp"
#include "quarvel/numbers.hpp"

#include <charconv>
#include <cmath>

namespace quarvel::features {

namespace {

// Kind bits: a number (whole numbers of either kind are written as JSON integers, so the
// integer bit, 2, asks for nothing more), or any text as well as a number.
constexpr long kNumeric = 1, kAnyText = 4;

struct Plan {
  bool named;
  PyObject* fields;  // tuple of str
  PyObject* kinds;   // tuple of int
  PyObject* words;   // tuple of dict or None
  PyObject* keys;    // tuple of dict or None
  PyObject* extension;
  PyObject* group_fields;
  PyObject* group_kinds;
  PyObject* group_words;
  PyObject* group_keys;
  PyObject* field_index;
  PyObject* group_index;
};

Plan plan_of(PyObject* plan) {
  if (!PyTuple_Check(plan) || PyTuple_GET_SIZE(plan) != 12) raise(PyExc_TypeError, "an epJSON plan is a 12-tuple");
  Plan p{PyObject_IsTrue(PyTuple_GET_ITEM(plan, 0)) == 1, PyTuple_GET_ITEM(plan, 1), PyTuple_GET_ITEM(plan, 2),
         PyTuple_GET_ITEM(plan, 3), PyTuple_GET_ITEM(plan, 4), PyTuple_GET_ITEM(plan, 5), PyTuple_GET_ITEM(plan, 6),
         PyTuple_GET_ITEM(plan, 7), PyTuple_GET_ITEM(plan, 8), PyTuple_GET_ITEM(plan, 9),
         PyTuple_GET_ITEM(plan, 10), PyTuple_GET_ITEM(plan, 11)};
  if (!PyDict_Check(p.field_index) || !PyDict_Check(p.group_index)) raise(PyExc_TypeError, "an epJSON plan holds dicts");
  for (PyObject* t : {p.fields, p.kinds, p.words, p.keys, p.group_fields, p.group_kinds, p.group_words, p.group_keys}) {
    if (!PyTuple_Check(t)) raise(PyExc_TypeError, "an epJSON plan holds tuples");
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(p.fields), g = PyTuple_GET_SIZE(p.group_fields);
  if (PyTuple_GET_SIZE(p.kinds) != n || PyTuple_GET_SIZE(p.words) != n || PyTuple_GET_SIZE(p.keys) != n ||
      PyTuple_GET_SIZE(p.group_kinds) != g || PyTuple_GET_SIZE(p.group_words) != g ||
      PyTuple_GET_SIZE(p.group_keys) != g) {
    raise(PyExc_TypeError, "an epJSON plan's tuples differ in length");
  }
  return p;
}

// The schema's spelling of `text` in `table` (upper-cased keys), or null when absent.
PyObject* spelled(PyObject* table, std::string_view text) {
  if (table == Py_None || !PyDict_Check(table)) return nullptr;
  std::string upper(text);
  for (char& c : upper) c = ascii_upper(c);
  PyRef key = take(str_from(upper));
  PyObject* found = PyDict_GetItemWithError(table, key.get());
  if (!found && PyErr_Occurred()) throw PythonErrorSet();
  return found;  // borrowed
}

// The schema's spelling of a sizing word in a field that takes the other one: the
// engine's own converter writes AUTOCALCULATE in an autosizable field as "Autosize".
PyObject* sizing_spelling(PyObject* words, std::string_view text) {
  if (!is_sizing_word(text)) return nullptr;
  if (PyObject* word = spelled(words, "AUTOSIZE")) return word;
  return spelled(words, "AUTOCALCULATE");
}

std::string repr_of(PyObject* value) {
  PyRef r = take(PyObject_Repr(value));
  return std::string(utf8_of(r.get()));
}

// " or 'Autosize'": the words a number field also takes, for messages.
std::string also_allowed(PyObject* words) {
  std::string allowed;
  if (words != Py_None && PyDict_Check(words)) {
    Py_ssize_t pos = 0;
    PyObject *key, *spelling;
    while (PyDict_Next(words, &pos, &key, &spelling)) allowed += " or " + repr_of(spelling);
  }
  return allowed;
}

[[noreturn]] void raise_at(const std::string& where, const std::string& message);

template <class Where>
PyRef json_value(const std::string& text, long kind, PyObject* words, PyObject* keys, const Where& where) {
  if (kind & kNumeric) {
    double v;
    if (parse_engine_number(text, v)) {
      if (!std::isfinite(v)) raise_at(where(), "'" + text + "' is beyond the range of a number");
      // A whole number travels as an integer (4, not 4.0).
      if (v == std::floor(v) && std::fabs(v) < 9007199254740992.0) return take(PyLong_FromDouble(v));
      return take(PyFloat_FromDouble(v));
    }
    if (PyObject* word = spelled(words, text)) return PyRef::borrow(word);
    if (PyObject* word = sizing_spelling(words, text)) return PyRef::borrow(word);
    if (kind & kAnyText) return take(str_from(text));
    // Not a number: what the engine would refuse, and what would not come back from the form.
    PyRef shown = take(str_from(text));
    raise_at(where(), "a number" + also_allowed(words) + " belongs here, not " + repr_of(shown.get()));
  }
  if (PyObject* key = spelled(keys, text)) return PyRef::borrow(key);
  return take(str_from(text));
}

long kind_at(PyObject* kinds, Py_ssize_t i) {
  const long kind = PyLong_AsLong(PyTuple_GET_ITEM(kinds, i));
  if (kind == -1 && PyErr_Occurred()) throw PythonErrorSet();
  return kind;
}

// ---- back to IDF text ----

[[noreturn]] void raise_at(const std::string& where, const std::string& message) {
  PyRef module = take(PyImport_ImportModule("quarvel.epjson"));
  PyRef error_type = take(PyObject_GetAttrString(module.get(), "EpJSONError"));
  PyRef path = take(str_from(where)), text = take(str_from(message));
  PyRef error = take(PyObject_CallFunctionObjArgs(error_type.get(), path.get(), text.get(), nullptr));
  PyErr_SetObject(error_type.get(), error.get());
  throw PythonErrorSet();
}


// The IDF text of one JSON value, appended to `out`. `where()` makes the value's JSON
// path, only when there is an error to report: most documents have none.
template <class Where>
void append_idf_text(std::string& out, PyObject* value, long kind, PyObject* words, const Where& where) {
  if (value == Py_None) return;
  if (PyBool_Check(value)) raise_at(where(), "a number or text belongs here, not " + repr_of(value));
  if (PyLong_Check(value)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) throw PythonErrorSet();
    if (overflow == 0) {
      char digits[24];
      const auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), n);
      out.append(digits, end);
      return;
    }
    PyRef text = take(PyObject_Str(value));
    out += utf8_of(text.get());
    return;
  }
  if (PyFloat_Check(value)) {
    const double v = PyFloat_AS_DOUBLE(value);
    if (!std::isfinite(v)) raise_at(where(), repr_of(value) + " is not a number IDF text can hold");
    out += shortest_text(v);
    return;
  }
  if (PyUnicode_Check(value)) {
    const std::string_view text = utf8_of(value);
    if ((kind & kNumeric) && !(kind & kAnyText) && !text.empty()) {
      PyObject* word = spelled(words, text);
      if (!word) word = sizing_spelling(words, text);
      if (word) {
        out += utf8_of(word);
        return;
      }
      double v;
      if (!parse_engine_number(text, v)) {
        raise_at(where(), "a number" + also_allowed(words) + " belongs here, not " + repr_of(value));
      }
    }
    if (const FieldTextFault fault = field_text_fault(text)) {
      if (fault.kind == FieldTextFault::kBlankAtEnd) {
        raise_at(where(), "a value cannot begin or end with a blank or a tab, which IDF text drops when it is read");
      }
      PyRef character = take(PyUnicode_FromStringAndSize(&fault.character, 1));
      raise_at(where(), repr_of(character.get()) + " cannot stand in IDF text, which has no way to write it");
    }
    out += text;
    return;
  }
  const char* what = PyList_Check(value) ? "an array" : PyDict_Check(value) ? "an object" : Py_TYPE(value)->tp_name;
  raise_at(where(), std::string(what) + " where a " + ((kind & kNumeric) ? "number" : "value") + " belongs");
}

// The position of a property in a class's field list (`index`, a dict), or -1.
Py_ssize_t index_in(PyObject* index, PyObject* name) {
  PyObject* found = PyDict_GetItemWithError(index, name);
  if (!found) {
    if (PyErr_Occurred()) throw PythonErrorSet();
    return -1;
  }
  const Py_ssize_t at = PyLong_AsSsize_t(found);
  if (at == -1 && PyErr_Occurred()) throw PythonErrorSet();
  return at;
}

}  // namespace

// _epjson_body(obj, plan, where) -> dict: the object's non-blank fields as JSON values;
// `where` names the object in errors (Zone["Office"]).
PyObject* epjson_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        if (nargs != 3 || !state_of_module(module).is_object(args[0]) || !PyUnicode_Check(args[2])) {
          raise(PyExc_TypeError, "_epjson_body(obj, plan, where)");
        }
        const Plan p = plan_of(args[1]);
        // A copy: making the dicts may run the cyclic collector, whose finalizers may let
        // another thread edit the object meanwhile.
        const std::vector<std::string> values = as_object(args[0])->values;
        const std::string where(utf8_of(args[2]));
        auto at_field = [&](PyObject* names, Py_ssize_t at, const std::string& prefix) {
          return [&, names, at] { return prefix + "." + std::string(utf8_of(PyTuple_GET_ITEM(names, at))); };
        };
        const auto n = static_cast<size_t>(PyTuple_GET_SIZE(p.fields));
        PyRef body = take(PyDict_New());
        for (size_t i = p.named ? 1 : 0; i < n && i < values.size(); ++i) {
          if (values[i].empty()) continue;
          const auto at = static_cast<Py_ssize_t>(i);
          PyRef value = json_value(values[i], kind_at(p.kinds, at), PyTuple_GET_ITEM(p.words, at),
                                   PyTuple_GET_ITEM(p.keys, at), at_field(p.fields, at, where));
          check_status(PyDict_SetItem(body.get(), PyTuple_GET_ITEM(p.fields, at), value.get()));
        }
        const auto size = static_cast<size_t>(PyTuple_GET_SIZE(p.group_fields));
        if (values.size() > n && p.extension != Py_None && size > 0) {
          PyRef items = take(PyList_New(0));
          for (size_t start = n; start < values.size(); start += size) {
            const std::string item_where =
                where + "." + std::string(utf8_of(p.extension)) + "[" + std::to_string(PyList_GET_SIZE(items.get())) + "]";
            PyRef item = take(PyDict_New());
            for (size_t j = 0; j < size && start + j < values.size(); ++j) {
              const std::string& text = values[start + j];
              if (text.empty()) continue;
              const auto at = static_cast<Py_ssize_t>(j);
              PyRef value = json_value(text, kind_at(p.group_kinds, at), PyTuple_GET_ITEM(p.group_words, at),
                                       PyTuple_GET_ITEM(p.group_keys, at), at_field(p.group_fields, at, item_where));
              check_status(PyDict_SetItem(item.get(), PyTuple_GET_ITEM(p.group_fields, at), value.get()));
            }
            if (PyDict_GET_SIZE(item.get()) > 0) check_status(PyList_Append(items.get(), item.get()));
          }
          if (PyList_GET_SIZE(items.get()) > 0) check_status(PyDict_SetItem(body.get(), p.extension, items.get()));
        }
        return body.release();
      },
      nullptr);
}

// _epjson_line(class_name, key, body, plan, where) -> str: the object as a line of IDF text.
PyObject* epjson_line(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        if (nargs != 5 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1]) || !PyUnicode_Check(args[4])) {
          raise(PyExc_TypeError, "_epjson_line(class_name, key, body, plan, where)");
        }
        PyObject* body = args[2];
        const Plan p = plan_of(args[3]);
        const std::string where(utf8_of(args[4]));
        if (!PyDict_Check(body)) raise_at(where, "an object's fields belong in a JSON object");
        const Py_ssize_t n = PyTuple_GET_SIZE(p.fields), size = PyTuple_GET_SIZE(p.group_fields);
        std::vector<std::string> values(static_cast<size_t>(n));
        if (p.named) append_idf_text(values[0], args[1], 0, Py_None, [&] { return where; });
        PyObject* items = nullptr;
        Py_ssize_t pos = 0;
        PyObject *prop, *value;
        while (PyDict_Next(body, &pos, &prop, &value)) {
          Py_ssize_t i = PyUnicode_Check(prop) ? index_in(p.field_index, prop) : -1;
          if (i >= n) i = -1;
          if (i < 0 || (p.named && i == 0)) {
            if (p.extension != Py_None && PyUnicode_Check(prop) && PyUnicode_Compare(prop, p.extension) == 0) {
              items = value;
              continue;
            }
            PyRef name = take(PyObject_Str(prop));
            raise_at(where + "." + std::string(utf8_of(name.get())), std::string(utf8_of(args[0])) + " has no such field");
          }
          append_idf_text(values[static_cast<size_t>(i)], value, kind_at(p.kinds, i), PyTuple_GET_ITEM(p.words, i),
                          [&] { return where + "." + std::string(utf8_of(prop)); });
        }
        if (items) {
          const std::string place = where + "." + std::string(utf8_of(p.extension));
          if (!PyList_Check(items)) raise_at(place, "the repeating group belongs in an array");
          for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items); ++k) {
            PyObject* item = PyList_GET_ITEM(items, k);
            auto at = [&] { return place + "[" + std::to_string(k) + "]"; };
            if (!PyDict_Check(item)) raise_at(at(), "each group belongs in a JSON object");
            const size_t base = values.size();
            values.resize(base + static_cast<size_t>(size));
            Py_ssize_t item_pos = 0;
            PyObject *member, *member_value;
            while (PyDict_Next(item, &item_pos, &member, &member_value)) {
              Py_ssize_t j = PyUnicode_Check(member) ? index_in(p.group_index, member) : -1;
              if (j >= size) j = -1;
              if (j < 0) {
                PyRef name = take(PyObject_Str(member));
                raise_at(at() + "." + std::string(utf8_of(name.get())),
                         "the groups of " + std::string(utf8_of(args[0])) + " have no such field");
              }
              append_idf_text(values[base + static_cast<size_t>(j)], member_value, kind_at(p.group_kinds, j),
                              PyTuple_GET_ITEM(p.group_words, j),
                              [&] { return at() + "." + std::string(utf8_of(member)); });
            }
          }
        }
        while (!values.empty() && values.back().empty()) values.pop_back();
        std::string line(utf8_of(args[0]));
        for (const std::string& v : values) {
          line += ',';
          line += v;
        }
        line += ';';
        return str_from(line);
      },
      nullptr);
}

}  // namespace quarvel::features
