// What the pickle support of the model types and of the compatibility types shares:
// checksums of a member layout, the reduce value, and the start of a reconstructor.
#pragma once
#include "args.hpp"
#include "quarvel/messages.hpp"

namespace quarvel {

// The three accepted checksums of a member layout (SHA-256, SHA-1 and MD5 based; the
// first is written) and the member list that messages name.
struct Checksums {
  long written, sha1, md5;
  const char* members;
  bool accepts(long long c) const { return c == written || c == sha1 || c == md5; }
};

// 1 when `given` is one of the accepted checksums, 0 when it is another integer, -1
// with an exception set when it is no integer at all.
inline int checksum_accepted(const Checksums& sums, PyObject* given) {
  PyRef index(PyNumber_Index(given));
  if (!index) return -1;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return -1;
  return overflow == 0 && sums.accepts(value) ? 1 : 0;
}

// (reconstructor, (type, checksum, None), state) for the set-state form, in which the
// instance is memoized before its state is pickled; otherwise (reconstructor, (type,
// checksum, state)).
// Built with PyTuple_Pack: a model reduces each of its objects, and a format string
// parsed per object cost more than the tuples themselves.
inline PyObject* reduce_value(PyObject* reconstructor, PyObject* self, long checksum, PyObject* state,
                              bool setstate_form) {
  PyRef sum(PyLong_FromLong(checksum));
  if (!sum) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyRef args(PyTuple_Pack(3, type, sum.get(), setstate_form ? Py_None : state));
  if (!args) return nullptr;
  return setstate_form ? PyTuple_Pack(3, reconstructor, args.get(), state) : PyTuple_Pack(2, reconstructor, args.get());
}

// The checks every reconstructor(cls, checksum, state) makes, then a bare instance of
// `cls` from `base`'s allocation. Null with an exception set on failure; `state`
// receives the state argument (a tuple or None).
inline PyObject* reconstruct_bare(PyObject* const* args, Py_ssize_t nargs, const char* func, PyTypeObject* base,
                                  const Checksums& sums, PyObject*& state) {
  if (nargs != 3) {
    raise_argument_count(func, 3, 3, nargs);
    return nullptr;
  }
  PyObject* cls = args[0];
  state = args[2];
  if (state != Py_None && !PyTuple_Check(state)) {
    raise_argument_type("state", "tuple", state);
    return nullptr;
  }
  const int accepted = checksum_accepted(sums, args[1]);
  if (accepted < 0) return nullptr;
  if (!accepted) {
    // The number as given, however large or negative, in the hexadecimal of hex().
    PyRef index(PyNumber_Index(args[1]));
    PyRef given(index ? PyNumber_ToBase(index.get(), 16) : nullptr);
    if (!given) return nullptr;
    PyRef pickle(PyImport_ImportModule("pickle"));
    if (!pickle) return nullptr;
    PyRef error(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return nullptr;
    PyErr_Format(error.get(), "Incompatible checksums (%U vs (0x%lx, 0x%lx, 0x%lx) = (%s))", given.get(),
                 sums.written, sums.sha1, sums.md5, sums.members);
    return nullptr;
  }
  if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), base)) {
    PyErr_Format(PyExc_TypeError, messages::kReconstructorType, func, base->tp_name);
    return nullptr;
  }
  PyRef empty(PyTuple_New(0));
  if (!empty) return nullptr;
  return base->tp_new(reinterpret_cast<PyTypeObject*>(cls), empty.get(), nullptr);
}

}  // namespace quarvel
