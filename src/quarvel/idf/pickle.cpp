// Pickling of models and objects: each reduces to its module-level reconstructor,
// a checksum of its member layout and a state tuple of its members in name order.
#include "core.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/pickling.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <initializer_list>

namespace quarvel::idf {

namespace {

constexpr Checksums kModelChecksums = {0xf3ac116, 0x53e964f, 0xe152989,
                                       "idd, objects, objects_index_map, referencers, targets"};
constexpr Checksums kObjectChecksums = {0x562c8f1, 0xafde926, 0xd91aabf,
                                        "c_class_name, class_idx, class_name, idd, obj_idx, parent_idf, values"};
constexpr Py_ssize_t kModelMembers = 5;
constexpr Py_ssize_t kObjectMembers = 7;

// The lines blob is little-endian whatever the machine, so that pickles travel.
uint64_t to_little_endian(uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) return v;
  uint64_t out = 0;
  for (int i = 0; i < 8; ++i) out |= ((v >> (8 * i)) & 0xFF) << (8 * (7 - i));
  return out;
}

PyObject* bytes_of(const std::string& s) { return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// Field texts repeat: in the engine's library files 1.6 million values hold 99,000
// distinct texts. Handing the pickler one bytes object per repeated text lets it write
// a short back-reference for each repeat instead of the text again, and lets the
// unpickler make one object for all of them; the state is the same list of bytes.
// The cache is direct-mapped (one slot per hash, the newest text wins) and small
// enough to stay in the processor's cache; it is emptied when a model starts pickling.
class RepeatedValues {
 public:
  // A new reference to a bytes object holding `text`.
  PyObject* get(const std::string& text) {
    if (text.size() > kLongest) return bytes_of(text);
    const uint64_t hash = string_map_detail::hash_bytes<false>(text);
    Slot& slot = slots_[hash & (kSlots - 1)];
    if (slot.bytes && slot.hash == hash && static_cast<size_t>(PyBytes_GET_SIZE(slot.bytes)) == text.size() &&
        std::memcmp(PyBytes_AS_STRING(slot.bytes), text.data(), text.size()) == 0) {
      return Py_NewRef(slot.bytes);
    }
    PyObject* made = bytes_of(text);
    if (!made) return nullptr;
    Py_XSETREF(slot.bytes, Py_NewRef(made));
    slot.hash = hash;
    return made;
  }
  void clear() noexcept {
    for (Slot& slot : slots_) Py_CLEAR(slot.bytes);
  }

 private:
  static constexpr size_t kLongest = 64;  // longer texts seldom repeat
  static constexpr size_t kSlots = 1 << 15;
  struct Slot {
    uint64_t hash = 0;
    PyObject* bytes = nullptr;
  };
  Slot slots_[kSlots];
};

// Lives as long as the process (its objects are plain bytes); never destroyed, so that
// nothing is released after the interpreter has finalized.
RepeatedValues& repeated_values() {
  static RepeatedValues* values = new RepeatedValues();
  return *values;
}

// ---- native members to Python -------------------------------------------------

PyObject* class_index_to_dict(const ClassIndex& index) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, positions] : index) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < positions.size(); ++i) {
      PyObject* n = PyLong_FromSize_t(positions[i]);
      if (!n) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
    }
    PyRef k(bytes_of(key));
    if (!k || PyDict_SetItem(dict.get(), k.get(), list.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* ref_index_to_dict(const RefIndex& index) {
  PyRef outer(PyDict_New());
  if (!outer) return nullptr;
  for (const auto& [tag, values] : index) {
    PyRef inner(PyDict_New());
    if (!inner) return nullptr;
    for (const auto& [value, locs] : values) {
      PyRef list(PyList_New(static_cast<Py_ssize_t>(locs.size())));
      if (!list) return nullptr;
      for (size_t i = 0; i < locs.size(); ++i) {
        PyObject* pair = Py_BuildValue("(ni)", static_cast<Py_ssize_t>(locs[i].obj_idx), locs[i].field_idx);
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
      }
      PyRef k(bytes_of(value));
      if (!k || PyDict_SetItem(inner.get(), k.get(), list.get()) < 0) return nullptr;
    }
    PyRef k(bytes_of(tag));
    if (!k || PyDict_SetItem(outer.get(), k.get(), inner.get()) < 0) return nullptr;
  }
  return outer.release();
}

// The instance dictionary of a Python subclass instance, when it has a non-empty one.
bool instance_dict(PyObject* self, PyRef& out) {
  // The library's own types have no instance dictionary: asking for one would raise
  // and clear an AttributeError for every object of a model.
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return true;
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(self, state_of(self).dict_name, &found) < 0) return false;
  PyRef dict(found);
  if (!dict) return true;
  const int truth = PyObject_IsTrue(dict.get());
  if (truth < 0) return false;
  if (truth) out = std::move(dict);
  return true;
}

PyObject* reduce_with(PyObject* self, PyObject* reconstructor, long checksum, PyRef state, bool setstate_form) {
  if (!reconstructor) return nullptr;
  PyRef fn(PyObject_GetAttr(PyType_GetModuleByDef(Py_TYPE(self), &kIdfModule), reconstructor));
  return fn ? reduce_value(fn.get(), self, checksum, state.get(), setstate_form) : nullptr;
}

// The state tuple: the members, then the instance dictionary when there is one.
// `extras`, when given, follows in one more element (after None when there is no
// dictionary): what later builds keep beyond the members, which earlier readers ignore.
bool finish_state(PyObject* self, std::initializer_list<PyObject*> members, bool& has_dict, PyRef& state,
                  PyObject* extras = nullptr) {
  PyRef dict;
  if (!instance_dict(self, dict)) return false;
  has_dict = static_cast<bool>(dict);
  const auto count = static_cast<Py_ssize_t>(members.size()) + (dict || extras ? 1 : 0) + (extras ? 1 : 0);
  state = PyRef(PyTuple_New(count));
  if (!state) return false;
  Py_ssize_t i = 0;
  for (PyObject* member : members) {
    if (!member) {
      state = PyRef();
      PyErr_SetString(PyExc_SystemError, messages::kMemberUnset);
      return false;
    }
    PyTuple_SET_ITEM(state.get(), i++, Py_NewRef(member));
  }
  if (dict || extras) PyTuple_SET_ITEM(state.get(), i++, dict ? dict.release() : Py_NewRef(Py_None));
  if (extras) PyTuple_SET_ITEM(state.get(), i++, Py_NewRef(extras));
  return true;
}

// ---- what travels beyond the members: lines and comments ----

PyObject* lines_list(const std::vector<std::string>& lines) {
  PyRef list = take(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  for (size_t i = 0; i < lines.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), take(str_from(lines[i])).release());
  }
  return list.release();
}

std::vector<std::string> lines_from(PyObject* list) {
  std::vector<std::string> lines;
  PyRef seq = take(PySequence_Fast(list, "comment lines must be a sequence of str"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) raise(PyExc_TypeError, messages::kCommentLinesNotStr);
    lines.emplace_back(utf8_of(item));
  }
  return lines;
}

// The item `key` of an extras dictionary (owned), or null when it has none; throws on error.
PyRef extra_item(PyObject* extras, const char* key) {
  PyObject* item = nullptr;
  check_status(PyDict_GetItemStringRef(extras, key, &item));
  return PyRef(item);
}

// {"line": n, "above": [...], "fields": [(field, same_line, text), ...]}, or null when
// the object has neither a line nor comments.
PyRef object_extras(IDFObjectInstance* o) {
  if (o->line <= 0 && !o->comments) return PyRef();
  PyRef extras = take(PyDict_New());
  if (o->line > 0) {
    PyRef line = take(PyLong_FromLongLong(o->line));
    check_status(PyDict_SetItemString(extras.get(), "line", line.get()));
  }
  if (o->comments) {
    PyRef above = take(lines_list(o->comments->above.lines()));
    check_status(PyDict_SetItemString(extras.get(), "above", above.get()));
    PyRef fields = take(PyList_New(0));
    for (const FieldComment& c : o->comments->fields) {
      PyRef text = take(str_from(c.text));
      PyRef item = take(Py_BuildValue("(iOO)", c.field_idx, c.same_line ? Py_True : Py_False, text.get()));
      check_status(PyList_Append(fields.get(), item.get()));
    }
    check_status(PyDict_SetItemString(extras.get(), "fields", fields.get()));
  }
  return extras;
}

void restore_object_extras(IDFObjectInstance* o, PyObject* extras) {
  if (!PyDict_Check(extras)) return;
  if (PyRef line = extra_item(extras, "line")) {
    const long long n = PyLong_AsLongLong(line.get());
    if (n == -1 && PyErr_Occurred()) throw PythonErrorSet();
    o->line = n > 0 ? n : 0;
  }
  auto comments = std::make_unique<ObjectComments>();
  if (PyRef above = extra_item(extras, "above")) comments->above.assign(lines_from(above.get()));
  if (PyRef fields = extra_item(extras, "fields")) {
    PyRef seq = take(PySequence_Fast(fields.get(), "field comments must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
      int field = 0, same_line = 0;
      const char* text = nullptr;
      Py_ssize_t size = 0;
      if (!PyArg_ParseTuple(item, "ips#", &field, &same_line, &text, &size)) throw PythonErrorSet();
      if (field < -1) raise(PyExc_ValueError, messages::kNegativeCommentField);
      comments->fields.push_back(FieldComment{field, same_line != 0, std::string(text, static_cast<size_t>(size))});
    }
  }
  o->comments = comments->empty() ? nullptr : std::move(comments);
}

// {"lines": bytes of one 64-bit line per slot, "header": [...], "trailer": [...]}, or null.
PyRef model_extras(IDFInstance* m, PyObject* objects) {
  bool any_line = false;
  std::vector<int64_t> lines;
  if (PyList_Check(objects)) {
    lines.resize(static_cast<size_t>(PyList_GET_SIZE(m->objects)));
    const State& st = state_of(m);
    for (size_t i = 0; i < lines.size(); ++i) {
      PyObject* item = PyList_GET_ITEM(m->objects, static_cast<Py_ssize_t>(i));
      if (st.is_object(item)) lines[i] = as_object(item)->line;
      any_line = any_line || lines[i] > 0;
    }
  }
  if (!any_line && !m->comments) return PyRef();
  PyRef extras = take(PyDict_New());
  if (any_line) {
    for (int64_t& line : lines) line = static_cast<int64_t>(to_little_endian(static_cast<uint64_t>(line)));
    PyRef blob = take(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(lines.data()),
                                                static_cast<Py_ssize_t>(lines.size() * sizeof(int64_t))));
    check_status(PyDict_SetItemString(extras.get(), "lines", blob.get()));
  }
  if (m->comments) {
    PyRef header = take(lines_list(m->comments->header.lines()));
    PyRef trailer = take(lines_list(m->comments->trailer.lines()));
    check_status(PyDict_SetItemString(extras.get(), "header", header.get()));
    check_status(PyDict_SetItemString(extras.get(), "trailer", trailer.get()));
  }
  return extras;
}

void restore_model_extras(IDFInstance* m, PyObject* extras) {
  if (!PyDict_Check(extras)) return;
  if (PyRef held = extra_item(extras, "lines"); held && PyBytes_Check(held.get()) && PyList_Check(m->objects)) {
    PyObject* blob = held.get();
    const auto count = std::min(static_cast<size_t>(PyBytes_GET_SIZE(blob)) / sizeof(int64_t),
                                static_cast<size_t>(PyList_GET_SIZE(m->objects)));
    const State& st = state_of(m);
    for (size_t i = 0; i < count; ++i) {
      uint64_t raw;
      std::memcpy(&raw, PyBytes_AS_STRING(blob) + i * sizeof(int64_t), sizeof(raw));
      PyObject* item = PyList_GET_ITEM(m->objects, static_cast<Py_ssize_t>(i));
      const auto line = static_cast<int64_t>(to_little_endian(raw));
      if (st.is_object(item) && as_object(item)->obj_idx == i) as_object(item)->line = line > 0 ? line : 0;
    }
  }
  auto comments = std::make_unique<ModelComments>();
  if (PyRef header = extra_item(extras, "header")) comments->header.assign(lines_from(header.get()));
  if (PyRef trailer = extra_item(extras, "trailer")) comments->trailer.assign(lines_from(trailer.get()));
  m->comments = comments->empty() ? nullptr : std::move(comments);
}

// ---- Python to native members ---------------------------------------------------

bool to_string(PyObject* o, std::string& out) {
  if (PyBytes_Check(o)) {
    out.assign(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
  } else if (PyByteArray_Check(o)) {
    out.assign(PyByteArray_AS_STRING(o), static_cast<size_t>(PyByteArray_GET_SIZE(o)));
  } else {
    PyErr_Format(PyExc_TypeError, messages::kExpectedBytes, Py_TYPE(o)->tp_name);
    return false;
  }
  return true;
}

bool to_size(PyObject* o, size_t& out) {
  PyRef index(PyNumber_Index(o));
  if (!index) return false;
  if (_PyLong_Sign(index.get()) < 0) {
    PyErr_Format(PyExc_OverflowError, messages::kNegativeToUnsigned, "size_t");
    return false;
  }
  out = PyLong_AsSize_t(index.get());
  return !(out == static_cast<size_t>(-1) && PyErr_Occurred());
}

bool to_int32(PyObject* o, int& out) {
  PyRef index(PyNumber_Index(o));
  if (!index) return false;
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v > INT_MAX || v < INT_MIN) {
    PyErr_Format(PyExc_OverflowError, messages::kValueTooLarge, "int");
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

// Calls f(key, value) for each pair that mapping.items() yields.
template <class F>
bool for_each_item(PyObject* mapping, F&& f) {
  PyRef items(PyObject_CallMethod(mapping, "items", nullptr));
  if (!items) return false;
  PyRef it(PyObject_GetIter(items.get()));
  if (!it) return false;
  while (PyRef pair{PyIter_Next(it.get())}) {
    PyRef seq(PySequence_Fast(pair.get(), "items() must yield (key, value) pairs"));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, messages::kItemsNotPairsState);
      return false;
    }
    if (!f(PySequence_Fast_GET_ITEM(seq.get(), 0), PySequence_Fast_GET_ITEM(seq.get(), 1))) return false;
  }
  return !PyErr_Occurred();
}

template <class F>
bool for_each(PyObject* iterable, F&& f) {
  PyRef it(PyObject_GetIter(iterable));
  if (!it) return false;
  while (PyRef item{PyIter_Next(it.get())}) {
    if (!f(item.get())) return false;
  }
  return !PyErr_Occurred();
}

bool to_class_index(PyObject* mapping, ClassIndex& out) {
  return for_each_item(mapping, [&](PyObject* key, PyObject* positions) {
    std::string k;
    if (!to_string(key, k)) return false;
    std::vector<size_t> list;
    if (!for_each(positions, [&](PyObject* item) {
          size_t pos;
          if (!to_size(item, pos)) return false;
          list.push_back(pos);
          return true;
        })) {
      return false;
    }
    out[std::move(k)] = std::move(list);
    return true;
  });
}

bool to_ref_index(PyObject* mapping, RefIndex& out) {
  return for_each_item(mapping, [&](PyObject* tag, PyObject* values) {
    std::string t;
    if (!to_string(tag, t)) return false;
    ValueIndex inner;
    if (!for_each_item(values, [&](PyObject* value, PyObject* locs) {
          std::string v;
          if (!to_string(value, v)) return false;
          LocList list;
          if (!for_each(locs, [&](PyObject* loc) {
                PyRef seq(PySequence_Fast(loc, "a reference location must be a (position, field) pair"));
                if (!seq) return false;
                if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
                  PyErr_SetString(PyExc_ValueError, messages::kLocationNotPair);
                  return false;
                }
                FieldLoc fl{};
                if (!to_size(PySequence_Fast_GET_ITEM(seq.get(), 0), fl.obj_idx) ||
                    !to_int32(PySequence_Fast_GET_ITEM(seq.get(), 1), fl.field_idx)) {
                  return false;
                }
                if (fl.field_idx < 0) {
                  PyErr_Format(PyExc_ValueError, messages::kNegativeFieldIndex, fl.field_idx);
                  return false;
                }
                list.push_back(fl);
                return true;
              })) {
            return false;
          }
          inner[std::move(v)] = std::move(list);
          return true;
        })) {
      return false;
    }
    out[std::move(t)] = std::move(inner);
    return true;
  });
}

bool check_state_size(PyObject* state, Py_ssize_t members, const char* type_name) {
  const Py_ssize_t n = PyTuple_GET_SIZE(state);
  if (n >= members) return true;
  PyErr_Format(PyExc_ValueError, messages::kStateSize,
               type_name, members, n);
  return false;
}

bool check_type_or_none(PyObject* value, PyTypeObject* type) {
  if (value == Py_None || PyObject_TypeCheck(value, type)) return true;
  PyErr_Format(PyExc_TypeError, messages::kCannotConvert, Py_TYPE(value)->tp_name, type->tp_name);
  return false;
}

// Merges a trailing instance-dictionary element into the instance's __dict__.
bool restore_instance_dict(PyObject* self, PyObject* state, Py_ssize_t members) {
  if (PyTuple_GET_SIZE(state) <= members) return true;
  PyObject* extra = PyTuple_GET_ITEM(state, members);
  const int truth = PyObject_IsTrue(extra);
  if (truth <= 0) return truth == 0;
  PyRef dict(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) return false;
  if (PyDict_Check(dict.get())) return PyDict_Update(dict.get(), extra) == 0;
  PyRef done(PyObject_CallMethod(dict.get(), "update", "O", extra));
  return static_cast<bool>(done);
}

bool restore_model(IDFInstance* m, PyObject* state) {
  begin_change(m);
  if (!check_state_size(state, kModelMembers, "IDF")) return false;
  name_index_invalidate(m);
  PyObject* idd = PyTuple_GET_ITEM(state, 0);
  if (!check_type_or_none(idd, state_of(m).schema->IDD_type)) return false;
  Py_XSETREF(m->idd, Py_NewRef(idd));
  PyObject* objects = PyTuple_GET_ITEM(state, 1);
  if (objects != Py_None && !PyList_CheckExact(objects)) {
    PyErr_Format(PyExc_TypeError, messages::kExpectedGot, "list", Py_TYPE(objects)->tp_name);
    return false;
  }
  Py_XSETREF(m->objects, Py_NewRef(objects));
  // Positions are not checked against the list here: while a pickle loads, the list
  // may still be filling. Every reader checks a position before it uses it.
  ClassIndex classes;
  if (!to_class_index(PyTuple_GET_ITEM(state, 2), classes)) return false;
  m->objects_index_map = std::move(classes);
  RefIndex referencers;
  if (!to_ref_index(PyTuple_GET_ITEM(state, 3), referencers)) return false;
  m->referencers = std::move(referencers);
  RefIndex targets;
  if (!to_ref_index(PyTuple_GET_ITEM(state, 4), targets)) return false;
  m->targets = std::move(targets);
  if (!restore_instance_dict(reinterpret_cast<PyObject*>(m), state, kModelMembers)) return false;
  if (PyTuple_GET_SIZE(state) > kModelMembers + 1) restore_model_extras(m, PyTuple_GET_ITEM(state, kModelMembers + 1));
  return true;
}

bool check_class_idx(IDFObjectInstance* o) {
  if (!state_of(o).is_idd(o->idd) || o->class_idx < schema_of(o->idd).ordered_classes.size()) return true;
  PyErr_Format(PyExc_ValueError, messages::kClassIndexOutOfBounds, o->class_idx);
  return false;
}

bool restore_object(IDFObjectInstance* o, PyObject* state) {
  if (member_model(o)) {
    // Its fields are in its model's indexes: replacing them here would leave the indexes
    // pointing at values the object no longer holds.
    PyErr_SetString(PyExc_ValueError, messages::kSetstateMember);
    return false;
  }
  if (!check_state_size(state, kObjectMembers, "IDFObject")) return false;
  std::string c_class_name;
  if (!to_string(PyTuple_GET_ITEM(state, 0), c_class_name)) return false;
  o->c_class_name = std::move(c_class_name);
  size_t class_idx;
  if (!to_size(PyTuple_GET_ITEM(state, 1), class_idx)) return false;
  o->class_idx = class_idx;
  PyObject* class_name = PyTuple_GET_ITEM(state, 2);
  if (class_name != Py_None && !PyUnicode_CheckExact(class_name)) {
    PyErr_Format(PyExc_TypeError, messages::kExpectedGot, "str", Py_TYPE(class_name)->tp_name);
    return false;
  }
  Py_XSETREF(o->class_name, Py_NewRef(class_name));
  PyObject* idd = PyTuple_GET_ITEM(state, 3);
  const State& st = state_of(o);
  if (!check_type_or_none(idd, st.schema->IDD_type)) return false;
  Py_XSETREF(o->idd, Py_NewRef(idd));
  if (!check_class_idx(o)) return false;
  size_t obj_idx;
  if (!to_size(PyTuple_GET_ITEM(state, 4), obj_idx)) return false;
  o->obj_idx = obj_idx;
  PyObject* parent = PyTuple_GET_ITEM(state, 5);
  if (!check_type_or_none(parent, st.model_type)) return false;
  Py_XSETREF(o->parent_idf, Py_NewRef(parent));
  if (parent != Py_None) {
    name_index_invalidate(as_model(parent));
    forget_derived(as_model(parent));
  }
  std::vector<std::string> values;
  if (!for_each(PyTuple_GET_ITEM(state, 6), [&](PyObject* item) {
        std::string v;
        if (!to_string(item, v)) return false;
        values.push_back(std::move(v));
        return true;
      })) {
    return false;
  }
  o->values = std::move(values);
  if (!restore_instance_dict(reinterpret_cast<PyObject*>(o), state, kObjectMembers)) return false;
  if (PyTuple_GET_SIZE(state) > kObjectMembers + 1) restore_object_extras(o, PyTuple_GET_ITEM(state, kObjectMembers + 1));
  return true;
}

PyObject* setstate_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          bool (*restore)(PyObject*, PyObject*)) {
  if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
    raise_argument_count("__setstate__", 1, 1, nargs);
    return nullptr;
  }
  PyObject* state = args[0];
  if (!PyTuple_Check(state)) {
    PyErr_Format(PyExc_TypeError, messages::kExpectedGot, "tuple", Py_TYPE(state)->tp_name);
    return nullptr;
  }
  if (!guard([&] { return restore(self, state); }, false)) return nullptr;
  Py_RETURN_NONE;
}

bool restore_model_any(PyObject* self, PyObject* state) { return restore_model(as_model(self), state); }
bool restore_object_any(PyObject* self, PyObject* state) { return restore_object(as_object(self), state); }

PyObject* unpickle_common(PyObject* const* args, Py_ssize_t nargs, const char* func, PyTypeObject* base,
                          const Checksums& sums, bool (*restore)(PyObject*, PyObject*)) {
  PyObject* state = nullptr;
  PyRef instance(reconstruct_bare(args, nargs, func, base, sums, state));
  if (!instance) return nullptr;
  if (state != Py_None && !guard([&] { return restore(instance.get(), state); }, false)) return nullptr;
  return instance.release();
}

// An object of a model pickles in the direct form, its state (with its model) before
// itself: by the time it loads, its model has loaded, and the object the model holds
// in that slot is the one to give back, so that it stays one object with its model's.
IDFObjectInstance* loaded_member(const State& st, PyObject* cls, PyObject* state) {
  if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) < kObjectMembers) return nullptr;
  PyObject* parent = PyTuple_GET_ITEM(state, 5);
  PyObject* position = PyTuple_GET_ITEM(state, 4);
  if (!st.is_model(parent) || !PyLong_CheckExact(position)) return nullptr;
  PyObject* objects = as_model(parent)->objects;
  const size_t pos = PyLong_AsSize_t(position);
  if (pos == static_cast<size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyList_Check(objects) || pos >= static_cast<size_t>(PyList_GET_SIZE(objects))) return nullptr;
  PyObject* item = PyList_GET_ITEM(objects, static_cast<Py_ssize_t>(pos));
  if (Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(cls) || member_model(as_object(item)) != as_model(parent)) {
    return nullptr;
  }
  return as_object(item);
}

}  // namespace

PyObject* model_reduce(PyObject* self, PyObject*) {
  return guard(
      [&]() -> PyObject* {
        IDFInstance* m = as_model(self);
        repeated_values().clear();
        // The state is a snapshot: the objects are copied (each keeping this model as its
        // parent and its slot) together with the indexes, in one native step, so that
        // code running while the pickler works through them (a hook, another thread)
        // cannot make the objects disagree with the indexes.
        const State& st = state_of(m);
        PyRef objects = PyRef::borrow(m->objects);
        if (PyList_Check(m->objects)) {
          const Py_ssize_t n = PyList_GET_SIZE(m->objects);
          objects = take(PyList_New(n));
          for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(m->objects, i);
            PyObject* copy = st.is_object(item) ? clone_object(as_object(item), self).release() : Py_NewRef(item);
            if (st.is_object(copy)) as_object(copy)->line = 0;  // the lines travel with the model, in one piece
            PyList_SET_ITEM(objects.get(), i, copy);
          }
        }
        PyRef classes = take(class_index_to_dict(m->objects_index_map));
        PyRef referencers = take(ref_index_to_dict(m->referencers));
        PyRef targets = take(ref_index_to_dict(m->targets));
        PyRef extras = model_extras(m, m->objects);
        bool has_dict;
        PyRef state;
        if (!finish_state(self, {m->idd, objects.get(), classes.get(), referencers.get(), targets.get()}, has_dict,
                          state, extras.get())) {
          throw PythonErrorSet();
        }
        const bool setstate_form = has_dict || m->idd != Py_None || m->objects != Py_None;
        return reduce_with(self, st.unpickle_model_name, kModelChecksums.written, std::move(state), setstate_form);
      },
      nullptr);
}

PyObject* object_reduce(PyObject* self, PyObject*) {
  return guard(
      [&]() -> PyObject* {
        IDFObjectInstance* o = as_object(self);
        PyRef values = take(PyList_New(static_cast<Py_ssize_t>(o->values.size())));
        for (size_t i = 0; i < o->values.size(); ++i) {
          PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), take(repeated_values().get(o->values[i])).release());
        }
        PyRef c_class_name = take(repeated_values().get(o->c_class_name));
        PyRef class_idx = take(PyLong_FromSize_t(o->class_idx));
        PyRef obj_idx = take(PyLong_FromSize_t(o->obj_idx));
        const bool member = member_model(o) != nullptr;
        PyRef extras = object_extras(o);
        bool has_dict;
        PyRef state;
        if (!finish_state(self,
                          {c_class_name.get(), class_idx.get(), o->class_name, o->idd, obj_idx.get(), o->parent_idf,
                           values.get()},
                          has_dict, state, extras.get())) {
          throw PythonErrorSet();
        }
        const bool setstate_form =
            !member && (has_dict || o->class_name != Py_None || o->idd != Py_None || o->parent_idf != Py_None);
        return reduce_with(self, state_of(o).unpickle_object_name, kObjectChecksums.written, std::move(state), setstate_form);
      },
      nullptr);
}

PyObject* model_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return setstate_common(self, args, nargs, kwnames, restore_model_any);
}

PyObject* object_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return setstate_common(self, args, nargs, kwnames, restore_object_any);
}

PyObject* unpickle_model(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return unpickle_common(args, nargs, "unpickle_IDF", state_of_module(module).model_type, kModelChecksums,
                         restore_model_any);
}

PyObject* unpickle_object(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  const State& st = state_of_module(module);
  if (nargs == 3 && PyType_Check(args[0])) {
    const int accepted = checksum_accepted(kObjectChecksums, args[1]);
    if (accepted < 0) PyErr_Clear();  // reported below, where the arguments are checked in order
    if (accepted > 0) {
      if (IDFObjectInstance* member = loaded_member(st, args[0], args[2])) return Py_NewRef(as_py(member));
    }
  }
  return unpickle_common(args, nargs, "unpickle_IDFObject", st.object_type, kObjectChecksums, restore_object_any);
}

}  // namespace quarvel::idf
