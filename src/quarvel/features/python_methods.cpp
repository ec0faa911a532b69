// The methods whose work is done in Python modules of the package: displays
// (quarvel._display), the rules written in Python (quarvel.validation), opening by
// version (quarvel.opening), tables (quarvel.tables) and the engine's JSON form
// (quarvel.epjson), and saves in a file's own layout (quarvel._layout).
#include "features.hpp"

#include <vector>

namespace quarvel::features {

namespace {

// Calls module_name.function(self, *args, **kwargs) with a method's fastcall arguments.
PyObject* call_python(const char* module_name, const char* function, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  PyRef module(PyImport_ImportModule(module_name));
  if (!module) return nullptr;
  PyRef callable(PyObject_GetAttrString(module.get(), function));
  if (!callable) return nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  std::vector<PyObject*> forwarded;
  try {
    forwarded.reserve(static_cast<size_t>(1 + nargs + nkw));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  forwarded.push_back(self);
  for (Py_ssize_t i = 0; i < nargs + nkw; ++i) forwarded.push_back(args[i]);
  return PyObject_Vectorcall(callable.get(), forwarded.data(), static_cast<size_t>(1 + nargs), kwnames);
}

}  // namespace

PyObject* model_summary(PyObject* self, PyObject*) {
  return call_python("quarvel._display", "model_summary", self, nullptr, 0, nullptr);
}
PyObject* model_repr_html(PyObject* self, PyObject*) {
  return call_python("quarvel._display", "model_html", self, nullptr, 0, nullptr);
}
PyObject* object_repr_html(PyObject* self, PyObject*) {
  return call_python("quarvel._display", "object_html", self, nullptr, 0, nullptr);
}
PyObject* tuple_repr_html(PyObject* self, PyObject*) {
  return call_python("quarvel._display", "objects_html", self, nullptr, 0, nullptr);
}

PyObject* model_repr_pretty(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return call_python("quarvel._display", "model_pretty", self, args, nargs, nullptr);
}
PyObject* tuple_repr_pretty(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return call_python("quarvel._display", "objects_pretty", self, args, nargs, nullptr);
}

PyObject* model_validate_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_python("quarvel.validation", "validate", self, args, nargs, kwnames);
}
PyObject* model_objects_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_python("quarvel.opening", "objects_of", self, args, nargs, kwnames);
}
PyObject* model_open(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_python("quarvel.opening", "open_model", type, args, nargs, kwnames);
}

PyObject* model_to_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_python("quarvel.tables", "to_records", self, args, nargs, kwnames);
}
PyObject* model_to_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_python("quarvel.tables", "to_frame", self, args, nargs, kwnames);
}

PyObject* model_to_epjson(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_python("quarvel.epjson", "to_epjson", self, args, nargs, kwnames);
}
PyObject* model_from_epjson(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_python("quarvel.epjson", "from_epjson", type, args, nargs, kwnames);
}

PyObject* write_original(PyObject* model, PyObject* target) {
  if (!target) return call_python("quarvel._layout", "format_original", model, nullptr, 0, nullptr);
  return call_python("quarvel._layout", "save_original", model, &target, 1, nullptr);
}

}  // namespace quarvel::features
