// quarvel.olvane: binds the core model types with their tables, the tokenizer and
// schema types and the digit-run utility, and holds the process-wide schema.
#include "compat.hpp"

namespace quarvel::olvane {

Bound g;

PyObject* module_variable(const char* name) {
  PyObject* value = nullptr;
  if (PyDict_GetItemStringRef(g.module_dict, name, &value) < 0) return nullptr;
  if (!value) {
    PyErr_Format(PyExc_NameError, "module variable '%s' is missing", name);
    return nullptr;
  }
  Py_DECREF(value);  // borrowed, as callers expect: the module's dictionary holds it
  return value;
}

int set_module_variable(const char* name, PyObject* value) { return PyDict_SetItemString(g.module_dict, name, value); }

namespace {

const char* const kResolveNames[] = {"class_name", "field_key"};
const Signature kResolveSig = {"_resolve_field_key_to_field_name", kResolveNames, 2, 2, 2};

// Test hook: the field name that an attribute or keyword name stands for.
PyObject* py_resolve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kResolveSig, args, nargs, kwnames, a) < 0) return nullptr;
  return resolve_field_key_to_field_name(a[0], a[1]);
}

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"unpickle_IDF", fast(unpickle_facade), METH_FASTCALL,
     "unpickle_IDF(cls, checksum, state, /)\n--\n\nRebuild a pickled model facade."},
    {"unpickle_IDFObjectsProxy", fast(unpickle_proxy), METH_FASTCALL,
     "unpickle_IDFObjectsProxy(cls, checksum, state, /)\n--\n\nRebuild a pickled objects proxy."},
    {"unpickle_IDFObject", fast(unpickle_wrapper), METH_FASTCALL,
     "unpickle_IDFObject(cls, checksum, state, /)\n--\n\nRebuild a pickled object wrapper."},
    {"_resolve_field_key_to_field_name", fast(py_resolve), METH_FASTCALL | METH_KEYWORDS,
     "_resolve_field_key_to_field_name(class_name, field_key)\n--\n\n"
     "Test hook: the field name that an attribute or keyword name stands for."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarvel.olvane",
    "An older method vocabulary over quarvel models: a process-wide schema set by file name,\n"
    "models opened by file name, fields read and written as attributes.",
    -1, kMethods,
};

int init_once(PyObject* module) {
  g.core = import_capi<IdfCapi>(IDF_CAPSULE, IDF_CAPI_VERSION, IDF_LAYOUT);
  if (!g.core) return -1;
  g.lexer = import_capi<LexerCapi>(LEXER_CAPSULE, LEXER_CAPI_VERSION, LEXER_LAYOUT);
  if (!g.lexer) return -1;
  g.schema = import_capi<IddCapi>(IDD_CAPSULE, IDD_CAPI_VERSION, IDD_LAYOUT);
  if (!g.schema) return -1;
  g.utils = import_capi<UtilsCapi>(UTILS_CAPSULE, UTILS_CAPI_VERSION, UTILS_LAYOUT);
  if (!g.utils) return -1;
  g.IDF_type = create_facade_type(module);
  g.Proxy_type = g.IDF_type ? create_proxy_type(module) : nullptr;
  g.Object_type = g.Proxy_type ? create_wrapper_type(module) : nullptr;
  return g.Object_type ? 0 : -1;
}

}  // namespace
}  // namespace quarvel::olvane

PyMODINIT_FUNC PyInit_olvane() {
  using namespace quarvel;
  using namespace quarvel::olvane;
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!g.Object_type && init_once(module.get()) < 0) return nullptr;
  Py_XSETREF(g.module_dict, Py_NewRef(PyModule_GetDict(module.get())));
  PyRef empty(PyUnicode_FromString(""));
  PyRef table(PyDict_New());
  if (!empty || !table ||
      PyModule_AddObjectRef(module.get(), "IDF", reinterpret_cast<PyObject*>(g.IDF_type)) < 0 ||
      PyModule_AddObjectRef(module.get(), "IDFObjectsProxy", reinterpret_cast<PyObject*>(g.Proxy_type)) < 0 ||
      PyModule_AddObjectRef(module.get(), "IDFObject", reinterpret_cast<PyObject*>(g.Object_type)) < 0 ||
      PyModule_AddObjectRef(module.get(), "shared_iddname", empty.get()) < 0 ||
      PyModule_AddObjectRef(module.get(), "shared_idd", Py_None) < 0 ||
      PyModule_AddObjectRef(module.get(), "field_key_to_name", table.get()) < 0) {
    return nullptr;
  }
  return module.release();
}
