// Argument binding for METH_FASTCALL | METH_KEYWORDS functions, and the fixed
// wordings of argument errors that callers see.
#pragma once
#include "errors.hpp"
#include "quarvel/messages.hpp"

#include <cstddef>

namespace quarvel {

inline void raise_argument_type(const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, messages::kArgumentType,
               name, expected, Py_TYPE(got)->tp_name);
}

// The error a string argument that is None gives when it is about to be encoded.
inline void raise_none_has_no_encode() {
  PyErr_Format(PyExc_AttributeError, messages::kNoneHasNoAttribute, "encode");
}

inline void raise_argument_count(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
  const char* more_or_less;
  Py_ssize_t expected;
  if (min == max) {
    more_or_less = "exactly";
    expected = min;
  } else if (given < min) {
    more_or_less = "at least";
    expected = min;
  } else {
    more_or_less = "at most";
    expected = max;
  }
  PyErr_Format(PyExc_TypeError, messages::kArgumentCount, func,
               more_or_less, expected, expected == 1 ? "" : "s", given);
}

// Checks `obj` is exactly str (subclasses refused) or None; raises the argument-type error.
inline bool check_exact_str_or_none(PyObject* obj, const char* name) {
  if (obj == Py_None || PyUnicode_CheckExact(obj)) return true;
  raise_argument_type(name, "str", obj);
  return false;
}

// A signature: `names` lists every parameter in order; the first `required` are
// required, the first `positional` may be given by position, the rest are keyword-only.
// `extra_ok` lets surplus positional and unknown keyword arguments through (ignored).
struct Signature {
  const char* func;
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
  Py_ssize_t positional;
  bool extra_ok = false;
};

// Fills out[0..count) with borrowed references (nullptr for an absent optional).
inline int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyObject** out) {
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  const Py_ssize_t most = sig.extra_ok ? PY_SSIZE_T_MAX : sig.positional;
  if (nargs > most) {
    raise_argument_count(sig.func, sig.required, most, nargs);
    return -1;
  }
  const Py_ssize_t npos = nargs < sig.positional ? nargs : sig.positional;
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      if (sig.extra_ok) continue;
      PyErr_Format(PyExc_TypeError, messages::kUnexpectedKeyword, sig.func, key);
      return -1;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, messages::kMultipleValues, sig.func, key);
      return -1;
    }
    out[slot] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      Py_ssize_t given = 0;
      for (Py_ssize_t j = 0; j < sig.positional; ++j) given += out[j] != nullptr;
      raise_argument_count(sig.func, sig.required, most, given);
      return -1;
    }
  }
  return 0;
}

// For functions that take no arguments at all.
inline int bind_no_arguments(const char* func, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0) {
    raise_argument_count(func, 0, 0, nargs);
    return -1;
  }
  if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_Format(PyExc_TypeError, messages::kNoKeywords, func);
    return -1;
  }
  return 0;
}

}  // namespace quarvel
