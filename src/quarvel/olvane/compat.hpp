// Internal declarations of quarvel.olvane, the older method vocabulary over the core.
#pragma once
#include "quarvel/args.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/idf_api.hpp"
#include "quarvel/lexer_api.hpp"
#include "quarvel/module_state.hpp"
#include "quarvel/utils_api.hpp"

namespace quarvel::olvane {

// What quarvel.olvane binds and makes at import: the state of its module object.
struct State {
  const IDFCapi* core;
  const IDDCapi* schema;
  const LexerCapi* lexer;
  const UtilsCapi* utils;
  PyObject* module_dict;  // where the three module variables live (borrowed: the module holds it)
  PyTypeObject* facade_type;   // IDF
  PyTypeObject* proxy_type;    // IDFObjectsProxy
  PyTypeObject* wrapper_type;  // IDFObject
};

extern PyModuleDef kOlvaneModule;
inline State& state_of_module(PyObject* module) { return quarvel::state_of_module<State>(module); }
inline State& state_of(PyTypeObject* type) { return state_of_type<State>(type, &kOlvaneModule); }
inline State& state_of(PyObject* o) { return state_of(Py_TYPE(o)); }

struct FacadeInstance {
  PyObject_HEAD
  PyObject* core_idf;      // core IDF or None
  PyObject* idfobjsproxy;  // IDFObjectsProxy or None
};

struct ProxyInstance {
  PyObject_HEAD
  PyObject* parent;  // facade IDF or None
};

struct WrapperInstance {
  PyObject_HEAD
  PyObject* core_obj;  // core IDFObject or None
};

inline FacadeInstance* as_facade(PyObject* o) { return reinterpret_cast<FacadeInstance*>(o); }
inline ProxyInstance* as_proxy(PyObject* o) { return reinterpret_cast<ProxyInstance*>(o); }
inline WrapperInstance* as_wrapper(PyObject* o) { return reinterpret_cast<WrapperInstance*>(o); }

// "Cannot convert X to Y" for a value of the wrong type bound for a typed field.
inline bool check_type_or_none(PyObject* value, PyTypeObject* type) {
  if (value == Py_None || PyObject_TypeCheck(value, type)) return true;
  PyErr_Format(PyExc_TypeError, messages::kCannotConvert, Py_TYPE(value)->tp_name, type->tp_name);
  return false;
}

// Borrowed value of a module variable, or null with an exception set.
PyObject* module_variable(const State& st, const char* name);
int set_module_variable(const State& st, const char* name, PyObject* value);

// ---- field keys (field_keys.cpp) ----
int build_field_key_to_name_dict(const State& st);
PyObject* resolve_field_key_to_field_name(const State& st, PyObject* class_name, PyObject* field_key);

// ---- types ----
PyTypeObject* create_facade_type(PyObject* module);
PyTypeObject* create_proxy_type(PyObject* module);
PyTypeObject* create_wrapper_type(PyObject* module);
void proxy_c_init(ProxyInstance* self, PyObject* parent);
void wrapper_c_init(WrapperInstance* self, PyObject* core_obj);
// A new wrapper (or proxy) made without running any constructor code.
PyObject* new_wrapper(const State& st, PyObject* core_obj);
PyObject* new_proxy(const State& st, PyObject* parent);

// ---- pickling (pickle.cpp) ----
PyObject* facade_reduce(PyObject* self, PyObject*);
PyObject* proxy_reduce(PyObject* self, PyObject*);
PyObject* wrapper_reduce(PyObject* self, PyObject*);
PyObject* facade_setstate(PyObject* self, PyObject* state);
PyObject* proxy_setstate(PyObject* self, PyObject* state);
PyObject* wrapper_setstate(PyObject* self, PyObject* state);
PyObject* unpickle_facade(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* unpickle_proxy(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* unpickle_wrapper(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quarvel::olvane
