// The one place where the core reports a failure it cannot raise: the published
// operations that never fail (registering a reference, writing to a buffer) hand
// what went wrong to the interpreter's unraisable-exception hook.
#include "core.hpp"

namespace quarvel::idf {

void report_unraisable(const char* where, const std::exception& error) noexcept {
  if (dynamic_cast<const std::bad_alloc*>(&error)) {
    PyErr_NoMemory();
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  PyObject* context = PyUnicode_FromString(where);
  PyErr_WriteUnraisable(context);  // a null context is reported without a place
  Py_XDECREF(context);
}

}  // namespace quarvel::idf
