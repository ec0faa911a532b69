// quarvel.idf: publishes the model types with their tables, then binds the tokenizer,
// the schema and the utility modules.
#include "core.hpp"

namespace quarvel::idf {

Bound g;

const IdfOps kIdfOps = {
    register_target, register_referencer, unregister_target, unregister_referencer,
    model_c_init,    build_objects,       get_objects_raw,   model_write_to_buffer,
};

namespace {

const ClassDef& class_def_of(IDFObjectObj* self) { return get_class_def(self); }

}  // namespace

const IdfObjectOps kObjectOps = {
    class_def_of, object_c_init, set_string_by_index, set_by_index, trim_trailing_empty_fields, object_write_to_buffer,
};

namespace {

IdfCapi g_capi = {{IDF_CAPI_VERSION, sizeof(IdfCapi), IDF_LAYOUT}, nullptr, &kIdfOps, nullptr, &kObjectOps};

PyMethodDef kMethods[] = {
    {"unpickle_IDF", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle_model)), METH_FASTCALL,
     "unpickle_IDF(cls, checksum, state, /)\n--\n\nRebuild a pickled IDF model."},
    {"unpickle_IDFObject", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle_object)),
     METH_FASTCALL, "unpickle_IDFObject(cls, checksum, state, /)\n--\n\nRebuild a pickled IDFObject."},
    {"_epjson_body", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(epjson_body)), METH_FASTCALL,
     "_epjson_body(obj, plan, where, /)\n--\n\nFor quarvel.epjson: an object's fields as JSON values."},
    {"_epjson_line", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(epjson_line)), METH_FASTCALL,
     "_epjson_line(class_name, key, body, plan, where, /)\n--\n\nFor quarvel.epjson: a JSON object as IDF text."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarvel.idf",
    "IDF models: loading, field access, queries, editing, writing and pickling.", -1, kMethods,
};

// Types made with PyType_FromModuleAndSpec get generic wrappers for their slots
// (__init__, __getitem__, __setitem__); the documented methods of the same names
// replace them, so that help() and __doc__ show what these do.
int install_documented_methods(PyTypeObject* type) {
  PyRef dict(PyType_GetDict(type));
  if (!dict) return -1;
  for (PyMethodDef* def = type->tp_methods; def && def->ml_name; ++def) {
    const std::string_view name(def->ml_name);
    if (name != "__init__" && name != "__getitem__" && name != "__setitem__") continue;
    PyRef descr(PyDescr_NewMethod(type, def));
    if (!descr || PyDict_SetItemString(dict.get(), def->ml_name, descr.get()) < 0) return -1;
  }
  PyType_Modified(type);
  return 0;
}

// ValueError for text that does not load, with where it went wrong: `lineno` (None
// when unknown), `filename` (None for text given as a string) and, for an object of a
// class the schema lacks, `class_name`.
PyObject* create_parse_error() {
  PyRef dict(Py_BuildValue("{s:O,s:O,s:O}", "lineno", Py_None, "filename", Py_None, "class_name", Py_None));
  if (!dict) return nullptr;
  return PyErr_NewExceptionWithDoc(
      "quarvel.idf.IDFParseError",
      "IDF text that does not load. A ValueError; `lineno` is the line of the fault (None when\n"
      "unknown), `filename` the file it was read from (None for a string), and `class_name`\n"
      "the class an unknown-class error names (else None).",
      PyExc_ValueError, dict.get());
}

// The schema's error for an unknown field name, offered here too: it is what reading
// and writing fields raise.
int add_unknown_field_error(PyObject* module) {
  PyRef idd(PyImport_ImportModule("quarvel.idd"));
  PyRef error(idd ? PyObject_GetAttrString(idd.get(), "UnknownFieldError") : nullptr);
  return error ? PyModule_AddObjectRef(module, "UnknownFieldError", error.get()) : -1;
}

int init_once(PyObject* module) {
  g.IDF_type = create_model_type(module);
  if (!g.IDF_type) return -1;
  g.IDFObject_type = create_object_type(module);
  if (!g.IDFObject_type) return -1;
  if (install_documented_methods(g.IDF_type) < 0 || install_documented_methods(g.IDFObject_type) < 0) return -1;
  g_capi.IDF_type = g.IDF_type;
  g_capi.IDFObject_type = g.IDFObject_type;
  g.lexer = import_capi<LexerCapi>(LEXER_CAPSULE, LEXER_CAPI_VERSION, LEXER_LAYOUT);
  if (!g.lexer) return -1;
  g.schema = import_capi<IddCapi>(IDD_CAPSULE, IDD_CAPI_VERSION, IDD_LAYOUT);
  if (!g.schema) return -1;
  g.utils = import_capi<UtilsCapi>(UTILS_CAPSULE, UTILS_CAPI_VERSION, UTILS_LAYOUT);
  if (!g.utils) return -1;
  DEFAULT_FORMAT_CONFIG = generate_format_config();
  MINIMAL_FORMAT_CONFIG = FormatConfig{std::string(), std::string(), 0, true};
  g.IDFObjectTuple_type = create_tuple_type(module);
  if (!g.IDFObjectTuple_type) return -1;
  g.IDFParseError = create_parse_error();
  return g.IDFParseError ? 0 : -1;
}

}  // namespace
}  // namespace quarvel::idf

PyMODINIT_FUNC PyInit_idf() {
  using namespace quarvel;
  using namespace quarvel::idf;
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!g.IDFObjectTuple_type && guard([&] { return init_once(module.get()); }, -1) < 0) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "IDF", reinterpret_cast<PyObject*>(g.IDF_type)) < 0 ||
      PyModule_AddObjectRef(module.get(), "IDFObject", reinterpret_cast<PyObject*>(g.IDFObject_type)) < 0 ||
      PyModule_AddObjectRef(module.get(), "IDFObjectTuple", reinterpret_cast<PyObject*>(g.IDFObjectTuple_type)) < 0 ||
      PyModule_AddObjectRef(module.get(), "IDFParseError", g.IDFParseError) < 0 ||
      PyModule_Add(module.get(), "VALIDATION_RULES", guard([] { return validation_rules(); }, nullptr)) < 0 ||
      add_unknown_field_error(module.get()) < 0 ||
      publish_capi(module.get(), "_C_API", IDF_CAPSULE, &g_capi) < 0) {
    return nullptr;
  }
  return module.release();
}
