// Validation: every object of a model checked against what its schema states (number
// and choice fields, ranges, required fields and objects, repeating groups, names,
// references, versions, obsolete classes). The scan runs without the interpreter lock;
// while it runs, the model refuses every change.
#include "features.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/field_text.hpp"
#include "quarvel/numbers.hpp"
#include "quarvel/suggest.hpp"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cmath>

namespace quarvel::features {

namespace {

enum Rule : uint8_t {
  kInvalidNumber,
  kNotInteger,
  kOutOfRange,
  kInvalidChoice,
  kRequiredField,
  kTooManyFields,
  kIncompleteGroupError,
  kIncompleteGroupWarning,
  kUniqueObject,
  kRequiredObject,
  kDuplicateName,
  kDanglingReference,
  kVersionMismatch,
  kObsolete,
  kRuleCount,
};

struct RuleInfo {
  const char* code;
  const char* name;
  const char* severity;
  const char* summary;
};

// Codes are stable: tools and users filter findings by them.
constexpr RuleInfo kRules[kRuleCount] = {
    {"E201", "invalid-number", "error", "a number field whose text is not a number (or autosize where not allowed)"},
    {"W202", "not-integer", "warning", "an integer field holding a number that is not whole"},
    {"E203", "out-of-range", "error", "a number below the field's minimum or above its maximum"},
    {"E204", "invalid-choice", "error", "a choice field whose text is none of its choices"},
    {"E205", "required-field", "error", "a required field that is blank or missing"},
    {"E206", "too-many-fields", "error", "more values than the class has fields"},
    {"E207", "incomplete-group", "error", "the last repeating group lacks a required field"},
    {"W208", "incomplete-group", "warning", "the last repeating group lacks an optional field"},
    {"E301", "unique-object", "error", "a second object of a class that allows one"},
    {"E302", "required-object", "error", "no object of a class the model must have"},
    {"E303", "duplicate-name", "error", "two objects of a class named by its Name field with the same name (any letter case)"},
    {"E304", "dangling-reference", "error", "a reference that names no object it may refer to"},
    {"W305", "version-mismatch", "warning", "a Version object of another major.minor than the schema"},
    {"W306", "obsolete", "warning", "an object of an obsolete class, or a value in a deprecated field"},
};

constexpr size_t kNoObject = static_cast<size_t>(-1);
using RuleSet = std::bitset<kRuleCount>;

struct Finding {
  Rule rule;
  size_t position;  // object position, or kNoObject for the model as a whole
  int field_idx;    // -1: the object as a whole
  const ClassDef* cls;
  std::string message;
};

// ---- what the scan reads ----

struct Scan {
  const c_IDD* schema = nullptr;
  const IDDCapi* fields = nullptr;  // the schema module's field lookups
  IDFInstance* model = nullptr;
  RuleSet enabled;
  std::vector<IDFObjectInstance*> objects;  // live objects in model order
  std::vector<Finding> findings;
  bool out_of_memory = false;
};

void add(Scan& s, Rule rule, size_t position, int field_idx, const ClassDef* cls, std::string message) {
  if (s.enabled[rule]) s.findings.push_back(Finding{rule, position, field_idx, cls, std::move(message)});
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

std::string number_text(double v) { return shortest_text(v); }

std::string list_of(std::span<const std::string_view> items, size_t most) {
  std::string out;
  for (size_t i = 0; i < items.size() && i < most; ++i) {
    if (i) out += ", ";
    out += items[i];
  }
  if (items.size() > most) out += ", ...";
  return out;
}

// ---- field rules ----

void check_number(Scan& s, size_t pos, int idx, const ClassDef& cls, const FieldDef& f, std::string_view text) {
  if (is_sizing_word(text)) {
    // The engine takes either word in a field that is autosizable or autocalculatable.
    if (f.autosizable || f.autocalculatable) return;
    add(s, kInvalidNumber, pos, idx, &cls, quoted(text) + " is not allowed: this field is neither autosized nor autocalculated.");
    return;
  }
  double v;
  if (!parse_engine_number(text, v)) {
    add(s, kInvalidNumber, pos, idx, &cls, quoted(text) + " is not a number.");
    return;
  }
  if (f.field_type == FIELDTYPE_INTEGER && v != std::trunc(v)) {
    add(s, kNotInteger, pos, idx, &cls, quoted(text) + " is not a whole number, but the field holds an integer.");
  }
  if (f.has_minimum) {
    if (f.minimum_exclusive && !(v > f.minimum)) {
      add(s, kOutOfRange, pos, idx, &cls, std::string(text) + " must be greater than " + number_text(f.minimum) + ".");
    } else if (!f.minimum_exclusive && v < f.minimum) {
      add(s, kOutOfRange, pos, idx, &cls, std::string(text) + " is below the minimum of " + number_text(f.minimum) + ".");
    }
  }
  if (f.has_maximum) {
    if (f.maximum_exclusive && !(v < f.maximum)) {
      add(s, kOutOfRange, pos, idx, &cls, std::string(text) + " must be less than " + number_text(f.maximum) + ".");
    } else if (!f.maximum_exclusive && v > f.maximum) {
      add(s, kOutOfRange, pos, idx, &cls, std::string(text) + " is above the maximum of " + number_text(f.maximum) + ".");
    }
  }
}

void check_choice(Scan& s, size_t pos, int idx, const ClassDef& cls, const FieldDef& f, std::string_view text) {
  if (f.choices().empty()) return;
  for (const std::string_view key : f.choices()) {
    if (ascii_iequals(text, key)) return;
  }
  if ((f.autosizable || f.autocalculatable) && is_sizing_word(text)) return;
  if (!s.enabled[kInvalidChoice]) return;
  std::vector<std::string> closest;
  for (size_t i : closest_names(text, f.choices())) closest.emplace_back(f.choices()[i]);
  std::string message = quoted(text);
  message += " is not one of the choices (";
  message += list_of(f.choices(), 12);
  message += ").";
  if (!closest.empty()) {
    message += ' ';
    message += did_you_mean(closest);
  }
  add(s, kInvalidChoice, pos, idx, &cls, std::move(message));
}

void check_reference(Scan& s, size_t pos, int idx, const ClassDef& cls, const FieldDef& f, std::string_view text) {
  for (const std::string_view list : f.object_lists()) {
    const auto targets = s.model->targets.find(list);
    if (targets != s.model->targets.end() && targets->second.find_upper(text) != targets->second.end()) return;
    if (names_a_class(*s.schema, list, text)) return;
  }
  add(s, kDanglingReference, pos, idx, &cls,
      quoted(text) + " names no object that this field can refer to (" + list_of(f.object_lists(), 6) + ").");
}

void check_object(Scan& s, IDFObjectInstance* o) {
  const ClassDef& cls = get_class_def(o);
  const size_t pos = o->obj_idx;
  const auto& values = o->values;
  size_t filled = values.size();  // up to the last value that is not blank
  while (filled > 0 && trim_blanks(values[filled - 1]).empty()) --filled;

  if (cls.obsolete) add(s, kObsolete, pos, -1, &cls, "The class " + cls.name + " is obsolete.");
  if (!cls.extensible.is_extensible && filled > cls.fields.size()) {
    add(s, kTooManyFields, pos, static_cast<int>(cls.fields.size()), &cls,
        std::to_string(filled) + " fields are given, but the class has only " + std::to_string(cls.fields.size()) + ".");
  }

  // The last repeating group, when it is partly filled: its missing fields are reported
  // as an incomplete group rather than each as a missing required field.
  // A group is cut short when the text stops inside it (blank fields written out, as
  // the engine's editor writes them, complete a group).
  size_t partial_begin = kNoObject, partial_end = kNoObject;
  const ExtensibleDef& ext = cls.extensible;
  const auto begin = static_cast<size_t>(ext.begin_index);
  if (ext.is_extensible && filled > begin && (values.size() - begin) % static_cast<size_t>(ext.size) != 0) {
    const auto size = static_cast<size_t>(ext.size);
    partial_begin = begin + (values.size() - begin) / size * size;
    partial_end = partial_begin + size;
    size_t first_missing = kNoObject;
    bool required_missing = false;
    for (size_t i = values.size(); i < partial_end; ++i) {
      if (first_missing == kNoObject) first_missing = i;
      if (cls.fields[begin + (i - partial_begin)].required && !required_missing) {
        required_missing = true;
        first_missing = i;
      }
    }
    const std::string name = s.fields->get_field_name(cls, static_cast<int>(first_missing), false);
    add(s, required_missing ? kIncompleteGroupError : kIncompleteGroupWarning, pos, static_cast<int>(first_missing),
        &cls, "The last group is incomplete: '" + name + "' is missing.");
  }

  for (size_t i = 0; i < values.size(); ++i) {
    const int idx = static_cast<int>(i);
    const FieldDef* f = s.fields->get_field_def(cls, idx);
    if (!f) continue;
    const std::string_view text = trim_blanks(values[i]);
    if (text.empty()) {
      if (f->required && i < cls.fields.size() && !(i >= partial_begin && i < partial_end)) {
        add(s, kRequiredField, pos, idx, &cls, "The required field is blank.");
      }
      continue;
    }
    if (f->deprecated) add(s, kObsolete, pos, idx, &cls, "The field is deprecated.");
    switch (f->field_type) {
      case FIELDTYPE_INTEGER:
      case FIELDTYPE_REAL:
        check_number(s, pos, idx, cls, *f, text);
        break;
      case FIELDTYPE_CHOICE:
        check_choice(s, pos, idx, cls, *f, text);
        break;
      default:
        break;
    }
    if (!f->object_lists().empty()) check_reference(s, pos, idx, cls, *f, text);
  }
  const auto missing = std::lower_bound(cls.required_fields.begin(), cls.required_fields.end(),
                                        static_cast<int>(values.size()));
  for (auto it = missing; it != cls.required_fields.end(); ++it) {
    const auto i = static_cast<size_t>(*it);
    if (!(i >= partial_begin && i < partial_end)) {
      add(s, kRequiredField, pos, *it, &cls, "The required field is missing.");
    }
  }
}

// major.minor of a version text ("25.2", "25.2.0"), or an empty view.
std::string_view major_minor(std::string_view version) {
  version = trim_blanks(version);
  const size_t first = version.find('.');
  if (first == std::string_view::npos) return version;
  const size_t second = version.find('.', first + 1);
  return version.substr(0, second);
}

bool same_major_minor(std::string_view a, std::string_view b) {
  auto parts = [](std::string_view v, long long& major, long long& minor) {
    const size_t dot = v.find('.');
    minor = 0;
    return parse_integer_text(v.substr(0, dot), major) &&
           (dot == std::string_view::npos || parse_integer_text(v.substr(dot + 1), minor));
  };
  long long a1, a2, b1, b2;
  if (parts(major_minor(a), a1, a2) && parts(major_minor(b), b1, b2)) return a1 == b1 && a2 == b2;
  return ascii_iequals(major_minor(a), major_minor(b));
}

std::string on_line(const IDFObjectInstance* o) {
  return o->line > 0 ? " on line " + std::to_string(o->line) : std::string();
}

// Whether the engine requires the objects of a class to have different names: those whose
// first field is their Name. A class whose first field only declares a reference (a meter's
// key, a fluid's name) may repeat it: the engine tells such objects apart by position.
bool requires_unique_names(const ClassDef& cls) {
  return !cls.fields.empty() && ascii_iequals(cls.fields[0].name, "Name");
}

// The rules that concern objects together: names, unique and required classes, versions.
void check_model(Scan& s) {
  const auto& classes = s.schema->ordered_classes;
  std::vector<IDFObjectInstance*> first_of_class(classes.size(), nullptr);
  std::vector<StringMap<IDFObjectInstance*>> names(classes.size());
  for (IDFObjectInstance* o : s.objects) {
    const size_t c = o->class_idx;
    const ClassDef& cls = classes[c];
    if (!first_of_class[c]) {
      first_of_class[c] = o;
    } else if (cls.unique_object) {
      add(s, kUniqueObject, o->obj_idx, -1, &cls,
          "Only one " + cls.name + " object is allowed; another one" + on_line(first_of_class[c]) + ".");
    }
    if (requires_unique_names(cls) && !o->values.empty()) {
      const std::string_view name = trim_blanks(o->values[0]);
      if (name.empty()) continue;
      const auto [entry, created] = names[c].try_emplace_upper(name);
      if (created) {
        entry->second = o;
      } else {
        add(s, kDuplicateName, o->obj_idx, 0, &cls,
            "The name " + quoted(name) + " is already used by another " + cls.name + " object" + on_line(entry->second) +
                ".");
      }
    }
  }
  for (size_t c = 0; c < classes.size(); ++c) {
    if (classes[c].required_object && !first_of_class[c]) {
      add(s, kRequiredObject, kNoObject, -1, &classes[c],
          "The model has no " + classes[c].name + " object, which the schema requires.");
    }
  }
  const auto version_class = s.schema->class_map.find("VERSION");
  if (version_class != s.schema->class_map.end() && !s.schema->version.empty()) {
    for (IDFObjectInstance* o : s.objects) {
      if (o->class_idx != version_class->second || o->values.empty() || o->values[0].empty()) continue;
      if (!same_major_minor(o->values[0], s.schema->version)) {
        add(s, kVersionMismatch, o->obj_idx, 0, &classes[o->class_idx],
            "The model is for version " + std::string(trim_blanks(o->values[0])) + ", the schema for version " +
                s.schema->version + ".");
      }
    }
  }
}

void run_scan(Scan& s) noexcept {
  try {
    for (IDFObjectInstance* o : s.objects) check_object(s, o);
    check_model(s);
    std::stable_sort(s.findings.begin(), s.findings.end(), [](const Finding& a, const Finding& b) {
      const size_t pa = a.position == kNoObject ? 0 : a.position + 1;
      const size_t pb = b.position == kNoObject ? 0 : b.position + 1;
      if (pa != pb) return pa < pb;
      return a.field_idx < b.field_idx;
    });
  } catch (const std::bad_alloc&) {
    s.out_of_memory = true;
  }
}

// ---- arguments and results ----

// The rules named by `names` (None, one str, or an iterable of str): codes or rule names.
RuleSet rules_named(PyObject* names, const char* argument) {
  RuleSet set;
  auto add_name = [&](PyObject* item) {
    if (!PyUnicode_Check(item)) {
      raise_format(PyExc_TypeError, messages::kRuleNamesNotStr, argument,
                   Py_TYPE(item)->tp_name);
    }
    const std::string_view name = utf8_of(item);
    bool found = false;
    for (size_t r = 0; r < kRuleCount; ++r) {
      if (ascii_iequals(name, kRules[r].code) || ascii_iequals(name, kRules[r].name)) {
        set.set(r);
        found = true;
      }
    }
    if (!found) raise_format(PyExc_ValueError, messages::kNoSuchRule, argument, item);
  };
  if (PyUnicode_Check(names)) {
    add_name(names);
    return set;
  }
  PyRef iterator = take(PyObject_GetIter(names));
  while (PyRef item{PyIter_Next(iterator.get())}) add_name(item.get());
  if (PyErr_Occurred()) throw PythonErrorSet();
  return set;
}

PyObject* diagnostic_type() {
  PyRef module = take(PyImport_ImportModule("quarvel.diagnostics"));
  return take(PyObject_GetAttrString(module.get(), "Diagnostic")).release();
}

PyObject* text_or_none(std::string_view text) { return str_from(text); }

PyRef make_diagnostic(PyObject* type, IDFInstance* m, const Finding& f) {
  const RuleInfo& rule = kRules[f.rule];
  IDFObjectInstance* o = f.position == kNoObject ? nullptr : object_at(m, f.position);
  PyRef object = PyRef::borrow(o ? as_py(o) : Py_None);
  PyRef object_name = PyRef::borrow(Py_None);
  if (o && is_named_class(*f.cls) && !o->values.empty() && !o->values[0].empty()) {
    object_name = take(text_or_none(o->values[0]));
  }
  PyRef field_index = PyRef::borrow(Py_None), field_name = PyRef::borrow(Py_None);
  if (o && f.field_idx >= 0) {
    field_index = take(PyLong_FromLong(f.field_idx));
    const std::string name = state_of(m).schema->get_field_name(*f.cls, f.field_idx, false);
    if (!name.empty()) field_name = take(str_from(name));  // a position beyond the class's fields has none
  }
  PyRef line = o && o->line > 0 ? take(PyLong_FromLongLong(o->line)) : PyRef::borrow(Py_None);
  PyRef class_name = take(str_from(f.cls->name));
  PyRef message = take(str_from(f.message));
  PyRef code = take(PyUnicode_FromString(rule.code)), name = take(PyUnicode_FromString(rule.name));
  PyRef severity = take(PyUnicode_FromString(rule.severity));
  return take(PyObject_CallFunctionObjArgs(type, code.get(), name.get(), severity.get(), class_name.get(),
                                           object_name.get(), object.get(), field_index.get(), field_name.get(),
                                           line.get(), message.get(), nullptr));
}

const char* const kValidateNames[] = {"select", "ignore"};
const Signature kValidateSig = {"_validate", kValidateNames, 2, 0, 2};

}  // namespace

PyObject* model_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[2];
        check_status(bind_arguments(kValidateSig, args, nargs, kwnames, a));
        Scan scan;
        scan.enabled.set();
        if (a[0] && a[0] != Py_None) scan.enabled = rules_named(a[0], "select");
        if (a[1] && a[1] != Py_None) scan.enabled &= ~rules_named(a[1], "ignore");
        PyRef type = take(diagnostic_type());
        IDFInstance* m = as_model(self);
        require_model_ready(m);
        PyRef keep = PyRef::borrow(self);
        PyRef results = take(PyList_New(0));
        if (!state_of(m).is_idd(m->idd)) return results.release();  // no schema: nothing to check against
        scan.schema = &schema_of(m->idd);
        scan.fields = state_of(m).schema;
        scan.model = m;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(m->objects); ++i) {
          IDFObjectInstance* o = object_at(m, static_cast<size_t>(i));
          if (!o || o->obj_idx != static_cast<size_t>(i)) continue;
          if (o->idd != m->idd) raise(PyExc_ValueError, messages::kMixedSchemas);
          class_of(o);
          scan.objects.push_back(o);
        }
        {
          ReadingWithoutLock reading(m);
          Py_BEGIN_ALLOW_THREADS
          run_scan(scan);
          Py_END_ALLOW_THREADS
        }
        if (scan.out_of_memory) throw std::bad_alloc();
        for (const Finding& finding : scan.findings) {
          check_status(PyList_Append(results.get(), make_diagnostic(type.get(), m, finding).get()));
        }
        return results.release();
      },
      nullptr);
}

PyObject* validation_rules() {
  PyRef rules = take(PyTuple_New(kRuleCount));
  for (size_t r = 0; r < kRuleCount; ++r) {
    PyTuple_SET_ITEM(rules.get(), static_cast<Py_ssize_t>(r),
                     take(Py_BuildValue("(ssss)", kRules[r].code, kRules[r].name, kRules[r].severity, kRules[r].summary))
                         .release());
  }
  return rules.release();
}

}  // namespace quarvel::features
