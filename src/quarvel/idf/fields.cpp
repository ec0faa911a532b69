// Field access: reading converts stored text by the schema's field type, writing
// turns a Python value into text and keeps the reference index in step.
#include "core.hpp"

#include <charconv>
#include <cstdlib>
#include <locale.h>

namespace quarvel::idf {

namespace {

// Numbers are read the same whatever locale the process runs in.
locale_t c_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

PyObject* autosize_text() {
  static PyObject* text = PyUnicode_InternFromString("Autosize");
  return Py_NewRef(text);
}

PyObject* autocalculate_text() {
  static PyObject* text = PyUnicode_InternFromString("Autocalculate");
  return Py_NewRef(text);
}

// Numbers read as strtol / strtod read them (leading white space, a sign, hex
// floats, inf and nan, saturation on overflow), whole text or not at all. The
// common plain forms take std::from_chars, which reads them to the same value
// faster; anything it does not take whole goes to the C library.
bool parse_integer(const std::string& val, long& out) {
  const char* begin = val.c_str();
  const char* end = begin + val.size();
  const auto [ptr, ec] = std::from_chars(begin, end, out);
  if (ec == std::errc() && ptr == end) return true;
  char* stop = nullptr;
  out = strtol_l(begin, &stop, 10, c_locale());
  return stop == end;
}

bool parse_real(const std::string& val, double& out) {
  const char* begin = val.c_str();
  const char* end = begin + val.size();
  const auto [ptr, ec] = std::from_chars(begin, end, out);
  if (ec == std::errc() && ptr == end) return true;
  char* stop = nullptr;
  out = strtod_l(begin, &stop, c_locale());
  return stop == end;
}

PyObject* read_field(IDFObjectObj* o, int field_idx) {
  const ClassDef& cls = get_class_def(o);
  const FieldDef* field = g.schema->get_field_def(cls, field_idx);
  static const std::string kEmpty;
  const auto i = static_cast<size_t>(field_idx);
  return convert_field_value(field, i < o->values.size() ? o->values[i] : kEmpty);
}

bool is_empty_value(PyObject* value, int& error) {
  error = 0;
  if (value == Py_None) return true;
  if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) == 0;
  static PyObject* empty = PyUnicode_New(0, 0);
  const int eq = PyObject_RichCompareBool(value, empty, Py_EQ);
  if (eq < 0) error = -1;
  return eq > 0;
}

// Iterating an object of a repeated-group class would never end, since every
// position reads; positional reads stop after the listed fields and stored values.
bool beyond_iteration_end(IDFObjectObj* o, Py_ssize_t i) {
  const ClassDef& cls = get_class_def(o);
  if (!cls.extensible.is_extensible || i < 0) return false;
  const size_t end = cls.fields.size() > o->values.size() ? cls.fields.size() : o->values.size();
  return static_cast<size_t>(i) >= end;
}

}  // namespace

PyObject* convert_field_value(const FieldDef* field, const std::string& val) {
  if (!field || (val.empty() && field->field_type != FIELDTYPE_INTEGER && field->field_type != FIELDTYPE_REAL)) {
    return str_from(val);
  }
  if (val.empty()) Py_RETURN_NONE;
  if (field->autosizable && ascii_iequals(val, "autosize")) return autosize_text();
  if (field->autocalculatable && ascii_iequals(val, "autocalculate")) return autocalculate_text();
  if (field->field_type == FIELDTYPE_INTEGER) {
    long number;
    return parse_integer(val, number) ? PyLong_FromLong(number) : str_from(val);
  }
  if (field->field_type == FIELDTYPE_REAL) {
    double number;
    return parse_real(val, number) ? PyFloat_FromDouble(number) : str_from(val);
  }
  return str_from(val);
}

void trim_trailing_empty_fields(IDFObjectObj* self) {
  auto& values = self->values;
  while (!values.empty() && values.back().empty()) values.pop_back();
}

int set_string_by_index(IDFObjectObj* self, int field_idx, const std::string& value) {
  auto& values = self->values;
  const auto i = static_cast<size_t>(field_idx);
  if (i < values.size() && values[i] == value) return 0;
  try {
    // Copied first: `value` may be one of this object's own values, which growing
    // the vector would move, and a failure here leaves everything as it was.
    std::string stored(value);
    if (i >= values.size()) {
      if (stored.empty()) return 0;
      values.resize(i + 1);
    }
    const FieldDef* field = g.schema->get_field_def(get_class_def(self), field_idx);
    if (field_idx == 0 && is_model(self->parent_idf)) name_index_remove(as_model(self->parent_idf), self, values[0]);
    if (field && is_model(self->parent_idf)) {
      IDFModel* model = as_model(self->parent_idf);
      const std::string& old = values[i];
      if (!old.empty()) {
        for (const std::string& name : field->references) unregister_target(model, name, old, self->obj_idx, field_idx);
        for (const std::string& name : field->object_lists) {
          unregister_referencer(model, name, old, self->obj_idx, field_idx);
        }
      }
      if (!stored.empty()) {
        for (const std::string& name : field->references) register_target(model, name, stored, self->obj_idx, field_idx);
        for (const std::string& name : field->object_lists) {
          register_referencer(model, name, stored, self->obj_idx, field_idx);
        }
      }
    }
    values[i].swap(stored);
    if (field_idx == 0 && is_model(self->parent_idf)) name_index_add(as_model(self->parent_idf), self);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

int set_by_index(IDFObjectObj* self, int field_idx, PyObject* value) {
  int error;
  const bool empty = is_empty_value(value, error);
  if (error) return -1;
  if (empty) return set_string_by_index(self, field_idx, std::string());
  std::string text;
  if (g.utils->any_to_string(value, text) < 0) return -1;
  return set_string_by_index(self, field_idx, text);
}

PyObject* object_getitem(PyObject* self, PyObject* key) {
  IDFObjectObj* o = as_object(self);
  if (!object_ready(o)) return nullptr;
  const int field_idx = g.schema->resolve_key_to_field_index(get_class_def(o), key);
  if (field_idx < 0) return nullptr;
  return read_field(o, field_idx);
}

int object_setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (!value) {
    PyErr_Format(PyExc_NotImplementedError, "Subscript %.10s not supported by %.200s", "deletion",
                 Py_TYPE(self)->tp_name);
    return -1;
  }
  IDFObjectObj* o = as_object(self);
  if (!object_ready(o)) return -1;
  const int field_idx = g.schema->resolve_key_to_field_index(get_class_def(o), key);
  if (field_idx < 0) return -1;
  if (set_by_index(o, field_idx, value) < 0) return -1;
  trim_trailing_empty_fields(o);
  return 0;
}

PyObject* object_sq_item(PyObject* self, Py_ssize_t i) {
  IDFObjectObj* o = as_object(self);
  if (!object_ready(o)) return nullptr;
  if (beyond_iteration_end(o, i)) {
    PyErr_Format(PyExc_IndexError, "Field index %zd is beyond the fields of this %s object", i, o->c_class_name.c_str());
    return nullptr;
  }
  PyRef key(PyLong_FromSsize_t(i));
  return key ? object_getitem(self, key.get()) : nullptr;
}

int object_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
  PyRef key(PyLong_FromSsize_t(i));
  return key ? object_setitem(self, key.get(), value) : -1;
}

PyObject* object_get_values(PyObject* self, PyObject*) {
  IDFObjectObj* o = as_object(self);
  if (!object_ready(o)) return nullptr;
  const ClassDef& cls = get_class_def(o);
  const auto& values = o->values;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = convert_field_value(g.schema->get_field_def(cls, static_cast<int>(i)), values[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace quarvel::idf
