// quarvel.olvane: binds the core model types with their tables, the tokenizer and
// schema types and the digit-run utility, and holds the process-wide schema.
#include "compat.hpp"
#include "quarvel/messages.hpp"

namespace quarvel::olvane {

PyObject* module_variable(const State& st, const char* name) {
  PyObject* value = nullptr;
  if (PyDict_GetItemStringRef(st.module_dict, name, &value) < 0) return nullptr;
  if (!value) {
    PyErr_Format(PyExc_NameError, messages::kModuleVariableMissing, name);
    return nullptr;
  }
  Py_DECREF(value);  // borrowed, as callers expect: the module's dictionary holds it
  return value;
}

int set_module_variable(const State& st, const char* name, PyObject* value) {
  return PyDict_SetItemString(st.module_dict, name, value);
}

namespace {

const char* const kResolveNames[] = {"class_name", "field_key"};
const Signature kResolveSig = {"_resolve_field_key_to_field_name", kResolveNames, 2, 2, 2};

// Test hook: the field name that an attribute or keyword name stands for.
PyObject* py_resolve(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kResolveSig, args, nargs, kwnames, a) < 0) return nullptr;
  return resolve_field_key_to_field_name(state_of_module(module), a[0], a[1]);
}

// For the members written in Python: the core model of a facade, the core object of a
// wrapper, the facade of a proxy (None when it has none). No field is an attribute of
// its type.
PyObject* py_core_of(PyObject* module, PyObject* o) {
  const State& st = state_of_module(module);
  if (PyObject_TypeCheck(o, st.facade_type)) return Py_NewRef(as_facade(o)->core_idf);
  if (PyObject_TypeCheck(o, st.wrapper_type)) return Py_NewRef(as_wrapper(o)->core_obj);
  if (PyObject_TypeCheck(o, st.proxy_type)) return Py_NewRef(as_proxy(o)->parent);
  raise_argument_type("obj", st.facade_type->tp_name, o);
  return nullptr;
}

// A new wrapper of a core object, as the proxy hands them out.
PyObject* py_wrap(PyObject* module, PyObject* core_obj) {
  const State& st = state_of_module(module);
  if (!PyObject_TypeCheck(core_obj, st.core->IDFObject_type)) {
    raise_argument_type("core_obj", st.core->IDFObject_type->tp_name, core_obj);
    return nullptr;
  }
  return new_wrapper(st, core_obj);
}

// The core model that a wrapper's object belongs to, or None when it is detached.
PyObject* py_model_of(PyObject* module, PyObject* wrapper) {
  const State& st = state_of_module(module);
  if (!PyObject_TypeCheck(wrapper, st.wrapper_type)) {
    raise_argument_type("wrapper", st.wrapper_type->tp_name, wrapper);
    return nullptr;
  }
  PyObject* core = as_wrapper(wrapper)->core_obj;
  if (!PyObject_TypeCheck(core, st.core->IDFObject_type)) Py_RETURN_NONE;
  PyObject* model = reinterpret_cast<IDFObjectInstance*>(core)->parent_idf;
  return Py_NewRef(model ? model : Py_None);
}

// The vocabulary's members written in Python go onto the types before anyone sees them.
int install_python_members(PyObject* module) {
  PyRef members(PyImport_ImportModule("quarvel._vocabulary"));
  if (!members) return -1;
  PyRef done(PyObject_CallMethod(members.get(), "install", "O", module));
  return done ? 0 : -1;
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
    {"_core_of", py_core_of, METH_O, "_core_of(obj, /)\n--\n\nThe core model of a facade, or the core object of a wrapper."},
    {"_model_of", py_model_of, METH_O,
     "_model_of(wrapper, /)\n--\n\nThe core model of a wrapper's object, or None when it is detached."},
    {"_wrap", py_wrap, METH_O, "_wrap(core_obj, /)\n--\n\nA new IDFObject wrapper of a core object."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  State& st = state_of_module(module);
  st.core = import_capi<IDFCapi>(IDF_CAPSULE, IDF_CAPI_VERSION, IDF_LAYOUT);
  if (!st.core) return -1;
  st.lexer = import_capi<LexerCapi>(LEXER_CAPSULE, LEXER_CAPI_VERSION, LEXER_LAYOUT);
  if (!st.lexer) return -1;
  st.schema = import_capi<IDDCapi>(IDD_CAPSULE, IDD_CAPI_VERSION, IDD_LAYOUT);
  if (!st.schema) return -1;
  st.utils = import_capi<UtilsCapi>(UTILS_CAPSULE, UTILS_CAPI_VERSION, UTILS_LAYOUT);
  if (!st.utils) return -1;
  st.module_dict = PyModule_GetDict(module);
  st.facade_type = create_facade_type(module);
  st.proxy_type = st.facade_type ? create_proxy_type(module) : nullptr;
  st.wrapper_type = st.proxy_type ? create_wrapper_type(module) : nullptr;
  if (!st.wrapper_type) return -1;
  PyRef empty(PyUnicode_FromString(""));
  PyRef table(PyDict_New());
  if (!empty || !table || PyModule_AddObjectRef(module, "IDF", reinterpret_cast<PyObject*>(st.facade_type)) < 0 ||
      PyModule_AddObjectRef(module, "IDFObjectsProxy", reinterpret_cast<PyObject*>(st.proxy_type)) < 0 ||
      PyModule_AddObjectRef(module, "IDFObject", reinterpret_cast<PyObject*>(st.wrapper_type)) < 0 ||
      PyModule_AddObjectRef(module, "shared_iddname", empty.get()) < 0 ||
      PyModule_AddObjectRef(module, "shared_idd", Py_None) < 0 ||
      PyModule_AddObjectRef(module, "field_key_to_name", table.get()) < 0) {
    return -1;
  }
  return install_python_members(module);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  State& st = state_of_module(module);
  Py_VISIT(st.facade_type);
  Py_VISIT(st.proxy_type);
  Py_VISIT(st.wrapper_type);
  return 0;
}

int clear_module(PyObject* module) {
  State& st = state_of_module(module);
  Py_CLEAR(st.facade_type);
  Py_CLEAR(st.proxy_type);
  Py_CLEAR(st.wrapper_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {QUARVEL_MODULE_SLOTS(exec_module)};

}  // namespace

PyModuleDef kOlvaneModule = {
    PyModuleDef_HEAD_INIT, "quarvel.olvane",
    "An older method vocabulary over quarvel models: a process-wide schema set by file name,\n"
    "models opened by file name, fields read and written as attributes.",
    sizeof(State), kMethods, kSlots, traverse_module, clear_module, free_module,
};

}  // namespace quarvel::olvane

PyMODINIT_FUNC PyInit_olvane() { return PyModuleDef_Init(&quarvel::olvane::kOlvaneModule); }
