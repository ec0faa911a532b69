// Loading a model from IDF text: the tokenizer and the grammar run without the
// interpreter lock, then each raw record becomes an object, indexed by class and by
// the references its fields take part in.
#include "core.hpp"
#include "quarvel/messages.hpp"
#include "quarvel/suggest.hpp"

#include <array>
#include <cerrno>

namespace quarvel::idf {

namespace {

// An IDFParseError with its message, the line and, for an unknown class, the class name
// and the schema's closest class names.
[[noreturn]] void raise_parse_error(const State& st, PyRef message, const Status& where,
                                    const std::string* class_name = nullptr, const c_IDD* schema = nullptr) {
  PyRef error = take(PyObject_CallOneArg(st.parse_error, message.get()));
  PyRef lineno = where.line > 0 ? take(PyLong_FromLongLong(where.line)) : PyRef::borrow(Py_None);
  check_status(PyObject_SetAttrString(error.get(), "lineno", lineno.get()));
  PyRef column = where.column > 0 ? take(PyLong_FromLongLong(where.column)) : PyRef::borrow(Py_None);
  check_status(PyObject_SetAttrString(error.get(), "column", column.get()));
  if (class_name) {
    PyRef name = take(str_from(*class_name));
    check_status(PyObject_SetAttrString(error.get(), "class_name", name.get()));
  }
  PyErr_SetRaisedException(error.release());
  if (class_name && schema) {
    std::vector<std::string_view> names;
    names.reserve(schema->ordered_classes.size());
    for (const ClassDef& cls : schema->ordered_classes) names.emplace_back(cls.name);
    std::vector<std::string> closest;
    for (size_t i : closest_names(*class_name, names)) closest.emplace_back(names[i]);
    attach_suggestions(closest);
  }
  throw PythonErrorSet();
}

// The exception of a failed parse: an IDFParseError for what is wrong with the text, the
// OSError of a failed read (naming `path`), MemoryError.
[[noreturn]] void raise_status(const State& st, const Status& status, PyObject* path) {
  const auto line = static_cast<long long>(status.line);
  switch (status.fault) {
    case Fault::kNoMemory:
      throw std::bad_alloc();
    case Fault::kRead:
      errno = status.code;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
      throw PythonErrorSet();
    case Fault::kUnterminated:
      raise_parse_error(st, take(PyUnicode_FromFormat(messages::kUnterminated, line)), status);
    case Fault::kTokenError: {
      PyRef text = take(str_from(status.detail));
      raise_parse_error(st, take(PyUnicode_FromFormat(messages::kTokenError, line, text.get())), status);
    }
    case Fault::kMissingDelimiter: {
      PyRef text = take(str_from(status.detail));
      raise_parse_error(st, take(PyUnicode_FromFormat(messages::kMissingDelimiter, line, text.get())), status);
    }
    case Fault::kUnknownToken:
      raise_parse_error(st, take(PyUnicode_FromFormat(messages::kUnknownToken, line, status.code)), status);
    case Fault::kPythonError:
      throw PythonErrorSet();
    case Fault::kNone:
    case Fault::kDecode:
    case Fault::kSchemaText:
      break;
  }
  raise(PyExc_SystemError, messages::kNoSuchFault);
}

// The header lines that `save` writes itself, again on every save: read back as the
// user's, they would pile up with each round trip. (Group banners are kept: the writer
// writes a kept banner once, where it writes its own.)
void drop_writers_header(CommentLines& header) {
  std::vector<std::string> lines = header.lines();
  const size_t before = lines.size();
  std::erase_if(lines, [](const std::string& text) {
    return text == kHeaderComment || std::string_view(text).starts_with(kTimestampComment);
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

// A reference index with the entries of the last few list names it was given: a class's
// objects register under the same few lists, each asked by the schema's own string. The
// entries are forgotten whenever a list is added (the index may have moved them).
class ListCache {
 public:
  explicit ListCache(RefIndex& index) : index_(index) {}

  void add(std::string_view list, std::string_view text, FieldLoc loc) {
    forget_if_moved();
    for (const Entry& e : entries_) {
      if (e.list.data() == list.data() && e.list.size() == list.size()) return add_value_location(*e.values, text, loc);
    }
    add_location(index_, list, text, loc);
    forget_if_moved();
    entries_[next_++ % entries_.size()] = Entry{list, &index_.find(list)->second};
  }

 private:
  struct Entry {
    std::string_view list;  // the schema's own text of the list name: compared by where it is
    ValueIndex* values = nullptr;
  };

  void forget_if_moved() {
    if (index_.size() == size_) return;
    entries_ = {};
    size_ = index_.size();
  }

  RefIndex& index_;
  std::array<Entry, 4> entries_{};
  size_t size_ = 0, next_ = 0;
};

// The objects of the raw records, appended and indexed. A failure leaves a model that
// is dropped by its caller, so nothing is taken back.
void build(IDFInstance* self, std::vector<c_IDFObject>& c_idf_objects) {
  CollectorPaused paused;
  const State& st = state_of(self);
  if (!PyList_Check(self->objects) || !st.is_idd(self->idd)) {
    raise(PyExc_TypeError, messages::kBuildWithoutSchema);
  }
  const c_IDD& schema = schema_of(self->idd);
  std::string search_key;
  // Objects of a class mostly come one after another: the class of the object before, as
  // written, with its schema index and its position list, spares the lookups.
  std::string last_class;
  size_t class_idx = 0;
  ListCache target_lists(self->targets), referrer_lists(self->referencers);
  PositionList* positions = nullptr;
  for (c_IDFObject& c_object : c_idf_objects) {
    const bool same_class = positions && c_object.class_name == last_class;
    if (!same_class) {
      search_key.assign(c_object.class_name);
      for (char& c : search_key) c = ascii_upper(c);
      const auto found = schema.class_map.find(search_key);
      if (found == schema.class_map.end()) {
        raise_parse_error(st, take(PyUnicode_FromFormat(messages::kUnknownClassInText, c_object.class_name.c_str())),
                          Status::of(Fault::kNone, c_object.line), &c_object.class_name, &schema);
      }
      class_idx = found->second;
      positions = nullptr;
      last_class = c_object.class_name;
    }
    const ClassDef& cls = schema.ordered_classes[class_idx];
    PyRef obj = take(as_py(new_bare_object(st.object_type)));
    IDFObjectInstance* o = as_object(obj.get());
    // A class written as the schema spells it hands its name over, saving a copy.
    if (c_object.class_name == cls.name) o->c_class_name.swap(c_object.class_name);
    check_status(object_c_init(o, self->idd, as_py(self), class_idx, c_object.values));
    o->obj_idx = static_cast<size_t>(PyList_GET_SIZE(self->objects));
    o->line = c_object.line;
    if (c_object.comments) o->comments = std::move(c_object.comments);
    check_status(PyList_Append(self->objects, obj.get()));
    if (!positions) {  // a new class may move the others' lists: only this one is kept
      auto entry = self->objects_index_map.find(search_key);
      if (entry == self->objects_index_map.end()) {
        entry = self->objects_index_map.try_emplace(std::string_view(search_key)).first;
      }
      positions = &entry->second;
    }
    positions->push_back(o->obj_idx);
    for_each_registration(cls, o->values, [&](std::string_view name, bool target, const std::string& text, int f) {
      (target ? target_lists : referrer_lists).add(name, text, FieldLoc{o->obj_idx, f});
    });
  }
}

PyRef new_lexer(const State& st) {
  PyTypeObject* lexer_type = st.lexer->Lexer_type;
  PyRef empty = take(PyTuple_New(0));
  return take(lexer_type->tp_new(lexer_type, empty.get(), nullptr));
}

LexerInstance* lexer_of(const PyRef& lexer) { return reinterpret_cast<LexerInstance*>(lexer.get()); }

// Parses with `parse(records, comments)`, run without the interpreter lock, then makes
// the model's objects. `text` (the tokenizer and what it reads) is let go of as soon as
// the records are parsed: they own copies of everything they need from it, so that the
// text and the whole model never need memory at the same time. `path` names the file in
// an error, or is None.
template <class Parse>
void load_parsed(IDFInstance* self, PyObject* idd, PyRef text, PyObject* path, Parse&& parse) {
  const State& st = state_of(self);
  Py_XSETREF(self->idd, Py_NewRef(idd));
  Py_XSETREF(self->objects, take(PyList_New(0)).release());
  std::vector<c_IDFObject> c_objects;
  auto comments = std::make_unique<ModelComments>();
  Status status;
  Py_BEGIN_ALLOW_THREADS
  status = parse(*st.lexer->ops, c_objects, comments.get());
  Py_END_ALLOW_THREADS
  text = PyRef();
  if (!status.ok()) raise_status(st, status, path);
  if (idd == Py_None && !c_objects.empty()) raise(st.schema_needed, messages::kSchemaNeeded);
  if (!c_objects.empty()) build(self, c_objects);
  drop_writers_header(comments->header);
  if (!comments->empty()) self->comments = std::move(comments);
}

}  // namespace

void load_text(IDFInstance* self, PyObject* idd, PyRef content) {
  const State& st = state_of(self);
  PyRef lexer = new_lexer(st);
  LexerInstance* lx = lexer_of(lexer);
  st.lexer->ops->c_init(lx, content.get(), 0);
  content = PyRef();  // the tokenizer holds it now
  load_parsed(self, idd, std::move(lexer), Py_None,
              [lx](const LexerOps& ops, std::vector<c_IDFObject>& out, ModelComments* comments) {
                return parse_idf(ops, lx, out, comments);
              });
}

void load_file(IDFInstance* self, PyObject* idd, LineChunks& pieces, PyObject* path) {
  PyRef lexer = new_lexer(state_of(self));
  LexerInstance* lx = lexer_of(lexer);
  load_parsed(self, idd, std::move(lexer), path,
              [lx, &pieces](const LexerOps& ops, std::vector<c_IDFObject>& out, ModelComments* comments) {
                return parse_idf_pieces(ops, lx, pieces, out, comments);
              });
}

int model_c_init(IDFInstance* self, PyObject* idd, PyObject* idf_content) {
  return guard(
      [&] {
        load_text(self, idd, PyRef::borrow(idf_content));
        return 0;
      },
      -1);
}

void build_objects(IDFInstance* self, std::vector<c_IDFObject>& c_idf_objects) {
  if (c_idf_objects.empty()) return;
  guard(
      [&] {
        build(self, c_idf_objects);
        return true;
      },
      false);
}

}  // namespace quarvel::idf
