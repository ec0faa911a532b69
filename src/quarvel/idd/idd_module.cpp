// quarvel.idd: the schema type, its loaders and the field lookups other modules bind.
#include "idd_type.hpp"
#include "quarvel/args.hpp"
#include "schema.hpp"

namespace quarvel::idd {
namespace {

IddCapi g_capi = {
    {IDD_CAPI_VERSION, sizeof(IddCapi), IDD_LAYOUT},
    nullptr,
    resolve_key_to_field_index,
    find_field_index,
    get_field_name,
    get_field_def,
};

PyObject* clear_schema_cache(PyObject*, PyObject*) {
  PyDict_Clear(g_schema_cache);
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

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarvel.idd", "Schemas (IDD) for quarvel: loading, field lookups, pickling.", -1, kMethods,
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

}  // namespace
}  // namespace quarvel::idd

PyMODINIT_FUNC PyInit_idd() {
  using namespace quarvel;
  using namespace quarvel::idd;
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!g_idd_type) {
    g_utils = import_capi<UtilsCapi>(UTILS_CAPSULE, UTILS_CAPI_VERSION, UTILS_LAYOUT);
    if (!g_utils) return nullptr;
    g_unknown_field_error = create_unknown_field_error();
    if (!g_unknown_field_error) return nullptr;
    g_schema_cache = PyDict_New();
    if (!g_schema_cache) return nullptr;
    g_idd_type = create_idd_type(module.get());
    if (!g_idd_type) return nullptr;
    g_capi.IDD_type = g_idd_type;
  }
  if (PyModule_AddObjectRef(module.get(), "IDD", reinterpret_cast<PyObject*>(g_idd_type)) < 0 ||
      PyModule_AddObjectRef(module.get(), "UnknownFieldError", g_unknown_field_error) < 0) {
    return nullptr;
  }
  static const struct {
    const char* name;
    int value;
  } kFieldTypes[] = {{"FIELDTYPE_DEFAULT", FIELDTYPE_DEFAULT}, {"FIELDTYPE_INTEGER", FIELDTYPE_INTEGER},
                     {"FIELDTYPE_REAL", FIELDTYPE_REAL},       {"FIELDTYPE_ALPHA", FIELDTYPE_ALPHA},
                     {"FIELDTYPE_CHOICE", FIELDTYPE_CHOICE},   {"FIELDTYPE_OBJLIST", FIELDTYPE_OBJLIST},
                     {"FIELDTYPE_NODE", FIELDTYPE_NODE}};
  for (const auto& t : kFieldTypes) {
    if (PyModule_AddIntConstant(module.get(), t.name, t.value) < 0) return nullptr;
  }
  if (publish_capi(module.get(), "_C_API", IDD_CAPSULE, &g_capi) < 0) return nullptr;
  return module.release();
}
