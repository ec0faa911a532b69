// Copies of models and objects. A copy of a model is made natively in one step (the
// objects, their slots and the indexes together), so that no Python code can run
// between copying the objects and copying the indexes: the copy always agrees with
// itself, whatever another thread or a finalizer does meanwhile. The schema is never
// copied; it cannot change.
#include "core.hpp"

namespace quarvel::idf {

namespace {

bool has_instance_dict(PyObject* o) {
  const PyTypeObject* type = Py_TYPE(o);
  return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_dictoffset != 0;
}

// The instance dictionary of an instance of a Python subclass, read without running
// the subclass's attribute code; null when the type keeps none.
PyRef instance_dict(PyObject* o) {
  if (!has_instance_dict(o)) return PyRef();
  return take(PyObject_GenericGetDict(o, nullptr));
}

void set_instance_dict(PyObject* o, PyRef dict) { check_status(PyObject_GenericSetDict(o, dict.get(), nullptr)); }

void copy_dict_shallow(PyObject* from, PyObject* to) {
  if (PyRef dict = instance_dict(from)) set_instance_dict(to, take(PyDict_Copy(dict.get())));
}

PyObject* deepcopy_function() {
  PyRef module = take(PyImport_ImportModule("copy"));
  return take(PyObject_GetAttrString(module.get(), "deepcopy")).release();
}

void deep_copy_dict(PyObject* from, PyObject* to, PyObject* deepcopy, PyObject* memo) {
  if (PyRef dict = instance_dict(from)) {
    set_instance_dict(to, take(PyObject_CallFunctionObjArgs(deepcopy, dict.get(), memo, nullptr)));
  }
}

void remember(PyObject* memo, PyObject* original, PyObject* copy) {
  PyRef key = take(PyLong_FromVoidPtr(original));
  check_status(PyObject_SetItem(memo, key.get(), copy));
}

}  // namespace

PyRef clone_object(IDFObjectInstance* source, PyObject* parent) {
  PyRef copy = take(as_py(new_bare_object(Py_TYPE(as_py(source)))));
  IDFObjectInstance* o = as_object(copy.get());
  Py_XSETREF(o->idd, Py_NewRef(source->idd));
  Py_XSETREF(o->parent_idf, Py_NewRef(parent));
  o->class_idx = source->class_idx;
  o->c_class_name = source->c_class_name;
  Py_XSETREF(o->class_name, Py_NewRef(source->class_name));
  o->values = source->values;
  o->obj_idx = source->obj_idx;
  o->line = source->line;
  if (source->comments) o->comments = std::make_unique<ObjectComments>(*source->comments);
  copy_dict_shallow(as_py(source), copy.get());
  return copy;
}

PyRef clone_model(IDFInstance* source) {
  PyRef copy = new_bare_model(Py_TYPE(as_py(source)));
  IDFInstance* m = as_model(copy.get());
  Py_XSETREF(m->idd, Py_NewRef(source->idd));
  if (PyList_Check(source->objects)) {
    const State& st = state_of(source);
    const Py_ssize_t n = PyList_GET_SIZE(source->objects);
    PyRef list = take(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(source->objects, i);
      PyObject* item_copy = st.is_object(item) ? clone_object(as_object(item), copy.get()).release() : Py_NewRef(item);
      PyList_SET_ITEM(list.get(), i, item_copy);
    }
    Py_XSETREF(m->objects, list.release());
  } else {
    Py_XSETREF(m->objects, Py_NewRef(source->objects));
  }
  if (source->comments) m->comments = std::make_unique<ModelComments>(*source->comments);
  m->objects_index_map = source->objects_index_map;
  m->targets = source->targets;
  m->referencers = source->referencers;
  return copy;
}

PyObject* model_copy(PyObject* self, PyObject*) {
  return guard(
      [&] {
        PyRef copy = clone_model(as_model(self));
        copy_dict_shallow(self, copy.get());
        return copy.release();
      },
      nullptr);
}

PyObject* model_deepcopy(PyObject* self, PyObject* memo) {
  return guard(
      [&] {
        PyRef copy = clone_model(as_model(self));
        // Remembered before the dictionaries are copied: they may lead back here.
        remember(memo, self, copy.get());
        PyRef deepcopy = PyRef(deepcopy_function());
        deep_copy_dict(self, copy.get(), deepcopy.get(), memo);
        IDFInstance* m = as_model(copy.get());
        if (PyList_Check(m->objects)) {
          PyRef originals = PyRef::borrow(as_model(self)->objects);
          for (Py_ssize_t i = 0; i < PyList_GET_SIZE(m->objects); ++i) {
            PyObject* item = PyList_GET_ITEM(m->objects, i);
            if (!state_of(self).is_object(item) || !has_instance_dict(item) || !PyList_Check(originals.get()) ||
                i >= PyList_GET_SIZE(originals.get())) {
              continue;
            }
            PyRef original = PyRef::borrow(PyList_GET_ITEM(originals.get(), i));
            PyRef held = PyRef::borrow(item);
            deep_copy_dict(original.get(), held.get(), deepcopy.get(), memo);
          }
        }
        return copy.release();
      },
      nullptr);
}

PyObject* object_copy(PyObject* self, PyObject*) {
  return guard(
      [&] {
        PyRef copy = clone_object(as_object(self), Py_None);
        as_object(copy.get())->obj_idx = 0;  // standalone, as a constructed object
        return copy.release();
      },
      nullptr);
}

PyObject* object_deepcopy(PyObject* self, PyObject* memo) {
  return guard(
      [&]() -> PyObject* {
        IDFObjectInstance* o = as_object(self);
        PyRef deepcopy = PyRef(deepcopy_function());
        if (IDFInstance* model = member_model(o)) {
          // An object of a model is copied with its model (once, through the memo): the
          // copy is the object in the same slot of the model's copy.
          const size_t slot = o->obj_idx;
          PyRef model_copy = take(PyObject_CallFunctionObjArgs(deepcopy.get(), as_py(model), memo, nullptr));
          const State& st = state_of(o);
          if (st.is_model(model_copy.get()) && PyList_Check(as_model(model_copy.get())->objects) &&
              slot < static_cast<size_t>(PyList_GET_SIZE(as_model(model_copy.get())->objects))) {
            PyObject* item = PyList_GET_ITEM(as_model(model_copy.get())->objects, static_cast<Py_ssize_t>(slot));
            if (st.is_object(item)) return Py_NewRef(item);
          }
        }
        PyRef copy = clone_object(o, Py_None);
        remember(memo, self, copy.get());
        deep_copy_dict(self, copy.get(), deepcopy.get(), memo);
        return copy.release();
      },
      nullptr);
}

}  // namespace quarvel::idf
