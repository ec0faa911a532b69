// Editing: standalone objects, bulk update, adding and removing objects. Positions
// are never reused or renumbered: a removed object leaves None in its slot.
//
// Each operation first runs every piece of the caller's code it needs (iterating the
// values given, converting them to text), then looks the object and the model up
// again, makes every allocation, and only then changes anything: a failure at any
// point leaves the model as it was.
#include "core.hpp"
#include "quarvel/messages.hpp"

#include <algorithm>

namespace quarvel::idf {

namespace {

// The class index of a class-name argument (str or None) in `idd`; throws the
// "Unknown class" ValueError (or the None/encoding error).
size_t find_class(PyObject* idd, PyObject* class_name) {
  if (class_name == Py_None) {
    raise_none_has_no_encode();
    throw PythonErrorSet();
  }
  const std::string_view utf8 = utf8_of(class_name);
  const c_IDD& schema = schema_of(idd);
  const auto found = schema.class_map.find(to_upper(utf8));
  if (found == schema.class_map.end()) raise_format(PyExc_ValueError, messages::kUnknownClass, class_name);
  return found->second;
}

std::vector<std::string> minimum_values(const ClassDef& cls) {
  return std::vector<std::string>(cls.min_fields > 0 ? static_cast<size_t>(cls.min_fields) : 0);
}

[[noreturn]] void raise_not_member() {
  raise(PyExc_ValueError, messages::kNotMember);
}

int resolve_key(const State& st, const ClassDef& cls, PyObject* key) {
  const int field_idx = st.schema->resolve_key_to_field_index(cls, key);
  if (field_idx < 0) throw PythonErrorSet();
  return field_idx;
}

// The values of an update or of add_object's initial values: (key, value) pairs in
// the order they are visited, each held. Iterating runs the caller's code.
using Items = std::vector<std::pair<PyRef, PyRef>>;

Items gather_items(PyObject* values) {
  Items items;
  if (PyList_Check(values)) {
    PyRef list = take(PySequence_List(values));  // a snapshot; a list subclass may change under us
    items.reserve(static_cast<size_t>(PyList_GET_SIZE(list.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      items.emplace_back(take(PyLong_FromSsize_t(i)), PyRef::borrow(PyList_GET_ITEM(list.get(), i)));
    }
  } else if (PyDict_Check(values)) {
    PyRef pairs = take(PyMapping_Items(values));
    items.reserve(static_cast<size_t>(PyList_GET_SIZE(pairs.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) raise(PyExc_TypeError, messages::kItemsNotPairs);
      items.emplace_back(PyRef::borrow(PyTuple_GET_ITEM(pair, 0)), PyRef::borrow(PyTuple_GET_ITEM(pair, 1)));
    }
  } else {
    PyRef type_name = take(PyType_GetName(Py_TYPE(values)));
    raise_format(PyExc_TypeError, messages::kInvalidValuesType, type_name.get());
  }
  return items;
}

// The writes of `items`: every key is resolved (against `class_now()`, the class as it
// is at that moment) before any value's code runs; `resolve_again()` says whether that
// code may have changed the class, so that the keys are resolved once more.
template <class ClassNow, class Changed>
std::vector<FieldWrite> writes_of(const State& st, const Items& items, ClassNow class_now, Changed resolve_again) {
  std::vector<FieldWrite> writes(items.size());
  const ClassDef& cls = class_now();
  for (size_t k = 0; k < items.size(); ++k) writes[k].field_idx = resolve_key(st, cls, items[k].first.get());
  for (size_t k = 0; k < items.size(); ++k) writes[k].text = text_of_value(st, items[k].second.get());
  if (resolve_again()) {
    for (size_t k = 0; k < items.size(); ++k) writes[k].field_idx = resolve_key(st, class_now(), items[k].first.get());
  }
  return writes;
}

void update_object(IDFObjectInstance* o, PyObject* values, bool trim) {
  if (values == Py_None) return;
  class_of(o);
  const Items items = gather_items(values);
  const ClassMark mark(o);
  std::vector<FieldWrite> writes =
      writes_of(state_of(o), items, [&]() -> const ClassDef& { return class_of(o); }, [&] { return !mark.unchanged(); });
  apply_writes(o, writes, Extend::kToHighest, trim);
}

const char* const kAddNames[] = {"class_name", "initial_values", "default_values"};
const Signature kAddSig = {"add_object", kAddNames, 3, 1, 3};
const char* const kRemoveNames[] = {"obj"};
const Signature kRemoveSig = {"remove_object", kRemoveNames, 1, 1, 1};
const char* const kRemoveAllNames[] = {"class_name"};
const Signature kRemoveAllSig = {"remove_all_objects", kRemoveAllNames, 1, 1, 1};
const char* const kInitNames[] = {"idd", "class_name"};
const Signature kInitSig = {"__init__", kInitNames, 2, 2, 2};
const char* const kUpdateNames[] = {"values", "trim_empty_trails"};
const Signature kUpdateSig = {"update", kUpdateNames, 2, 1, 2};

// The constructor's body; `args`/`kwds` as tp_init receives them.
void construct_object(PyObject* self, PyObject* args, PyObject* kwds) {
  // Bound through the fast-call binder: positional items plus keyword names.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> stack(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
  PyRef kwnames;
  if (kwds && PyDict_GET_SIZE(kwds) > 0) {
    kwnames = take(PyTuple_New(PyDict_GET_SIZE(kwds)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
      stack.push_back(value);
    }
  }
  PyObject* a[2];
  check_status(bind_arguments(kInitSig, stack.data(), nargs, kwnames.get(), a));
  PyObject* idd = a[0];
  PyObject* class_name = a[1];
  const State& st = state_of(self);
  if (!st.is_idd(idd)) {
    raise_argument_type("idd", st.schema->IDD_type->tp_name, idd);
    throw PythonErrorSet();
  }
  if (!check_exact_str_or_none(class_name, "class_name")) throw PythonErrorSet();
  IDFObjectInstance* o = as_object(self);
  if (st.is_model(o->parent_idf)) {
    raise(PyExc_ValueError, messages::kInitMember);
  }
  const size_t class_idx = find_class(idd, class_name);
  std::vector<std::string> values = minimum_values(schema_of(idd).ordered_classes[class_idx]);
  check_status(object_c_init(o, idd, Py_None, class_idx, values));
  o->obj_idx = 0;
}

// The values of a new object: the class's minimum, the defaults, then the writes
// given (as an update with trimming would store them).
std::vector<std::string> new_object_values(const State& st, const ClassDef& cls, bool defaults,
                                           std::vector<FieldWrite>* writes) {
  std::vector<std::string> values = minimum_values(cls);
  if (defaults) {
    for (int idx : cls.field_idx_with_default) {
      const auto i = static_cast<size_t>(idx);
      const std::string_view text = cls.fields[i].default_val;
      if (text.empty()) continue;
      if (i >= values.size()) values.resize(i + 1);
      values[i] = text;
    }
  }
  if (writes) {
    for (FieldWrite& w : *writes) {
      const auto i = static_cast<size_t>(w.field_idx);
      if (i >= values.size()) values.resize(i + 1);
      values[i].swap(w.text);
    }
    while (!values.empty() && values.back().empty()) values.pop_back();
  }
  for (size_t i = 0; i < values.size(); ++i) check_storable(st, cls, static_cast<int>(i), values[i]);
  return values;
}

PyObject* add_object(IDFInstance* m, PyObject* class_name, PyObject* initial_values, bool defaults) {
  const State& st = state_of(m);
  auto schema_now = [&]() -> PyObject* {
    require_model_ready(m);
    if (!st.is_idd(m->idd)) raise(PyExc_TypeError, messages::kAddWithoutSchema);
    return m->idd;
  };
  auto class_now = [&]() -> const ClassDef& {
    return schema_of(schema_now()).ordered_classes[find_class(schema_now(), class_name)];
  };
  class_now();
  std::vector<FieldWrite> writes;
  const bool given = initial_values != Py_None;
  if (given) writes = writes_of(st, gather_items(initial_values), class_now, [] { return true; });

  // From here on no Python code runs: the model is looked up once more and changed
  // only when everything it needs could be made.
  PyObject* idd = schema_now();
  begin_change(m);
  const size_t class_idx = find_class(idd, class_name);
  const ClassDef& cls = schema_of(idd).ordered_classes[class_idx];
  std::vector<std::string> values = new_object_values(st, cls, defaults, given ? &writes : nullptr);
  PyRef obj = take(as_py(new_bare_object(st.object_type)));
  IDFObjectInstance* o = as_object(obj.get());
  check_status(object_c_init(o, idd, as_py(m), class_idx, values));
  o->obj_idx = static_cast<size_t>(PyList_GET_SIZE(m->objects));

  IndexBatch batch(m);
  for (size_t i = 0; i < o->values.size(); ++i) {
    if (const FieldDef* field = field_def_at(cls, static_cast<int>(i))) {
      batch.add(*field, o->values[i], FieldLoc{o->obj_idx, static_cast<int>(i)});
    }
  }
  batch.prepare();
  const std::string key = to_upper(std::string_view(cls.name));
  const auto [entry, created] = m->objects_index_map.try_emplace(std::string_view(key));
  try {
    PositionList& positions = entry->second;
    if (positions.size() == positions.capacity()) positions.reserve(positions.empty() ? 8 : positions.size() * 2);
    check_status(PyList_Append(m->objects, obj.get()));
  } catch (...) {
    if (created) m->objects_index_map.erase(key);
    throw;
  }
  batch.commit();
  entry->second.push_back(o->obj_idx);  // room was made
  name_index_add(m, o);
  return obj.release();
}

void remove_object(IDFInstance* m, PyObject* arg) {
  if (m->objects == Py_None) raise(PyExc_TypeError, messages::kNoneHasNoLen);
  begin_change(m);
  if (arg == Py_None) raise_not_member();
  IDFObjectInstance* obj = as_object(arg);
  if (obj->parent_idf != as_py(m) || member_model(obj) != m) raise_not_member();
  const auto positions = m->objects_index_map.find_upper(obj->c_class_name);
  if (positions == m->objects_index_map.end()) raise_not_member();
  PyRef keep = PyRef::borrow(arg);  // the object outlives its slot in the list
  auto& list = positions->second;
  try {
    list.prepare_remove();
  } catch (const std::bad_alloc&) {
    // Without room for the marks, the list's shorter side moves instead.
  }

  // Nothing below allocates or fails.
  list.remove(obj->obj_idx);
  if (!obj->values.empty()) name_index_remove(m, obj, obj->values[0]);
  if (state_of(m).is_idd(obj->idd) && obj->class_idx < schema_of(obj->idd).ordered_classes.size()) {
    unregister_object(m, get_class_def(obj), obj->values, obj->obj_idx);
  }
  PyList_SetItem(m->objects, static_cast<Py_ssize_t>(obj->obj_idx), Py_NewRef(Py_None));
  Py_XSETREF(obj->parent_idf, Py_NewRef(Py_None));
}

PyObject* remove_all(IDFInstance* m, PyObject* class_name) {
  begin_change(m);
  const std::string_view utf8 = utf8_of(class_name);
  const auto entry = m->objects_index_map.find_upper(utf8);
  if (entry == m->objects_index_map.end() || entry->second.empty()) return PyLong_FromLong(0);
  if (!PyList_Check(m->objects)) raise(PyExc_TypeError, messages::kNoneNotSubscriptable);
  // Everything that can fail comes first: the live objects (held, so that no object is
  // freed and no finalizer runs while the indexes change) and the result.
  std::vector<PyRef> removed;
  removed.reserve(entry->second.size());
  for (size_t pos : entry->second) {
    if (IDFObjectInstance* obj = object_at(m, pos)) removed.push_back(PyRef::borrow(as_py(obj)));
  }
  PyRef count = take(PyLong_FromSize_t(removed.size()));

  const ClassDef* cls = nullptr;
  const State& st = state_of(m);
  for (const PyRef& held : removed) {
    IDFObjectInstance* obj = as_object(held.get());
    if (!cls && st.is_idd(obj->idd) && obj->class_idx < schema_of(obj->idd).ordered_classes.size()) {
      cls = &get_class_def(obj);
    }
    if (cls) unregister_object(m, *cls, obj->values, obj->obj_idx);
    if (!obj->values.empty()) name_index_remove(m, obj, obj->values[0]);
    PyList_SetItem(m->objects, static_cast<Py_ssize_t>(obj->obj_idx), Py_NewRef(Py_None));
    Py_XSETREF(obj->parent_idf, Py_NewRef(Py_None));
  }
  m->objects_index_map.erase(entry);
  return count.release();
}

}  // namespace

int object_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard(
      [&] {
        construct_object(self, args, kwds);
        return 0;
      },
      -1);
}

PyObject* object_init_method(PyObject* self, PyObject* args, PyObject* kwds) {
  if (object_init(self, args, kwds) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* object_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[2];
        check_status(bind_arguments(kUpdateSig, args, nargs, kwnames, a));
        const int trim = a[1] ? PyObject_IsTrue(a[1]) : 1;
        check_status(trim);
        update_object(as_object(self), a[0], trim != 0);
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* model_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[3];
        check_status(bind_arguments(kAddSig, args, nargs, kwnames, a));
        if (!check_exact_str_or_none(a[0], "class_name")) throw PythonErrorSet();
        const int defaults = a[2] ? PyObject_IsTrue(a[2]) : 1;
        check_status(defaults);
        if (a[0] == Py_None) {
          raise_none_has_no_encode();
          throw PythonErrorSet();
        }
        return add_object(as_model(self), a[0], a[1] ? a[1] : Py_None, defaults != 0);
      },
      nullptr);
}

PyObject* model_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* arg;
        check_status(bind_arguments(kRemoveSig, args, nargs, kwnames, &arg));
        const State& st = state_of(self);
        if (arg != Py_None && !st.is_object(arg)) {
          raise_argument_type("obj", st.object_type->tp_name, arg);
          throw PythonErrorSet();
        }
        remove_object(as_model(self), arg);
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* model_remove_all_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* class_name;
        check_status(bind_arguments(kRemoveAllSig, args, nargs, kwnames, &class_name));
        if (!check_exact_str_or_none(class_name, "class_name")) throw PythonErrorSet();
        if (class_name == Py_None) {
          raise_none_has_no_encode();
          throw PythonErrorSet();
        }
        return remove_all(as_model(self), class_name);
      },
      nullptr);
}

}  // namespace quarvel::idf
