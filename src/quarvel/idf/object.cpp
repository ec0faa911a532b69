// The IDFObject type: one object of a model, or a standalone one.
#include "core.hpp"
#include "quarvel/messages.hpp"

#include <new>

namespace quarvel::idf {

namespace {

PyObject* object_new(PyTypeObject* type, PyObject*, PyObject*) {
  return reinterpret_cast<PyObject*>(new_bare_object(type));
}

void object_dealloc(PyObject* self) {
  IDFObjectInstance* o = as_object(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  Py_CLEAR(o->idd);
  Py_CLEAR(o->parent_idf);
  Py_CLEAR(o->class_name);
  o->c_class_name.~basic_string();
  o->values.~vector();
  o->comments.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

int object_traverse(PyObject* self, visitproc visit, void* arg) {
  IDFObjectInstance* o = as_object(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(o->idd);
  Py_VISIT(o->parent_idf);
  return 0;
}

int object_clear(PyObject* self) {
  IDFObjectInstance* o = as_object(self);
  Py_XSETREF(o->idd, Py_NewRef(Py_None));
  Py_XSETREF(o->parent_idf, Py_NewRef(Py_None));
  return 0;
}

PyObject* object_get_class_name(PyObject* self, void*) { return Py_NewRef(as_object(self)->class_name); }

// len(obj): the number of stored values. An object stays true with none, as before.
Py_ssize_t object_length(PyObject* self) { return static_cast<Py_ssize_t>(as_object(self)->values.size()); }
int object_is_true(PyObject*) { return 1; }

PyObject* object_get_line(PyObject* self, void*) {
  const int64_t line = as_object(self)->line;
  return line > 0 ? PyLong_FromLongLong(line) : Py_NewRef(Py_None);
}

PyObject* object_setitem_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    raise_argument_count("__setitem__", 2, 2, nargs);
    return nullptr;
  }
  if (object_setitem(self, args[0], args[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"__getitem__", object_getitem, METH_O,
     "__getitem__($self, key, /)\n--\n\n"
     "Get field value by key\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n\n"
     "Returns:\n"
     "    str | int | float | None: field value based on field_type\n"},
    {"__setitem__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_setitem_method)), METH_FASTCALL,
     "__setitem__($self, key, value, /)\n--\n\n"
     "Set field value by key\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n"
     "    value (bool | int | float | str | None): field value\n"},
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_init_method)),
     METH_VARARGS | METH_KEYWORDS,
     "__init__($self, /, idd, class_name)\n--\n\n"
     "Python-level initialization\n\n"
     "Args:\n"
     "    idd (IDD): IDD data structure\n"
     "    class_name (str): class name (case-insensitive)\n"},
    {"get_values", object_get_values, METH_NOARGS,
     "get_values($self)\n--\n\n"
     "Get all field values as list\n\n"
     "Returns:\n"
     "    list[str | int | float | None]: list of field values based on field_types\n"},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_update)),
     METH_FASTCALL | METH_KEYWORDS,
     "update($self, /, values, trim_empty_trails=True)\n--\n\n"
     "Update multiple field values\n\n"
     "Args:\n"
     "    values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    trim_empty_trails (bool, optional): Whether to trim trailing empty fields\n"},
    {"get_referenced_object",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_get_referenced_object)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_referenced_object($self, /, key)\n--\n\n"
     "Return objects referenced by this object.\n\n"
     "Follows a referring field forward, e.g. the Zone Name field of a\n"
     "BuildingSurface:Detailed object leads to its Zone object.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObject | None: the referenced object, or None\n"},
    {"get_referencing_objects",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_get_referencing_objects)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_referencing_objects($self, /, key)\n--\n\n"
     "Return objects that are referencing this object.\n\n"
     "Follows a name field backward, e.g. the Name field of a Zone leads to the\n"
     "BuildingSurface:Detailed, People, Lights and Sizing:Zone objects of that zone.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: objects whose fields refer to this object's name\n"},
    {"__reduce__", object_reduce, METH_NOARGS, "Pickle support."},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "Pickle support: restore the members from a state tuple."},
    {"__copy__", object_copy, METH_NOARGS,
     "__copy__($self)\n--\n\nA standalone copy of the object: same class and values, belonging to no model."},
    {"__deepcopy__", object_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA copy of the object; an object of a model is copied with its model."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* object_get_idd(PyObject* self, void*) { return Py_NewRef(as_object(self)->idd); }

PyGetSetDef kGetSet[] = {
    {"idd", object_get_idd, nullptr, "The schema (IDD) of the object, or None.", nullptr},
    {"class_name", object_get_class_name, nullptr, "The class name as the schema spells it.", nullptr},
    {"line", object_get_line, nullptr,
     "The line on which the object began in the text it was loaded from; None for an object made in code.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(object_new)},
    {Py_tp_init, reinterpret_cast<void*>(object_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(object_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(object_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(object_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(object_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_mp_subscript, reinterpret_cast<void*>(object_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(object_setitem)},
    {Py_sq_item, reinterpret_cast<void*>(object_sq_item)},
    {Py_sq_ass_item, reinterpret_cast<void*>(object_sq_ass_item)},
    {Py_sq_length, reinterpret_cast<void*>(object_length)},
    {Py_mp_length, reinterpret_cast<void*>(object_length)},
    {Py_nb_bool, reinterpret_cast<void*>(object_is_true)},
    {Py_tp_doc, const_cast<char*>("One object of an IDF model (or a standalone one): a class and its field values.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quarvel.idf.IDFObject", sizeof(IDFObjectInstance), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_MANAGED_WEAKREF, kSlots,
};

}  // namespace

PyTypeObject* create_object_type(PyObject* module, const TypeExtras& extras) {
  return type_from_spec(module, kSpec, extras, nullptr);
}

IDFObjectInstance* new_bare_object(PyTypeObject* type) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  IDFObjectInstance* o = as_object(self);
  o->idd = Py_NewRef(Py_None);
  o->parent_idf = Py_NewRef(Py_None);
  o->class_idx = 0;
  new (&o->c_class_name) std::string();
  o->class_name = Py_NewRef(Py_None);
  new (&o->values) std::vector<std::string>();
  new (&o->comments) std::unique_ptr<ObjectComments>();
  o->obj_idx = 0;
  o->line = 0;
  return o;
}

int object_c_init(IDFObjectInstance* self, PyObject* idd, PyObject* parent_idf, size_t class_idx,
                  std::vector<std::string>& values) {
  Py_XSETREF(self->idd, Py_NewRef(idd));
  Py_XSETREF(self->parent_idf, Py_NewRef(parent_idf));
  const auto* schema = reinterpret_cast<IDDInstance*>(idd);
  if (!state_of(self).is_idd(idd) || class_idx >= schema->c_idd.ordered_classes.size()) {
    PyErr_Format(PyExc_ValueError, messages::kClassIndexOutOfBounds, class_idx);
    return -1;
  }
  try {
    const std::string& name = schema->c_idd.ordered_classes[class_idx].name;
    if (self->c_class_name != name) self->c_class_name = name;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  self->class_idx = class_idx;
  PyObject* name = PyTuple_GET_ITEM(schema->class_name_strs, static_cast<Py_ssize_t>(class_idx));
  Py_XSETREF(self->class_name, Py_NewRef(name));
  self->values.swap(values);
  values.clear();
  return 0;
}

const ClassDef& class_of(IDFObjectInstance* self) {
  if (!state_of(self).is_idd(self->idd)) {
    raise(PyExc_ValueError, messages::kObjectWithoutSchema);
  }
  if (self->class_idx >= schema_of(self->idd).ordered_classes.size()) {
    raise_format(PyExc_ValueError, messages::kClassIndexOutOfBounds, self->class_idx);
  }
  return get_class_def(self);
}

}  // namespace quarvel::idf
