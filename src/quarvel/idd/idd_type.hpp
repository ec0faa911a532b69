// The IDD Python type.
#pragma once
#include "quarvel/idd_api.hpp"
#include "quarvel/utils_api.hpp"

namespace quarvel::idd {

extern PyTypeObject* g_idd_type;
extern const UtilsCapi* g_utils;
extern PyObject* g_schema_cache;  // digest -> IDD, most recent last

PyTypeObject* create_idd_type(PyObject* module);

// unpickle_IDD(cls, digest, packed): the reconstructor that pickles name.
PyObject* unpickle_idd(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quarvel::idd
