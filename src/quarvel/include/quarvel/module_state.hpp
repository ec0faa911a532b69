// Module state: what a module binds and makes at import lives in its module object,
// not in globals, so that a second import (after the first was dropped from sys.modules)
// builds its own and objects of the first keep theirs.
#pragma once
#include "pyref.hpp"

namespace quarvel {

// The state of `module`, a plain struct that CPython allocated zeroed.
template <class State>
State& state_of_module(PyObject* module) {
  return *static_cast<State*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (or a base of it, for subclasses made in
// Python); `def` is the module's definition.
template <class State>
State& state_of_type(PyTypeObject* type, PyModuleDef* def) {
  PyObject* module = PyType_GetModuleByDef(type, def);
  // Every type that reaches here derives from one of the module's own.
  return *static_cast<State*>(PyModule_GetState(module));
}

}  // namespace quarvel

// The slots every module of the package shares: its exec function, and how it uses the
// interpreter. Its native tables are shared with the other modules of the package within
// one interpreter, and it relies on the interpreter lock.
#define QUARVEL_MODULE_SLOTS(exec)                                                  \
  {Py_mod_exec, reinterpret_cast<void*>(exec)},                                     \
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},   \
      {Py_mod_gil, Py_MOD_GIL_USED}, {0, nullptr}
