// The user's comments as Python sees them: the lines above an object, the comment after
// a field's value, and the model's header and trailing lines. Each is the text that
// follows the '!', which a comment line cannot carry a line break in.
#include "features.hpp"
#include "quarvel/messages.hpp"

#include <algorithm>

namespace quarvel::features {

namespace {

PyObject* str_list(const std::vector<std::string>& lines) {
  PyRef list = take(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  for (size_t i = 0; i < lines.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), take(str_from(lines[i])).release());
  }
  return list.release();
}

std::string comment_text(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    raise_format(PyExc_TypeError, messages::kCommentNotStr, Py_TYPE(text)->tp_name);
  }
  const std::string_view utf8 = utf8_of(text);
  if (utf8.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    raise(PyExc_ValueError, messages::kCommentOneLine);
  }
  return std::string(utf8);
}

// Lines from any iterable of str (a str alone is one line); None for none.
std::vector<std::string> comment_lines(PyObject* value) {
  std::vector<std::string> lines;
  if (!value) raise(PyExc_TypeError, messages::kCommentsNotDeleted);
  if (value == Py_None) return lines;
  if (PyUnicode_Check(value)) {
    lines.push_back(comment_text(value));
    return lines;
  }
  PyRef iterator = take(PyObject_GetIter(value));
  while (PyRef item{PyIter_Next(iterator.get())}) lines.push_back(comment_text(item.get()));
  if (PyErr_Occurred()) throw PythonErrorSet();
  return lines;
}

ObjectComments& comments_of(IDFObjectInstance* o) {
  if (!o->comments) o->comments = std::make_unique<ObjectComments>();
  return *o->comments;
}

void drop_if_empty(IDFObjectInstance* o) {
  if (o->comments && o->comments->empty()) o->comments.reset();
}

const char* const kKeyNames[] = {"key"};
const char* const kSetNames[] = {"key", "text"};

}  // namespace

PyObject* object_get_comments(PyObject* self, void*) {
  return guard(
      [&] {
        IDFObjectInstance* o = as_object(self);
        return str_list(o->comments ? o->comments->above.lines() : std::vector<std::string>());
      },
      nullptr);
}

int object_set_comments(PyObject* self, PyObject* value, void*) {
  return guard(
      [&] {
        std::vector<std::string> lines = comment_lines(value);
        IDFObjectInstance* o = as_object(self);
        comments_of(o).above.assign(lines);
        drop_if_empty(o);
        return 0;
      },
      -1);
}

PyObject* object_field_comment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* key;
        const Signature sig = {"field_comment", kKeyNames, 1, 1, 1};
        check_status(bind_arguments(sig, args, nargs, kwnames, &key));
        IDFObjectInstance* o = as_object(self);
        const int idx = state_of(o).schema->resolve_key_to_field_index(class_of(o), key);
        if (idx < 0) throw PythonErrorSet();
        if (o->comments) {
          for (const FieldComment& c : o->comments->fields) {
            if (c.field_idx == idx && c.same_line) return str_from(c.text);
          }
        }
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* object_set_field_comment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard(
      [&]() -> PyObject* {
        PyObject* a[2];
        const Signature sig = {"set_field_comment", kSetNames, 2, 2, 2};
        check_status(bind_arguments(sig, args, nargs, kwnames, a));
        IDFObjectInstance* o = as_object(self);
        const int idx = state_of(o).schema->resolve_key_to_field_index(class_of(o), a[0]);
        if (idx < 0) throw PythonErrorSet();
        const bool remove = a[1] == Py_None;
        std::string text = remove ? std::string() : comment_text(a[1]);
        auto& fields = comments_of(o).fields;
        std::erase_if(fields, [&](const FieldComment& c) { return c.field_idx == idx && c.same_line; });
        if (!remove) {
          // Kept in field order, which is the order they are written in.
          const auto at = std::find_if(fields.begin(), fields.end(), [&](const FieldComment& c) { return c.field_idx > idx; });
          fields.insert(at, FieldComment{idx, true, std::move(text)});
        }
        drop_if_empty(o);
        Py_RETURN_NONE;
      },
      nullptr);
}

namespace {

PyObject* get_model_lines(PyObject* self, CommentLines ModelComments::*part) {
  return guard(
      [&] {
        const auto& comments = as_model(self)->comments;
        return str_list(comments ? ((*comments).*part).lines() : std::vector<std::string>());
      },
      nullptr);
}

int set_model_lines(PyObject* self, PyObject* value, CommentLines ModelComments::*part) {
  return guard(
      [&] {
        std::vector<std::string> lines = comment_lines(value);
        auto& comments = as_model(self)->comments;
        if (!comments) comments = std::make_unique<ModelComments>();
        ((*comments).*part).assign(lines);
        if (comments->empty()) comments.reset();
        return 0;
      },
      -1);
}

}  // namespace

PyObject* model_get_header_comments(PyObject* self, void*) { return get_model_lines(self, &ModelComments::header); }

PyObject* model_get_trailing_comments(PyObject* self, void*) {
  return get_model_lines(self, &ModelComments::trailer);
}

int model_set_header_comments(PyObject* self, PyObject* value, void*) {
  return set_model_lines(self, value, &ModelComments::header);
}

int model_set_trailing_comments(PyObject* self, PyObject* value, void*) {
  return set_model_lines(self, value, &ModelComments::trailer);
}

namespace {

// How many comment lines the model keeps: its own and its objects'.
size_t comment_line_count(IDFInstance* model) {
  size_t count = model->comments ? model->comments->header.size() + model->comments->trailer.size() : 0;
  if (!PyList_Check(model->objects)) return count;
  const State& st = state_of(model);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(model->objects); ++i) {
    PyObject* item = PyList_GET_ITEM(model->objects, i);
    if (st.is_object(item) && as_object(item)->comments) {
      count += as_object(item)->comments->above.size() + as_object(item)->comments->fields.size();
    }
  }
  return count;
}

}  // namespace

PyObject* model_get_comment_count(PyObject* self, void*) {
  return guard([&] { return PyLong_FromSize_t(comment_line_count(as_model(self))); }, nullptr);
}

}  // namespace quarvel::features
