// Writing models and objects as IDF text, in schema order with group banners or in
// insertion order, aligned with field comments or compact.
#include "core.hpp"
#include "quarvel/messages.hpp"

#include <climits>

// Fetching memory ahead of use: a hint where the compiler has one, nothing elsewhere.
#if defined(__GNUC__) || defined(__clang__)
#define QUARVEL_PREFETCH(address) __builtin_prefetch(address)
#else
#define QUARVEL_PREFETCH(address) ((void)(address))
#endif

namespace quarvel::idf {

// The two fixed layouts: constants, the same for every module object.
const FormatConfig DEFAULT_FORMAT_CONFIG = {std::string(), std::string(4, ' '), 24, false};
const FormatConfig MINIMAL_FORMAT_CONFIG = {std::string(), std::string(), 0, true};

namespace {


// The text of a group banner line, after its '!'.
std::string banner_of(std::string_view group) { return " ***" + to_upper(group) + "***"; }

std::string first_group_banner(const State& st, IDFInstance* model) {
  if (!st.is_idd(model->idd)) return std::string();
  for (const ClassDef& cls : schema_of(model->idd).ordered_classes) {
    const auto found = model->objects_index_map.find_upper(cls.name);
    if (found != model->objects_index_map.end() && !found->second.empty()) {
      return cls.group.empty() ? std::string() : banner_of(cls.group);
    }
  }
  return std::string();
}

void write_comment_line(std::string& out, const std::string& indent, std::string_view text) {
  out += indent;
  out += '!';
  out += text;
  out += '\n';
}

// The writers below throw; PythonErrorSet means a Python exception is set. With
// `comments`, the user's comments are written where they were read: lines above the
// object and above fields, and comments after values in place of the field names (in
// the compact layout, all of them as lines above the object).
// A kept comment line equal to `banner` (the group banner the writer has just written
// above the object) is not written again.
void write_object(const State& st, IDFObjectInstance* self, std::string& out, const FormatConfig& config,
                  bool comments = false,
                  const std::string* banner = nullptr) {
  const ClassDef& cls = class_of(self);
  const auto& values = self->values;
  const ObjectComments* notes = comments ? self->comments.get() : nullptr;
  if (notes) {
    bool first = true;
    notes->above.for_each([&](std::string_view line) {
      if (!std::exchange(first, false) || !banner || line != *banner) write_comment_line(out, config.class_indent, line);
    });
    if (config.compact) {
      for (const FieldComment& c : notes->fields) write_comment_line(out, config.class_indent, c.text);
      notes = nullptr;
    }
  }
  // The comment on a field's line, or null; the comment lines above it go through `lines_above`.
  auto inline_comment = [&](int field) -> const std::string* {
    if (!notes) return nullptr;
    for (const FieldComment& c : notes->fields) {
      if (c.field_idx == field && c.same_line) return &c.text;
    }
    return nullptr;
  };
  out += config.class_indent;
  out += self->c_class_name;

  ptrdiff_t last_idx = static_cast<ptrdiff_t>(values.size()) - 1;
  while (last_idx >= 0 && values[static_cast<size_t>(last_idx)].empty()) --last_idx;
  if (notes) {
    // Empty fields that carry a comment after them are written, so the comment keeps its place.
    for (const FieldComment& c : notes->fields) {
      if (c.same_line && c.field_idx > last_idx) last_idx = c.field_idx;
    }
  }
  if (last_idx < 0) {
    if (cls.min_fields <= 0) {
      out += ';';
      if (const std::string* note = inline_comment(-1)) {
        out += "  !";
        out += *note;
      }
      if (!config.compact) out += '\n';
      return;
    }
    last_idx = cls.min_fields - 1;
  } else if (cls.min_fields > 0 && cls.min_fields > last_idx + 1) {
    last_idx = cls.min_fields - 1;
  }
  out += ',';
  if (config.compact) {
    // One line: the values and their separators, the indent (if any) before each.
    const std::string& indent = config.field_indent;
    for (ptrdiff_t i = 0; i <= last_idx; ++i) {
      const auto idx = static_cast<size_t>(i);
      if (!indent.empty()) out += indent;
      if (idx < values.size()) out.append(values[idx].data(), values[idx].size());
      out += i == last_idx ? ';' : ',';
    }
    return;
  }
  if (const std::string* note = inline_comment(-1)) {
    out += "  !";
    out += *note;
  }
  out += '\n';
  for (ptrdiff_t i = 0; i <= last_idx; ++i) {
    const auto idx = static_cast<size_t>(i);
    if (notes) {
      // Lines above this field; those above fields that are not written stand above the last one.
      for (const FieldComment& c : notes->fields) {
        if (!c.same_line && (c.field_idx == i || (i == last_idx && c.field_idx > last_idx))) {
          write_comment_line(out, config.field_indent, c.text);
        }
      }
    }
    out += config.field_indent;
    size_t val_size = 0;
    if (idx < values.size()) {
      out.append(values[idx].data(), values[idx].size());
      val_size = values[idx].size();
    }
    out += i == last_idx ? ';' : ',';
    if (config.field_size != 0) {
      if (val_size <= config.field_size) {
        out.append(config.field_size - val_size, ' ');
      } else {
        out.append(2, ' ');
      }
    }
    if (const std::string* note = inline_comment(static_cast<int>(i))) {
      out += '!';
      out += *note;
      out += '\n';
      continue;
    }
    out += "!- ";
    // Listed fields carry their name and units; names of repeated groups are made.
    if (idx < cls.fields.size()) {
      out += cls.fields[idx].name;
      append_units(out, cls.fields[idx].units);
    } else {
      out += st.schema->get_field_name(cls, static_cast<int>(i), true);
    }
    out += '\n';
  }
}

void write_model(IDFInstance* self, std::string& out, const FormatConfig& config, bool preserve_order,
                 bool stop_on_error, bool comments = false) {
  if (!PyList_Check(self->objects)) {
    PyErr_Format(PyExc_TypeError, messages::kNotSubscriptable, Py_TYPE(self->objects)->tp_name);
    throw PythonErrorSet();
  }
  const State& st = state_of(self);
  size_t total_obj_count = 0;
  for (const auto& [key, positions] : self->objects_index_map) total_obj_count += positions.size();
  const size_t estimated_size = out.size() + (config.compact ? 160 : 800) * total_obj_count + 4096;
  if (out.capacity() < estimated_size) out.reserve(estimated_size);

  const ModelComments* notes = comments ? self->comments.get() : nullptr;
  // The banner the schema order writes first: a header ending with that same line
  // (a file this writer wrote, read back) leaves it to the writer.
  const std::string first_banner = notes && !preserve_order && !config.compact ? first_group_banner(st, self) : "";
  if (notes) {
    size_t count = notes->header.size();
    if (count > 0 && !first_banner.empty() && notes->header.back() == first_banner) --count;
    notes->header.for_each([&](std::string_view line) {
      if (count > 0) write_comment_line(out, std::string(), line);
      count -= count > 0;
    });
  }
  const std::string* banner = nullptr;  // just written above the next object
  auto write_at = [&](size_t pos) {
    IDFObjectInstance* obj = object_at(self, pos);
    if (!obj) return;
    out += '\n';
    if (stop_on_error) {
      write_object(st, obj, out, config, comments, banner);
    } else {
      object_write_to_buffer(obj, out, config);
    }
    banner = nullptr;
  };
  auto write_trailer = [&] {
    if (!notes || notes->trailer.empty()) return;
    out += '\n';
    notes->trailer.for_each([&](std::string_view line) { write_comment_line(out, std::string(), line); });
  };

  // Objects lie scattered in memory: the header of an object a few places ahead, and
  // its values, are fetched while the current one is written. `position(k)` is the
  // k-th position to write.
  PyObject* objects = self->objects;
  auto write_all = [&](size_t count, auto position) {
    const auto size = static_cast<size_t>(PyList_GET_SIZE(objects));
    for (size_t k = 0; k < count; ++k) {
      if (k + 8 < count && position(k + 8) < size) {
        QUARVEL_PREFETCH(PyList_GET_ITEM(objects, static_cast<Py_ssize_t>(position(k + 8))));
      }
      if (k + 4 < count && position(k + 4) < size) {
        PyObject* ahead = PyList_GET_ITEM(objects, static_cast<Py_ssize_t>(position(k + 4)));
        if (Py_IS_TYPE(ahead, st.object_type)) QUARVEL_PREFETCH(as_object(ahead)->values.data());
      }
      write_at(position(k));
    }
  };

  if (preserve_order) {
    write_all(static_cast<size_t>(PyList_GET_SIZE(objects)), [](size_t k) { return k; });
    write_trailer();
    return;
  }
  require_model_ready(self);
  if (!st.is_idd(self->idd)) {  // no schema and no objects: only comments to write
    write_trailer();
    return;
  }
  std::string current_group, banner_text;
  for (const ClassDef& cls : schema_of(self->idd).ordered_classes) {
    const auto found = self->objects_index_map.find(to_upper(std::string_view(cls.name)));
    if (found == self->objects_index_map.end() || found->second.empty()) continue;
    if (!config.compact && cls.group != current_group) {
      current_group = cls.group;
      if (!current_group.empty()) {
        banner_text = banner_of(current_group);
        out += "\n!";
        out += banner_text;
        out += '\n';
        banner = &banner_text;
      }
    }
    // The class list is copied: a finalizer run while writing must not change it under us.
    const std::vector<size_t> positions = found->second.to_vector();
    write_all(positions.size(), [&](size_t k) { return positions[k]; });
    if (config.compact) out += '\n';
  }
  write_trailer();
}

// A size argument as a 32-bit signed int, converted through __int__.
long size_argument(PyObject* obj, long default_value) {
  if (!obj) return default_value;
  PyRef number;
  if (PyLong_Check(obj)) {
    number = PyRef::borrow(obj);
  } else if (Py_TYPE(obj)->tp_as_number && Py_TYPE(obj)->tp_as_number->nb_int) {
    number = take(Py_TYPE(obj)->tp_as_number->nb_int(obj));
    if (!PyLong_Check(number.get())) {
      raise_format(PyExc_TypeError, messages::kIntNotInt, Py_TYPE(number.get())->tp_name);
    }
  } else {
    raise(PyExc_TypeError, messages::kIntegerRequired);
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(number.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonErrorSet();
  if (overflow != 0 || value > INT_MAX || value < INT_MIN) {
    raise_format(PyExc_OverflowError, messages::kValueTooLarge, "int");
  }
  return value;
}

bool flag_argument(PyObject* obj, bool default_value) {
  if (!obj) return default_value;
  const int truth = PyObject_IsTrue(obj);
  check_status(truth);
  return truth != 0;
}

// The layout that format and save use: the compact record, or one made from the sizes.
FormatConfig layout_from_arguments(PyObject* const* sizes, const char* const* names, bool compact) {
  long values[3];
  const long defaults[3] = {0, 4, 24};
  for (int i = 0; i < 3; ++i) values[i] = size_argument(sizes[i], defaults[i]);
  if (compact) return MINIMAL_FORMAT_CONFIG;
  for (int i = 0; i < 3; ++i) {
    if (values[i] < 0) raise_format(PyExc_ValueError, messages::kNegativeSize, names[i], values[i]);
  }
  return generate_format_config(static_cast<size_t>(values[0]), static_cast<size_t>(values[1]),
                                static_cast<size_t>(values[2]));
}

const char* const kFormatNames[] = {"class_indent_size", "field_indent_size", "field_size", "compact",
                                    "preserve_order",    "comments",          "layout"};
const Signature kFormatSig = {"format", kFormatNames, 7, 0, 3};

const char* const kSaveNames[] = {"output_path",    "class_indent_size", "field_indent_size", "field_size", "compact",
                                  "preserve_order", "include_timestamp", "comments",          "layout"};
const Signature kSaveSig = {"save", kSaveNames, 9, 1, 4};

// Whether `layout` asks for the layout of the text the model was read from ("original")
// rather than the library's own ("library", the default).
bool original_layout(PyObject* layout) {
  if (!layout || layout == Py_None) return false;
  if (PyUnicode_Check(layout)) {
    if (PyUnicode_CompareWithASCIIString(layout, "library") == 0) return false;
    if (PyUnicode_CompareWithASCIIString(layout, "original") == 0) return true;
  }
  raise_format(PyExc_ValueError, messages::kUnknownLayout, layout);
}



// Writes `data` to `target` with the module's file writer: a temporary file in the
// target's folder, renamed over it once complete, so that a failure never leaves a
// truncated file and a reader never sees a partial one.
PyObject* write_file(const State& st, PyObject* target, const std::string& data) {
  PyRef bytes = take(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
  return PyObject_CallFunctionObjArgs(st.write_file, target, bytes.get(), nullptr);
}

}  // namespace

FormatConfig generate_format_config(size_t class_indent_size, size_t field_indent_size, size_t field_size) {
  return FormatConfig{std::string(class_indent_size, ' '), std::string(field_indent_size, ' '), field_size, false};
}

void object_write_to_buffer(IDFObjectInstance* self, std::string& out, const FormatConfig& config) {
  try {
    write_object(state_of(self), self, out, config);
  } catch (const std::exception& e) {
    report_unraisable("quarvel.idf.IDFObject.write_to_buffer", e);
  }
}

void model_write_to_buffer(IDFInstance* self, std::string& out, const FormatConfig& config, bool preserve_order) {
  try {
    write_model(self, out, config, preserve_order, false);
  } catch (const std::exception& e) {
    report_unraisable("quarvel.idf.IDF.write_to_buffer", e);
  }
}

PyObject* model_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[7];
        check_status(bind_arguments(kFormatSig, args, nargs, kwnames, a));
        if (original_layout(a[6])) return state_of(as_model(self)).write_original(self, nullptr);
        const bool compact = flag_argument(a[3], false);
        const bool preserve_order = flag_argument(a[4], false);
        const bool comments = flag_argument(a[5], false);
        const FormatConfig config = layout_from_arguments(a, kFormatNames, compact);
        IDFInstance* m = as_model(self);
        require_model_ready(m);
        std::string buffer;
        write_model(m, buffer, config, preserve_order, true, comments);
        return str_from(trim_newlines_view(buffer));
      },
      nullptr);
}

PyObject* model_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[9];
        check_status(bind_arguments(kSaveSig, args, nargs, kwnames, a));
        if (original_layout(a[8])) return state_of(as_model(self)).write_original(self, a[0]);
        const bool compact = flag_argument(a[4], false);
        const bool preserve_order = flag_argument(a[5], false);
        const bool include_timestamp = flag_argument(a[6], true);
        const bool comments = flag_argument(a[7], false);
        const FormatConfig config = layout_from_arguments(a + 1, kSaveNames + 1, compact);
        IDFInstance* m = as_model(self);
        require_model_ready(m);
        std::string buffer = "!";
        buffer += kHeaderComment;
        buffer += '\n';
        if (include_timestamp) {
          buffer += '!';
          buffer += kTimestampComment;
          buffer += state_of(m).utils->get_current_time();
          buffer += '\n';
        }
        write_model(m, buffer, config, preserve_order, true, comments);
        return write_file(state_of(m), a[0], buffer);
      },
      nullptr);
}

PyObject* model_repr(PyObject* self) {
  IDFInstance* m = as_model(self);
  return guard(
      [&]() -> PyObject* {
        require_model_ready(m);
        std::string buffer;
        write_model(m, buffer, DEFAULT_FORMAT_CONFIG, false, true);
        return str_from(buffer);
      },
      nullptr);
}

PyObject* object_repr(PyObject* self) {
  IDFObjectInstance* o = as_object(self);
  return guard(
      [&]() -> PyObject* {
        std::string buffer;
        write_object(state_of(o), o, buffer, DEFAULT_FORMAT_CONFIG);
        return str_from(buffer);
      },
      nullptr);
}

}  // namespace quarvel::idf
