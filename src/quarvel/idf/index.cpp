// The reference index: for each reference-list name, the upper-cased field texts
// and the fields (object position, field index) that hold them.
#include "core.hpp"

namespace quarvel::idf {

namespace {

void add_location(RefIndex& index, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx,
                  const char* where) {
  auto tag_it = index.end();
  auto val_it = ValueIndex::iterator();
  try {
    tag_it = index.try_emplace(std::string_view(tag)).first;
    // The folded value is looked up from a reused buffer; a key is made only when new.
    thread_local std::string upper;
    upper.assign(val);
    for (char& c : upper) c = ascii_upper(c);
    ValueIndex& values = tag_it->second;
    val_it = values.find(upper);
    if (val_it == values.end()) val_it = values.try_emplace(std::string(upper)).first;
    val_it->second.push_back(FieldLoc{obj_idx, field_idx});
  } catch (const std::bad_alloc& error) {
    // Leave no empty entry behind for the location that could not be stored.
    if (tag_it != index.end()) {
      if (val_it != ValueIndex::iterator() && val_it->second.empty()) tag_it->second.erase(val_it);
      if (tag_it->second.empty()) index.erase(tag_it);
    }
    report_unraisable(where, error);
  }
}

void remove_location(RefIndex& index, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx) {
  const auto tag_it = index.find(tag);
  if (tag_it == index.end()) return;
  thread_local std::string upper;
  try {
    upper.assign(val);
  } catch (const std::bad_alloc&) {
    return;  // a value we cannot fold cannot be looked up; nothing changes
  }
  for (char& c : upper) c = ascii_upper(c);
  const auto val_it = tag_it->second.find(upper);
  if (val_it == tag_it->second.end()) return;
  LocList& locs = val_it->second;
  const FieldLoc wanted{obj_idx, field_idx};
  for (size_t i = 0; i < locs.size(); ++i) {
    if (locs[i] == wanted) {
      locs[i] = locs.back();
      locs.pop_back();
      break;
    }
  }
  if (locs.empty()) {
    tag_it->second.erase(val_it);
    if (tag_it->second.empty()) index.erase(tag_it);
  }
}

}  // namespace

void register_target(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx) {
  add_location(self->targets, tag, val, obj_idx, field_idx, "quarvel.idf.IDF.register_target");
}

void register_referencer(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx,
                         int field_idx) {
  add_location(self->referencers, tag, val, obj_idx, field_idx, "quarvel.idf.IDF.register_referencer");
}

void unregister_target(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx) {
  remove_location(self->targets, tag, val, obj_idx, field_idx);
}

void unregister_referencer(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx,
                           int field_idx) {
  remove_location(self->referencers, tag, val, obj_idx, field_idx);
}

namespace {

// Calls on_target / on_referencer for every list name of every non-empty field of `obj`.
template <class Target, class Referencer>
void for_each_registration(IDFObjectObj* obj, const ClassDef& cls, Target on_target, Referencer on_referencer) {
  const auto& values = obj->values;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].empty()) continue;
    const int field_idx = static_cast<int>(i);
    const FieldDef* field = g.schema->get_field_def(cls, field_idx);
    if (!field) continue;
    for (const std::string& name : field->references) on_target(name, values[i], field_idx);
    for (const std::string& name : field->object_lists) on_referencer(name, values[i], field_idx);
  }
}

}  // namespace

void register_object_fields(IDFModel* model, IDFObjectObj* obj, const ClassDef& cls) {
  for_each_registration(
      obj, cls, [&](const std::string& n, const std::string& v, int f) { register_target(model, n, v, obj->obj_idx, f); },
      [&](const std::string& n, const std::string& v, int f) { register_referencer(model, n, v, obj->obj_idx, f); });
}

void unregister_object_fields(IDFModel* model, IDFObjectObj* obj, const ClassDef& cls) {
  for_each_registration(
      obj, cls,
      [&](const std::string& n, const std::string& v, int f) { unregister_target(model, n, v, obj->obj_idx, f); },
      [&](const std::string& n, const std::string& v, int f) { unregister_referencer(model, n, v, obj->obj_idx, f); });
}

}  // namespace quarvel::idf
