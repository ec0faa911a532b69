// Queries of a model by class, by name and by reference. None of them scans the
// model: each is a lookup in the class index or the reference index.
#include "core.hpp"

#include <algorithm>

namespace quarvel::idf {

namespace {

// The upper-cased UTF-8 key of a class-name argument (str or None).
bool class_key(PyObject* class_name, std::string& key) {
  if (class_name == Py_None) {
    raise_none_has_no_encode();
    return false;
  }
  std::string_view utf8;
  if (!utf8_of(class_name, utf8)) return false;
  key = to_upper(utf8);
  return true;
}

PyObject* get_objects_name() {
  static PyObject* name = PyUnicode_InternFromString("get_objects");
  return name;
}

const char* const kClassNameNames[] = {"class_name"};
const Signature kGetObjectsSig = {"get_objects", kClassNameNames, 1, 1, 1};

const char* const kByNameNames[] = {"class_name", "obj_name"};
const Signature kByNameSig = {"get_object_by_name", kByNameNames, 2, 2, 2};

const char* const kKeyNames[] = {"key"};

// What both reference queries start from: the model, the field definition and the
// upper-cased stored text. Returns false with an exception set on a bad key, and
// true with `field` null when there is nothing to follow.
bool reference_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* func,
                     IDFModel*& model, const FieldDef*& field, std::string& upper_val) {
  field = nullptr;
  PyObject* key;
  const Signature sig = {func, kKeyNames, 1, 1, 1};
  if (bind_arguments(sig, args, nargs, kwnames, &key) < 0) return false;
  IDFObjectObj* o = as_object(self);
  if (!object_ready(o)) return false;
  const ClassDef& cls = get_class_def(o);
  const int field_idx = g.schema->resolve_key_to_field_index(cls, key);
  if (field_idx < 0) return false;
  const FieldDef* def = g.schema->get_field_def(cls, field_idx);
  if (!def || !is_model(o->parent_idf) || static_cast<size_t>(field_idx) >= o->values.size()) return true;
  const std::string& text = o->values[static_cast<size_t>(field_idx)];
  if (text.empty()) return true;
  upper_val = to_upper(std::string_view(text));
  model = as_model(o->parent_idf);
  field = def;
  return true;
}

// The locations under `list_name` and `upper_val` in a reference index, or null.
const LocList* locations(const RefIndex& index, const std::string& list_name, const std::string& upper_val) {
  const auto tag = index.find(list_name);
  if (tag == index.end()) return nullptr;
  const auto locs = tag->second.find(upper_val);
  return locs == tag->second.end() ? nullptr : &locs->second;
}

}  // namespace

PyObject* tuple_from_list(PyObject* list) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  PyTypeObject* type = g.IDFObjectTuple_type;
  PyObject* tuple = type->tp_alloc(type, n);
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(PyList_GET_ITEM(list, i)));
  return tuple;
}

PyObject* get_objects_raw(IDFModel* self, PyObject* class_name) {
  std::string key;
  if (!guard([&] { return class_key(class_name, key); }, false)) return nullptr;
  const auto found = self->objects_index_map.find(key);
  if (found == self->objects_index_map.end() || found->second.empty()) return PyList_New(0);
  const std::vector<size_t>& positions = found->second;
  PyRef result(PyList_New(static_cast<Py_ssize_t>(positions.size())));
  if (!result) return nullptr;
  Py_ssize_t stored = 0;
  for (size_t pos : positions) {
    bool failed;
    IDFObjectObj* obj = object_at(self, pos, failed);
    if (failed) return nullptr;
    if (obj) PyList_SET_ITEM(result.get(), stored++, Py_NewRef(reinterpret_cast<PyObject*>(obj)));
  }
  if (stored < PyList_GET_SIZE(result.get())) Py_SET_SIZE(result.get(), stored);
  return result.release();
}

PyObject* model_get_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* class_name;
  if (bind_arguments(kGetObjectsSig, args, nargs, kwnames, &class_name) < 0) return nullptr;
  if (!check_exact_str_or_none(class_name, "class_name")) return nullptr;
  PyRef list(get_objects_raw(as_model(self), class_name));
  return list ? tuple_from_list(list.get()) : nullptr;
}

PyObject* model_subscript(PyObject* self, PyObject* key) {
  return PyObject_CallMethodOneArg(self, get_objects_name(), key);
}

PyObject* model_sq_item(PyObject* self, Py_ssize_t i) {
  PyRef key(PyLong_FromSsize_t(i));
  return key ? model_subscript(self, key.get()) : nullptr;
}

PyObject* model_get_object_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kByNameSig, args, nargs, kwnames, a) < 0) return nullptr;
  if (!check_exact_str_or_none(a[0], "class_name") || !check_exact_str_or_none(a[1], "obj_name")) return nullptr;
  if (a[1] == Py_None) {
    raise_none_has_no_encode();
    return nullptr;
  }
  std::string_view wanted;
  if (!utf8_of(a[1], wanted)) return nullptr;
  if (!wanted.empty()) {
    if (a[0] == Py_None) {
      raise_none_has_no_encode();
      return nullptr;
    }
    std::string_view class_name;
    if (!utf8_of(a[0], class_name)) return nullptr;
    IDFObjectObj* found = nullptr;
    if (!guard([&] { return name_index_find(as_model(self), class_name, wanted, found); }, false)) return nullptr;
    return Py_NewRef(found ? reinterpret_cast<PyObject*>(found) : Py_None);
  }
  // An empty name matches objects whose first field is empty: found by a walk of the class.
  PyRef candidates(get_objects_raw(as_model(self), a[0]));
  if (!candidates) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
    IDFObjectObj* obj = as_object(PyList_GET_ITEM(candidates.get(), i));
    if (!obj->values.empty() && obj->values[0].empty()) return Py_NewRef(reinterpret_cast<PyObject*>(obj));
  }
  Py_RETURN_NONE;
}

PyObject* model_get_class_names(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (bind_no_arguments("get_class_names", nargs, kwnames) < 0) return nullptr;
  IDFModel* m = as_model(self);
  PyRef names(PyList_New(0));
  if (!names) return nullptr;
  for (const auto& [key, positions] : m->objects_index_map) {
    if (positions.empty()) continue;
    bool failed;
    IDFObjectObj* obj = object_at(m, positions.front(), failed);
    if (failed) return nullptr;
    if (obj && PyList_Append(names.get(), obj->class_name) < 0) return nullptr;
  }
  return names.release();
}

PyObject* model_find_dangling_references(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (bind_no_arguments("find_dangling_references", nargs, kwnames) < 0) return nullptr;
  IDFModel* m = as_model(self);
  // A referring field dangles when none of its object lists has a target under its
  // value. Every location in `referencers` is a live object's field.
  std::vector<std::pair<FieldLoc, bool>> seen;  // (location, resolved through some list)
  const bool ok = guard(
      [&] {
        for (const auto& [list_name, values] : m->referencers) {
          const auto targets = m->targets.find(list_name);
          for (const auto& [value, locs] : values) {
            const bool resolved = targets != m->targets.end() && targets->second.find(value) != targets->second.end();
            for (const FieldLoc& loc : locs) seen.emplace_back(loc, resolved);
          }
        }
        std::sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) {
          return a.first.first != b.first.first ? a.first.first < b.first.first : a.first.second < b.first.second;
        });
        return true;
      },
      false);
  if (!ok) return nullptr;
  PyRef result(PyList_New(0));
  if (!result) return nullptr;
  for (size_t i = 0; i < seen.size();) {
    size_t j = i;
    bool resolved = false;
    for (; j < seen.size() && seen[j].first == seen[i].first; ++j) resolved = resolved || seen[j].second;
    if (!resolved) {
      bool failed;
      IDFObjectObj* obj = object_at(m, seen[i].first.first, failed);
      if (failed) return nullptr;
      if (obj) {
        PyRef pair(Py_BuildValue("(Oi)", reinterpret_cast<PyObject*>(obj), seen[i].first.second));
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) return nullptr;
      }
    }
    i = j;
  }
  return result.release();
}

PyObject* object_get_referenced_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  IDFModel* model = nullptr;
  const FieldDef* field = nullptr;
  std::string upper_val;
  const bool ok = guard(
      [&] { return reference_start(self, args, nargs, kwnames, "get_referenced_object", model, field, upper_val); },
      false);
  if (!ok) return nullptr;
  if (!field) Py_RETURN_NONE;
  for (const std::string& list_name : field->object_lists) {
    const LocList* locs = locations(model->targets, list_name, upper_val);
    if (!locs) continue;
    for (const FieldLoc& loc : *locs) {
      bool failed;
      IDFObjectObj* obj = object_at(model, loc.first, failed);
      if (failed) return nullptr;
      if (obj) return Py_NewRef(reinterpret_cast<PyObject*>(obj));
    }
  }
  Py_RETURN_NONE;
}

PyObject* object_get_referencing_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  IDFModel* model = nullptr;
  const FieldDef* field = nullptr;
  std::string upper_val;
  const bool ok = guard(
      [&] { return reference_start(self, args, nargs, kwnames, "get_referencing_objects", model, field, upper_val); },
      false);
  if (!ok) return nullptr;
  PyRef found(PyList_New(0));
  if (!found) return nullptr;
  if (field) {
    for (const std::string& list_name : field->references) {
      const LocList* locs = locations(model->referencers, list_name, upper_val);
      if (!locs) continue;
      for (const FieldLoc& loc : *locs) {
        bool failed;
        IDFObjectObj* obj = object_at(model, loc.first, failed);
        if (failed) return nullptr;
        if (obj && PyList_Append(found.get(), reinterpret_cast<PyObject*>(obj)) < 0) return nullptr;
      }
    }
  }
  return tuple_from_list(found.get());
}

}  // namespace quarvel::idf
