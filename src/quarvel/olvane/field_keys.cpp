// Attribute and keyword names to schema field names. A field whose name holds '-',
// '/' or '*' cannot be spelled as a Python name, so it is reached through a key made
// by dropping those characters; other names are the key with '_' read as a space.
#include "compat.hpp"
#include "quarvel/messages.hpp"

namespace quarvel::olvane {

namespace {

PyObject* call0(PyObject* obj, const char* method) { return PyObject_CallMethod(obj, method, nullptr); }

// lower-cased, spaces to '_', and '-', '/', '*' deleted.
PyObject* field_key_of(PyObject* field_name) {
  PyRef key(call0(field_name, "lower"));
  if (!key) return nullptr;
  static const char* const kSteps[][2] = {{" ", "_"}, {"-", ""}, {"/", ""}, {"*", ""}};
  for (const auto& step : kSteps) {
    key = PyRef(PyObject_CallMethod(key.get(), "replace", "ss", step[0], step[1]));
    if (!key) return nullptr;
  }
  return key.release();
}

bool needs_key(std::string_view name) { return name.find_first_of("-/*") != std::string_view::npos; }

}  // namespace

int build_field_key_to_name_dict(const State& st) {
  PyRef table_ref = PyRef::borrow(module_variable(st, "field_key_to_name"));
  PyObject* table = table_ref.get();
  if (!table) return -1;
  if (!PyDict_Check(table)) {
    PyErr_Format(PyExc_TypeError, messages::kFieldKeyTable, Py_TYPE(table)->tp_name);
    return -1;
  }
  if (PyDict_GET_SIZE(table) > 0) return 0;
  PyRef idd = PyRef::borrow(module_variable(st, "shared_idd"));
  if (!idd) return -1;
  if (!PyObject_TypeCheck(idd.get(), st.schema->IDD_type)) return 0;
  const c_IDD& schema = reinterpret_cast<IDDInstance*>(idd.get())->c_idd;
  for (const ClassDef& cls : schema.ordered_classes) {
    PyRef name(PyUnicode_DecodeUTF8(cls.name.data(), static_cast<Py_ssize_t>(cls.name.size()), "strict"));
    if (!name) return -1;
    PyRef class_key(call0(name.get(), "upper"));
    if (!class_key) return -1;
    PyObject* inner = PyDict_GetItemWithError(table, class_key.get());
    if (!inner) {
      if (PyErr_Occurred()) return -1;
      PyRef fresh(PyDict_New());
      if (!fresh || PyDict_SetItem(table, class_key.get(), fresh.get()) < 0) return -1;
      inner = fresh.get();
    }
    for (const FieldDef& field : cls.fields) {
      PyRef field_name(PyUnicode_DecodeUTF8(field.name.data(), static_cast<Py_ssize_t>(field.name.size()), "strict"));
      if (!field_name) return -1;
      if (!needs_key(field.name)) continue;
      PyRef key(field_key_of(field_name.get()));
      if (!key || PyDict_SetItem(inner, key.get(), field_name.get()) < 0) return -1;
    }
  }
  return 0;
}

PyObject* resolve_field_key_to_field_name(const State& st, PyObject* class_name, PyObject* field_key) {
  PyRef class_key(call0(class_name, "upper"));
  if (!class_key) return nullptr;
  PyRef key(call0(field_key, "lower"));
  if (!key) return nullptr;
  PyObject* table = module_variable(st, "field_key_to_name");
  if (!table) return nullptr;
  PyRef inner(PyObject_GetItem(table, class_key.get()));
  if (!inner) {
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
      PyErr_SetObject(PyExc_KeyError, class_key.get());
    }
    return nullptr;
  }
  PyRef direct(PyDict_Check(inner.get()) ? Py_XNewRef(PyDict_GetItemWithError(inner.get(), key.get()))
                                         : PyObject_GetItem(inner.get(), key.get()));
  if (direct) return direct.release();
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
  }
  // A group number in the key: look for the key of group 1 and put the number back.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key.get(), &size);
  if (!utf8) return nullptr;
  const auto [start, end] = st.utils->get_continuous_digits_indices(std::string_view(utf8, static_cast<size_t>(size)));
  if (start >= 0) {
    PyRef head(PyUnicode_Substring(key.get(), 0, start));
    PyRef digits(PyUnicode_Substring(key.get(), start, end));
    PyRef tail(PyUnicode_Substring(key.get(), end, PyUnicode_GET_LENGTH(key.get())));
    if (!head || !digits || !tail) return nullptr;
    PyRef base(PyUnicode_FromFormat("%U1%U", head.get(), tail.get()));
    if (!base) return nullptr;
    PyRef stored(PyDict_Check(inner.get()) ? Py_XNewRef(PyDict_GetItemWithError(inner.get(), base.get()))
                                           : PyObject_GetItem(inner.get(), base.get()));
    if (stored) return PyObject_CallMethod(stored.get(), "replace", "sO", "1", digits.get());
    if (PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
      PyErr_Clear();
    }
  }
  return PyObject_CallMethod(key.get(), "replace", "ss", "_", " ");
}

}  // namespace quarvel::olvane
