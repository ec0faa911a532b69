// The model facade IDF: a process-wide schema set by file name, and models opened by
// file name against it, every operation delegated to one core model. The members of the
// vocabulary that are plain compositions of core calls (text, saving, lookups by kind)
// are written in Python and installed on the type at import (quarvel._vocabulary).
#include "compat.hpp"
#include "quarvel/messages.hpp"

namespace quarvel::olvane {

namespace {

PyObject* facade_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  as_facade(self)->core_idf = Py_NewRef(Py_None);
  as_facade(self)->idfobjsproxy = Py_NewRef(Py_None);
  return self;
}

int facade_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_facade(self)->core_idf);
  Py_VISIT(as_facade(self)->idfobjsproxy);
  return 0;
}

int facade_clear(PyObject* self) {
  Py_XSETREF(as_facade(self)->core_idf, Py_NewRef(Py_None));
  Py_XSETREF(as_facade(self)->idfobjsproxy, Py_NewRef(Py_None));
  return 0;
}

void facade_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_facade(self)->core_idf);
  Py_CLEAR(as_facade(self)->idfobjsproxy);
  type->tp_free(self);
  Py_DECREF(type);
}

// Arguments: (name, ...) with further positional and keyword arguments ignored.
const char* const kIddNameNames[] = {"iddname"};

PyObject* facade_setiddname(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const State& st = state_of(reinterpret_cast<PyTypeObject*>(cls));
  PyObject* iddname;
  const Signature sig = {"setiddname", kIddNameNames, 1, 1, 1, true};
  if (bind_arguments(sig, args, nargs, kwnames, &iddname) < 0) return nullptr;
  PyRef text(PyUnicode_CheckExact(iddname) ? Py_NewRef(iddname) : PyObject_Str(iddname));
  if (!text || set_module_variable(st, "shared_iddname", text.get()) < 0) return nullptr;
  PyRef schema(PyObject_CallMethod(reinterpret_cast<PyObject*>(st.schema->IDD_type), "from_file", "O", iddname));
  if (!schema || !check_type_or_none(schema.get(), st.schema->IDD_type)) return nullptr;
  if (set_module_variable(st, "shared_idd", schema.get()) < 0 || build_field_key_to_name_dict(st) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* facade_getiddname(PyObject* cls, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (bind_no_arguments("getiddname", nargs, kwnames) < 0) return nullptr;
  return Py_XNewRef(module_variable(state_of(reinterpret_cast<PyTypeObject*>(cls)), "shared_iddname"));
}

// With no schema set, a file that holds objects cannot load; the core says so in
// terms of its own argument (SchemaNeededError), this says what to do about it.
void explain_missing_schema(const State& st, PyObject* schema) {
  if (schema != Py_None || !PyErr_ExceptionMatches(st.core->SchemaNeededError)) return;
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetString(st.core->SchemaNeededError,
                  "No schema is set: call IDF.setiddname() with the IDD file before opening a model with objects");
  PyObject* error = PyErr_GetRaisedException();
  PyException_SetCause(error, cause);
  PyErr_SetRaisedException(error);
}

int facade_init(PyObject* self, PyObject* args, PyObject* kwds) {
  PyRef idfname;
  if (args && PyTuple_GET_SIZE(args) > 0) {
    idfname = PyRef::borrow(PyTuple_GET_ITEM(args, 0));
  } else if (kwds) {
    PyObject* given = nullptr;
    if (PyDict_GetItemStringRef(kwds, "idfname", &given) < 0) return -1;
    idfname = PyRef(given);
  }
  if (!idfname) {
    raise_argument_count("__init__", 1, PY_SSIZE_T_MAX, 0);
    return -1;
  }
  const State& st = state_of(self);
  PyObject* schema = module_variable(st, "shared_idd");
  if (!schema) return -1;
  PyRef core(PyObject_CallMethod(reinterpret_cast<PyObject*>(st.core->IDF_type), "from_file", "OO", schema,
                                 idfname.get()));
  if (!core) {
    explain_missing_schema(st, schema);
    return -1;
  }
  if (!check_type_or_none(core.get(), st.core->IDF_type)) return -1;
  PyRef proxy(new_proxy(st, self));
  if (!proxy) return -1;
  FacadeInstance* f = as_facade(self);
  Py_XSETREF(f->core_idf, core.release());
  Py_XSETREF(f->idfobjsproxy, proxy.release());
  return 0;
}

PyObject* facade_newidfobject(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1 || nargs > 2) {
    // the class name may still come by keyword
    bool named = false;
    for (Py_ssize_t k = 0; kwnames && k < PyTuple_GET_SIZE(kwnames); ++k) {
      named = named || PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "class_name") == 0;
    }
    if (nargs > 2 || !named) {
      raise_argument_count("newidfobject", 1, 2, nargs);
      return nullptr;
    }
  }
  PyObject* class_name = nargs > 0 ? args[0] : nullptr;
  PyObject* defaultvalues = nargs > 1 ? args[1] : nullptr;
  PyRef fields(PyDict_New());
  if (!fields) return nullptr;
  for (Py_ssize_t k = 0; kwnames && k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    PyObject** slot = nullptr;
    if (PyUnicode_CompareWithASCIIString(key, "class_name") == 0) {
      slot = &class_name;
    } else if (PyUnicode_CompareWithASCIIString(key, "defaultvalues") == 0) {
      slot = &defaultvalues;
    }
    if (!slot) {
      if (PyDict_SetItem(fields.get(), key, value) < 0) return nullptr;
      continue;
    }
    if (*slot) {
      PyErr_Format(PyExc_TypeError, messages::kNewidfobjectMultipleValues, key);
      return nullptr;
    }
    *slot = value;
  }
  if (!check_exact_str_or_none(class_name, "class_name")) return nullptr;
  const int defaults = defaultvalues ? PyObject_IsTrue(defaultvalues) : 1;
  if (defaults < 0) return nullptr;
  const State& st = state_of(self);
  PyRef wrapper(new_wrapper(st, Py_None));
  if (!wrapper) return nullptr;
  PyRef initial(PyDict_New());
  if (!initial) return nullptr;
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(fields.get(), &pos, &name, &value)) {
    PyRef field_name(resolve_field_key_to_field_name(st, class_name, name));
    if (!field_name || PyDict_SetItem(initial.get(), field_name.get(), value) < 0) return nullptr;
  }
  PyRef method(PyObject_GetAttrString(as_facade(self)->core_idf, "add_object"));
  if (!method) return nullptr;
  PyRef call_args(PyTuple_Pack(1, class_name));
  PyRef call_kwargs(Py_BuildValue("{s:O,s:O}", "initial_values", initial.get(), "default_values",
                                  defaults ? Py_True : Py_False));
  if (!call_args || !call_kwargs) return nullptr;
  PyRef core_obj(PyObject_Call(method.get(), call_args.get(), call_kwargs.get()));
  if (!core_obj || !check_type_or_none(core_obj.get(), st.core->IDFObject_type)) return nullptr;
  wrapper_c_init(as_wrapper(wrapper.get()), core_obj.get());
  return wrapper.release();
}

const char* const kGetObjectNames[] = {"key", "name"};
const Signature kGetObjectSig = {"getobject", kGetObjectNames, 2, 2, 2};

PyObject* facade_getobject(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kGetObjectSig, args, nargs, kwnames, a) < 0) return nullptr;
  if (!check_exact_str_or_none(a[0], "key") || !check_exact_str_or_none(a[1], "name")) return nullptr;
  PyRef found(PyObject_CallMethod(as_facade(self)->core_idf, "get_object_by_name", "OO", a[0], a[1]));
  if (!found) return nullptr;
  if (found.get() == Py_None) Py_RETURN_NONE;
  const State& st = state_of(self);
  if (!check_type_or_none(found.get(), st.core->IDFObject_type)) return nullptr;
  return new_wrapper(st, found.get());
}

const char* const kRemoveNames[] = {"idfobject"};
const Signature kRemoveSig = {"removeidfobject", kRemoveNames, 1, 1, 1};

PyObject* facade_removeidfobject(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* wrapper;
  if (bind_arguments(kRemoveSig, args, nargs, kwnames, &wrapper) < 0) return nullptr;
  const State& st = state_of(self);
  if (wrapper != Py_None && !PyObject_TypeCheck(wrapper, st.wrapper_type)) {
    raise_argument_type("idfobject", st.wrapper_type->tp_name, wrapper);
    return nullptr;
  }
  // None, and a wrapper without an object, pass None on: the core refuses it.
  PyRef core_obj = PyRef::borrow(wrapper == Py_None ? Py_None : as_wrapper(wrapper)->core_obj);
  PyRef done(PyObject_CallMethod(as_facade(self)->core_idf, "remove_object", "O", core_obj.get()));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

const char* const kRemoveAllNames[] = {"class_name"};
const Signature kRemoveAllSig = {"removeallidfobjects", kRemoveAllNames, 1, 1, 1};

PyObject* facade_removeallidfobjects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* class_name;
  if (bind_arguments(kRemoveAllSig, args, nargs, kwnames, &class_name) < 0) return nullptr;
  if (!check_exact_str_or_none(class_name, "class_name")) return nullptr;
  PyRef done(PyObject_CallMethod(as_facade(self)->core_idf, "remove_all_objects", "O", class_name));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* facade_repr(PyObject* self) { return PyObject_Repr(as_facade(self)->core_idf); }

PyObject* facade_get_idfobjects(PyObject* self, void*) { return Py_NewRef(as_facade(self)->idfobjsproxy); }

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"setiddname", fast(facade_setiddname), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "setiddname($type, /, iddname, *args, **kwargs)\n--\n\n"
     "Set the schema (IDD file) for the whole process; further arguments are ignored."},
    {"getiddname", fast(facade_getiddname), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "getiddname($type)\n--\n\nThe name of the schema file last set with setiddname (a str)."},
    {"newidfobject", fast(facade_newidfobject), METH_FASTCALL | METH_KEYWORDS,
     "newidfobject($self, /, class_name, defaultvalues=True, **kwargs)\n--\n\n"
     "Add a new idfobject to the model."},
    {"getobject", fast(facade_getobject), METH_FASTCALL | METH_KEYWORDS,
     "getobject($self, /, key, name)\n--\n\nFetch an IDF object given key and name."},
    {"removeidfobject", fast(facade_removeidfobject), METH_FASTCALL | METH_KEYWORDS,
     "removeidfobject($self, /, idfobject)\n--\n\nRemove an IDF object from the IDF."},
    {"removeallidfobjects", fast(facade_removeallidfobjects), METH_FASTCALL | METH_KEYWORDS,
     "removeallidfobjects($self, /, class_name)\n--\n\nRemove all IDF object of a certain type from the IDF."},
    {"__reduce__", facade_reduce, METH_NOARGS, "Pickle support."},
    {"__setstate__", facade_setstate, METH_O, "Pickle support: restore the fields from a state tuple."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"idfobjects", facade_get_idfobjects, nullptr, "The objects of the model by class: idfobjects[class_name].",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(facade_new)},
    {Py_tp_init, reinterpret_cast<void*>(facade_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(facade_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(facade_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(facade_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(facade_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("A model opened by file name against the schema set with IDF.setiddname().")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quarvel.olvane.IDF", sizeof(FacadeInstance), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kSlots,
};

}  // namespace

PyTypeObject* create_facade_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
}

}  // namespace quarvel::olvane
