#include "idd_type.hpp"

#include "idd_parser.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/args.hpp"
#include "schema.hpp"

#include <new>

namespace quarvel::idd {

namespace {

constexpr Py_ssize_t kSchemaCacheSize = 8;

IDDInstance* as_idd(PyObject* o) { return reinterpret_cast<IDDInstance*>(o); }

PyObject* idd_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  IDDInstance* idd = as_idd(self);
  new (&idd->c_idd) c_IDD();
  idd->initialized = false;
  idd->version = Py_NewRef(Py_None);
  idd->class_name_strs = PyTuple_New(0);
  if (!idd->class_name_strs) {
    Py_DECREF(self);
    return nullptr;
  }
  idd->source = nullptr;
  idd->digest = nullptr;
  idd->packed = nullptr;
  return self;
}

void idd_dealloc(PyObject* self) {
  IDDInstance* idd = as_idd(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  Py_CLEAR(idd->version);
  Py_CLEAR(idd->class_name_strs);
  Py_CLEAR(idd->source);
  Py_CLEAR(idd->digest);
  Py_CLEAR(idd->packed);
  idd->c_idd.~c_IDD();
  type->tp_free(self);
  Py_DECREF(type);
}

int idd_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

const char kInitDoc[] = "IDD cannot be instantiated directly. Use IDD.from_file() or IDD.from_string().";

int idd_init(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, kInitDoc);
  return -1;
}

bool python_lower(std::string_view s, std::string& out) {
  PyRef text(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
  if (!text) return false;
  PyRef lowered(PyObject_CallMethod(text.get(), "lower", nullptr));
  if (!lowered) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
  if (!utf8) return false;
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

// A new schema of type `cls` read from `source` (UTF-8 bytes), or null.
PyObject* build_idd(PyTypeObject* cls, PyObject* source) {
  c_IDD parsed;
  const std::string_view text(PyBytes_AS_STRING(source), static_cast<size_t>(PyBytes_GET_SIZE(source)));
  Status status;
  try {
    status = parse_idd(text, python_lower, parsed);
  } catch (const std::bad_alloc&) {
    status = Status::of(Fault::kNoMemory);
  }
  switch (status.fault) {
    case Fault::kNone:
      break;
    case Fault::kNoMemory:
      return PyErr_NoMemory();
    case Fault::kPythonError:
      return nullptr;  // the lower-casing raised: its exception is set
    default:
      return PyErr_Format(PyExc_ValueError, messages::kIddParseError, static_cast<long long>(status.line),
                          status.detail.c_str());
  }
  PyRef empty(PyTuple_New(0));
  if (!empty) return nullptr;
  PyRef self(cls->tp_new(cls, empty.get(), nullptr));
  if (!self) return nullptr;
  if (!PyObject_TypeCheck(self.get(), state_of(cls).idd_type)) {
    PyErr_Format(PyExc_TypeError, messages::kNewNotIDD, cls->tp_name);
    return nullptr;
  }
  IDDInstance* idd = as_idd(self.get());
  PyObject* version = Py_None;
  PyRef version_text;
  if (!parsed.version.empty()) {
    version_text = PyRef(PyUnicode_DecodeUTF8(parsed.version.data(), static_cast<Py_ssize_t>(parsed.version.size()), "strict"));
    if (!version_text) return nullptr;
    version = version_text.get();
  }
  PyRef names(PyTuple_New(static_cast<Py_ssize_t>(parsed.ordered_classes.size())));
  if (!names) return nullptr;
  for (size_t i = 0; i < parsed.ordered_classes.size(); ++i) {
    const std::string& name = parsed.ordered_classes[i].name;
    PyObject* str = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
    if (!str) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), str);
  }
  Py_XSETREF(idd->class_name_strs, names.release());
  idd->c_idd = std::move(parsed);
  Py_XSETREF(idd->version, Py_NewRef(version));
  Py_XSETREF(idd->source, Py_NewRef(source));
  idd->initialized = true;
  return self.release();
}

// ---- construction -----------------------------------------------------------

const char* const kFromFileNames[] = {"path"};
const Signature kFromFileSig = {"from_file", kFromFileNames, 1, 1, 1};

PyObject* idd_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (bind_arguments(kFromFileSig, args, nargs, kwnames, a) < 0) return nullptr;
  PyRef source(state_of(reinterpret_cast<PyTypeObject*>(cls)).utils->read_utf8_bytes(a[0], Py_None));
  if (!source) return nullptr;
  return build_idd(reinterpret_cast<PyTypeObject*>(cls), source.get());
}

const char* const kFromStringNames[] = {"text"};
const Signature kFromStringSig = {"from_string", kFromStringNames, 1, 1, 1};

PyObject* idd_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (bind_arguments(kFromStringSig, args, nargs, kwnames, a) < 0) return nullptr;
  if (!PyUnicode_Check(a[0])) {
    raise_argument_type("text", "str", a[0]);
    return nullptr;
  }
  PyRef source(PyUnicode_AsUTF8String(a[0]));
  if (!source) return nullptr;
  return build_idd(reinterpret_cast<PyTypeObject*>(cls), source.get());
}

// ---- introspection ----------------------------------------------------------

PyObject* str_of(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

PyObject* str_list(std::span<const std::string_view> items) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = str_of(items[i]);
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* optional_float(bool present, double v) {
  return present ? PyFloat_FromDouble(v) : Py_NewRef(Py_None);
}

// The class definition named by a str argument (any letter case); throws KeyError.
const ClassDef& class_named(IDDInstance* idd, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    raise_argument_type("class_name", "str", name);
    throw PythonErrorSet();
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (!utf8) throw PythonErrorSet();
  const auto it = idd->c_idd.class_map.find(to_upper(std::string_view(utf8, static_cast<size_t>(size))));
  if (it == idd->c_idd.class_map.end()) {
    PyRef message = take(PyUnicode_FromFormat("Unknown class: '%U'", name));
    PyErr_SetObject(PyExc_KeyError, message.get());
    throw PythonErrorSet();
  }
  return idd->c_idd.ordered_classes[it->second];
}

PyObject* idd_class_names(PyObject* self, PyObject*) { return PySequence_List(as_idd(self)->class_name_strs); }

PyObject* idd_class_info(PyObject* self, PyObject* name) {
  return guard(
      [&]() -> PyObject* {
        const ClassDef* cls = &class_named(as_idd(self), name);
        std::vector<std::string_view> names;
        names.reserve(cls->fields.size());
        for (const FieldDef& f : cls->fields) names.push_back(f.name);
        PyRef fields = take(str_list(names));
        PyRef ext;
        if (cls->extensible.is_extensible) {
          ext = take(Py_BuildValue("{s:i,s:i}", "begin_index", cls->extensible.begin_index, "size", cls->extensible.size));
        } else {
          ext = PyRef::borrow(Py_None);
        }
        return Py_BuildValue("{s:s#,s:s#,s:i,s:O,s:O,s:O,s:s#,s:s#,s:O,s:O}", "name", cls->name.data(),
                             static_cast<Py_ssize_t>(cls->name.size()), "group", cls->group.data(),
                             static_cast<Py_ssize_t>(cls->group.size()), "min_fields", cls->min_fields,
                             "unique_object", cls->unique_object ? Py_True : Py_False, "required_object",
                             cls->required_object ? Py_True : Py_False, "obsolete", cls->obsolete ? Py_True : Py_False,
                             "format", cls->format.data(), static_cast<Py_ssize_t>(cls->format.size()), "memo",
                             cls->memo.data(), static_cast<Py_ssize_t>(cls->memo.size()), "fields", fields.get(),
                             "extensible", ext.get());
      },
      nullptr);
}

// Resolves (class_name, key) to the class and a field index; throws on failure.
std::pair<const ClassDef*, int> resolve_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              const char* func) {
  if (nargs != 2) {
    raise_argument_count(func, 2, 2, nargs);
    throw PythonErrorSet();
  }
  const ClassDef& cls = class_named(as_idd(self), args[0]);
  const int idx = resolve_key_to_field_index(cls, args[1]);
  if (idx < 0) throw PythonErrorSet();
  return {&cls, idx};
}

PyObject* idd_field_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] { return PyLong_FromLong(resolve_field(self, args, nargs, "field_index").second); }, nullptr);
}

const char* const kFieldNameNames[] = {"class_name", "key", "units"};
const Signature kFieldNameSig = {"field_name", kFieldNameNames, 3, 2, 3};

PyObject* idd_field_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&] {
        PyObject* a[3];
        check_status(bind_arguments(kFieldNameSig, args, nargs, kwnames, a));
        const int with_units = a[2] ? PyObject_IsTrue(a[2]) : 1;
        check_status(with_units);
        const auto [cls, idx] = resolve_field(self, a, 2, "field_name");
        return str_of(get_field_name(*cls, idx, with_units != 0));
      },
      nullptr);
}

// The name of a field type: what `field_type` holds as a number, `type` holds as a word.
const char* type_name(FieldType type) {
  switch (type) {
    case FIELDTYPE_INTEGER:
      return "integer";
    case FIELDTYPE_REAL:
      return "real";
    case FIELDTYPE_ALPHA:
      return "alpha";
    case FIELDTYPE_CHOICE:
      return "choice";
    case FIELDTYPE_OBJLIST:
      return "object-list";
    case FIELDTYPE_NODE:
      return "node";
    default:
      return "default";
  }
}

PyObject* idd_field_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        const auto [cls, idx] = resolve_field(self, args, nargs, "field_info");
        const FieldDef* f = get_field_def(*cls, idx);
        if (!f) raise_format(PyExc_IndexError, messages::kNoFieldDefinition, idx, cls->name.c_str());
        const bool listed = static_cast<size_t>(idx) < cls->fields.size();
        PyRef name = take(str_of(get_field_name(*cls, idx, false)));
        PyRef code = take(listed ? str_of(f->code) : Py_NewRef(Py_None));
        PyRef dflt = take(f->has_default ? str_of(f->default_val) : Py_NewRef(Py_None));
        PyRef choices = take(str_list(f->choices())), refs = take(str_list(f->references()));
        PyRef lists = take(str_list(f->object_lists())), ext_lists = take(str_list(f->external_lists()));
        PyRef ref_classes = take(str_list(f->reference_class_names()));
        PyRef minimum = take(optional_float(f->has_minimum, f->minimum)),
              maximum = take(optional_float(f->has_maximum, f->maximum));
        auto flag = [](bool b) { return b ? Py_True : Py_False; };
        return Py_BuildValue(
            "{s:O,s:i,s:O,s:s#,s:s#,s:O,s:O,s:O,s:O,s:i,s:s,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O}",
            "name", name.get(), "index", idx, "code", code.get(), "units", f->units.data(),
            static_cast<Py_ssize_t>(f->units.size()), "ip_units", f->ip_units.data(),
            static_cast<Py_ssize_t>(f->ip_units.size()), "default", dflt.get(), "required", flag(f->required),
            "autosizable", flag(f->autosizable), "autocalculatable", flag(f->autocalculatable), "field_type",
            static_cast<int>(f->field_type), "type", type_name(f->field_type),
            "choices", choices.get(), "references", refs.get(), "object_lists", lists.get(), "external_lists",
            ext_lists.get(), "reference_class_names", ref_classes.get(), "minimum", minimum.get(),
            "minimum_exclusive", flag(f->minimum_exclusive), "maximum", maximum.get(), "maximum_exclusive",
            flag(f->maximum_exclusive), "deprecated", flag(f->deprecated), "retaincase", flag(f->retaincase),
            "begin_extensible", flag(f->begin_extensible));
      },
      nullptr);
}

// A schema never changes once loaded: a copy of it is itself.
PyObject* idd_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* idd_get_version(PyObject* self, void*) { return Py_NewRef(as_idd(self)->version); }
PyObject* idd_get_initialized(PyObject* self, void*) { return PyBool_FromLong(as_idd(self)->initialized); }

PyObject* idd_repr(PyObject* self) {
  IDDInstance* idd = as_idd(self);
  if (!idd->initialized) return PyUnicode_FromString("<IDD (empty)>");
  return PyUnicode_FromFormat("<IDD version %R, %zu classes>", idd->version, idd->c_idd.ordered_classes.size());
}

// ---- pickling -----------------------------------------------------------------

PyObject* call_module_function(const char* module, const char* function, PyObject* arg) {
  PyRef mod(PyImport_ImportModule(module));
  if (!mod) return nullptr;
  return PyObject_CallMethod(mod.get(), function, "O", arg);
}

// Remembers `idd` under its digest so that later unpickling reuses it.
int remember_schema(PyObject* cache, PyObject* digest, PyObject* idd) {
  if (PyDict_Contains(cache, digest) == 1 && PyDict_DelItem(cache, digest) < 0) return -1;
  while (PyDict_GET_SIZE(cache) >= kSchemaCacheSize) {
    Py_ssize_t pos = 0;
    PyObject *oldest, *value;
    if (!PyDict_Next(cache, &pos, &oldest, &value)) break;
    PyRef key = PyRef::borrow(oldest);
    if (PyDict_DelItem(cache, key.get()) < 0) return -1;
  }
  return PyDict_SetItem(cache, digest, idd);
}

PyObject* sha256_hex(PyObject* data) {
  PyRef hasher(call_module_function("hashlib", "sha256", data));
  if (!hasher) return nullptr;
  return PyObject_CallMethod(hasher.get(), "hexdigest", nullptr);
}

// Makes the digest and the compressed source that pickles carry, once.
int make_pickle_form(IDDInstance* idd) {
  if (idd->digest) return 0;
  PyRef digest(sha256_hex(idd->source));
  if (!digest) return -1;
  PyRef zlib(PyImport_ImportModule("zlib"));
  if (!zlib) return -1;
  PyRef packed(PyObject_CallMethod(zlib.get(), "compress", "Oi", idd->source, 6));
  if (!packed) return -1;
  idd->digest = digest.release();
  idd->packed = packed.release();
  return 0;
}

PyObject* idd_get_digest(PyObject* self, void*) {
  IDDInstance* idd = as_idd(self);
  if (!idd->initialized || !idd->source) Py_RETURN_NONE;
  if (make_pickle_form(idd) < 0) return nullptr;
  return Py_NewRef(idd->digest);
}

PyObject* idd_reduce(PyObject* self, PyObject*) {
  IDDInstance* idd = as_idd(self);
  State& st = state_of(Py_TYPE(self));
  PyRef fn(PyObject_GetAttr(PyType_GetModuleByDef(Py_TYPE(self), &kIddModule), st.unpickle_name));
  if (!fn) return nullptr;
  if (!idd->initialized || !idd->source) {
    return Py_BuildValue("(O(OOO))", fn.get(), Py_TYPE(self), Py_None, Py_None);
  }
  if (make_pickle_form(idd) < 0) return nullptr;
  // Remembered at every pickling, so that copies and unpickling in this process
  // share this schema even after the cache was cleared.
  if (remember_schema(st.schema_cache, idd->digest, self) < 0) return nullptr;
  return Py_BuildValue("(O(OOO))", fn.get(), Py_TYPE(self), idd->digest, idd->packed);
}

PyMethodDef kMethods[] = {
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(idd_from_file)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($type, /, path)\n--\n\nLoad a schema from a dictionary file (UTF-8, or Windows-1252 when it is not)."},
    {"from_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(idd_from_string)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_string($type, /, text)\n--\n\nLoad a schema from dictionary text."},
    {"class_names", idd_class_names, METH_NOARGS, "class_names($self)\n--\n\nNames of all classes, in schema order."},
    {"class_info", idd_class_info, METH_O,
     "class_info($self, class_name, /)\n--\n\nAttributes of a class (name in any letter case) as a dict."},
    {"field_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(idd_field_index)), METH_FASTCALL,
     "field_index($self, class_name, key, /)\n--\n\nIndex of a field given by index or by name (any letter case)."},
    {"field_name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(idd_field_name)),
     METH_FASTCALL | METH_KEYWORDS,
     "field_name($self, /, class_name, key, units=True)\n--\n\nName of a field; with units, followed by ' {units}'."},
    {"field_info", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(idd_field_info)), METH_FASTCALL,
     "field_info($self, class_name, key, /)\n--\n\nAttributes of a field as a dict."},
    {"__reduce__", idd_reduce, METH_NOARGS, "Pickle support: a schema travels as its compressed source text."},
    {"__copy__", idd_copy, METH_NOARGS, "__copy__($self)\n--\n\nThe schema itself: a schema never changes once loaded."},
    {"__deepcopy__", idd_copy, METH_O, "__deepcopy__($self, memo, /)\n--\n\nThe schema itself: a schema never changes once loaded."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"version", idd_get_version, nullptr, "The text after !IDD_Version in the dictionary, or None.", nullptr},
    {"initialized", idd_get_initialized, nullptr, "Whether a dictionary has been loaded.", nullptr},
    {"digest", idd_get_digest, nullptr,
     "The SHA-256 of the dictionary text (hexadecimal), or None before one is loaded: equal\n"
     "digests, equal schemas. Pickles carry it, so a process unpickles each schema once.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(idd_new)},
    {Py_tp_init, reinterpret_cast<void*>(idd_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(idd_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(idd_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(idd_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("A schema (IDD): the classes and fields that IDF models are checked against.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quarvel.idd.IDD", sizeof(IDDInstance), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_MANAGED_WEAKREF, kSlots,
};

}  // namespace

PyTypeObject* create_idd_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
}

PyObject* unpickle_idd(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    raise_argument_count("unpickle_IDD", 3, 3, nargs);
    return nullptr;
  }
  PyObject* cls = args[0];
  PyObject* digest = args[1];
  PyObject* packed = args[2];
  State& st = state_of(module);
  if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), st.idd_type)) {
    return PyErr_Format(PyExc_TypeError, messages::kUnpickleIddType, Py_TYPE(cls)->tp_name);
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (digest == Py_None) {
    PyRef empty(PyTuple_New(0));
    return empty ? type->tp_new(type, empty.get(), nullptr) : nullptr;
  }
  // Exact types: the digest decides which cached schema is reused, so a subclass that
  // answers equal to anything must not get a say.
  if (!PyUnicode_CheckExact(digest) || !PyBytes_CheckExact(packed)) {
    PyErr_SetString(PyExc_TypeError, messages::kUnpickleIddArguments);
    return nullptr;
  }
  PyObject* cached = PyDict_GetItemWithError(st.schema_cache, digest);
  if (cached && Py_TYPE(cached) == type) {
    PyRef keep = PyRef::borrow(cached);
    if (remember_schema(st.schema_cache, digest, cached) < 0) return nullptr;
    return keep.release();
  }
  if (PyErr_Occurred()) return nullptr;
  PyRef source(call_module_function("zlib", "decompress", packed));
  if (!source) return nullptr;
  if (!PyBytes_Check(source.get())) {
    PyErr_SetString(PyExc_TypeError, messages::kUnpickleIddNotBytes);
    return nullptr;
  }
  PyRef actual(sha256_hex(source.get()));
  if (!actual) return nullptr;
  const int same = PyObject_RichCompareBool(actual.get(), digest, Py_EQ);
  if (same < 0) return nullptr;
  if (!same) {
    PyErr_SetString(PyExc_ValueError, messages::kUnpickleIddDigest);
    return nullptr;
  }
  PyRef idd(build_idd(type, source.get()));
  if (!idd) return nullptr;
  IDDInstance* obj = as_idd(idd.get());
  obj->digest = Py_NewRef(digest);
  obj->packed = Py_NewRef(packed);
  if (remember_schema(st.schema_cache, digest, idd.get()) < 0) return nullptr;
  return idd.release();
}

}  // namespace quarvel::idd
