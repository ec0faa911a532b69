// How native code reports failures: it throws, and each function that Python calls
// turns what was thrown into a Python exception in one place (`guard`). A failed
// C-API call has already set its exception; `PythonErrorSet` carries that fact up.
#pragma once
#include "pyref.hpp"
#include "quarvel/messages.hpp"

#include <cstdarg>
#include <exception>
#include <new>

namespace quarvel {

// Thrown by native code that has already set a Python exception.
struct PythonErrorSet : std::exception {
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// A new reference from a C-API call, owned; throws when the call failed.
inline PyRef take(PyObject* result) {
  if (!result) throw PythonErrorSet();
  return PyRef(result);
}

// Throws when a C-API call that reports failure as a negative status failed.
inline void check_status(int status) {
  if (status < 0) throw PythonErrorSet();
}

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonErrorSet();
}

[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PythonErrorSet();
}

// Sets the Python error that matches what native code threw. Call from a catch block.
inline void set_error_from_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    // the exception is already set
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, messages::kInternalError);
  }
}

// Runs `body` for a function that Python calls: anything thrown becomes the matching
// Python exception and `on_error` is returned.
template <class F>
auto guard(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    set_error_from_exception();
  }
  return on_error;
}

}  // namespace quarvel
