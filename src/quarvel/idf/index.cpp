// The reference index: for each reference-list name, the upper-cased field texts
// and the fields (object position, field index) that hold them. Lookups fold the
// text as they hash it, so no upper-cased copy is made to search.
#include "core.hpp"

namespace quarvel::idf {

void add_value_location(ValueIndex& values, std::string_view text, FieldLoc loc) {
  const auto [value_it, value_created] = values.try_emplace_upper(text);
  try {
    value_it->second.push_back(loc);
  } catch (...) {
    if (value_created) values.erase(value_it);
    throw;
  }
}

void add_location(RefIndex& index, std::string_view tag, std::string_view text, FieldLoc loc) {
  const auto [tag_it, tag_created] = index.try_emplace(tag);
  try {
    add_value_location(tag_it->second, text, loc);
  } catch (...) {
    if (tag_created) index.erase(tag_it);
    throw;
  }
}

void remove_location(RefIndex& index, std::string_view tag, std::string_view text, FieldLoc loc,
                     bool keep_empty) noexcept {
  const auto tag_it = index.find(tag);
  if (tag_it == index.end()) return;
  const auto value_it = tag_it->second.find_upper(text);
  if (value_it == tag_it->second.end()) return;
  LocList& locs = value_it->second;
  locs.remove(loc);
  if (locs.empty() && !keep_empty) {
    tag_it->second.erase(value_it);
    if (tag_it->second.empty()) index.erase(tag_it);
  }
}

void erase_if_empty(RefIndex& index, std::string_view tag, std::string_view text) noexcept {
  const auto tag_it = index.find(tag);
  if (tag_it == index.end()) return;
  const auto value_it = tag_it->second.find_upper(text);
  if (value_it != tag_it->second.end() && value_it->second.empty()) tag_it->second.erase(value_it);
  if (tag_it->second.empty()) index.erase(tag_it);
}

void unregister_object(IDFInstance* model, const ClassDef& cls, const std::vector<std::string>& values,
                       size_t obj_idx) noexcept {
  // for_each_registration only looks up field definitions: it cannot throw here.
  for_each_registration(cls, values, [&](std::string_view name, bool target, const std::string& text, int field) {
    remove_location(target ? model->targets : model->referencers, name, text, FieldLoc{obj_idx, field});
  });
}

// ---- batches ----------------------------------------------------------------------

IndexBatch::~IndexBatch() {
  if (prepared_) undo();
}

void IndexBatch::queue(const FieldDef& field, std::string_view text, FieldLoc loc, bool add) {
  if (text.empty()) return;  // empty texts are never indexed
  for (const std::string_view name : field.references()) steps_.push_back(Step{&model_->targets, name, text, loc, add});
  for (const std::string_view name : field.object_lists()) {
    steps_.push_back(Step{&model_->referencers, name, text, loc, add});
  }
}

void IndexBatch::withdraw(const FieldDef& field, std::string_view text, FieldLoc loc) {
  queue(field, text, loc, false);
}

void IndexBatch::add(const FieldDef& field, std::string_view text, FieldLoc loc) { queue(field, text, loc, true); }

void IndexBatch::prepare() {
  // What is created is recorded before it can be needed for undoing: the records
  // are reserved up front, so recording cannot fail after a creation.
  created_.reserve(2 * steps_.size());
  prepared_ = true;
  try {
    // First every entry a registration needs; then, with no entry moving any more,
    // room in each location list for every location it will receive.
    for (const Step& step : steps_) {
      if (!step.add) continue;
      const auto [tag_it, tag_created] = step.index->try_emplace(step.tag);
      if (tag_created) created_.push_back(Created{step.index, step.tag, std::string_view(), false});
      if (tag_it->second.try_emplace_upper(step.text).second) {
        created_.push_back(Created{step.index, step.tag, step.text, true});
      }
    }
    std::vector<std::pair<LocList*, size_t>> room;
    for (const Step& step : steps_) {
      if (!step.add) continue;
      LocList* list = &step.index->find(step.tag)->second.find_upper(step.text)->second;
      bool counted = false;
      for (auto& [known, extra] : room) {
        if (known == list) {
          ++extra;
          counted = true;
          break;
        }
      }
      if (!counted) room.emplace_back(list, 1);
    }
    for (auto& [list, extra] : room) list->reserve(list->size() + extra);
  } catch (...) {
    undo();
    throw;
  }
}

void IndexBatch::undo() noexcept {
  prepared_ = false;
  // Newest first: a value entry goes before the list-name entry that holds it.
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
    const auto tag_it = it->index->find(it->tag);
    if (tag_it == it->index->end()) continue;
    if (it->value) {
      const auto value_it = tag_it->second.find_upper(it->text);
      if (value_it != tag_it->second.end() && value_it->second.empty()) tag_it->second.erase(value_it);
    } else if (tag_it->second.empty()) {
      it->index->erase(tag_it);
    }
  }
  created_.clear();
}

void IndexBatch::commit() noexcept {
  // Entries stay while the steps run, so that a registration never has to make again
  // an entry that a withdrawal before it emptied; empty ones are erased afterwards.
  for (const Step& step : steps_) {
    if (step.add) {
      step.index->find(step.tag)->second.find_upper(step.text)->second.push_back(step.loc);  // room was made
    } else {
      remove_location(*step.index, step.tag, step.text, step.loc, true);
    }
  }
  for (const Step& step : steps_) erase_if_empty(*step.index, step.tag, step.text);
  prepared_ = false;
  created_.clear();
  steps_.clear();
}

// ---- the published operations, which never raise ----------------------------------

namespace {

void register_reporting(RefIndex& index, const std::string& tag, const std::string& val, size_t obj_idx,
                        int field_idx, const char* where) {
  try {
    add_location(index, tag, val, FieldLoc{obj_idx, field_idx});
  } catch (const std::exception& error) {
    report_unraisable(where, error);
  }
}

}  // namespace

void register_target(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx) {
  register_reporting(self->targets, tag, val, obj_idx, field_idx, "quarvel.idf.IDF.register_target");
}

void register_referencer(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx,
                         int field_idx) {
  register_reporting(self->referencers, tag, val, obj_idx, field_idx, "quarvel.idf.IDF.register_referencer");
}

void unregister_target(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx) {
  remove_location(self->targets, tag, val, FieldLoc{obj_idx, field_idx});
}

void unregister_referencer(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx,
                           int field_idx) {
  remove_location(self->referencers, tag, val, FieldLoc{obj_idx, field_idx});
}

}  // namespace quarvel::idf
