// Renaming an object together with every field of its model that refers to it, as one
// edit: the name and the referring fields change together, or nothing changes.
#include "features.hpp"
#include "quarvel/messages.hpp"

#include <algorithm>

namespace quarvel::features {

namespace {

const char* const kRenameNames[] = {"new_name", "outputs"};
const Signature kRenameSig = {"rename", kRenameNames, 2, 1, 2};



// Refuses a name that another object already declares where this one declares its own:
// references to it could no longer tell the two apart.
void refuse_taken_name(IDFInstance* model, IDFObjectInstance* obj, const FieldDef& name_field, std::string_view name) {
  for (const std::string_view list : name_field.references()) {
    const auto tag = model->targets.find(list);
    if (tag == model->targets.end()) continue;
    const auto locs = tag->second.find_upper(name);
    if (locs == tag->second.end()) continue;
    for (const FieldLoc& loc : locs->second) {
      IDFObjectInstance* holder = object_at(model, loc.obj_idx);
      if (!holder || holder == obj) continue;
      PyRef text = take(str_from(name));
      raise_format(PyExc_ValueError, messages::kRenameTaken, class_name_of(obj),
                   obj->values[0].c_str(), text.get(), class_name_of(holder),
                   holder->values[static_cast<size_t>(loc.field_idx)].c_str());
    }
  }
  IDFObjectInstance* same_class = name_index_find(model, obj->c_class_name, name);
  if (same_class && same_class != obj) {
    PyRef text = take(str_from(name));
    raise_format(PyExc_ValueError, messages::kRenameTakenByAnother, class_name_of(obj),
                 obj->values[0].c_str(), text.get(), class_name_of(obj));
  }
}

// The fields that refer to `obj` by its name `old`: those under each list the name
// field declares it in, unless another object declares the same name there too (then
// a referring field may mean that one, and is left alone).
std::vector<FieldLoc> referring_fields(IDFInstance* model, IDFObjectInstance* obj, const FieldDef& name_field,
                                       std::string_view old) {
  std::vector<FieldLoc> found;
  for (const std::string_view list : name_field.references()) {
    const auto tag = model->targets.find(list);
    if (tag != model->targets.end()) {
      const auto locs = tag->second.find_upper(old);
      if (locs != tag->second.end() &&
          std::any_of(locs->second.begin(), locs->second.end(),
                      [&](const FieldLoc& loc) { return loc.obj_idx != obj->obj_idx; })) {
        continue;
      }
    }
    const auto refs = model->referencers.find(list);
    if (refs == model->referencers.end()) continue;
    const auto locs = refs->second.find_upper(old);
    if (locs == refs->second.end()) continue;
    found.insert(found.end(), locs->second.begin(), locs->second.end());
  }
  std::sort(found.begin(), found.end(), [](const FieldLoc& x, const FieldLoc& y) {
    return x.obj_idx != y.obj_idx ? x.obj_idx < y.obj_idx : x.field_idx < y.field_idx;
  });
  found.erase(std::unique(found.begin(), found.end()), found.end());
  // The name field itself is written as the name.
  std::erase(found, FieldLoc{obj->obj_idx, 0});
  return found;
}

struct Write {
  IDFObjectInstance* obj;
  int field_idx;
  std::string text;
};

// Stores every write and keeps the reference and name indexes in step; every
// allocation is made before the first change.
void apply_all(IDFInstance* model, std::vector<Write>& writes) {
  IndexBatch batch(model);
  for (Write& w : writes) {
    auto& values = w.obj->values;
    const auto i = static_cast<size_t>(w.field_idx);
    if (i >= values.size()) values.reserve(i + 1);  // growth within this room cannot fail
    const FieldDef* field = state_of(model).schema->get_field_def(get_class_def(w.obj), w.field_idx);
    if (!field) continue;
    const FieldLoc loc{w.obj->obj_idx, w.field_idx};
    if (i < values.size()) batch.withdraw(*field, values[i], loc);
    batch.add(*field, w.text, loc);
  }
  if (!batch.empty()) batch.prepare();

  if (!batch.empty()) batch.commit();
  for (Write& w : writes) {
    auto& values = w.obj->values;
    const auto i = static_cast<size_t>(w.field_idx);
    if (i == 0) name_index_remove(model, w.obj, values.empty() ? std::string_view() : values[0]);
    if (i >= values.size()) values.resize(i + 1);
    values[i].swap(w.text);
    if (i == 0) name_index_add(model, w.obj);
  }
}

// The output requests that name an object by key: an Output:Variable's key, and for a
// zone the ":Zone:NAME" end of a meter's name. They are no references in the schema
// (the engine matches them as text), so a rename rewrites them only when asked.
constexpr const char* kMeterClasses[] = {"OUTPUT:METER", "OUTPUT:METER:METERFILEONLY", "OUTPUT:METER:CUMULATIVE",
                                         "OUTPUT:METER:CUMULATIVE:METERFILEONLY"};
constexpr std::string_view kZonePart = ":Zone:";

template <class F>
void for_each_in_class(IDFInstance* model, const char* class_key, F&& visit) {
  const auto found = model->objects_index_map.find(std::string_view(class_key));
  if (found == model->objects_index_map.end()) return;
  for (size_t position : found->second) {
    IDFObjectInstance* o = object_at(model, position);
    if (o && !o->values.empty()) visit(o);
  }
}

size_t add_output_writes(IDFInstance* model, IDFObjectInstance* obj, const std::string& old, const std::string& name,
                         std::vector<Write>& writes) {
  size_t count = 0;
  for_each_in_class(model, "OUTPUT:VARIABLE", [&](IDFObjectInstance* o) {
    if (ascii_iequals(trim_blanks(o->values[0]), old)) {
      writes.push_back(Write{o, 0, name});
      ++count;
    }
  });
  if (!ascii_iequals(class_of(obj).name, "Zone")) return count;
  for (const char* meter_class : kMeterClasses) {
    for_each_in_class(model, meter_class, [&](IDFObjectInstance* o) {
      const std::string_view key = trim_blanks(o->values[0]);
      if (key.size() < kZonePart.size() + old.size()) return;
      const size_t at = key.size() - old.size() - kZonePart.size();
      if (!ascii_iequals(key.substr(at, kZonePart.size()), kZonePart) || !ascii_iequals(key.substr(at + kZonePart.size()), old)) {
        return;
      }
      std::string rewritten(key.substr(0, at + kZonePart.size()));
      rewritten += name;
      writes.push_back(Write{o, 0, std::move(rewritten)});
      ++count;
    });
  }
  return count;
}

}  // namespace

PyObject* object_rename(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[2] = {nullptr, nullptr};
        check_status(bind_arguments(kRenameSig, args, nargs, kwnames, a));
        PyObject* new_name = a[0];
        const int outputs = a[1] ? PyObject_IsTrue(a[1]) : 0;
        check_status(outputs);
        if (!PyUnicode_Check(new_name)) {
          raise_argument_type("new_name", "str", new_name);
          throw PythonErrorSet();
        }
        IDFObjectInstance* obj = as_object(self);
        const ClassDef& cls = class_of(obj);
        if (!is_named_class(cls)) raise_format(PyExc_TypeError, messages::kRenameUnnamed, cls.name.c_str());
        const std::string name(utf8_of(new_name));
        if (name.empty()) raise(PyExc_ValueError, messages::kRenameBlank);
        check_storable(state_of(obj), cls, 0, name);
        IDFInstance* model = member_model(obj);
        if (!model) {
          FieldWrite write{0, name};
          apply_writes(obj, std::span(&write, 1), Extend::kNonEmpty, false);
          return PyLong_FromLong(0);
        }
        begin_change(model);
        const std::string old = obj->values.empty() ? std::string() : obj->values[0];
        if (old == name) return PyLong_FromLong(0);
        const FieldDef& name_field = cls.fields[0];
        if (!ascii_iequals(old, name)) refuse_taken_name(model, obj, name_field, name);

        std::vector<Write> writes;
        writes.push_back(Write{obj, 0, name});
        size_t rewritten = 0;
        if (!old.empty()) {
          for (const FieldLoc& loc : referring_fields(model, obj, name_field, old)) {
            IDFObjectInstance* referrer = object_at(model, loc.obj_idx);
            if (!referrer) continue;
            check_storable(state_of(model), class_of(referrer), loc.field_idx, name);
            writes.push_back(Write{referrer, loc.field_idx, name});
            ++rewritten;
          }
          if (outputs) rewritten += add_output_writes(model, obj, old, name, writes);
        }
        apply_all(model, writes);
        return PyLong_FromSize_t(rewritten);
      },
      nullptr);
}

}  // namespace quarvel::features
