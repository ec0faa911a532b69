// The features above the core model: validation, comparison, renaming, the engine's
// JSON form, the user's comments as attributes, and the methods whose work is done in
// Python modules of the package. They use the core (idf/core.hpp); the core uses none of
// them. The module binds them onto the core's types (FeatureExtras).
#pragma once
#include "../idf/core.hpp"

namespace quarvel::features {

using namespace quarvel::idf;

// The methods and attributes the features add to IDF, IDFObject and IDFObjectTuple.
TypeExtras model_extras();
TypeExtras object_extras();
TypeExtras tuple_extras();
// A model in the layout of the text it was read from (quarvel._layout): its text when
// `target` is null, else written to `target`.
PyObject* write_original(PyObject* model, PyObject* target);
// The module functions and types the features add (the epJSON conversion for quarvel.epjson).
const PyMethodDef* module_functions();
int add_types(PyObject* module);

// ---- validation (validate.cpp) ----
PyObject* model_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The rules as (code, rule, severity, summary) tuples, in code order.
PyObject* validation_rules();

// ---- the engine's JSON form (epjson.cpp) ----
PyTypeObject* create_epjson_plan_type(PyObject* module);
PyObject* epjson_members(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* epjson_line(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// ---- the HVAC systems as records, for quarvel.hvac (hvac_scan.cpp) ----
PyObject* branch_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* connection_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// ---- comparing and renaming (diff.cpp, rename.cpp) ----
PyObject* model_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* object_rename(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- the user's comments (comments.cpp) ----
PyObject* object_get_comments(PyObject* self, void*);
int object_set_comments(PyObject* self, PyObject* value, void*);
PyObject* object_field_comment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* object_set_field_comment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_get_header_comments(PyObject* self, void*);
int model_set_header_comments(PyObject* self, PyObject* value, void*);
PyObject* model_get_trailing_comments(PyObject* self, void*);
int model_set_trailing_comments(PyObject* self, PyObject* value, void*);
PyObject* model_get_comment_count(PyObject* self, void*);

// ---- methods made in Python (python_methods.cpp) ----
PyObject* model_summary(PyObject* self, PyObject*);
PyObject* model_repr_html(PyObject* self, PyObject*);
PyObject* model_to_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_to_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_to_epjson(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_from_epjson(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* object_repr_html(PyObject* self, PyObject*);
PyObject* tuple_repr_html(PyObject* self, PyObject*);
PyObject* model_repr_pretty(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* tuple_repr_pretty(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* model_validate_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_objects_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_open(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quarvel::features
