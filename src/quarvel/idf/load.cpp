// Loading a model from IDF text: the tokenizer and the grammar run without the
// interpreter lock, then each raw record becomes an object, indexed by class and by
// the references its fields take part in.
#include "core.hpp"

namespace quarvel::idf {

namespace {

// An IDFParseError with its message, the line and, for an unknown class, the class name.
[[noreturn]] void raise_parse_error(PyRef message, int64_t line, const std::string* class_name = nullptr) {
  PyRef error = take(PyObject_CallOneArg(g.IDFParseError, message.get()));
  PyRef lineno = line > 0 ? take(PyLong_FromLongLong(line)) : PyRef::borrow(Py_None);
  check_status(PyObject_SetAttrString(error.get(), "lineno", lineno.get()));
  if (class_name) {
    PyRef name = take(str_from(*class_name));
    check_status(PyObject_SetAttrString(error.get(), "class_name", name.get()));
  }
  PyErr_SetRaisedException(error.release());
  throw PythonErrorSet();
}

[[noreturn]] void raise_parse_failure(const ParseFailure& failure) {
  const auto line = static_cast<long long>(failure.line);
  switch (failure.kind) {
    case ParseFailure::kNone:
    case ParseFailure::kReadFailed:  // the reader of the text sets its own exception
      break;
    case ParseFailure::kNoMemory:
      throw std::bad_alloc();
    case ParseFailure::kUnterminated:
      raise_parse_error(
          take(PyUnicode_FromFormat("IDF parsing error (Line %lld): unterminated object before EOF; missing ';'.", line)),
          failure.line);
    case ParseFailure::kTokenError: {
      PyRef text = take(str_from(failure.text));
      raise_parse_error(take(PyUnicode_FromFormat("IDF parsing error (Line %lld): %R", line, text.get())), failure.line);
    }
    case ParseFailure::kMissingDelimiter: {
      PyRef text = take(str_from(failure.text));
      raise_parse_error(
          take(PyUnicode_FromFormat("IDF parsing error (Line %lld): missing delimiter before '%U'.", line, text.get())),
          failure.line);
    }
    case ParseFailure::kUnknownToken:
      raise_parse_error(take(PyUnicode_FromFormat("IDF parsing error (Line %lld): unrecognized token type '%d'.", line,
                                                  failure.token_type)),
                        failure.line);
  }
  raise(PyExc_SystemError, "parse failure of no kind");
}

// The header lines that `save` writes itself, again on every save: read back as the
// user's, they would pile up with each round trip. (Group banners are kept: the writer
// writes a kept banner once, where it writes its own.)
void drop_writers_header(CommentLines& header) {
  std::vector<std::string> lines = header.lines();
  const size_t before = lines.size();
  std::erase_if(lines, [](const std::string& text) {
    return text == " Generated using Quarvel.py" || std::string_view(text).starts_with(" Saved at: ");
  });
  if (lines.size() != before) header.assign(lines);
}

// The cyclic collector pauses while a model's objects are made: it would otherwise walk
// the young objects at every few thousand made (a model of a million objects pays for
// hundreds of collections that find nothing to free), and it resumes afterwards.
class CollectorPaused {
 public:
  CollectorPaused() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;

 private:
  bool was_enabled_;
};

// The objects of the raw records, appended and indexed. A failure leaves a model that
// is dropped by its caller, so nothing is taken back.
void build(IDFModel* self, std::vector<c_IDFObject>& c_idf_objects) {
  CollectorPaused paused;
  if (!PyList_Check(self->objects) || !is_idd(self->idd)) {
    raise(PyExc_TypeError, "objects can only be built into a model with a schema and an object list");
  }
  const c_IDD& schema = schema_of(self->idd);
  std::string search_key;
  for (c_IDFObject& c_object : c_idf_objects) {
    search_key.assign(c_object.class_name);
    for (char& c : search_key) c = ascii_upper(c);
    const auto found = schema.class_map.find(search_key);
    if (found == schema.class_map.end()) {
      raise_parse_error(take(PyUnicode_FromFormat("IDF parsing error: Unknown class: '%s'", c_object.class_name.c_str())),
                        c_object.line, &c_object.class_name);
    }
    const size_t class_idx = found->second;
    const ClassDef& cls = schema.ordered_classes[class_idx];
    PyRef obj = take(as_py(new_bare_object(g.IDFObject_type)));
    IDFObjectObj* o = as_object(obj.get());
    // A class written as the schema spells it hands its name over, saving a copy.
    if (c_object.class_name == cls.name) o->c_class_name.swap(c_object.class_name);
    check_status(object_c_init(o, self->idd, as_py(self), class_idx, c_object.values));
    o->obj_idx = static_cast<size_t>(PyList_GET_SIZE(self->objects));
    o->line = c_object.line;
    if (c_object.comments) o->comments = std::move(c_object.comments);
    check_status(PyList_Append(self->objects, obj.get()));
    auto positions = self->objects_index_map.find(search_key);
    if (positions == self->objects_index_map.end()) {
      positions = self->objects_index_map.try_emplace(std::string_view(search_key)).first;
    }
    positions->second.push_back(o->obj_idx);
    for_each_registration(cls, o->values, [&](const std::string& name, bool target, const std::string& text, int f) {
      add_location(target ? self->targets : self->referencers, name, text, FieldLoc{o->obj_idx, f});
    });
  }
}

PyRef new_lexer() {
  PyTypeObject* lexer_type = g.lexer->Lexer_type;
  PyRef empty = take(PyTuple_New(0));
  return take(lexer_type->tp_new(lexer_type, empty.get(), nullptr));
}

LexerObject* lexer_of(const PyRef& lexer) { return reinterpret_cast<LexerObject*>(lexer.get()); }

// Parses with `parse(records, comments)`, run without the interpreter lock, then makes
// the model's objects. `text` (the tokenizer and what it reads) is let go of as soon as
// the records are parsed: they own copies of everything they need from it, so that the
// text and the whole model never need memory at the same time.
// `read_failed` sets the exception for a failure to read the text.
template <class Parse, class ReadFailed>
void load_parsed(IDFModel* self, PyObject* idd, PyRef text, Parse&& parse, ReadFailed&& read_failed) {
  Py_XSETREF(self->idd, Py_NewRef(idd));
  Py_XSETREF(self->objects, take(PyList_New(0)).release());
  std::vector<c_IDFObject> c_objects;
  auto comments = std::make_unique<ModelComments>();
  ParseFailure failure;
  Py_BEGIN_ALLOW_THREADS
  failure = parse(c_objects, comments.get());
  Py_END_ALLOW_THREADS
  text = PyRef();
  if (failure.kind == ParseFailure::kReadFailed) {
    read_failed();
    throw PythonErrorSet();
  }
  if (failure.kind != ParseFailure::kNone) raise_parse_failure(failure);
  if (idd == Py_None && !c_objects.empty()) {
    raise(PyExc_TypeError, "Argument 'idd' is None, but a schema (IDD) is needed to load objects");
  }
  if (!c_objects.empty()) build(self, c_objects);
  drop_writers_header(comments->header);
  if (!comments->empty()) self->comments = std::move(comments);
}

// `content` is taken over: when the caller held the only other reference, the text is
// freed as soon as it is parsed.
void load(IDFModel* self, PyObject* idd, PyRef content) {
  PyRef lexer = new_lexer();
  LexerObject* lx = lexer_of(lexer);
  g.lexer->ops->c_init(lx, content.get(), 0);
  content = PyRef();  // the tokenizer holds it now
  load_parsed(
      self, idd, std::move(lexer),
      [lx](std::vector<c_IDFObject>& out, ModelComments* comments) { return parse_idf(lx, out, comments); },
      [] {});
}

}  // namespace

int model_c_init(IDFModel* self, PyObject* idd, PyObject* idf_content) {
  return model_load_text(self, idd, PyRef::borrow(idf_content));
}

int model_load_text(IDFModel* self, PyObject* idd, PyRef content) {
  return guard(
      [&] {
        load(self, idd, std::move(content));
        return 0;
      },
      -1);
}

int model_load_file(IDFModel* self, PyObject* idd, LineChunks& pieces, PyObject* path) {
  return guard(
      [&] {
        PyRef lexer = new_lexer();
        LexerObject* lx = lexer_of(lexer);
        load_parsed(
            self, idd, std::move(lexer),
            [lx, &pieces](std::vector<c_IDFObject>& out, ModelComments* comments) {
              return parse_idf_pieces(lx, pieces, out, comments);
            },
            [&] { pieces.raise_failure(path); });
        return 0;
      },
      -1);
}

void build_objects(IDFModel* self, std::vector<c_IDFObject>& c_idf_objects) {
  if (c_idf_objects.empty()) return;
  guard(
      [&] {
        build(self, c_idf_objects);
        return true;
      },
      false);
}

}  // namespace quarvel::idf
