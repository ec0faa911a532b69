// The object-by-object work of converting between IDF objects and the engine's JSON form
// (quarvel.epjson reads the JSON schema and walks the classes): a class's objects to the
// JSON object of its members, and a JSON object back to a line of IDF text.
//
// How each property of a class is written is a plan (the _EpJSONPlan type), made once
// per class from what quarvel.epjson read of the schema: a typed record, checked when it
// is made. Converting reads only the plan and copies of the objects' values, so that code
// that runs meanwhile (a finalizer, another thread) cannot change what is being read.
#include "features.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/field_text.hpp"
#include "quarvel/numbers.hpp"

#include <charconv>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

namespace quarvel::features {

namespace {

// Kind bits: a number (whole numbers of either kind are written as JSON integers, so the
// integer bit, 2, asks for nothing more), or any text as well as a number.
constexpr long kNumeric = 1, kAnyText = 4;

// Upper-cased text to the schema's spelling of it (a str).
using Spellings = std::unordered_map<std::string, PyRef, StringHash, std::equal_to<>>;

// One property: a field of the class, or a field of its repeating group.
struct Property {
  PyRef name;        // its JSON name
  std::string text;  // the same, for paths in messages
  long kind = 0;
  Spellings words;   // what a number field also takes (Autosize...)
  Spellings keys;    // the choices of a choice field
};

struct ClassPlan {
  std::string class_name;
  bool named = false;
  std::vector<Property> fields;
  std::unordered_map<std::string, size_t, StringHash, std::equal_to<>> field_index;
  PyRef extension;  // the array property of the repeating group, or null
  std::string extension_text;
  std::vector<Property> group;
  std::unordered_map<std::string, size_t, StringHash, std::equal_to<>> group_index;
  PyRef error;  // the exception raised, called with (path, message)
};

struct EpJSONPlanInstance {
  PyObject_HEAD
  ClassPlan* plan;
};

// ---- errors ----

[[noreturn]] void raise_at(const ClassPlan& plan, const std::string& where, const std::string& message) {
  PyRef path = take(str_from(where)), text = take(str_from(message));
  PyRef error = take(PyObject_CallFunctionObjArgs(plan.error.get(), path.get(), text.get(), nullptr));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  throw PythonErrorSet();
}

std::string repr_of(PyObject* value) {
  PyRef r = take(PyObject_Repr(value));
  return std::string(utf8_of(r.get()));
}

// ---- making a plan ----

Spellings spellings_of(PyObject* table, const char* what) {
  Spellings out;
  if (table == Py_None) return out;
  if (!PyDict_CheckExact(table)) raise_format(PyExc_TypeError, messages::kPlanSpellings, what);
  PyRef items = take(PyDict_Items(table));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* spelling = PyTuple_GET_ITEM(pair, 1);
    if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(spelling)) {
      raise_format(PyExc_TypeError, messages::kPlanSpellingTypes, what);
    }
    out.emplace(std::string(utf8_of(key)), PyRef::borrow(spelling));
  }
  return out;
}

std::vector<Property> properties_of(PyObject* names, PyObject* kinds, PyObject* words, PyObject* keys) {
  if (!PyTuple_CheckExact(names) || !PyTuple_CheckExact(kinds) || !PyTuple_CheckExact(words) ||
      !PyTuple_CheckExact(keys)) {
    raise(PyExc_TypeError, messages::kPlanTuples);
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  if (PyTuple_GET_SIZE(kinds) != n || PyTuple_GET_SIZE(words) != n || PyTuple_GET_SIZE(keys) != n) {
    raise(PyExc_ValueError, messages::kPlanLengths);
  }
  std::vector<Property> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Property& p = out[static_cast<size_t>(i)];
    PyObject* name = PyTuple_GET_ITEM(names, i);
    if (!PyUnicode_CheckExact(name)) raise(PyExc_TypeError, messages::kPlanNames);
    p.name = PyRef::borrow(name);
    p.text = std::string(utf8_of(name));
    p.kind = PyLong_AsLong(PyTuple_GET_ITEM(kinds, i));
    if (p.kind == -1 && PyErr_Occurred()) throw PythonErrorSet();
    p.words = spellings_of(PyTuple_GET_ITEM(words, i), "words");
    p.keys = spellings_of(PyTuple_GET_ITEM(keys, i), "keys");
  }
  return out;
}

template <class Index>
void index_properties(const std::vector<Property>& properties, Index& index) {
  for (size_t i = 0; i < properties.size(); ++i) index.emplace(properties[i].text, i);  // the first wins
}

const char* const kPlanNames[] = {"class_name", "named",        "fields",      "kinds",       "words",
                                  "keys",       "extension",    "group_fields", "group_kinds", "group_words",
                                  "group_keys", "error",        nullptr};

void plan_dealloc(PyObject* self);

bool is_plan(PyObject* o) { return Py_TYPE(o)->tp_dealloc == plan_dealloc; }

PyObject* plan_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guard(
      [&]() -> PyObject* {
        PyObject *class_name, *fields, *kinds, *words, *keys, *extension, *group_fields, *group_kinds, *group_words,
            *group_keys, *error;
        int named;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "UpOOOOOOOOOO:_EpJSONPlan", const_cast<char**>(kPlanNames),
                                         &class_name, &named, &fields, &kinds, &words, &keys, &extension,
                                         &group_fields, &group_kinds, &group_words, &group_keys, &error)) {
          throw PythonErrorSet();
        }
        if (extension != Py_None && !PyUnicode_CheckExact(extension)) {
          raise(PyExc_TypeError, messages::kPlanExtension);
        }
        if (!PyCallable_Check(error)) raise(PyExc_TypeError, messages::kPlanError);
        auto plan = std::make_unique<ClassPlan>();
        plan->class_name = std::string(utf8_of(class_name));
        plan->named = named != 0;
        plan->fields = properties_of(fields, kinds, words, keys);
        index_properties(plan->fields, plan->field_index);
        if (extension != Py_None) {
          plan->extension = PyRef::borrow(extension);
          plan->extension_text = std::string(utf8_of(extension));
          plan->group = properties_of(group_fields, group_kinds, group_words, group_keys);
          index_properties(plan->group, plan->group_index);
        }
        plan->error = PyRef::borrow(error);
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) throw PythonErrorSet();
        reinterpret_cast<EpJSONPlanInstance*>(self)->plan = plan.release();
        return self;
      },
      nullptr);
}

void plan_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<EpJSONPlanInstance*>(self)->plan;
  type->tp_free(self);
  Py_DECREF(type);
}

const ClassPlan& plan_arg(PyObject* o) {
  if (!is_plan(o) || !reinterpret_cast<EpJSONPlanInstance*>(o)->plan) raise(PyExc_TypeError, messages::kPlanNeeded);
  return *reinterpret_cast<EpJSONPlanInstance*>(o)->plan;
}

PyType_Slot kPlanSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(plan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_doc, const_cast<char*>("How the objects of one class are written in the engine's JSON form; made by "
                                  "quarvel.epjson.")},
    {0, nullptr},
};

PyType_Spec kPlanSpec = {"quarvel.idf._EpJSONPlan", sizeof(EpJSONPlanInstance), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kPlanSlots};

// ---- IDF to JSON ----

// The schema's spelling of `text`, or null.
PyObject* spelled(const Spellings& table, std::string_view text) {
  if (table.empty()) return nullptr;
  const auto found = table.find(to_upper(text));
  return found == table.end() ? nullptr : found->second.get();
}

// The schema's spelling of a sizing word in a field that takes the other one: the
// engine's own converter writes AUTOCALCULATE in an autosizable field as "Autosize".
PyObject* sizing_spelling(const Spellings& words, std::string_view text) {
  if (!is_sizing_word(text)) return nullptr;
  if (PyObject* word = spelled(words, "AUTOSIZE")) return word;
  return spelled(words, "AUTOCALCULATE");
}

// " or 'Autosize'": the words a number field also takes, for messages.
std::string also_allowed(const Spellings& words) {
  std::string allowed;
  for (const auto& [upper, spelling] : words) allowed += " or " + repr_of(spelling.get());
  return allowed;
}

PyRef json_value(const ClassPlan& plan, const std::string& text, const Property& p, const std::string& where) {
  if (p.kind & kNumeric) {
    double v;
    if (parse_engine_number(text, v)) {
      if (!std::isfinite(v)) raise_at(plan, where, "'" + text + "' is beyond the range of a number");
      // A whole number travels as an integer (4, not 4.0).
      if (v == std::floor(v) && std::fabs(v) < 9007199254740992.0) return take(PyLong_FromDouble(v));
      return take(PyFloat_FromDouble(v));
    }
    if (PyObject* word = spelled(p.words, text)) return PyRef::borrow(word);
    if (PyObject* word = sizing_spelling(p.words, text)) return PyRef::borrow(word);
    if (p.kind & kAnyText) return take(str_from(text));
    // Not a number: what the engine would refuse, and what would not come back from the form.
    PyRef shown = take(str_from(text));
    raise_at(plan, where, "a number" + also_allowed(p.words) + " belongs here, not " + repr_of(shown.get()));
  }
  if (PyObject* key = spelled(p.keys, text)) return PyRef::borrow(key);
  return take(str_from(text));
}

// The object's non-blank fields as a JSON object; `where` names it (Zone["Office"]).
PyRef body_of(const ClassPlan& plan, const std::vector<std::string>& values, const std::string& where) {
  const size_t n = plan.fields.size();
  PyRef body = take(PyDict_New());
  for (size_t i = plan.named ? 1 : 0; i < n && i < values.size(); ++i) {
    if (values[i].empty()) continue;
    const Property& p = plan.fields[i];
    PyRef value = json_value(plan, values[i], p, where + "." + p.text);
    check_status(PyDict_SetItem(body.get(), p.name.get(), value.get()));
  }
  const size_t size = plan.group.size();
  if (values.size() > n && plan.extension && size > 0) {
    PyRef items = take(PyList_New(0));
    for (size_t start = n; start < values.size(); start += size) {
      const std::string item_where =
          where + "." + plan.extension_text + "[" + std::to_string(PyList_GET_SIZE(items.get())) + "]";
      PyRef item = take(PyDict_New());
      for (size_t j = 0; j < size && start + j < values.size(); ++j) {
        const std::string& text = values[start + j];
        if (text.empty()) continue;
        const Property& p = plan.group[j];
        PyRef value = json_value(plan, text, p, item_where + "." + p.text);
        check_status(PyDict_SetItem(item.get(), p.name.get(), value.get()));
      }
      if (PyDict_GET_SIZE(item.get()) > 0) check_status(PyList_Append(items.get(), item.get()));
    }
    if (PyList_GET_SIZE(items.get()) > 0) check_status(PyDict_SetItem(body.get(), plan.extension.get(), items.get()));
  }
  return body;
}

// ---- JSON to IDF ----

// `value`'s UTF-8; text that cannot be encoded (a lone surrogate) is refused at `where`.
std::string_view utf8_at(const ClassPlan& plan, PyObject* value, const std::string& where) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data) return std::string_view(data, static_cast<size_t>(size));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonErrorSet();
  PyErr_Clear();
  raise_at(plan, where, "it holds text that UTF-8 cannot encode (a lone surrogate)");
}

// The IDF text of one JSON value, appended to `out`.
void append_idf_text(const ClassPlan& plan, std::string& out, PyObject* value, const Property* p,
                     const std::string& where) {
  const long kind = p ? p->kind : 0;
  if (value == Py_None) return;
  if (PyBool_Check(value)) raise_at(plan, where, "a number or text belongs here, not " + repr_of(value));
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
    PyRef text = take(PyLong_Type.tp_repr(value));  // digits, even for an int subclass
    out += utf8_of(text.get());
    return;
  }
  if (PyFloat_Check(value)) {
    const double v = PyFloat_AS_DOUBLE(value);
    if (!std::isfinite(v)) raise_at(plan, where, repr_of(value) + " is not a number IDF text can hold");
    out += shortest_text(v);
    return;
  }
  if (PyUnicode_Check(value)) {
    const std::string_view text = utf8_at(plan, value, where);
    if ((kind & kNumeric) && !(kind & kAnyText) && !text.empty()) {
      PyObject* word = spelled(p->words, text);
      if (!word) word = sizing_spelling(p->words, text);
      if (word) {
        out += utf8_of(word);
        return;
      }
      double v;
      if (!parse_engine_number(text, v)) {
        PyRef shown = take(str_from(text));
        raise_at(plan, where, "a number" + also_allowed(p->words) + " belongs here, not " + repr_of(shown.get()));
      }
    }
    if (const FieldTextFault fault = field_text_fault(text)) {
      if (fault.kind == FieldTextFault::kBlankAtEnd) {
        raise_at(plan, where, "a value cannot begin or end with a blank or a tab, which IDF text drops when it is read");
      }
      PyRef character = take(PyUnicode_FromStringAndSize(&fault.character, 1));
      raise_at(plan, where, repr_of(character.get()) + " cannot stand in IDF text, which has no way to write it");
    }
    out += text;
    return;
  }
  const char* what = PyList_Check(value) ? "an array" : PyDict_Check(value) ? "an object" : Py_TYPE(value)->tp_name;
  raise_at(plan, where, std::string(what) + " where a " + ((kind & kNumeric) ? "number" : "value") + " belongs");
}

// The (name, value) pairs of a JSON object, held: iterating a dict while code of its keys
// and values runs (hashing, comparing, repr) could otherwise free what is being read.
PyRef pairs_of(PyObject* members) { return take(PyDict_Items(members)); }

// A property name's text; a name that is no str is refused as no such field.
std::string name_text(const ClassPlan& plan, PyObject* name, const std::string& where) {
  if (PyUnicode_Check(name)) return std::string(utf8_at(plan, name, where));
  PyRef shown = take(PyObject_Repr(name));
  return std::string(utf8_of(shown.get()));
}

}  // namespace

PyTypeObject* create_epjson_plan_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kPlanSpec, nullptr));
}

// _epjson_members(plan, objects) -> dict: the JSON object of a class's objects, keyed by
// name (or "<Class> <n>" for a class without names).
PyObject* epjson_members(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        if (nargs != 2 || !PyTuple_Check(args[1])) raise(PyExc_TypeError, messages::kMembersUsage);
        const ClassPlan& plan = plan_arg(args[0]);
        const State& st = state_of_module(module);
        PyRef objects = PyRef::borrow(args[1]);
        PyRef members = take(PyDict_New());
        std::unordered_set<std::string> names;  // upper-cased: the engine tells names apart in no letter case
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(objects.get()); ++k) {
          PyObject* item = PyTuple_GET_ITEM(objects.get(), k);
          if (!st.is_object(item)) raise(PyExc_TypeError, messages::kMembersObjects);
          // A copy: making the dicts may run the cyclic collector, whose finalizers may let
          // another thread edit the object meanwhile.
          const std::vector<std::string> values = as_object(item)->values;
          const std::string number = std::to_string(k + 1);
          std::string key;
          if (plan.named) {
            key = values.empty() ? std::string() : values[0];
            if (key.empty()) {
              raise_at(plan, plan.class_name + " #" + number,
                       "an object of this class needs a name: epJSON keys objects by name");
            }
            if (!names.insert(to_upper(key)).second) {
              raise_at(plan, plan.class_name + "[\"" + key + "\"]", "two objects of this class have this name");
            }
          } else {
            key = plan.class_name + " " + number;
          }
          const std::string where = plan.class_name + "[\"" + key + "\"]";
          if (!plan.extension && values.size() > plan.fields.size()) {
            raise_at(plan, where,
                     "it has " + std::to_string(values.size()) + " values; the class has " +
                         std::to_string(plan.fields.size()) + " fields");
          }
          PyRef body = body_of(plan, values, where);
          PyRef name = take(str_from(key));
          check_status(PyDict_SetItem(members.get(), name.get(), body.get()));
        }
        return members.release();
      },
      nullptr);
}

// _epjson_line(plan, key, body, where) -> str: a JSON object as a line of IDF text.
PyObject* epjson_line(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        if (nargs != 4 || !PyUnicode_Check(args[1]) || !PyUnicode_Check(args[3])) {
          raise(PyExc_TypeError, messages::kLineUsage);
        }
        const ClassPlan& plan = plan_arg(args[0]);
        const std::string where(utf8_at(plan, args[3], "epJSON"));
        PyRef body = PyRef::borrow(args[2]);
        if (!PyDict_Check(body.get())) raise_at(plan, where, "an object's fields belong in a JSON object");
        const size_t n = plan.fields.size(), size = plan.group.size();
        std::vector<std::string> values(n);
        if (plan.named) append_idf_text(plan, values[0], args[1], nullptr, where);
        PyRef items;
        PyRef pairs = pairs_of(body.get());
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pairs.get()); ++k) {
          PyObject* pair = PyList_GET_ITEM(pairs.get(), k);
          PyObject* prop = PyTuple_GET_ITEM(pair, 0);
          PyObject* value = PyTuple_GET_ITEM(pair, 1);
          const std::string name = name_text(plan, prop, where);
          const auto found = PyUnicode_Check(prop) ? plan.field_index.find(name) : plan.field_index.end();
          if (found == plan.field_index.end() || (plan.named && found->second == 0)) {
            if (plan.extension && PyUnicode_Check(prop) && name == plan.extension_text) {
              items = PyRef::borrow(value);
              continue;
            }
            raise_at(plan, where + "." + name, plan.class_name + " has no such field");
          }
          const size_t i = found->second;
          append_idf_text(plan, values[i], value, &plan.fields[i], where + "." + name);
        }
        if (items) {
          const std::string place = where + "." + plan.extension_text;
          if (!PyList_Check(items.get())) raise_at(plan, place, "the repeating group belongs in an array");
          PyRef groups = take(PySequence_List(items.get()));  // held, whatever runs meanwhile
          for (Py_ssize_t k = 0; k < PyList_GET_SIZE(groups.get()); ++k) {
            PyObject* item = PyList_GET_ITEM(groups.get(), k);
            const std::string at = place + "[" + std::to_string(k) + "]";
            if (!PyDict_Check(item)) raise_at(plan, at, "each group belongs in a JSON object");
            const size_t base = values.size();
            values.resize(base + size);
            PyRef members = pairs_of(item);
            for (Py_ssize_t m = 0; m < PyList_GET_SIZE(members.get()); ++m) {
              PyObject* member_pair = PyList_GET_ITEM(members.get(), m);
              PyObject* member = PyTuple_GET_ITEM(member_pair, 0);
              const std::string name = name_text(plan, member, at);
              const auto found = PyUnicode_Check(member) ? plan.group_index.find(name) : plan.group_index.end();
              if (found == plan.group_index.end()) {
                raise_at(plan, at + "." + name, "the groups of " + plan.class_name + " have no such field");
              }
              append_idf_text(plan, values[base + found->second], PyTuple_GET_ITEM(member_pair, 1),
                              &plan.group[found->second], at + "." + name);
            }
          }
        }
        while (!values.empty() && values.back().empty()) values.pop_back();
        std::string line = plan.class_name;
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
