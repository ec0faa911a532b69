// Differences between two models: which objects only one of them has, and which
// fields of the objects both have differ. Objects of a named class are matched by
// class and name (any letter case); other objects by equal content first, then by
// their order within the class. Fields compare by type: numbers within a relative
// tolerance, choices in any letter case, a blank equal to a missing trailing field.
// The comparison runs without the interpreter lock; meanwhile both models refuse changes.
#include "features.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/numbers.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quarvel::features {

namespace {

enum class Kind : uint8_t { kRemoved, kAdded, kChanged };

struct Delta {
  Kind kind;
  IDFObjectInstance* a;  // the object in the first model, or null
  IDFObjectInstance* b;  // the object in the second model, or null
  int field_idx;    // -1: the object as a whole
};

// The live objects of one class in each model, in class order.
struct ClassPair {
  const ClassDef* cls = nullptr;  // as the first model's schema has it (else the second's)
  size_t order = 0;               // the class's place in that schema
  std::vector<IDFObjectInstance*> a, b;
};

const std::string kBlank;

const std::string& value_at(const IDFObjectInstance* o, size_t i) { return i < o->values.size() ? o->values[i] : kBlank; }

size_t stored_size(const IDFObjectInstance* o) {
  size_t n = o->values.size();
  while (n > 0 && o->values[n - 1].empty()) --n;
  return n;
}

bool is_number_field(const FieldDef* f) {
  return f && (f->field_type == FIELDTYPE_REAL || f->field_type == FIELDTYPE_INTEGER);
}

class Comparer {
 public:
  Comparer(const IDDCapi& schema, double rel_tol) : schema_(schema), rel_tol_(rel_tol) {}
  const IDDCapi& schema() const { return schema_; }

  bool same(const FieldDef* f, const std::string& x, const std::string& y) const {
    if (x == y) return true;
    if (!f) return false;
    if (is_number_field(f)) {
      double u, v;
      if (parse_engine_number(x, u) && parse_engine_number(y, v)) {
        return u == v || std::fabs(u - v) <= rel_tol_ * std::max(std::fabs(u), std::fabs(v));
      }
      return ascii_iequals(x, y);  // autosize, Autosize
    }
    return f->field_type == FIELDTYPE_CHOICE && ascii_iequals(x, y);
  }

  // The fields in which two matched objects differ, appended to `out`.
  void compare(const ClassDef& cls, IDFObjectInstance* a, IDFObjectInstance* b, std::vector<Delta>& out) const {
    const size_t n = std::max(stored_size(a), stored_size(b));
    for (size_t i = 0; i < n; ++i) {
      const int idx = static_cast<int>(i);
      if (!same(schema_.get_field_def(cls, idx), value_at(a, i), value_at(b, i))) {
        out.push_back(Delta{Kind::kChanged, a, b, idx});
      }
    }
  }

 private:
  const IDDCapi& schema_;
  double rel_tol_;
};

// Content that compares equal gives equal keys: numbers by value, choices upper-cased,
// other text as written; trailing blanks left out. Values never hold a NUL.
std::string content_key(const IDDCapi& schema, const ClassDef& cls, const IDFObjectInstance* o) {
  std::string key;
  const size_t n = stored_size(o);
  for (size_t i = 0; i < n; ++i) {
    const std::string& text = o->values[i];
    const FieldDef* f = schema.get_field_def(cls, static_cast<int>(i));
    double v;
    if (is_number_field(f) && parse_engine_number(text, v)) {
      if (v == 0) v = 0;  // -0 and 0 alike
      char bytes[sizeof v];
      std::memcpy(bytes, &v, sizeof v);
      key += '#';
      key.append(bytes, sizeof v);
    } else if (f && (f->field_type == FIELDTYPE_CHOICE || is_number_field(f))) {
      key += '^';
      for (char c : text) key += ascii_upper(c);
    } else {
      key += '=';
      key += text;
    }
    key += '\0';
  }
  return key;
}

// Objects of the second model waiting for a partner, by key, first come first served.
class Queues {
 public:
  explicit Queues(size_t n) : next_(n, kEnd) {}
  void push(std::string_view key, uint32_t j, bool upper) {
    auto& [head, tail] = (upper ? heads_.try_emplace_upper(key) : heads_.try_emplace(key)).first->second;
    if (head == kEnd) {
      head = tail = j;
    } else {
      next_[tail] = j;
      tail = j;
    }
  }
  // The first waiting object under `key`, taken off its queue, or kEnd.
  uint32_t pop(std::string_view key, bool upper) {
    const auto found = upper ? heads_.find_upper(key) : heads_.find(key);
    if (found == heads_.end()) return kEnd;
    auto& [head, tail] = found->second;
    const uint32_t j = head;
    if (j != kEnd) head = next_[j];
    return j;
  }
  static constexpr uint32_t kEnd = UINT32_MAX;

 private:
  struct Ends {
    uint32_t head = kEnd, tail = kEnd;
  };
  StringMap<Ends> heads_;
  std::vector<uint32_t> next_;
};

void diff_class(const ClassPair& pair, const Comparer& cmp, std::vector<Delta>& out) {
  const ClassDef& cls = *pair.cls;
  std::vector<bool> a_done(pair.a.size()), b_done(pair.b.size());
  auto blank_name = [](const IDFObjectInstance* o) { return o->values.empty() || o->values[0].empty(); };

  if (is_named_class(cls)) {
    Queues by_name(pair.b.size());
    for (size_t j = 0; j < pair.b.size(); ++j) {
      if (!blank_name(pair.b[j])) by_name.push(pair.b[j]->values[0], static_cast<uint32_t>(j), true);
    }
    for (size_t i = 0; i < pair.a.size(); ++i) {
      IDFObjectInstance* a = pair.a[i];
      if (blank_name(a)) continue;
      a_done[i] = true;
      const uint32_t j = by_name.pop(a->values[0], true);
      if (j == Queues::kEnd) {
        out.push_back(Delta{Kind::kRemoved, a, nullptr, -1});
        continue;
      }
      b_done[j] = true;
      cmp.compare(cls, a, pair.b[j], out);
    }
    for (size_t j = 0; j < pair.b.size(); ++j) {
      if (!b_done[j] && !blank_name(pair.b[j])) {
        b_done[j] = true;
        out.push_back(Delta{Kind::kAdded, nullptr, pair.b[j], -1});
      }
    }
  }

  // What is left (every object of an unnamed class, objects of a named class with a
  // blank name): equal content first, then the rest in order.
  Queues by_content(pair.b.size());
  for (size_t j = 0; j < pair.b.size(); ++j) {
    if (!b_done[j]) by_content.push(content_key(cmp.schema(), cls, pair.b[j]), static_cast<uint32_t>(j), false);
  }
  std::vector<size_t> a_rest;
  for (size_t i = 0; i < pair.a.size(); ++i) {
    if (a_done[i]) continue;
    const uint32_t j = by_content.pop(content_key(cmp.schema(), cls, pair.a[i]), false);
    if (j == Queues::kEnd) {
      a_rest.push_back(i);
    } else {
      b_done[j] = true;
    }
  }
  size_t j = 0;
  for (size_t i : a_rest) {
    while (j < pair.b.size() && b_done[j]) ++j;
    if (j == pair.b.size()) {
      out.push_back(Delta{Kind::kRemoved, pair.a[i], nullptr, -1});
      continue;
    }
    b_done[j] = true;
    cmp.compare(cls, pair.a[i], pair.b[j], out);
  }
  for (; j < pair.b.size(); ++j) {
    if (!b_done[j]) out.push_back(Delta{Kind::kAdded, nullptr, pair.b[j], -1});
  }
}

// The live objects of a class in class order.
std::vector<IDFObjectInstance*> class_objects(IDFInstance* m, const PositionList& positions) {
  std::vector<IDFObjectInstance*> objects;
  objects.reserve(positions.size());
  for (size_t pos : positions) {
    IDFObjectInstance* o = object_at(m, pos);
    if (!o || o->obj_idx != pos) continue;
    class_of(o);
    objects.push_back(o);
  }
  return objects;
}

std::vector<ClassPair> class_pairs(IDFInstance* a, IDFInstance* b) {
  std::vector<ClassPair> pairs;
  auto start = [&](std::vector<IDFObjectInstance*> objects, bool first) -> ClassPair& {
    ClassPair& pair = pairs.emplace_back();
    IDFObjectInstance* o = objects.front();
    pair.cls = &get_class_def(o);
    pair.order = o->class_idx;
    (first ? pair.a : pair.b) = std::move(objects);
    return pair;
  };
  for (const auto& [key, positions] : a->objects_index_map) {
    std::vector<IDFObjectInstance*> objects = class_objects(a, positions);
    const auto other = b->objects_index_map.find_upper(key);
    std::vector<IDFObjectInstance*> theirs;
    if (other != b->objects_index_map.end()) theirs = class_objects(b, other->second);
    if (objects.empty() && theirs.empty()) continue;
    ClassPair& pair = objects.empty() ? start(std::move(theirs), false) : start(std::move(objects), true);
    if (!pair.a.empty()) pair.b = std::move(theirs);
  }
  for (const auto& [key, positions] : b->objects_index_map) {
    if (a->objects_index_map.find_upper(key) != a->objects_index_map.end()) continue;
    std::vector<IDFObjectInstance*> objects = class_objects(b, positions);
    if (!objects.empty()) start(std::move(objects), false);
  }
  std::sort(pairs.begin(), pairs.end(), [](const ClassPair& x, const ClassPair& y) {
    return x.order != y.order ? x.order < y.order : x.cls->name < y.cls->name;
  });
  return pairs;
}

PyObject* change_type() {
  PyRef module = take(PyImport_ImportModule("quarvel.compare"));
  return take(PyObject_GetAttrString(module.get(), "Change")).release();
}

PyRef text_or_none(const IDFObjectInstance* o, int field_idx) {
  return o ? take(str_from(value_at(o, static_cast<size_t>(field_idx)))) : PyRef::borrow(Py_None);
}

PyRef make_change(const State& st, PyObject* type, const Delta& d) {
  static const char* const kKinds[] = {"removed", "added", "changed"};
  IDFObjectInstance* o = d.a ? d.a : d.b;
  const ClassDef& cls = get_class_def(o);
  PyRef name = PyRef::borrow(Py_None);
  if (is_named_class(cls) && !o->values.empty() && !o->values[0].empty()) name = take(str_from(o->values[0]));
  PyRef field_index = PyRef::borrow(Py_None), field_name = PyRef::borrow(Py_None);
  PyRef old_text = PyRef::borrow(Py_None), new_text = PyRef::borrow(Py_None);
  if (d.field_idx >= 0) {
    field_index = take(PyLong_FromLong(d.field_idx));
    const std::string text = st.schema->get_field_name(cls, d.field_idx, false);
    if (!text.empty()) field_name = take(str_from(text));
    old_text = text_or_none(d.a, d.field_idx);
    new_text = text_or_none(d.b, d.field_idx);
  }
  PyRef kind = take(PyUnicode_FromString(kKinds[static_cast<int>(d.kind)]));
  PyRef class_name = take(str_from(cls.name));
  return take(PyObject_CallFunctionObjArgs(type, kind.get(), class_name.get(), name.get(), field_index.get(),
                                           field_name.get(), old_text.get(), new_text.get(),
                                           d.a ? as_py(d.a) : Py_None, d.b ? as_py(d.b) : Py_None, nullptr));
}

double tolerance_of(PyObject* value) {
  if (!value) return 1e-9;
  const double tol = PyFloat_AsDouble(value);
  if (tol == -1.0 && PyErr_Occurred()) throw PythonErrorSet();
  if (!(tol >= 0) || !std::isfinite(tol)) raise_format(PyExc_ValueError, messages::kBadRelTol, value);
  return tol;
}

const char* const kDiffNames[] = {"other", "rel_tol"};
const Signature kDiffSig = {"diff", kDiffNames, 2, 1, 2};

}  // namespace

PyObject* model_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[2];
        check_status(bind_arguments(kDiffSig, args, nargs, kwnames, a));
        const State& st = state_of(self);
        if (!st.is_model(a[0])) {
          raise_format(PyExc_TypeError, messages::kDiffNeedsModel, Py_TYPE(a[0])->tp_name);
        }
        const Comparer cmp(*st.schema, tolerance_of(a[1]));
        PyRef type = take(change_type());
        IDFInstance* first = as_model(self);
        IDFInstance* second = as_model(a[0]);
        require_model_ready(first);
        require_model_ready(second);
        PyRef keep_first = PyRef::borrow(self), keep_second = PyRef::borrow(a[0]);
        const std::vector<ClassPair> pairs = class_pairs(first, second);
        std::vector<Delta> deltas;
        bool out_of_memory = false;
        {
          ReadingWithoutLock reading_first(first), reading_second(second);
          Py_BEGIN_ALLOW_THREADS
          try {
            for (const ClassPair& pair : pairs) diff_class(pair, cmp, deltas);
          } catch (const std::bad_alloc&) {
            out_of_memory = true;
          }
          Py_END_ALLOW_THREADS
        }
        if (out_of_memory) throw std::bad_alloc();
        PyRef result = take(PyList_New(0));
        for (const Delta& d : deltas) check_status(PyList_Append(result.get(), make_change(st, type.get(), d).get()));
        return result.release();
      },
      nullptr);
}

}  // namespace quarvel::features
