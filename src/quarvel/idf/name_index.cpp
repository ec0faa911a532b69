// Lookup of objects by class and name without scanning the class: an index from
// "CLASS\0NAME" (both upper-cased) to the positions of the objects, ascending, so
// that the first entry is the first object of the class with that name. It is a
// cache: built on the first lookup, kept current from then on, and dropped (to be
// built again) when keeping it current fails.
#include "core.hpp"

#include <algorithm>

namespace quarvel::idf {

namespace {

std::string key_of(std::string_view class_name, std::string_view name) {
  std::string key;
  key.reserve(class_name.size() + 1 + name.size());
  for (char c : class_name) key += ascii_upper(c);
  key += '\0';
  for (char c : name) key += ascii_upper(c);
  return key;
}

bool named(const IDFObjectInstance* obj) { return !obj->values.empty() && !obj->values[0].empty(); }

void drop(IDFInstance* model) noexcept {
  model->name_index.clear();
  model->name_index_ready = false;
}

void insert(IDFInstance* model, IDFObjectInstance* obj) {
  auto& positions = model->name_index[key_of(obj->c_class_name, obj->values[0])];
  positions.insert(std::lower_bound(positions.begin(), positions.end(), obj->obj_idx), obj->obj_idx);
}

void build(IDFInstance* model) {
  drop(model);
  if (!PyList_Check(model->objects)) return;
  const State& st = state_of(model);
  try {
    // Most objects have names of their own: room for all of them spares the rehashes.
    model->name_index.reserve(static_cast<size_t>(PyList_GET_SIZE(model->objects)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(model->objects); ++i) {
      PyObject* item = PyList_GET_ITEM(model->objects, i);
      if (st.is_object(item) && as_object(item)->obj_idx == static_cast<size_t>(i) && named(as_object(item))) {
        insert(model, as_object(item));
      }
    }
  } catch (...) {
    drop(model);
    throw;
  }
  model->name_index_ready = true;
}

}  // namespace

void name_index_add(IDFInstance* model, IDFObjectInstance* obj) noexcept {
  if (!model->name_index_ready || !named(obj)) return;
  try {
    insert(model, obj);
  } catch (...) {
    drop(model);
  }
}

void name_index_remove(IDFInstance* model, IDFObjectInstance* obj, std::string_view name) noexcept {
  if (!model->name_index_ready || name.empty()) return;
  try {
    const auto found = model->name_index.find(key_of(obj->c_class_name, name));
    if (found == model->name_index.end()) return;
    auto& positions = found->second;
    const auto at = std::lower_bound(positions.begin(), positions.end(), obj->obj_idx);
    if (at != positions.end() && *at == obj->obj_idx) positions.erase(at);
    if (positions.empty()) model->name_index.erase(found);
  } catch (...) {
    drop(model);
  }
}

void name_index_invalidate(IDFInstance* model) noexcept { drop(model); }

// The first object of the class whose field 0 equals `name` in ASCII letter case, or
// nullptr. Throws when the index cannot be built or the object list is broken.
IDFObjectInstance* name_index_find(IDFInstance* model, std::string_view class_name, std::string_view name) {
  if (!model->name_index_ready) build(model);
  const auto found = model->name_index.find(key_of(class_name, name));
  if (found == model->name_index.end()) return nullptr;
  for (size_t pos : found->second) {
    IDFObjectInstance* obj = object_at(model, pos);
    if (obj && named(obj) && ascii_iequals(obj->values[0], name) && ascii_iequals(obj->c_class_name, class_name)) {
      return obj;
    }
  }
  return nullptr;
}

}  // namespace quarvel::idf
