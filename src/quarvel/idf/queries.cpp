// Queries of a model by class, by name and by reference. None of them scans the
// model: each is a lookup in the class index or the reference index.
#include "core.hpp"

#include <algorithm>

namespace quarvel::idf {

namespace {

// The UTF-8 of a class-name argument (str or None); throws for None.
std::string_view class_text(PyObject* class_name) {
  if (class_name == Py_None) {
    raise_none_has_no_encode();
    throw PythonErrorSet();
  }
  return utf8_of(class_name);
}

const char* const kClassNameNames[] = {"class_name"};
const Signature kGetObjectsSig = {"get_objects", kClassNameNames, 1, 1, 1};

const char* const kByNameNames[] = {"class_name", "obj_name"};
const Signature kByNameSig = {"get_object_by_name", kByNameNames, 2, 2, 2};

const char* const kKeyNames[] = {"key"};

// What both reference queries start from: the model, the field definition and the
// stored text. Throws on a bad key; returns a null field when there is nothing to follow.
struct ReferenceStart {
  IDFInstance* model = nullptr;
  const FieldDef* field = nullptr;
  std::string_view text;
};

ReferenceStart reference_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                               const char* func) {
  PyObject* key;
  const Signature sig = {func, kKeyNames, 1, 1, 1};
  check_status(bind_arguments(sig, args, nargs, kwnames, &key));
  IDFObjectInstance* o = as_object(self);
  const ClassDef& cls = class_of(o);
  const State& st = state_of(o);
  const int field_idx = st.schema->resolve_key_to_field_index(cls, key);
  if (field_idx < 0) throw PythonErrorSet();
  ReferenceStart start;
  const FieldDef* def = field_def_at(cls, field_idx);
  IDFInstance* model = member_model(o);
  if (!def || !model || static_cast<size_t>(field_idx) >= o->values.size()) return start;
  const std::string& text = o->values[static_cast<size_t>(field_idx)];
  if (text.empty()) return start;
  start.model = model;
  start.field = def;
  start.text = text;
  return start;
}

// The locations under `list_name` and `text` (any letter case) in a reference index, or null.
const LocList* locations(const RefIndex& index, std::string_view list_name, std::string_view text) {
  const auto tag = index.find(list_name);
  if (tag == index.end()) return nullptr;
  const auto locs = tag->second.find_upper(text);
  return locs == tag->second.end() ? nullptr : &locs->second;
}

}  // namespace

PyObject* tuple_from_list(const State& st, PyObject* list) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  PyTypeObject* type = st.tuple_type;
  PyObject* tuple = type->tp_alloc(type, n);
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(PyList_GET_ITEM(list, i)));
  return tuple;
}

PyObject* get_objects_raw(IDFInstance* self, PyObject* class_name) {
  return guard(
      [&]() -> PyObject* {
        const auto found = self->objects_index_map.find_upper(class_text(class_name));
        if (found == self->objects_index_map.end() || found->second.empty()) return PyList_New(0);
        const PositionList& positions = found->second;
        PyRef result = take(PyList_New(static_cast<Py_ssize_t>(positions.size())));
        Py_ssize_t stored = 0;
        for (size_t pos : positions) {
          if (IDFObjectInstance* obj = object_at(self, pos)) PyList_SET_ITEM(result.get(), stored++, Py_NewRef(as_py(obj)));
        }
        if (stored < PyList_GET_SIZE(result.get())) Py_SET_SIZE(result.get(), stored);
        return result.release();
      },
      nullptr);
}

PyObject* model_get_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* class_name;
  if (bind_arguments(kGetObjectsSig, args, nargs, kwnames, &class_name) < 0) return nullptr;
  if (!check_exact_str_or_none(class_name, "class_name")) return nullptr;
  PyRef list(get_objects_raw(as_model(self), class_name));
  return list ? tuple_from_list(state_of(self), list.get()) : nullptr;
}

PyObject* model_subscript(PyObject* self, PyObject* key) {
  return PyObject_CallMethodOneArg(self, state_of(self).get_objects_name, key);
}

PyObject* model_sq_item(PyObject* self, Py_ssize_t i) {
  PyRef key(PyLong_FromSsize_t(i));
  return key ? model_subscript(self, key.get()) : nullptr;
}

PyObject* model_get_object_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[2];
        check_status(bind_arguments(kByNameSig, args, nargs, kwnames, a));
        if (!check_exact_str_or_none(a[0], "class_name") || !check_exact_str_or_none(a[1], "obj_name")) {
          throw PythonErrorSet();
        }
        if (a[1] == Py_None) {
          raise_none_has_no_encode();
          throw PythonErrorSet();
        }
        const std::string_view wanted = utf8_of(a[1]);
        if (!wanted.empty()) {
          IDFObjectInstance* found = name_index_find(as_model(self), class_text(a[0]), wanted);
          return Py_NewRef(found ? as_py(found) : Py_None);
        }
        // An empty name matches objects whose first field is empty: found by a walk of the class.
        PyRef candidates = take(get_objects_raw(as_model(self), a[0]));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
          IDFObjectInstance* obj = as_object(PyList_GET_ITEM(candidates.get(), i));
          if (!obj->values.empty() && obj->values[0].empty()) return Py_NewRef(as_py(obj));
        }
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* model_get_class_names(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        check_status(bind_no_arguments("get_class_names", nargs, kwnames));
        IDFInstance* m = as_model(self);
        PyRef names = take(PyList_New(0));
        for (const auto& [key, positions] : m->objects_index_map) {
          if (positions.empty()) continue;
          if (IDFObjectInstance* obj = object_at(m, positions.front())) {
            check_status(PyList_Append(names.get(), obj->class_name));
          }
        }
        return names.release();
      },
      nullptr);
}

PyObject* model_find_dangling_references(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        check_status(bind_no_arguments("find_dangling_references", nargs, kwnames));
        IDFInstance* m = as_model(self);
        // A referring field dangles when none of its object lists has a target under its
        // value, nor a class that joins the list by its name. Every location in
        // `referencers` is a live object's field.
        const c_IDD* schema = state_of(m).is_idd(m->idd) ? &schema_of(m->idd) : nullptr;
        std::vector<std::pair<FieldLoc, bool>> seen;  // (location, resolved through some list)
        for (const auto& [list_name, values] : m->referencers) {
          const auto targets = m->targets.find(list_name);
          for (const auto& [value, locs] : values) {
            const bool resolved = (targets != m->targets.end() && targets->second.find(value) != targets->second.end()) ||
                                  (schema && names_a_class(*schema, list_name, value));
            for (const FieldLoc& loc : locs) seen.emplace_back(loc, resolved);
          }
        }
        std::sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) {
          return a.first.obj_idx != b.first.obj_idx ? a.first.obj_idx < b.first.obj_idx
                                                    : a.first.field_idx < b.first.field_idx;
        });
        PyRef result = take(PyList_New(0));
        for (size_t i = 0; i < seen.size();) {
          size_t j = i;
          bool resolved = false;
          for (; j < seen.size() && seen[j].first == seen[i].first; ++j) resolved = resolved || seen[j].second;
          if (!resolved) {
            if (IDFObjectInstance* obj = object_at(m, seen[i].first.obj_idx)) {
              PyRef pair = take(Py_BuildValue("(Oi)", as_py(obj), seen[i].first.field_idx));
              check_status(PyList_Append(result.get(), pair.get()));
            }
          }
          i = j;
        }
        return result.release();
      },
      nullptr);
}

PyObject* object_get_referenced_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        const ReferenceStart start = reference_start(self, args, nargs, kwnames, "get_referenced_object");
        if (!start.field) Py_RETURN_NONE;
        for (const std::string_view list_name : start.field->object_lists()) {
          const LocList* locs = locations(start.model->targets, list_name, start.text);
          if (!locs) continue;
          for (const FieldLoc& loc : *locs) {
            if (IDFObjectInstance* obj = object_at(start.model, loc.obj_idx)) return Py_NewRef(as_py(obj));
          }
        }
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* object_get_referencing_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        const ReferenceStart start = reference_start(self, args, nargs, kwnames, "get_referencing_objects");
        PyRef found = take(PyList_New(0));
        if (start.field) {
          for (const std::string_view list_name : start.field->references()) {
            const LocList* locs = locations(start.model->referencers, list_name, start.text);
            if (!locs) continue;
            for (const FieldLoc& loc : *locs) {
              if (IDFObjectInstance* obj = object_at(start.model, loc.obj_idx)) {
                check_status(PyList_Append(found.get(), as_py(obj)));
              }
            }
          }
        }
        return tuple_from_list(state_of(self), found.get());
      },
      nullptr);
}

}  // namespace quarvel::idf
