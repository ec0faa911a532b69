// The IDF model type: construction, loading and the object list.
#include "core.hpp"

#include <new>

namespace quarvel::idf {

namespace {

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  IDFModel* m = as_model(self);
  m->idd = Py_NewRef(Py_None);
  m->objects = Py_NewRef(Py_None);
  new (&m->objects_index_map) ClassIndex();
  new (&m->targets) RefIndex();
  new (&m->referencers) RefIndex();
  new (&m->name_index) ClassIndex();
  m->name_index_ready = false;
  return self;
}

void model_dealloc(PyObject* self) {
  IDFModel* m = as_model(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  Py_CLEAR(m->idd);
  Py_CLEAR(m->objects);
  m->objects_index_map.~ClassIndex();
  m->targets.~RefIndex();
  m->referencers.~RefIndex();
  m->name_index.~ClassIndex();
  type->tp_free(self);
  Py_DECREF(type);
}

int model_traverse(PyObject* self, visitproc visit, void* arg) {
  IDFModel* m = as_model(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(m->idd);
  Py_VISIT(m->objects);
  return 0;
}

int model_clear(PyObject* self) {
  IDFModel* m = as_model(self);
  Py_XSETREF(m->idd, Py_NewRef(Py_None));
  Py_XSETREF(m->objects, Py_NewRef(Py_None));
  return 0;
}

const char kInitDoc[] = "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string().";

int refuse_construction(PyObject* args, PyObject* kwds) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > 0) {
    raise_argument_count("__init__", 0, 0, nargs);
    return -1;
  }
  if (kwds && PyDict_GET_SIZE(kwds) > 0) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyDict_Next(kwds, &pos, &key, &value);
    PyErr_Format(PyExc_TypeError, "__init__() got an unexpected keyword argument '%S'", key);
    return -1;
  }
  PyErr_SetString(PyExc_TypeError, kInitDoc);
  return -1;
}

int model_init(PyObject*, PyObject* args, PyObject* kwds) { return refuse_construction(args, kwds); }

PyObject* model_init_method(PyObject*, PyObject* args, PyObject* kwds) {
  refuse_construction(args, kwds);
  return nullptr;
}

bool check_idd_argument(PyObject* idd) {
  if (idd == Py_None || is_idd(idd)) return true;
  raise_argument_type("idd", g.schema->IDD_type->tp_name, idd);
  return false;
}

// cls.__new__(cls), which must give an IDF.
PyObject* new_bare_model(PyObject* cls) {
  PyRef model(PyObject_CallMethod(cls, "__new__", "O", cls));
  if (!model) return nullptr;
  if (!is_model(model.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__() returned %.200s, not an IDF", reinterpret_cast<PyTypeObject*>(cls)->tp_name,
                 Py_TYPE(model.get())->tp_name);
    return nullptr;
  }
  return model.release();
}

const char* const kFromFileNames[] = {"idd", "filepath", "encoding"};
const Signature kFromFileSig = {"from_file", kFromFileNames, 3, 2, 3};

PyObject* model_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (bind_arguments(kFromFileSig, args, nargs, kwnames, a) < 0) return nullptr;
  PyObject* encoding = a[2] ? a[2] : Py_None;
  if (!check_idd_argument(a[0]) || !check_exact_str_or_none(encoding, "encoding")) return nullptr;
  PyRef raw(g.utils->read_utf8_bytes(a[1], encoding));
  if (!raw) return nullptr;
  PyRef model(new_bare_model(cls));
  if (!model || model_c_init(as_model(model.get()), a[0], raw.get()) < 0) return nullptr;
  return model.release();
}

const char* const kFromStringNames[] = {"idd", "content"};
const Signature kFromStringSig = {"from_string", kFromStringNames, 2, 2, 2};

PyObject* model_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kFromStringSig, args, nargs, kwnames, a) < 0) return nullptr;
  if (!check_idd_argument(a[0]) || !check_exact_str_or_none(a[1], "content")) return nullptr;
  PyRef model(new_bare_model(cls));
  if (!model) return nullptr;
  if (a[1] == Py_None) {
    raise_none_has_no_encode();
    return nullptr;
  }
  PyRef raw(PyUnicode_AsUTF8String(a[1]));
  if (!raw || model_c_init(as_model(model.get()), a[0], raw.get()) < 0) return nullptr;
  return model.release();
}

PyMethodDef kMethods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_init_method)),
     METH_VARARGS | METH_KEYWORDS, kInitDoc},
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_from_file)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file(idd, filepath, encoding=None)\n--\n\n"
     "Parse IDF file\n\n"
     "Args:\n"
     "    idd (IDD): IDD data structure\n"
     "    filepath (str | PathLike): IDF file path\n"
     "    encoding (str, optional): IDF file encoding\n\n"
     "Returns:\n"
     "    IDF: parsed IDF data\n"},
    {"from_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_from_string)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_string(idd, content)\n--\n\n"
     "Parse IDF from string\n\n"
     "Args:\n"
     "    idd (IDD): IDD data structure\n"
     "    content (str): IDF string\n\n"
     "Returns:\n"
     "    IDF: parsed IDF data\n"},
    {"__getitem__", model_subscript, METH_O,
     "__getitem__(class_name, /)\n--\n\n"
     "Get tuple of IDFObjects from class name\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: tuple of IDFObjects\n"},
    {"get_objects", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_get_objects)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_objects(class_name)\n--\n\n"
     "Get tuple of IDFObjects from class name.\n\n"
     "Alias of IDF[class_name]\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: tuple of IDFObjects\n"},
    {"get_object_by_name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_get_object_by_name)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_object_by_name(class_name, obj_name)\n--\n\n"
     "Get object by first field (likely name)\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    obj_name (str): object name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObject | None: the first matching object, or None\n"},
    {"get_class_names", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_get_class_names)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_class_names()\n--\n\n"
     "Get list of class names\n\n"
     "Returns:\n"
     "    list[str]: names of the classes that have objects, in no particular order\n"},
    {"find_dangling_references",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_find_dangling_references)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_dangling_references()\n--\n\n"
     "Find referring fields whose value names no object\n\n"
     "A field that refers through one or more object lists dangles when no object\n"
     "declares its value under any of them. Answered from the reference index.\n\n"
     "Returns:\n"
     "    list[tuple[IDFObject, int]]: (object, field index) pairs, in model order\n"},
    {"add_object", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_add_object)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_object(class_name, initial_values=None, default_values=True)\n--\n\n"
     "Add object to IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    initial_values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    default_values (bool): Whether to include default values\n\n"
     "Returns:\n"
     "    IDFObject: the new object\n"},
    {"remove_object", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_remove_object)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_object(obj)\n--\n\n"
     "Remove object from IDF\n\n"
     "Args:\n"
     "    obj (IDFObject): an object of this model\n"},
    {"remove_all_objects", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_remove_all_objects)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_all_objects(class_name)\n--\n\n"
     "Remove all objects of a certain class from IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    int: Number of objects removed. 0 if class was not found.\n"},
    {"format", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_format)),
     METH_FASTCALL | METH_KEYWORDS,
     "format(class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, preserve_order=False)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n\n"
     "Returns:\n"
     "    str: IDF str\n"},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_save)), METH_FASTCALL | METH_KEYWORDS,
     "save(output_path, class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, "
     "preserve_order=False, include_timestamp=True)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n"
     "    output_path (str | bytes | PathLike): output file path\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n"
     "    include_timestamp (bool): Whether to include timestamp\n"},
    {"__reduce__", model_reduce, METH_NOARGS, "Pickle support."},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "Pickle support: restore the members from a state tuple."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_init, reinterpret_cast<void*>(model_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(model_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(model_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr)},
    {Py_tp_methods, kMethods},
    {Py_mp_subscript, reinterpret_cast<void*>(model_subscript)},
    {Py_sq_item, reinterpret_cast<void*>(model_sq_item)},
    {Py_tp_doc, const_cast<char*>("An IDF model: the objects of one IDF text, loaded against a schema (IDD).")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quarvel.idf.IDF", sizeof(IDFModel), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_MANAGED_WEAKREF, kSlots,
};

}  // namespace

PyTypeObject* create_model_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
}

bool utf8_of(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool model_has_objects(IDFModel* self) {
  for (const auto& [key, positions] : self->objects_index_map) {
    if (!positions.empty()) return true;
  }
  return false;
}

bool model_ready(IDFModel* self) {
  // A text without objects loads without a schema; such a model can still be written.
  if (PyList_Check(self->objects) && (is_idd(self->idd) || !model_has_objects(self))) return true;
  PyErr_SetString(PyExc_ValueError, "IDF model is not loaded: it has no schema or no object list; "
                                    "use IDF.from_file() or IDF.from_string()");
  return false;
}

IDFObjectObj* object_at(IDFModel* self, size_t pos, bool& failed) {
  failed = false;
  PyObject* objects = self->objects;
  if (!PyList_Check(objects)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(objects)->tp_name);
    failed = true;
    return nullptr;
  }
  if (pos >= static_cast<size_t>(PyList_GET_SIZE(objects))) {
    PyErr_Format(PyExc_IndexError, "object position %zu is beyond the model's object list", pos);
    failed = true;
    return nullptr;
  }
  PyObject* item = PyList_GET_ITEM(objects, static_cast<Py_ssize_t>(pos));
  if (item == Py_None) return nullptr;
  if (!is_object(item)) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(item)->tp_name, g.IDFObject_type->tp_name);
    failed = true;
    return nullptr;
  }
  return as_object(item);
}

int raise_parse_failure(const ParseFailure& failure) {
  switch (failure.kind) {
    case ParseFailure::kNone:
      return 0;
    case ParseFailure::kNoMemory:
      PyErr_NoMemory();
      break;
    case ParseFailure::kUnterminated:
      PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): unterminated object before EOF; missing ';'.",
                   failure.line);
      break;
    case ParseFailure::kTokenError: {
      PyRef text(str_from(failure.text));
      if (text) PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): %R", failure.line, text.get());
      break;
    }
    case ParseFailure::kMissingDelimiter: {
      PyRef text(str_from(failure.text));
      if (text) PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): missing delimiter before '%U'.",
                             failure.line, text.get());
      break;
    }
    case ParseFailure::kUnknownToken:
      PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): unrecognized token type '%d'.", failure.line,
                   failure.token_type);
      break;
  }
  return -1;
}

int model_c_init(IDFModel* self, PyObject* idd, PyObject* idf_content) {
  Py_XSETREF(self->idd, Py_NewRef(idd));
  PyObject* objects = PyList_New(0);
  if (!objects) return -1;
  Py_XSETREF(self->objects, objects);

  PyTypeObject* lexer_type = g.lexer->Lexer_type;
  PyRef empty(PyTuple_New(0));
  if (!empty) return -1;
  PyRef lexer(lexer_type->tp_new(lexer_type, empty.get(), nullptr));
  if (!lexer) return -1;
  auto* lx = reinterpret_cast<LexerObject*>(lexer.get());
  g.lexer->ops->c_init(lx, idf_content, 0);

  std::vector<c_IDFObject> c_objects;
  ParseFailure failure;
  Py_BEGIN_ALLOW_THREADS
  failure = parse_idf(lx, c_objects);
  Py_END_ALLOW_THREADS
  if (failure.kind != ParseFailure::kNone) return raise_parse_failure(failure);
  if (idd == Py_None && !c_objects.empty()) {
    PyErr_SetString(PyExc_TypeError, "Argument 'idd' is None, but a schema (IDD) is needed to load objects");
    return -1;
  }
  build_objects(self, c_objects);
  return PyErr_Occurred() ? -1 : 0;
}

void build_objects(IDFModel* self, std::vector<c_IDFObject>& c_idf_objects) {
  if (c_idf_objects.empty()) return;
  if (!PyList_Check(self->objects) || !is_idd(self->idd)) {
    PyErr_SetString(PyExc_TypeError, "objects can only be built into a model with a schema and an object list");
    return;
  }
  guard(
      [&] {
        const c_IDD& schema = schema_of(self->idd);
        std::string search_key;
        for (c_IDFObject& c_object : c_idf_objects) {
          search_key.assign(c_object.class_name);
          for (char& c : search_key) c = ascii_upper(c);
          const auto found = schema.class_map.find(search_key);
          if (found == schema.class_map.end()) {
            PyErr_Format(PyExc_ValueError, "IDF parsing error: Unknown class: '%s'", c_object.class_name.c_str());
            return 0;
          }
          const size_t class_idx = found->second;
          PyRef obj(reinterpret_cast<PyObject*>(new_bare_object(g.IDFObject_type)));
          if (!obj) return 0;
          IDFObjectObj* o = as_object(obj.get());
          // A class written as the schema spells it hands its name over, saving a copy.
          if (c_object.class_name == schema.ordered_classes[class_idx].name) o->c_class_name.swap(c_object.class_name);
          if (object_c_init(o, self->idd, reinterpret_cast<PyObject*>(self), class_idx, c_object.values) < 0) return 0;
          o->obj_idx = static_cast<size_t>(PyList_GET_SIZE(self->objects));
          if (PyList_Append(self->objects, obj.get()) < 0) return 0;
          auto positions = self->objects_index_map.find(search_key);
          if (positions == self->objects_index_map.end()) {
            positions = self->objects_index_map.try_emplace(std::string_view(search_key)).first;
          }
          positions->second.push_back(o->obj_idx);
          register_object_fields(self, o, schema.ordered_classes[class_idx]);
        }
        return 0;
      },
      0);
}

}  // namespace quarvel::idf
