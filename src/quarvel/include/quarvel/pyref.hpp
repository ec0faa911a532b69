// Owning reference to a Python object: every exit path releases what was taken.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarvel {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (the result of most C-API calls); null stays null.
  explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) Py_XSETREF(p_, std::exchange(o.p_, nullptr));
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace quarvel
