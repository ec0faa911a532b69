// IDFObjectTuple: the read-only tuple that class lookups return, with messages that
// point users of list-style methods to the model's own editing methods.
#include "core.hpp"
#include "quarvel/messages.hpp"


namespace quarvel::idf {

namespace {

PyObject* raise_missing(PyObject* self, PyObject* name) {
  // Whole names are compared: "append\0x" is not "append".
  auto is = [&](const char* word) { return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, word) == 0; };
  if (is("append") || is("extend") || is("insert")) {
    PyErr_SetString(PyExc_AttributeError,
                    "This is a read-only tuple. To add new objects, use the idf.add_object() method.");
    return nullptr;
  }
  if (is("remove") || is("pop") || is("clear")) {
    PyErr_SetString(PyExc_AttributeError,
                    "This is a read-only tuple. To remove objects, use the idf.remove_object() or "
                    "idf.remove_all_objects() methods.");
    return nullptr;
  }
  PyRef type_name(PyType_GetName(Py_TYPE(self)));
  if (type_name) PyErr_Format(PyExc_AttributeError, messages::kNoSuchAttribute, type_name.get(), name);
  return nullptr;
}

PyObject* tuple_getattro(PyObject* self, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return raise_missing(self, name);
}

PyMethodDef kMethods[] = {
    {"__getattr__", raise_missing, METH_O, "Explain the list-style methods a read-only tuple lacks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_getattro, reinterpret_cast<void*>(tuple_getattro)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("tuple of IDFObjects with custom error messages")},
    {0, nullptr},
};

PyType_Spec kSpec = {"quarvel.idf.IDFObjectTuple", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace

PyTypeObject* create_tuple_type(PyObject* module, const TypeExtras& extras) {
  return type_from_spec(module, kSpec, extras, reinterpret_cast<PyObject*>(&PyTuple_Type));
}

}  // namespace quarvel::idf
