// The IDD Python type and the state of quarvel.idd.
#pragma once
#include "quarvel/idd_api.hpp"
#include "quarvel/module_state.hpp"
#include "quarvel/utils_api.hpp"

namespace quarvel::idd {

// What quarvel.idd binds and makes at import.
struct State {
  PyTypeObject* idd_type;
  PyObject* unknown_field_error;  // a KeyError and an AttributeError
  PyObject* schema_cache;         // digest -> IDD, most recent last
  PyObject* unpickle_name;        // "unpickle_IDD", interned
  const UtilsCapi* utils;
  IDDCapi capi;  // published as the module's _C_API
};

extern PyModuleDef kIddModule;
inline State& state_of(PyObject* module) { return state_of_module<State>(module); }
inline State& state_of(PyTypeObject* type) { return state_of_type<State>(type, &kIddModule); }

PyTypeObject* create_idd_type(PyObject* module);

// unpickle_IDD(cls, digest, packed): the reconstructor that pickles name.
PyObject* unpickle_idd(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quarvel::idd
