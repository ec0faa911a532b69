// Lookup of objects by class and name without scanning the class: an index from
// "CLASS\0NAME" (both upper-cased) to the positions of the objects, ascending, so
// that the first entry is the first object of the class with that name.
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

bool named(const IDFObjectObj* obj) { return !obj->values.empty() && !obj->values[0].empty(); }

// A failure to maintain the index drops it; the next lookup rebuilds it.
void drop(IDFModel* model) {
  model->name_index.clear();
  model->name_index_ready = false;
}

}  // namespace

void name_index_add(IDFModel* model, IDFObjectObj* obj) {
  if (!model->name_index_ready || !named(obj)) return;
  try {
    auto& positions = model->name_index[key_of(obj->c_class_name, obj->values[0])];
    positions.insert(std::lower_bound(positions.begin(), positions.end(), obj->obj_idx), obj->obj_idx);
  } catch (const std::bad_alloc&) {
    drop(model);
  }
}

void name_index_remove(IDFModel* model, IDFObjectObj* obj, const std::string& name) {
  if (!model->name_index_ready || name.empty()) return;
  try {
    const auto found = model->name_index.find(key_of(obj->c_class_name, name));
    if (found == model->name_index.end()) return;
    auto& positions = found->second;
    const auto at = std::lower_bound(positions.begin(), positions.end(), obj->obj_idx);
    if (at != positions.end() && *at == obj->obj_idx) positions.erase(at);
    if (positions.empty()) model->name_index.erase(found);
  } catch (const std::bad_alloc&) {
    drop(model);
  }
}

void name_index_invalidate(IDFModel* model) { drop(model); }

// The first object of the class whose field 0 equals `name` in ASCII letter case,
// or nullptr. Returns false with an exception set when the object list is broken.
bool name_index_find(IDFModel* model, std::string_view class_name, std::string_view name, IDFObjectObj*& result) {
  result = nullptr;
  if (!model->name_index_ready) {
    drop(model);
    if (!PyList_Check(model->objects)) return true;
    model->name_index_ready = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(model->objects); ++i) {
      PyObject* item = PyList_GET_ITEM(model->objects, i);
      if (is_object(item) && as_object(item)->obj_idx == static_cast<size_t>(i)) name_index_add(model, as_object(item));
    }
  }
  const auto found = model->name_index.find(key_of(class_name, name));
  if (found == model->name_index.end()) return true;
  for (size_t pos : found->second) {
    bool failed;
    IDFObjectObj* obj = object_at(model, pos, failed);
    if (failed) return false;
    if (obj && named(obj) && ascii_iequals(obj->values[0], name) && ascii_iequals(obj->c_class_name, class_name)) {
      result = obj;
      return true;
    }
  }
  return true;
}

}  // namespace quarvel::idf
