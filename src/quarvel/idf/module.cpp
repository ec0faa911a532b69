// quarvel.idf: publishes the model types with their tables, then binds the tokenizer,
// the schema and the utility modules.
#include "../features/features.hpp"
#include "core.hpp"

#include <vector>

namespace quarvel::idf {

const IDFOps kIDFOps = {
    register_target, register_referencer, unregister_target, unregister_referencer,
    model_c_init,    build_objects,       get_objects_raw,   model_write_to_buffer,
};

namespace {

const ClassDef& class_def_of(IDFObjectInstance* self) { return get_class_def(self); }

}  // namespace

const IDFObjectOps kIDFObjectOps = {
    class_def_of, object_c_init, set_string_by_index, set_by_index, trim_trailing_empty_fields, object_write_to_buffer,
};

namespace {

PyMethodDef kMethods[] = {
    {"unpickle_IDF", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle_model)), METH_FASTCALL,
     "unpickle_IDF(cls, checksum, state, /)\n--\n\nRebuild a pickled IDF model."},
    {"unpickle_IDFObject", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle_object)),
     METH_FASTCALL, "unpickle_IDFObject(cls, checksum, state, /)\n--\n\nRebuild a pickled IDFObject."},
    {nullptr, nullptr, 0, nullptr},
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

// ValueError for text that does not load, with where it went wrong: `lineno` and
// `column` (None when unknown), `filename` (None for text given as a string) and, for an
// object of a class the schema lacks, `class_name`.
PyObject* create_parse_error() {
  PyRef dict(Py_BuildValue("{s:O,s:O,s:O,s:O}", "lineno", Py_None, "column", Py_None, "filename", Py_None,
                           "class_name", Py_None));
  if (!dict) return nullptr;
  return PyErr_NewExceptionWithDoc(
      "quarvel.idf.IDFParseError",
      "IDF text that does not load. A ValueError; `lineno` is the line of the fault and `column`\n"
      "its byte column (None when unknown), `filename` the file it was read from (None for a\n"
      "string), and `class_name` the class an unknown-class error names (else None).",
      PyExc_ValueError, dict.get());
}

// The schema's error for an unknown field name, offered here too: it is what reading
// and writing fields raise.
int add_unknown_field_error(PyObject* module) {
  PyRef idd(PyImport_ImportModule("quarvel.idd"));
  PyRef error(idd ? PyObject_GetAttrString(idd.get(), "UnknownFieldError") : nullptr);
  return error ? PyModule_AddObjectRef(module, "UnknownFieldError", error.get()) : -1;
}

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

int exec_module(PyObject* module) {
  State& st = state_of_module(module);
  st.write_original = features::write_original;
  st.model_type = create_model_type(module, features::model_extras());
  if (!st.model_type) return -1;
  st.object_type = create_object_type(module, features::object_extras());
  if (!st.object_type) return -1;
  if (install_documented_methods(st.model_type) < 0 || install_documented_methods(st.object_type) < 0) return -1;
  st.lexer = import_capi<LexerCapi>(LEXER_CAPSULE, LEXER_CAPI_VERSION, LEXER_LAYOUT);
  if (!st.lexer) return -1;
  st.schema = import_capi<IDDCapi>(IDD_CAPSULE, IDD_CAPI_VERSION, IDD_LAYOUT);
  if (!st.schema) return -1;
  st.utils = import_capi<UtilsCapi>(UTILS_CAPSULE, UTILS_CAPI_VERSION, UTILS_LAYOUT);
  if (!st.utils) return -1;
  st.tuple_type = create_tuple_type(module, features::tuple_extras());
  if (!st.tuple_type) return -1;
  st.parse_error = create_parse_error();
  st.schema_needed = PyErr_NewExceptionWithDoc(
      "quarvel.idf.SchemaNeededError", "Objects were to be loaded or made without a schema (IDD). A TypeError.",
      PyExc_TypeError, nullptr);
  PyRef files(PyImport_ImportModule("quarvel._files"));
  st.write_file = files ? PyObject_GetAttrString(files.get(), "write_atomic") : nullptr;
  st.autosize_text = intern("Autosize");
  st.autocalculate_text = intern("Autocalculate");
  st.dict_name = intern("__dict__");
  st.get_objects_name = intern("get_objects");
  st.unpickle_model_name = intern("unpickle_IDF");
  st.unpickle_object_name = intern("unpickle_IDFObject");
  if (!st.parse_error || !st.schema_needed || !st.write_file || !st.autosize_text || !st.autocalculate_text ||
      !st.dict_name || !st.get_objects_name || !st.unpickle_model_name || !st.unpickle_object_name) {
    return -1;
  }
  st.capi = IDFCapi{{IDF_CAPI_VERSION, sizeof(IDFCapi), IDF_LAYOUT}, st.model_type, &kIDFOps, st.object_type,
                    &kIDFObjectOps, st.schema_needed};
  if (PyModule_AddFunctions(module, const_cast<PyMethodDef*>(features::module_functions())) < 0 ||
      features::add_types(module) < 0) {
    return -1;
  }
  PyRef rules(features::validation_rules());
  if (!rules) return -1;
  if (PyModule_AddObjectRef(module, "IDF", reinterpret_cast<PyObject*>(st.model_type)) < 0 ||
      PyModule_AddObjectRef(module, "IDFObject", reinterpret_cast<PyObject*>(st.object_type)) < 0 ||
      PyModule_AddObjectRef(module, "IDFObjectTuple", reinterpret_cast<PyObject*>(st.tuple_type)) < 0 ||
      PyModule_AddObjectRef(module, "IDFParseError", st.parse_error) < 0 ||
      PyModule_AddObjectRef(module, "SchemaNeededError", st.schema_needed) < 0 ||
      PyModule_AddObjectRef(module, "VALIDATION_RULES", rules.get()) < 0 || add_unknown_field_error(module) < 0) {
    return -1;
  }
  return publish_capi(module, "_C_API", IDF_CAPSULE, &st.capi);
}

int exec_guarded(PyObject* module) { return guard([&] { return exec_module(module); }, -1); }

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  State& st = state_of_module(module);
  Py_VISIT(st.model_type);
  Py_VISIT(st.object_type);
  Py_VISIT(st.tuple_type);
  for (PyObject* ref : {st.parse_error, st.schema_needed, st.write_file}) Py_VISIT(ref);
  return 0;
}

int clear_module(PyObject* module) {
  State& st = state_of_module(module);
  Py_CLEAR(st.model_type);
  Py_CLEAR(st.object_type);
  Py_CLEAR(st.tuple_type);
  for (PyObject** ref : {&st.parse_error, &st.schema_needed, &st.write_file, &st.autosize_text,
                         &st.autocalculate_text, &st.dict_name, &st.get_objects_name, &st.unpickle_model_name,
                         &st.unpickle_object_name}) {
    Py_CLEAR(*ref);
  }
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {QUARVEL_MODULE_SLOTS(exec_guarded)};

}  // namespace

PyModuleDef kIdfModule = {
    PyModuleDef_HEAD_INIT, "quarvel.idf",
    "IDF models: loading, field access, queries, editing, writing and pickling.", sizeof(State), kMethods, kSlots,
    traverse_module, clear_module, free_module,
};

}  // namespace quarvel::idf

PyMODINIT_FUNC PyInit_idf() { return PyModuleDef_Init(&quarvel::idf::kIdfModule); }
