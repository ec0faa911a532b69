// Writing fields: turning Python values into text, refusing text the file format
// cannot carry, and storing a batch of writes so that the object and its model's
// indexes change together or not at all.
#include "core.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/field_text.hpp"

#include <algorithm>

namespace quarvel::idf {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

}  // namespace

std::string text_of_value(const State& st, PyObject* value) {
  if (value == Py_None) return std::string();
  if (PyUnicode_CheckExact(value)) {
    if (PyUnicode_GET_LENGTH(value) == 0) return std::string();
  } else {
    PyRef empty = take(PyUnicode_FromStringAndSize("", 0));
    const int equal = PyObject_RichCompareBool(value, empty.get(), Py_EQ);
    check_status(equal);
    if (equal) return std::string();
  }
  std::string text;
  check_status(st.utils->any_to_string(value, text));
  return text;
}

void check_storable(const State& st, const ClassDef& cls, int field_idx, std::string_view text) {
  const FieldTextFault fault = field_text_fault(text);
  if (!fault) return;
  std::string field = st.schema->get_field_name(cls, field_idx, false);
  if (field.empty()) field = "field " + std::to_string(field_idx);
  if (fault.kind == FieldTextFault::kBlankAtEnd) {
    raise_format(PyExc_ValueError, messages::kBlankAtEnd, cls.name.c_str(), field.c_str());
  }
  PyRef character = take(PyUnicode_FromStringAndSize(&fault.character, 1));
  raise_format(PyExc_ValueError, messages::kCannotHold, cls.name.c_str(),
               field.c_str(), character.get());
}

namespace {

// One write to a field that takes no part in any index (no reference lists, not the
// name of an object of a model): the common case of setting a number, made cheap.
// Returns false, having changed nothing, when the general path is needed.
bool apply_plain_write(const State& st, IDFObjectInstance* obj, const ClassDef& cls, FieldWrite& write, bool trim) {
  auto& values = obj->values;
  const auto i = static_cast<size_t>(write.field_idx);
  if (i < values.size() && values[i] == write.text) {
    if (trim) trim_trailing_empty_fields(obj);
    return true;  // nothing changes
  }
  IDFInstance* model = member_model(obj);
  if (model) {
    if (i == 0) return false;
    const FieldDef* field = field_def_at(cls, write.field_idx);
    if (field && (!field->references().empty() || !field->object_lists().empty())) return false;
  }
  check_storable(st, cls, write.field_idx, write.text);
  if (i >= values.size()) {
    if (write.text.empty()) {
      if (trim) trim_trailing_empty_fields(obj);
      return true;
    }
    values.resize(i + 1);  // throws before anything changed
  }
  values[i].swap(write.text);
  if (trim) trim_trailing_empty_fields(obj);
  return true;
}

}  // namespace

void apply_writes(IDFObjectInstance* obj, std::span<FieldWrite> writes, Extend extend, bool trim) {
  const ClassDef& cls = class_of(obj);
  const State& st = state_of(obj);
  if (IDFInstance* model = member_model(obj)) begin_change(model);
  if (writes.size() == 1 && extend == Extend::kNonEmpty && apply_plain_write(st, obj, cls, writes[0], trim)) return;
  for (const FieldWrite& w : writes) check_storable(st, cls, w.field_idx, w.text);
  auto& values = obj->values;
  const size_t n = writes.size();

  // The writes run as if one after the other: each one's old text is what the write
  // before it to the same field stored, or the stored value for the first.
  std::vector<size_t> previous;
  std::vector<bool> superseded;
  if (n > 1) {
    previous.assign(n, kNone);
    superseded.assign(n, false);
    if (n <= 32) {
      for (size_t k = 1; k < n; ++k) {
        for (size_t j = k; j-- > 0;) {
          if (writes[j].field_idx != writes[k].field_idx) continue;
          previous[k] = j;
          superseded[j] = true;
          break;
        }
      }
    } else {
      std::vector<size_t> order(n);
      for (size_t k = 0; k < n; ++k) order[k] = k;
      std::stable_sort(order.begin(), order.end(),
                       [&](size_t a, size_t b) { return writes[a].field_idx < writes[b].field_idx; });
      for (size_t k = 1; k < n; ++k) {
        if (writes[order[k]].field_idx != writes[order[k - 1]].field_idx) continue;
        previous[order[k]] = order[k - 1];
        superseded[order[k - 1]] = true;
      }
    }
  }
  static const std::string kEmpty;
  auto old_text = [&](size_t k) -> const std::string& {
    if (n > 1 && previous[k] != kNone) return writes[previous[k]].text;
    const auto i = static_cast<size_t>(writes[k].field_idx);
    return i < values.size() ? values[i] : kEmpty;
  };

  size_t new_size = values.size();
  for (size_t k = 0; k < n; ++k) {
    const auto i = static_cast<size_t>(writes[k].field_idx);
    if (extend == Extend::kToHighest) new_size = std::max(new_size, i + 1);
    if (!writes[k].text.empty() && old_text(k) != writes[k].text) new_size = std::max(new_size, i + 1);
  }
  // Every allocation is made before anything changes; the room for the values comes
  // first, as the batch below holds views of the stored texts.
  if (new_size > values.capacity()) values.reserve(std::max(new_size, values.size() * 2));  // growth as resize's
  IDFInstance* model = member_model(obj);
  IndexBatch batch(model);
  bool name_changes = false;
  if (model) {
    for (size_t k = 0; k < n; ++k) {
      const std::string& old = old_text(k);
      if (old == writes[k].text) continue;  // nothing changes, the index is not touched
      name_changes = name_changes || writes[k].field_idx == 0;
      if (const FieldDef* field = field_def_at(cls, writes[k].field_idx)) {
        const FieldLoc loc{obj->obj_idx, writes[k].field_idx};
        batch.withdraw(*field, old, loc);
        batch.add(*field, writes[k].text, loc);
      }
    }
  }
  if (!batch.empty()) batch.prepare();

  if (!batch.empty()) batch.commit();
  if (name_changes) name_index_remove(model, obj, values.empty() ? std::string_view() : values[0]);
  values.resize(new_size);  // within the reserved room: no allocation
  for (size_t k = 0; k < n; ++k) {
    const auto i = static_cast<size_t>(writes[k].field_idx);
    if ((n == 1 || !superseded[k]) && i < values.size()) values[i].swap(writes[k].text);
  }
  if (name_changes) name_index_add(model, obj);
  if (trim) trim_trailing_empty_fields(obj);
}

void trim_trailing_empty_fields(IDFObjectInstance* self) {
  auto& values = self->values;
  while (!values.empty() && values.back().empty()) values.pop_back();
}

int set_string_by_index(IDFObjectInstance* self, int field_idx, const std::string& value) {
  return guard(
      [&] {
        FieldWrite write{field_idx, value};
        apply_writes(self, std::span(&write, 1), Extend::kNonEmpty, false);
        return 0;
      },
      -1);
}

int set_by_index(IDFObjectInstance* self, int field_idx, PyObject* value) {
  return guard(
      [&] {
        FieldWrite write{field_idx, text_of_value(state_of(self), value)};
        apply_writes(self, std::span(&write, 1), Extend::kNonEmpty, false);
        return 0;
      },
      -1);
}

}  // namespace quarvel::idf
