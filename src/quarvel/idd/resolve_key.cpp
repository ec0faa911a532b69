// Resolution of a Python key (int index or str field name) to a field index.
#include "idd_type.hpp"
#include "quarvel/messages.hpp"
#include "schema.hpp"
#include "quarvel/suggest.hpp"

#include <climits>

namespace quarvel::idd {

namespace {

constexpr size_t kStackKey = 128;  // longer names are folded into a heap string

// Raises the unknown-field error of quarvel.idd. The published lookup is called with a
// class definition only, which does not know its module: the module is found by name,
// on this error path alone.
void raise_unknown_field(PyObject* message) {
  PyRef name(PyUnicode_FromString("quarvel.idd"));
  PyRef module(name ? PyImport_GetModule(name.get()) : nullptr);
  if (!module) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, message);
    return;
  }
  PyErr_SetObject(state_of(module.get()).unknown_field_error, message);
}

// The class's field names closest to `key`, spelled as the key is: a key with '_' and no
// blank is an attribute name, and is offered attribute names (blanks as '_', '-', '/'
// and '*' dropped).
std::vector<std::string> closest_fields(const ClassDef& cls, std::string_view key) {
  std::vector<std::string_view> names;
  names.reserve(cls.fields.size());
  for (const FieldDef& field : cls.fields) names.emplace_back(field.name);
  const bool attribute = key.find('_') != std::string_view::npos && key.find(' ') == std::string_view::npos;
  std::vector<std::string> out;
  for (size_t i : closest_names(key, names)) {
    out.push_back(attribute ? attribute_spelling(names[i]) : std::string(names[i]));
  }
  return out;
}

}  // namespace

int resolve_key_to_field_index(const ClassDef& cls, PyObject* key) {
  if (PyLong_Check(key)) {
    int overflow = 0;
    const long long idx = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (idx == -1 && PyErr_Occurred()) return -1;
    const long long count = static_cast<long long>(cls.fields.size());
    const bool ok = overflow == 0 && idx >= 0 && (cls.extensible.is_extensible ? idx <= kMaxFieldIndex : idx < count);
    if (ok) return static_cast<int>(idx);
    if (cls.extensible.is_extensible) {
      PyErr_Format(PyExc_IndexError, messages::kFieldIndexRepeating, key, cls.name.c_str(), kMaxFieldIndex);
    } else {
      PyErr_Format(PyExc_IndexError, messages::kFieldIndexOutOfRange, key,
                   cls.name.c_str(), count);
    }
    return -1;
  }
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, messages::kFieldKeyType, Py_TYPE(key)->tp_name);
    return -1;
  }
  // Unicode case folding for non-ASCII keys, a byte loop for the rest. A str subclass
  // is read as the plain string it holds: no method of the caller's runs here.
  PyRef exact = PyUnicode_CheckExact(key) ? PyRef::borrow(key) : PyRef(PyUnicode_FromObject(key));
  if (!exact) return -1;
  key = exact.get();
  PyRef lowered_obj;
  if (!PyUnicode_IS_ASCII(key)) {
    lowered_obj = PyRef(PyObject_CallMethod(key, "lower", nullptr));
    if (!lowered_obj) return -1;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(lowered_obj ? lowered_obj.get() : key, &size);
  if (!utf8) return -1;
  int idx;
  try {
    const std::string_view view(utf8, static_cast<size_t>(size));
    if (lowered_obj) {
      idx = lookup_lowered_name(cls, view);
    } else if (view.size() <= kStackKey) {
      char buffer[kStackKey];  // field names are short: fold them without allocating
      for (size_t i = 0; i < view.size(); ++i) buffer[i] = ascii_lower(view[i]);
      idx = lookup_lowered_name(cls, std::string_view(buffer, view.size()));
    } else {
      idx = lookup_lowered_name(cls, ascii_lowered(view));
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  if (idx >= 0) return idx;
  PyRef message(PyUnicode_FromFormat(messages::kUnknownField, key, cls.name.c_str()));
  if (!message) return -1;
  raise_unknown_field(message.get());
  if (size > 0 && utf8[0] == '_') return -1;  // a probe for a private or special attribute
  try {
    attach_suggestions(closest_fields(cls, std::string_view(utf8, static_cast<size_t>(size))));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return -1;
}

}  // namespace quarvel::idd
