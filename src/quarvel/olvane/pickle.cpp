// Pickling of the facade, its proxy and the wrappers: each reduces to its module's
// reconstructor, a checksum of its field list and the tuple of its fields. Facade and
// proxy refer to each other and are restored as a pair through the pickle memo.
#include "compat.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/pickling.hpp"

namespace quarvel::olvane {

namespace {

struct Layout {
  const char* reconstructor;
  Checksums sums;
  Py_ssize_t fields;
  const char* type_name;
};
constexpr Layout kFacade = {"unpickle_IDF", {0x8c30425, 0xf4f0da9, 0xaf3896f, "core_idf, idfobjsproxy"}, 2, "IDF"};
constexpr Layout kProxy = {"unpickle_IDFObjectsProxy", {0xe471259, 0xd8fd39d, 0xd0e4587, "parent"}, 1,
                           "IDFObjectsProxy"};
constexpr Layout kWrapper = {"unpickle_IDFObject", {0x805eb6e, 0x8e97549, 0x8fc4c89, "core_obj"}, 1, "IDFObject"};

PyObject** fields_of(PyObject* self, const Layout& layout) {
  if (&layout == &kFacade) return &as_facade(self)->core_idf;
  if (&layout == &kProxy) return &as_proxy(self)->parent;
  return &as_wrapper(self)->core_obj;
}

PyTypeObject* field_type(const State& st, const Layout& layout, Py_ssize_t i) {
  if (&layout == &kFacade) return i == 0 ? st.core->IDF_type : st.proxy_type;
  if (&layout == &kProxy) return st.facade_type;
  return st.core->IDFObject_type;
}

PyObject* reduce(PyObject* self, const Layout& layout) {
  PyObject** fields = fields_of(self, layout);
  // The instance dictionary, looked up as any attribute is (for a wrapper, through
  // field resolution); only a missing attribute counts as none.
  PyRef dict(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  int has_dict = 0;
  if (dict && dict.get() != Py_None) {
    has_dict = PyObject_IsTrue(dict.get());
    if (has_dict < 0) return nullptr;
  }
  PyRef state(PyTuple_New(layout.fields + (has_dict ? 1 : 0)));
  if (!state) return nullptr;
  bool any_set = false;
  for (Py_ssize_t i = 0; i < layout.fields; ++i) {
    PyTuple_SET_ITEM(state.get(), i, Py_NewRef(fields[i]));
    any_set = any_set || fields[i] != Py_None;
  }
  if (has_dict) PyTuple_SET_ITEM(state.get(), layout.fields, dict.release());
  PyRef fn(PyObject_GetAttrString(PyType_GetModuleByDef(Py_TYPE(self), &kOlvaneModule), layout.reconstructor));
  return fn ? reduce_value(fn.get(), self, layout.sums.written, state.get(), has_dict || any_set) : nullptr;
}

int apply_state(PyObject* self, PyObject* state, const Layout& layout) {
  const Py_ssize_t n = PyTuple_GET_SIZE(state);
  if (n < layout.fields) {
    PyErr_Format(PyExc_ValueError, messages::kCompatStateSize,
                 layout.type_name, layout.fields, layout.fields == 1 ? "" : "s", n);
    return -1;
  }
  PyObject** fields = fields_of(self, layout);
  for (Py_ssize_t i = 0; i < layout.fields; ++i) {
    PyObject* value = PyTuple_GET_ITEM(state, i);
    if (!check_type_or_none(value, field_type(state_of(self), layout, i))) return -1;
    Py_XSETREF(fields[i], Py_NewRef(value));
  }
  if (n > layout.fields) {
    PyObject* extra = PyTuple_GET_ITEM(state, layout.fields);
    const int truth = PyObject_IsTrue(extra);
    if (truth < 0) return -1;
    if (truth) {
      PyRef dict(PyObject_GetAttrString(self, "__dict__"));
      if (!dict) return -1;
      PyRef done(PyObject_CallMethod(dict.get(), "update", "O", extra));
      if (!done) return -1;
    }
  }
  return 0;
}

PyObject* setstate(PyObject* self, PyObject* state, const Layout& layout) {
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, messages::kNoneNotAllowed);
    return nullptr;
  }
  if (!PyTuple_Check(state)) {
    PyErr_Format(PyExc_TypeError, messages::kExpectedGot, "tuple", Py_TYPE(state)->tp_name);
    return nullptr;
  }
  if (apply_state(self, state, layout) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* unpickle(PyObject* const* args, Py_ssize_t nargs, const Layout& layout, PyTypeObject* base) {
  PyObject* state = nullptr;
  PyRef instance(reconstruct_bare(args, nargs, layout.reconstructor, base, layout.sums, state));
  if (!instance) return nullptr;
  if (state != Py_None && apply_state(instance.get(), state, layout) < 0) return nullptr;
  return instance.release();
}

}  // namespace

PyObject* facade_reduce(PyObject* self, PyObject*) { return reduce(self, kFacade); }
PyObject* proxy_reduce(PyObject* self, PyObject*) { return reduce(self, kProxy); }
PyObject* wrapper_reduce(PyObject* self, PyObject*) { return reduce(self, kWrapper); }
PyObject* facade_setstate(PyObject* self, PyObject* state) { return setstate(self, state, kFacade); }
PyObject* proxy_setstate(PyObject* self, PyObject* state) { return setstate(self, state, kProxy); }
PyObject* wrapper_setstate(PyObject* self, PyObject* state) { return setstate(self, state, kWrapper); }

PyObject* unpickle_facade(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return unpickle(args, nargs, kFacade, state_of_module(module).facade_type);
}
PyObject* unpickle_proxy(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return unpickle(args, nargs, kProxy, state_of_module(module).proxy_type);
}
PyObject* unpickle_wrapper(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return unpickle(args, nargs, kWrapper, state_of_module(module).wrapper_type);
}

}  // namespace quarvel::olvane
