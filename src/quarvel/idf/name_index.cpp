// Lookup of objects by class and name without scanning the class: a table from the
// hash of both names (any letter case) to the positions of the objects; a lookup takes
// the first position whose object has those names. It is a cache: each class is put in
// it on the first lookup in that class, kept current from then on, and the whole is
// dropped (to be built again) when keeping it current fails.
#include "core.hpp"

namespace quarvel::idf {

namespace {

bool named(const IDFObjectInstance* obj) { return !obj->values.empty() && !obj->values[0].empty(); }

uint64_t hash_of(const IDFObjectInstance* obj, std::string_view name) {
  return NameTable::hash_of(obj->c_class_name, name);
}

void drop(IDFInstance* model) noexcept {
  model->name_index.clear();
  model->name_index_ready = false;
}

// Puts the objects of one class in the table: a lookup pays for the classes it asks
// for, not for the whole model.
void index_class(IDFInstance* model, std::string_view class_name) {
  try {
    const auto positions = model->objects_index_map.find_upper(class_name);
    if (positions != model->objects_index_map.end()) {
      model->name_index.reserve_more(positions->second.size());
      for (size_t pos : positions->second) {
        IDFObjectInstance* obj = object_at(model, pos);
        if (obj && obj->obj_idx == pos && named(obj)) model->name_index.insert(hash_of(obj, obj->values[0]), pos);
      }
    }
    model->name_index.add_class(class_name);
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
    if (!model->name_index.holds_class(obj->c_class_name)) return;
    model->name_index.insert(hash_of(obj, obj->values[0]), obj->obj_idx);
  } catch (...) {
    drop(model);
  }
}

void name_index_remove(IDFInstance* model, IDFObjectInstance* obj, std::string_view name) noexcept {
  if (!model->name_index_ready || name.empty()) return;
  model->name_index.erase(hash_of(obj, name), obj->obj_idx);
}

void name_index_invalidate(IDFInstance* model) noexcept { drop(model); }

// The first object of the class whose field 0 equals `name` in ASCII letter case, or
// nullptr. Throws when the index cannot be built or the object list is broken.
IDFObjectInstance* name_index_find(IDFInstance* model, std::string_view class_name, std::string_view name) {
  if (!model->name_index_ready || !model->name_index.holds_class(class_name)) index_class(model, class_name);
  constexpr size_t none = static_cast<size_t>(-1);
  IDFObjectInstance* found = nullptr;
  const size_t pos = model->name_index.find_first(NameTable::hash_of(class_name, name), none, [&](size_t at) {
    IDFObjectInstance* obj = object_at(model, at);
    return obj && named(obj) && ascii_iequals(obj->values[0], name) && ascii_iequals(obj->c_class_name, class_name);
  });
  if (pos != none) found = object_at(model, pos);
  return found;
}

}  // namespace quarvel::idf
