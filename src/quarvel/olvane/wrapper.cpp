// The object wrapper, whose attributes are the fields of its core object, and the
// proxy that lists wrappers of a class: model.idfobjects[class_name].
#include "compat.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/suggest.hpp"

namespace quarvel::olvane {

namespace {

// ---- shared life-cycle of the two one-field types ----

template <class T, PyObject* T::*Field>
int one_field_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<T*>(self)->*Field);
  return 0;
}

template <class T, PyObject* T::*Field>
int one_field_clear(PyObject* self) {
  Py_XSETREF(reinterpret_cast<T*>(self)->*Field, Py_NewRef(Py_None));
  return 0;
}

template <class T, PyObject* T::*Field>
void one_field_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(reinterpret_cast<T*>(self)->*Field);
  type->tp_free(self);
  Py_DECREF(type);
}

// Calling the type accepts and ignores any arguments.
template <class T, PyObject* T::*Field>
PyObject* one_field_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self) reinterpret_cast<T*>(self)->*Field = Py_NewRef(Py_None);
  return self;
}

int ignore_init(PyObject*, PyObject*, PyObject*) { return 0; }

// ---- wrapper ----

PyObject* core_of(PyObject* self) {
  PyObject* core = as_wrapper(self)->core_obj;
  if (core == Py_None) {
    PyErr_SetString(PyExc_AttributeError, messages::kWrapsNothing);
    return nullptr;
  }
  return core;
}

// The schema field name for an attribute name of this wrapper's object.
PyObject* field_name_for(const State& st, PyObject* core, PyObject* name) {
  PyRef class_name(PyObject_GetAttrString(core, "class_name"));
  if (!class_name) return nullptr;
  return resolve_field_key_to_field_name(st, class_name.get(), name);
}

// An attribute that names no field was looked up as a field name: the closest field
// names that the error offers are spelled as attributes again (blanks as '_', '-', '/'
// and '*' dropped), in its `suggestions` and its note.
void respell_suggestions_as_attributes() {
  PyObject* error = PyErr_GetRaisedException();
  if (!error) return;
  PyRef names(PyObject_GetAttrString(error, "suggestions"));
  if (!names || !PyTuple_Check(names.get()) || PyTuple_GET_SIZE(names.get()) == 0) {
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    return;
  }
  std::vector<std::string> respelled;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
    const char* text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(names.get(), i));
    if (!text) break;
    respelled.push_back(attribute_spelling(text));
  }
  PyErr_Clear();
  if (PyObject_SetAttrString(error, "__notes__", PyRef(PyList_New(0)).get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(error);
  if (attach_suggestions(respelled) < 0) return;  // the new error stands
}

// The core object is held for the whole operation: resolving the name runs the name's
// own code (a str subclass), which may replace the wrapper's object.
PyObject* read_field(PyObject* self, PyObject* name) {
  PyRef core = PyRef::borrow(core_of(self));
  if (!core) return nullptr;
  PyRef field(field_name_for(state_of(self), core.get(), name));
  PyObject* value = field ? PyObject_GetItem(core.get(), field.get()) : nullptr;
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) respell_suggestions_as_attributes();
  return value;
}

// Whether normal lookup can find `name` on the wrapper: only attributes of its type
// (the wrapper holds no instance dictionary), so the type's MRO is asked directly and
// no AttributeError has to be raised and caught on every field read.
int type_has_attribute(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
    PyRef dict(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
    if (!dict) return -1;
    const int found = PyDict_Contains(dict.get(), name);
    if (found != 0) return found;
  }
  return 0;
}

PyObject* wrapper_getattro(PyObject* self, PyObject* name) {
  if (Py_TYPE(self) == state_of(self).wrapper_type) {
    const int known = type_has_attribute(Py_TYPE(self), name);
    if (known < 0) return nullptr;
    if (!known) return read_field(self, name);
  }
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return read_field(self, name);
}

int wrapper_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (!value) return PyObject_GenericSetAttr(self, name, nullptr);  // deletion is not redirected
  PyRef core = PyRef::borrow(core_of(self));
  if (!core) return -1;
  PyRef field(field_name_for(state_of(self), core.get(), name));
  const int done = field ? PyObject_SetItem(core.get(), field.get(), value) : -1;
  if (done < 0 && PyErr_ExceptionMatches(PyExc_AttributeError)) respell_suggestions_as_attributes();
  return done;
}

PyObject* wrapper_getattr_method(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    raise_argument_type("name", "str", name);
    return nullptr;
  }
  return read_field(self, name);
}

PyObject* wrapper_repr(PyObject* self) { return PyObject_Repr(as_wrapper(self)->core_obj); }

PyMethodDef kWrapperMethods[] = {
    {"__getattr__", wrapper_getattr_method, METH_O,
     "__getattr__($self, name, /)\n--\n\nRead the field that an attribute name stands for."},
    {"__reduce__", wrapper_reduce, METH_NOARGS, "Pickle support."},
    {"__setstate__", wrapper_setstate, METH_O, "Pickle support: restore the fields from a state tuple."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWrapperSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(one_field_new<WrapperInstance, &WrapperInstance::core_obj>)},
    {Py_tp_init, reinterpret_cast<void*>(ignore_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(one_field_dealloc<WrapperInstance, &WrapperInstance::core_obj>)},
    {Py_tp_traverse, reinterpret_cast<void*>(one_field_traverse<WrapperInstance, &WrapperInstance::core_obj>)},
    {Py_tp_clear, reinterpret_cast<void*>(one_field_clear<WrapperInstance, &WrapperInstance::core_obj>)},
    {Py_tp_getattro, reinterpret_cast<void*>(wrapper_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(wrapper_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(wrapper_repr)},
    {Py_tp_methods, kWrapperMethods},
    {Py_tp_doc, const_cast<char*>("An object of a model whose fields read and write as attributes: obj.Zone_Name.")},
    {0, nullptr},
};

PyType_Spec kWrapperSpec = {
    "quarvel.olvane.IDFObject", sizeof(WrapperInstance), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kWrapperSlots,
};

// ---- proxy ----

PyObject* proxy_subscript(PyObject* self, PyObject* class_name) {
  if (!check_exact_str_or_none(class_name, "class_name")) return nullptr;
  PyObject* parent = as_proxy(self)->parent;
  if (parent == Py_None) {
    PyErr_SetString(PyExc_AttributeError, messages::kProxyServesNothing);
    return nullptr;
  }
  PyObject* core = as_facade(parent)->core_idf;
  const State& st = state_of(self);
  if (!PyObject_TypeCheck(core, st.core->IDF_type)) {
    PyErr_Format(PyExc_AttributeError, messages::kNoGetObjectsRaw, Py_TYPE(core)->tp_name);
    return nullptr;
  }
  PyRef found(st.core->idf_ops->get_objects_raw(reinterpret_cast<IDFInstance*>(core), class_name));
  if (!found) return nullptr;
  PyRef list(PyList_CheckExact(found.get()) ? found.release() : PySequence_List(found.get()));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!check_type_or_none(item, st.core->IDFObject_type)) return nullptr;
    PyObject* wrapper = new_wrapper(st, item);
    if (!wrapper) return nullptr;
    PyList_SetItem(list.get(), i, wrapper);
  }
  return list.release();
}

PyObject* proxy_sq_item(PyObject* self, Py_ssize_t i) {
  PyRef key(PyLong_FromSsize_t(i));
  return key ? proxy_subscript(self, key.get()) : nullptr;
}

PyMethodDef kProxyMethods[] = {
    {"__reduce__", proxy_reduce, METH_NOARGS, "Pickle support."},
    {"__setstate__", proxy_setstate, METH_O, "Pickle support: restore the fields from a state tuple."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kProxySlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(one_field_new<ProxyInstance, &ProxyInstance::parent>)},
    {Py_tp_init, reinterpret_cast<void*>(ignore_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(one_field_dealloc<ProxyInstance, &ProxyInstance::parent>)},
    {Py_tp_traverse, reinterpret_cast<void*>(one_field_traverse<ProxyInstance, &ProxyInstance::parent>)},
    {Py_tp_clear, reinterpret_cast<void*>(one_field_clear<ProxyInstance, &ProxyInstance::parent>)},
    {Py_mp_subscript, reinterpret_cast<void*>(proxy_subscript)},
    {Py_sq_item, reinterpret_cast<void*>(proxy_sq_item)},
    {Py_tp_methods, kProxyMethods},
    {Py_tp_doc, const_cast<char*>("The objects of a model by class: proxy[class_name] lists them as IDFObjects.")},
    {0, nullptr},
};

PyType_Spec kProxySpec = {
    "quarvel.olvane.IDFObjectsProxy", sizeof(ProxyInstance), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kProxySlots,
};

}  // namespace

PyTypeObject* create_wrapper_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kWrapperSpec, nullptr));
}

PyTypeObject* create_proxy_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kProxySpec, nullptr));
}

void wrapper_c_init(WrapperInstance* self, PyObject* core_obj) { Py_XSETREF(self->core_obj, Py_NewRef(core_obj)); }

void proxy_c_init(ProxyInstance* self, PyObject* parent) { Py_XSETREF(self->parent, Py_NewRef(parent)); }

PyObject* new_wrapper(const State& st, PyObject* core_obj) {
  PyObject* self = st.wrapper_type->tp_alloc(st.wrapper_type, 0);
  if (!self) return nullptr;
  as_wrapper(self)->core_obj = Py_NewRef(core_obj);
  return self;
}

PyObject* new_proxy(const State& st, PyObject* parent) {
  PyObject* self = st.proxy_type->tp_alloc(st.proxy_type, 0);
  if (!self) return nullptr;
  as_proxy(self)->parent = Py_NewRef(Py_None);
  proxy_c_init(as_proxy(self), parent);
  return self;
}

}  // namespace quarvel::olvane
