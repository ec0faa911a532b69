// Field access: reading converts stored text by the schema's field type; writing
// turns a Python value into text first (running the value's own code), then checks
// the object again and stores the text (field_edit.cpp).
#include "core.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/numbers.hpp"

namespace quarvel::idf {

namespace {

int resolve_key(const State& st, const ClassDef& cls, PyObject* key) {
  const int field_idx = st.schema->resolve_key_to_field_index(cls, key);
  if (field_idx < 0) throw PythonErrorSet();
  return field_idx;
}

PyObject* read_field(const State& st, IDFObjectInstance* o, int field_idx) {
  const FieldDef* field = field_def_at(get_class_def(o), field_idx);
  static const std::string kEmpty;
  const auto i = static_cast<size_t>(field_idx);
  return convert_field_value(st, field, i < o->values.size() ? o->values[i] : kEmpty);
}

// Iterating an object of a repeated-group class would never end, since every
// position reads; positional reads stop after the listed fields and stored values.
bool beyond_iteration_end(IDFObjectInstance* o, Py_ssize_t i) {
  const ClassDef& cls = get_class_def(o);
  if (!cls.extensible.is_extensible || i < 0) return false;
  const size_t end = cls.fields.size() > o->values.size() ? cls.fields.size() : o->values.size();
  return static_cast<size_t>(i) >= end;
}

}  // namespace

PyObject* convert_field_value(const State& st, const FieldDef* field, const std::string& val) {
  if (!field || (val.empty() && field->field_type != FIELDTYPE_INTEGER && field->field_type != FIELDTYPE_REAL)) {
    return str_from(val);
  }
  if (val.empty()) Py_RETURN_NONE;
  if (field->autosizable && ascii_iequals(val, "autosize")) return Py_NewRef(st.autosize_text);
  if (field->autocalculatable && ascii_iequals(val, "autocalculate")) return Py_NewRef(st.autocalculate_text);
  if (field->field_type == FIELDTYPE_INTEGER) {
    long long number;
    return parse_integer_text(val, number) ? PyLong_FromLongLong(number) : str_from(val);
  }
  if (field->field_type == FIELDTYPE_REAL) {
    double number;
    return parse_real_text(val, number) ? PyFloat_FromDouble(number) : str_from(val);
  }
  return str_from(val);
}

PyObject* object_getitem(PyObject* self, PyObject* key) {
  return guard(
      [&] {
        IDFObjectInstance* o = as_object(self);
        const State& st = state_of(o);
        return read_field(st, o, resolve_key(st, class_of(o), key));
      },
      nullptr);
}

int object_setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (!value) {
    PyErr_Format(PyExc_NotImplementedError, messages::kNoDeletion, "deletion",
                 Py_TYPE(self)->tp_name);
    return -1;
  }
  return guard(
      [&] {
        IDFObjectInstance* o = as_object(self);
        const State& st = state_of(o);
        FieldWrite write{resolve_key(st, class_of(o), key), {}};  // a bad key fails before the value's code runs
        const ClassMark mark(o);
        write.text = text_of_value(st, value);
        // The value's code may have changed the object: then its key is resolved again.
        if (!mark.unchanged()) write.field_idx = resolve_key(st, class_of(o), key);
        apply_writes(o, std::span(&write, 1), Extend::kNonEmpty, true);
        return 0;
      },
      -1);
}

PyObject* object_sq_item(PyObject* self, Py_ssize_t i) {
  return guard(
      [&]() -> PyObject* {
        IDFObjectInstance* o = as_object(self);
        class_of(o);
        if (beyond_iteration_end(o, i)) {
          raise_format(PyExc_IndexError, messages::kBeyondIteration, i,
                       class_name_of(o));
        }
        PyRef key = take(PyLong_FromSsize_t(i));
        return object_getitem(self, key.get());
      },
      nullptr);
}

int object_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
  PyRef key(PyLong_FromSsize_t(i));
  return key ? object_setitem(self, key.get(), value) : -1;
}

PyObject* object_get_values(PyObject* self, PyObject*) {
  return guard(
      [&] {
        IDFObjectInstance* o = as_object(self);
        const ClassDef& cls = class_of(o);
        const State& st = state_of(o);
        const auto& values = o->values;
        PyRef list = take(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (size_t i = 0; i < values.size(); ++i) {
          PyObject* item = take(convert_field_value(st, field_def_at(cls, static_cast<int>(i)), values[i])).release();
          PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
      },
      nullptr);
}

}  // namespace quarvel::idf
