// quarvel.idd: the schema type, its loaders and the field lookups other modules bind.
#include "idd_type.hpp"
#include "quarvel/args.hpp"
#include "schema.hpp"

namespace quarvel::idd {
namespace {

PyObject* clear_schema_cache(PyObject* module, PyObject*) {
  PyDict_Clear(state_of(module).schema_cache);
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"unpickle_IDD", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle_idd)), METH_FASTCALL,
     "unpickle_IDD(cls, digest, packed, /)\n--\n\n"
     "Rebuild a pickled schema; a schema this process already holds with the same\n"
     "digest is reused instead of being parsed again."},
    {"clear_schema_cache", clear_schema_cache, METH_NOARGS,
     "clear_schema_cache()\n--\n\nForget the schemas kept for reuse by unpickling."},
    {nullptr, nullptr, 0, nullptr},
};

// KeyError and AttributeError at once; its text is the plain message, not a repr.
PyObject* create_unknown_field_error() {
  PyRef bases(PyTuple_Pack(2, PyExc_KeyError, PyExc_AttributeError));
  if (!bases) return nullptr;
  PyRef error(PyErr_NewExceptionWithDoc(
      "quarvel.idd.UnknownFieldError",
      "A field name that the class does not define. It is a KeyError (a failed lookup) and an\n"
      "AttributeError (so that attribute-style access, getattr with a default and hasattr behave).",
      bases.get(), nullptr));
  if (!error) return nullptr;
  PyRef plain_str(PyObject_GetAttrString(PyExc_Exception, "__str__"));
  if (!plain_str || PyObject_SetAttrString(error.get(), "__str__", plain_str.get()) < 0) return nullptr;
  return error.release();
}

// The schema registry (schemas found by version) is written in Python, in
// quarvel._registry; the module offers its functions as its own.
int add_registry(PyObject* module) {
  PyRef registry(PyImport_ImportModule("quarvel._registry"));
  if (!registry) return -1;
  for (const char* name : {"register", "known_versions", "schema_for", "SchemaNotFoundError"}) {
    PyRef member(PyObject_GetAttrString(registry.get(), name));
    if (!member || PyModule_AddObjectRef(module, name, member.get()) < 0) return -1;
  }
  return 0;
}

int exec_module(PyObject* module) {
  State& st = state_of(module);
  st.utils = import_capi<UtilsCapi>(UTILS_CAPSULE, UTILS_CAPI_VERSION, UTILS_LAYOUT);
  if (!st.utils) return -1;
  st.unknown_field_error = create_unknown_field_error();
  st.schema_cache = PyDict_New();
  st.unpickle_name = PyUnicode_InternFromString("unpickle_IDD");
  st.idd_type = create_idd_type(module);
  if (!st.unknown_field_error || !st.schema_cache || !st.unpickle_name || !st.idd_type) return -1;
  st.capi = IDDCapi{{IDD_CAPI_VERSION, sizeof(IDDCapi), IDD_LAYOUT}, st.idd_type, resolve_key_to_field_index,
                    find_field_index, get_field_name, get_field_def};
  if (PyModule_AddObjectRef(module, "IDD", reinterpret_cast<PyObject*>(st.idd_type)) < 0 ||
      PyModule_AddObjectRef(module, "UnknownFieldError", st.unknown_field_error) < 0) {
    return -1;
  }
  static const struct {
    const char* name;
    int value;
  } kFieldTypes[] = {{"FIELDTYPE_DEFAULT", FIELDTYPE_DEFAULT}, {"FIELDTYPE_INTEGER", FIELDTYPE_INTEGER},
                     {"FIELDTYPE_REAL", FIELDTYPE_REAL},       {"FIELDTYPE_ALPHA", FIELDTYPE_ALPHA},
                     {"FIELDTYPE_CHOICE", FIELDTYPE_CHOICE},   {"FIELDTYPE_OBJLIST", FIELDTYPE_OBJLIST},
                     {"FIELDTYPE_NODE", FIELDTYPE_NODE}};
  for (const auto& t : kFieldTypes) {
    if (PyModule_AddIntConstant(module, t.name, t.value) < 0) return -1;
  }
  if (add_registry(module) < 0) return -1;
  return publish_capi(module, "_C_API", IDD_CAPSULE, &st.capi);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  State& st = state_of(module);
  Py_VISIT(st.idd_type);
  Py_VISIT(st.unknown_field_error);
  Py_VISIT(st.schema_cache);
  return 0;
}

int clear_module(PyObject* module) {
  State& st = state_of(module);
  Py_CLEAR(st.idd_type);
  Py_CLEAR(st.unknown_field_error);
  Py_CLEAR(st.schema_cache);
  Py_CLEAR(st.unpickle_name);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {QUARVEL_MODULE_SLOTS(exec_module)};

}  // namespace

PyModuleDef kIddModule = {
    PyModuleDef_HEAD_INIT, "quarvel.idd", "Schemas (IDD) for quarvel: loading, field lookups, pickling.", sizeof(State),
    kMethods, kSlots, traverse_module, clear_module, free_module,
};

}  // namespace quarvel::idd

PyMODINIT_FUNC PyInit_idd() { return PyModuleDef_Init(&quarvel::idd::kIddModule); }
