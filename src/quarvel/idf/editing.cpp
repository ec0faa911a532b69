// Editing: standalone objects, bulk update, adding and removing objects. Positions
// are never reused or renumbered: a removed object leaves None in its slot.
#include "core.hpp"

#include <algorithm>

namespace quarvel::idf {

namespace {

// The class index of a class-name argument (str or None) in `idd`, or -1 with the
// "Unknown class" ValueError (or the None/encoding error) set.
Py_ssize_t find_class(PyObject* idd, PyObject* class_name, std::string& key) {
  if (class_name == Py_None) {
    raise_none_has_no_encode();
    return -1;
  }
  std::string_view utf8;
  if (!utf8_of(class_name, utf8)) return -1;
  key = to_upper(utf8);
  const c_IDD& schema = schema_of(idd);
  const auto found = schema.class_map.find(key);
  if (found == schema.class_map.end()) {
    PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", class_name);
    return -1;
  }
  return static_cast<Py_ssize_t>(found->second);
}

std::vector<std::string> minimum_values(const ClassDef& cls) {
  return std::vector<std::string>(cls.min_fields > 0 ? static_cast<size_t>(cls.min_fields) : 0);
}

void raise_not_member() {
  PyErr_SetString(PyExc_ValueError, "Error: The object belongs to a different IDF model or is detached.");
}

void raise_no_len() { PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()"); }

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
int construct_object(PyObject* self, PyObject* args, PyObject* kwds) {
  // Bind through the fast-call binder: positional tuple plus keyword names.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> stack(args ? &PyTuple_GET_ITEM(args, 0) : nullptr,
                               args ? &PyTuple_GET_ITEM(args, 0) + nargs : nullptr);
  PyRef kwnames;
  if (kwds && PyDict_GET_SIZE(kwds) > 0) {
    kwnames = PyRef(PyTuple_New(PyDict_GET_SIZE(kwds)));
    if (!kwnames) return -1;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
      stack.push_back(value);
    }
  }
  PyObject* a[2];
  if (bind_arguments(kInitSig, stack.data(), nargs, kwnames.get(), a) < 0) return -1;
  PyObject* idd = a[0];
  PyObject* class_name = a[1];
  if (!is_idd(idd)) {
    raise_argument_type("idd", g.schema->IDD_type->tp_name, idd);
    return -1;
  }
  if (!check_exact_str_or_none(class_name, "class_name")) return -1;
  IDFObjectObj* o = as_object(self);
  if (is_model(o->parent_idf)) {
    PyErr_SetString(PyExc_ValueError,
                    "IDFObject.__init__() cannot re-initialize an object that belongs to a model; "
                    "remove it from the model first");
    return -1;
  }
  std::string key;
  const Py_ssize_t class_idx = find_class(idd, class_name, key);
  if (class_idx < 0) return -1;
  std::vector<std::string> values = minimum_values(schema_of(idd).ordered_classes[static_cast<size_t>(class_idx)]);
  if (object_c_init(o, idd, Py_None, static_cast<size_t>(class_idx), values) < 0) return -1;
  o->obj_idx = 0;
  return 0;
}

}  // namespace

int object_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] { return construct_object(self, args, kwds); }, -1);
}

PyObject* object_init_method(PyObject* self, PyObject* args, PyObject* kwds) {
  if (object_init(self, args, kwds) < 0) return nullptr;
  Py_RETURN_NONE;
}

int update_values(IDFObjectObj* self, PyObject* values, bool trim_empty_trails) {
  if (values == Py_None) return 0;
  if (!object_ready(self)) return -1;
  const ClassDef& cls = get_class_def(self);
  // Every key is resolved before anything is written; the values are held so that
  // code run by a conversion cannot free them under us.
  std::vector<std::pair<int, PyRef>> pending_updates;
  int max_idx = -1;
  auto add = [&](PyObject* key, PyObject* value) {
    const int idx = g.schema->resolve_key_to_field_index(cls, key);
    if (idx < 0) return false;
    pending_updates.emplace_back(idx, PyRef::borrow(value));
    max_idx = std::max(max_idx, idx);
    return true;
  };
  if (PyList_Check(values)) {
    PyRef items(PySequence_List(values));  // a snapshot; a list subclass may change under us
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyRef key(PyLong_FromSsize_t(i));
      if (!key || !add(key.get(), PyList_GET_ITEM(items.get(), i))) return -1;
    }
  } else if (PyDict_Check(values)) {
    PyRef items(PyMapping_Items(values));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_TypeError, "items() must give (key, value) pairs");
        return -1;
      }
      if (!add(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1))) return -1;
    }
  } else {
    PyRef type_name(PyType_GetName(Py_TYPE(values)));
    if (type_name) PyErr_Format(PyExc_TypeError, "Invalid values type: %U. Expected list or dict", type_name.get());
    return -1;
  }
  if (max_idx >= 0 && static_cast<size_t>(max_idx) >= self->values.size()) {
    self->values.resize(static_cast<size_t>(max_idx) + 1);
  }
  for (const auto& [idx, value] : pending_updates) {
    if (set_by_index(self, idx, value.get()) < 0) return -1;
  }
  if (trim_empty_trails) trim_trailing_empty_fields(self);
  return 0;
}

PyObject* object_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kUpdateSig, args, nargs, kwnames, a) < 0) return nullptr;
  const int trim = a[1] ? PyObject_IsTrue(a[1]) : 1;
  if (trim < 0) return nullptr;
  if (guard([&] { return update_values(as_object(self), a[0], trim != 0); }, -1) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* model_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (bind_arguments(kAddSig, args, nargs, kwnames, a) < 0) return nullptr;
  if (!check_exact_str_or_none(a[0], "class_name")) return nullptr;
  PyObject* initial_values = a[1] ? a[1] : Py_None;
  const int default_values = a[2] ? PyObject_IsTrue(a[2]) : 1;
  if (default_values < 0) return nullptr;
  IDFModel* m = as_model(self);
  if (a[0] == Py_None) {
    raise_none_has_no_encode();
    return nullptr;
  }
  if (!model_ready(m)) return nullptr;
  if (!is_idd(m->idd)) {
    PyErr_SetString(PyExc_TypeError, "this model has no schema (IDD), so objects cannot be added to it");
    return nullptr;
  }
  return guard(
      [&]() -> PyObject* {
        std::string key;
        const Py_ssize_t class_idx = find_class(m->idd, a[0], key);
        if (class_idx < 0) return nullptr;
        const ClassDef& cls = schema_of(m->idd).ordered_classes[static_cast<size_t>(class_idx)];
        std::vector<std::string> values = minimum_values(cls);
        PyRef obj(reinterpret_cast<PyObject*>(new_bare_object(g.IDFObject_type)));
        if (!obj) return nullptr;
        IDFObjectObj* o = as_object(obj.get());
        if (object_c_init(o, m->idd, self, static_cast<size_t>(class_idx), values) < 0) return nullptr;
        auto positions = m->objects_index_map.find(key);
        if (positions == m->objects_index_map.end()) {
          positions = m->objects_index_map.try_emplace(std::string_view(key)).first;
        }
        auto& list = positions->second;
        if (list.size() == list.capacity()) list.reserve(list.empty() ? 8 : list.size() * 2);  // so push_back cannot fail
        o->obj_idx = static_cast<size_t>(PyList_GET_SIZE(m->objects));
        if (PyList_Append(m->objects, obj.get()) < 0) return nullptr;
        positions->second.push_back(o->obj_idx);
        if (default_values) {
          for (int idx : cls.field_idx_with_default) {
            if (set_string_by_index(o, idx, cls.fields[static_cast<size_t>(idx)].default_val) < 0) return nullptr;
          }
        }
        if (update_values(o, initial_values, true) < 0) return nullptr;
        return obj.release();
      },
      nullptr);
}

PyObject* model_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg;
  if (bind_arguments(kRemoveSig, args, nargs, kwnames, &arg) < 0) return nullptr;
  if (arg != Py_None && !is_object(arg)) {
    raise_argument_type("obj", g.IDFObject_type->tp_name, arg);
    return nullptr;
  }
  IDFModel* m = as_model(self);
  if (m->objects == Py_None) {
    raise_no_len();
    return nullptr;
  }
  if (arg == Py_None) {
    raise_not_member();
    return nullptr;
  }
  PyRef keep = PyRef::borrow(arg);  // the object outlives its slot in the list
  IDFObjectObj* obj = as_object(arg);
  if (!PyList_Check(m->objects) || obj->parent_idf != self ||
      obj->obj_idx >= static_cast<size_t>(PyList_GET_SIZE(m->objects)) ||
      PyList_GET_ITEM(m->objects, static_cast<Py_ssize_t>(obj->obj_idx)) != arg) {
    raise_not_member();
    return nullptr;
  }
  if (PyList_SetItem(m->objects, static_cast<Py_ssize_t>(obj->obj_idx), Py_NewRef(Py_None)) < 0) return nullptr;
  return guard(
      [&]() -> PyObject* {
        const auto positions = m->objects_index_map.find(to_upper(std::string_view(obj->c_class_name)));
        if (positions == m->objects_index_map.end()) {
          raise_not_member();
          return nullptr;
        }
        // Class lists are in ascending position order (positions are handed out in
        // increasing order); a list out of order (a hand-made pickle) is searched whole.
        auto& list = positions->second;
        auto at = std::lower_bound(list.begin(), list.end(), obj->obj_idx);
        if (at == list.end() || *at != obj->obj_idx) at = std::find(list.begin(), list.end(), obj->obj_idx);
        if (at != list.end()) list.erase(at);
        if (!obj->values.empty()) name_index_remove(m, obj, obj->values[0]);
        if (object_ready(obj)) {
          unregister_object_fields(m, obj, get_class_def(obj));
        } else {
          PyErr_Clear();
        }
        Py_XSETREF(obj->parent_idf, Py_NewRef(Py_None));
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* model_remove_all_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* class_name;
  if (bind_arguments(kRemoveAllSig, args, nargs, kwnames, &class_name) < 0) return nullptr;
  if (!check_exact_str_or_none(class_name, "class_name")) return nullptr;
  if (class_name == Py_None) {
    raise_none_has_no_encode();
    return nullptr;
  }
  IDFModel* m = as_model(self);
  return guard(
      [&]() -> PyObject* {
        std::string_view utf8;
        if (!utf8_of(class_name, utf8)) return nullptr;
        const auto entry = m->objects_index_map.find(to_upper(utf8));
        if (entry == m->objects_index_map.end() || entry->second.empty()) return PyLong_FromLong(0);
        // Removed objects are held until the end, so that no object is freed (and no
        // finalizer runs) while the index is being changed.
        const std::vector<size_t> positions = entry->second;
        std::vector<PyRef> removed;
        removed.reserve(positions.size());
        const ClassDef* cls = nullptr;
        for (size_t pos : positions) {
          bool failed;
          IDFObjectObj* obj = object_at(m, pos, failed);
          if (failed) return nullptr;
          if (!obj) continue;
          removed.push_back(PyRef::borrow(reinterpret_cast<PyObject*>(obj)));
          if (!cls && object_ready(obj)) cls = &get_class_def(obj);
          PyErr_Clear();
          if (cls) unregister_object_fields(m, obj, *cls);
          if (!obj->values.empty()) name_index_remove(m, obj, obj->values[0]);
          PyList_SetItem(m->objects, static_cast<Py_ssize_t>(pos), Py_NewRef(Py_None));
          Py_XSETREF(obj->parent_idf, Py_NewRef(Py_None));
        }
        m->objects_index_map.erase(to_upper(utf8));
        return PyLong_FromSize_t(removed.size());
      },
      nullptr);
}

}  // namespace quarvel::idf
