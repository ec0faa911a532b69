// The IDF model type: construction, loading and the object list.
#include "core.hpp"
#include "quarvel/messages.hpp"

#include <new>

namespace quarvel::idf {

namespace {

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  IDFInstance* m = as_model(self);
  m->idd = Py_NewRef(Py_None);
  m->objects = Py_NewRef(Py_None);
  new (&m->objects_index_map) ClassIndex();
  new (&m->targets) RefIndex();
  new (&m->referencers) RefIndex();
  new (&m->name_index) NameTable();
  new (&m->comments) std::unique_ptr<ModelComments>();
  m->name_index_ready = false;
  m->readers = 0;
  m->memo = nullptr;
  return self;
}

void model_dealloc(PyObject* self) {
  IDFInstance* m = as_model(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  Py_CLEAR(m->idd);
  Py_CLEAR(m->objects);
  Py_CLEAR(m->memo);
  m->objects_index_map.~ClassIndex();
  m->targets.~RefIndex();
  m->referencers.~RefIndex();
  m->name_index.~NameTable();
  m->comments.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

int model_traverse(PyObject* self, visitproc visit, void* arg) {
  IDFInstance* m = as_model(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(m->idd);
  Py_VISIT(m->objects);
  Py_VISIT(m->memo);
  return 0;
}

int model_clear(PyObject* self) {
  IDFInstance* m = as_model(self);
  Py_XSETREF(m->idd, Py_NewRef(Py_None));
  Py_XSETREF(m->objects, Py_NewRef(Py_None));
  Py_CLEAR(m->memo);
  return 0;
}

const char* const kInitDoc = messages::kInitRefused;

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
    PyErr_Format(PyExc_TypeError, messages::kInitUnexpectedKeyword, key);
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

void check_idd_argument(const State& st, PyObject* idd) {
  if (idd == Py_None || st.is_idd(idd)) return;
  raise_argument_type("idd", st.schema->IDD_type->tp_name, idd);
  throw PythonErrorSet();
}

void check_str_argument(PyObject* obj, const char* name) {
  if (!check_exact_str_or_none(obj, name)) throw PythonErrorSet();
}

// cls.__new__(cls), which must give a new, bare IDF: loading into a model that holds
// objects (a __new__ that hands back one already loaded) would replace them and leave
// them claiming a model that no longer lists them.
PyRef new_model_of_class(const State& st, PyObject* cls) {
  PyRef model = take(PyObject_CallMethod(cls, "__new__", "O", cls));
  if (!st.is_model(model.get())) {
    raise_format(PyExc_TypeError, messages::kNewReturnedOther,
                 reinterpret_cast<PyTypeObject*>(cls)->tp_name, Py_TYPE(model.get())->tp_name);
  }
  const IDFInstance* m = as_model(model.get());
  if (m->objects != Py_None || m->idd != Py_None || !m->objects_index_map.empty() || m->comments) {
    raise_format(PyExc_TypeError, messages::kNewReturnedLoaded,
                 reinterpret_cast<PyTypeObject*>(cls)->tp_name);
  }
  return model;
}

// Sets `filename` of the pending IDFParseError to the path (as a str).
void name_the_file(PyObject* path) {
  PyObject* error = PyErr_GetRaisedException();
  PyObject* fs_path = PyOS_FSPath(path);
  if (!fs_path) {  // an open file: its name, when it has one
    PyErr_Clear();
    fs_path = PyObject_GetAttrString(path, "name");
    if (fs_path && !PyUnicode_Check(fs_path)) Py_CLEAR(fs_path);
  }
  PyObject* name = fs_path && PyBytes_Check(fs_path) ? PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fs_path),
                                                                                        PyBytes_GET_SIZE(fs_path))
                                                     : Py_XNewRef(fs_path);
  if (!name || PyObject_SetAttrString(error, "filename", name) < 0) PyErr_Clear();  // the parse error matters more
  Py_XDECREF(name);
  Py_XDECREF(fs_path);
  PyErr_SetRaisedException(error);
}

const char* const kFromFileNames[] = {"idd", "filepath", "encoding"};
const Signature kFromFileSig = {"from_file", kFromFileNames, 3, 2, 3};

PyObject* model_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[3];
        check_status(bind_arguments(kFromFileSig, args, nargs, kwnames, a));
        PyObject* encoding = a[2] ? a[2] : Py_None;
        const State& st = state_of(reinterpret_cast<PyTypeObject*>(cls));
        check_idd_argument(st, a[0]);
        check_str_argument(encoding, "encoding");
        // A file of unknown encoding is read in pieces, so that loading never holds
        // its whole text beside the model made from it.
        std::unique_ptr<LineChunks> pieces;
        if (encoding == Py_None) {
          pieces = st.utils->open_line_chunks(a[1]);
          if (!pieces && PyErr_Occurred()) throw PythonErrorSet();
        }
        PyRef raw = pieces ? PyRef() : take(st.utils->read_utf8_bytes(a[1], encoding));
        PyRef model = new_model_of_class(st, cls);
        try {
          if (pieces) {
            load_file(as_model(model.get()), a[0], *pieces, a[1]);
          } else {
            load_text(as_model(model.get()), a[0], std::move(raw));
          }
        } catch (const PythonErrorSet&) {
          if (PyErr_ExceptionMatches(st.parse_error)) name_the_file(a[1]);
          throw;
        }
        return model.release();
      },
      nullptr);
}

const char* const kFromStringNames[] = {"idd", "content"};
const Signature kFromStringSig = {"from_string", kFromStringNames, 2, 2, 2};

// The UTF-8 of `content`, without a leading byte-order mark (as files are read).
PyRef utf8_without_bom(PyObject* content) {
  PyRef raw = take(PyUnicode_AsUTF8String(content));
  const std::string_view text(PyBytes_AS_STRING(raw.get()), static_cast<size_t>(PyBytes_GET_SIZE(raw.get())));
  if (text.substr(0, 3) != "\xEF\xBB\xBF") return raw;
  return take(PyBytes_FromStringAndSize(text.data() + 3, static_cast<Py_ssize_t>(text.size() - 3)));
}

PyObject* model_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[2];
        check_status(bind_arguments(kFromStringSig, args, nargs, kwnames, a));
        const State& st = state_of(reinterpret_cast<PyTypeObject*>(cls));
        check_idd_argument(st, a[0]);
        check_str_argument(a[1], "content");
        PyRef model = new_model_of_class(st, cls);
        if (a[1] == Py_None) {
          raise_none_has_no_encode();
          throw PythonErrorSet();
        }
        load_text(as_model(model.get()), a[0], utf8_without_bom(a[1]));
        return model.release();
      },
      nullptr);
}

// ---- the container protocol: a model holds its objects ----

Py_ssize_t model_length(PyObject* self) {
  size_t count = 0;
  for (const auto& [key, positions] : as_model(self)->objects_index_map) count += positions.size();
  return static_cast<Py_ssize_t>(count);
}

// The live objects in the order of the model (file order, then added ones). The
// iterator runs over a snapshot, so changing the model while iterating is safe.
PyObject* model_iter(PyObject* self) {
  return guard(
      [&] {
        IDFInstance* m = as_model(self);
        PyRef live = take(PyList_New(0));
        if (PyList_Check(m->objects)) {
          for (Py_ssize_t i = 0; i < PyList_GET_SIZE(m->objects); ++i) {
            if (IDFObjectInstance* obj = object_at(m, static_cast<size_t>(i))) {
              if (obj->obj_idx == static_cast<size_t>(i)) check_status(PyList_Append(live.get(), as_py(obj)));
            }
          }
        }
        return PyObject_GetIter(live.get());
      },
      nullptr);
}

// `"Zone" in model`: the model holds an object of that class; `obj in model`: the
// object belongs to this model.
int model_contains(PyObject* self, PyObject* item) {
  return guard(
      [&] {
        IDFInstance* m = as_model(self);
        if (PyUnicode_Check(item)) {
          const auto found = m->objects_index_map.find_upper(utf8_of(item));
          return found != m->objects_index_map.end() && !found->second.empty() ? 1 : 0;
        }
        return state_of(m).is_object(item) && member_model(as_object(item)) == m ? 1 : 0;
      },
      -1);
}

// A model is true even when it holds no object, as it was before it had a length.
int always_true(PyObject*) { return 1; }

PyMethodDef kMethods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_init_method)),
     METH_VARARGS | METH_KEYWORDS, kInitDoc},
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_from_file)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($type, /, idd, filepath, encoding=None)\n--\n\n"
     "Parse IDF file\n\n"
     "Args:\n"
     "    idd (IDD): IDD data structure\n"
     "    filepath (str | PathLike): IDF file path\n"
     "    encoding (str, optional): IDF file encoding\n\n"
     "Returns:\n"
     "    IDF: parsed IDF data\n"},
    {"from_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_from_string)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_string($type, /, idd, content)\n--\n\n"
     "Parse IDF from string\n\n"
     "Args:\n"
     "    idd (IDD): IDD data structure\n"
     "    content (str): IDF string\n\n"
     "Returns:\n"
     "    IDF: parsed IDF data\n"},
    {"__getitem__", model_subscript, METH_O,
     "__getitem__($self, class_name, /)\n--\n\n"
     "Get tuple of IDFObjects from class name\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: tuple of IDFObjects\n"},
    {"get_objects", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_get_objects)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_objects($self, /, class_name)\n--\n\n"
     "Get tuple of IDFObjects from class name.\n\n"
     "Alias of IDF[class_name]\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: tuple of IDFObjects\n"},
    {"get_object_by_name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_get_object_by_name)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_object_by_name($self, /, class_name, obj_name)\n--\n\n"
     "Get object by first field (likely name)\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    obj_name (str): object name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObject | None: the first matching object, or None\n"},
    {"_memo", model_memo, METH_NOARGS,
     "_memo($self, /)\n--\n\nFor the package's own modules: a dict of results derived from the model, emptied by\n"
     "every change to it."},
    {"get_class_names", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_get_class_names)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_class_names($self)\n--\n\n"
     "Get list of class names\n\n"
     "Returns:\n"
     "    list[str]: names of the classes that have objects, in no particular order\n"},
    {"find_dangling_references",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_find_dangling_references)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_dangling_references($self)\n--\n\n"
     "Find referring fields whose value names no object\n\n"
     "A field that refers through one or more object lists dangles when no object\n"
     "declares its value under any of them. Answered from the reference index.\n\n"
     "Returns:\n"
     "    list[tuple[IDFObject, int]]: (object, field index) pairs, in model order\n"},
    {"add_object", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_add_object)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_object($self, /, class_name, initial_values=None, default_values=True)\n--\n\n"
     "Add object to IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    initial_values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    default_values (bool): Whether to include default values\n\n"
     "Returns:\n"
     "    IDFObject: the new object\n"},
    {"remove_object", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_remove_object)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_object($self, /, obj)\n--\n\n"
     "Remove object from IDF\n\n"
     "Args:\n"
     "    obj (IDFObject): an object of this model\n"},
    {"remove_all_objects", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_remove_all_objects)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_all_objects($self, /, class_name)\n--\n\n"
     "Remove all objects of a certain class from IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    int: Number of objects removed. 0 if class was not found.\n"},
    {"format", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_format)),
     METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, preserve_order=False, "
     "comments=False, layout=None)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n"
     "    comments (bool): Whether to write the user's comments kept from the text loaded\n"
     "    layout (str | None): \"original\" writes the text the model was opened from with\n"
     "        IDF.open(..., keep_layout=True), with only the edits changed; the other\n"
     "        settings then do not apply. \"library\" (the default) is the layout above\n\n"
     "Returns:\n"
     "    str: IDF str\n"},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_save)), METH_FASTCALL | METH_KEYWORDS,
     "save($self, /, output_path, class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, "
     "preserve_order=False, include_timestamp=True, comments=False, layout=None)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n"
     "    output_path (str | bytes | PathLike): output file path\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n"
     "    include_timestamp (bool): Whether to include timestamp\n"
     "    comments (bool): Whether to write the user's comments kept from the text loaded\n"
     "    layout (str | None): \"original\" writes the text the model was opened from,\n"
     "        edits spliced in (see format)\n"},
    {"__reduce__", model_reduce, METH_NOARGS, "Pickle support."},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "Pickle support: restore the members from a state tuple."},
    {"__copy__", model_copy, METH_NOARGS,
     "__copy__($self)\n--\n\nAn independent copy of the model: its objects are copied, its schema is shared."},
    {"__deepcopy__", model_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nAn independent copy of the model, taken in one step; the schema is shared."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* model_get_idd(PyObject* self, void*) { return Py_NewRef(as_model(self)->idd); }

PyGetSetDef kGetSet[] = {
    {"idd", model_get_idd, nullptr, "The schema (IDD) the model was loaded against, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_init, reinterpret_cast<void*>(model_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(model_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(model_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_mp_subscript, reinterpret_cast<void*>(model_subscript)},
    {Py_sq_item, reinterpret_cast<void*>(model_sq_item)},
    {Py_mp_length, reinterpret_cast<void*>(model_length)},
    {Py_sq_length, reinterpret_cast<void*>(model_length)},
    {Py_sq_contains, reinterpret_cast<void*>(model_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(model_iter)},
    {Py_nb_bool, reinterpret_cast<void*>(always_true)},
    {Py_tp_doc, const_cast<char*>("An IDF model: the objects of one IDF text, loaded against a schema (IDD).")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quarvel.idf.IDF", sizeof(IDFInstance), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_MANAGED_WEAKREF, kSlots,
};

}  // namespace

PyTypeObject* create_model_type(PyObject* module, const TypeExtras& extras) {
  return type_from_spec(module, kSpec, extras, nullptr);
}

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) throw PythonErrorSet();
  return std::string_view(data, static_cast<size_t>(size));
}

PyRef new_bare_model(PyTypeObject* type) { return take(model_new(type, nullptr, nullptr)); }

bool model_has_objects(IDFInstance* self) {
  for (const auto& [key, positions] : self->objects_index_map) {
    if (!positions.empty()) return true;
  }
  return false;
}

void require_model_ready(IDFInstance* self) {
  // A text without objects loads without a schema; such a model can still be written.
  if (PyList_Check(self->objects) && (state_of(self).is_idd(self->idd) || !model_has_objects(self))) return;
  raise(PyExc_ValueError, messages::kModelNotLoaded);
}

IDFObjectInstance* object_at(IDFInstance* self, size_t pos) {
  PyObject* objects = self->objects;
  if (!PyList_Check(objects)) {
    raise_format(PyExc_TypeError, messages::kNotSubscriptable, Py_TYPE(objects)->tp_name);
  }
  if (pos >= static_cast<size_t>(PyList_GET_SIZE(objects))) {
    raise_format(PyExc_IndexError, messages::kPositionBeyondList, pos);
  }
  PyObject* item = PyList_GET_ITEM(objects, static_cast<Py_ssize_t>(pos));
  if (item == Py_None) return nullptr;
  const State& st = state_of(self);
  if (!st.is_object(item)) {
    raise_format(PyExc_TypeError, messages::kCannotConvert, Py_TYPE(item)->tp_name,
                 st.object_type->tp_name);
  }
  return as_object(item);
}

bool names_a_class(const c_IDD& schema, std::string_view list, std::string_view text) {
  const auto classes = schema.class_name_lists.find(list);
  return classes != schema.class_name_lists.end() && classes->second.find_upper(text) != classes->second.end();
}

void require_no_readers(IDFInstance* model) {
  if (model->readers > 0) {
    raise(PyExc_RuntimeError, messages::kModelBeingRead);
  }
}

void begin_change(IDFInstance* model) {
  require_no_readers(model);
  forget_derived(model);
}

void forget_derived(IDFInstance* model) noexcept { Py_CLEAR(model->memo); }

PyObject* model_memo(PyObject* self, PyObject*) {
  IDFInstance* m = as_model(self);
  if (!m->memo && !(m->memo = PyDict_New())) return nullptr;
  return Py_NewRef(m->memo);
}

IDFInstance* member_model(IDFObjectInstance* obj) noexcept {
  if (!state_of(obj).is_model(obj->parent_idf)) return nullptr;
  IDFInstance* model = as_model(obj->parent_idf);
  PyObject* objects = model->objects;
  if (!PyList_Check(objects) || obj->obj_idx >= static_cast<size_t>(PyList_GET_SIZE(objects)) ||
      PyList_GET_ITEM(objects, static_cast<Py_ssize_t>(obj->obj_idx)) != as_py(obj)) {
    return nullptr;
  }
  return model;
}

}  // namespace quarvel::idf
