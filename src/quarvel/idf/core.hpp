// Internal declarations shared by the files of quarvel.idf.
//
// One convention for failures: internal functions throw (PythonErrorSet once a Python
// exception is set, std::bad_alloc when memory runs out), and every function that
// Python calls runs its body under `guard`, which turns what was thrown into the
// Python exception. The published tables keep their own contracts (status codes,
// operations that never raise); their entries are thin wrappers over these functions.
#pragma once
#include "quarvel/args.hpp"
#include "quarvel/idf_api.hpp"
#include "quarvel/lexer_api.hpp"
#include "quarvel/module_state.hpp"
#include "quarvel/status.hpp"
#include "quarvel/utils_api.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel::idf {

// What quarvel.idf binds at import and the types it makes: the state of its module
// object. Python entry points find it from their object's type (state_of) and hand it
// to the functions they call.
struct State {
  const LexerCapi* lexer;
  const IDDCapi* schema;
  const UtilsCapi* utils;
  PyTypeObject* model_type;   // IDF
  PyTypeObject* object_type;  // IDFObject
  PyTypeObject* tuple_type;   // IDFObjectTuple
  PyObject* parse_error;      // IDFParseError: a ValueError with lineno, filename and class_name
  PyObject* schema_needed;    // SchemaNeededError: a TypeError
  PyObject* write_file;       // how a model is written to disk (given by the module)
  // Writes a model in the layout of the text it was read from: its text (target null) or
  // into target. A feature, given by the module.
  PyObject* (*write_original)(PyObject* model, PyObject* target);
  PyObject* autosize_text;    // "Autosize", interned, as fields read
  PyObject* autocalculate_text;
  PyObject* dict_name;        // "__dict__"
  PyObject* get_objects_name;
  PyObject* unpickle_model_name;
  PyObject* unpickle_object_name;
  IDFCapi capi;               // published as the module's _C_API

  bool is_idd(PyObject* o) const { return PyObject_TypeCheck(o, schema->IDD_type); }
  bool is_model(PyObject* o) const { return PyObject_TypeCheck(o, model_type); }
  bool is_object(PyObject* o) const { return PyObject_TypeCheck(o, object_type); }
};

extern PyModuleDef kIdfModule;
inline State& state_of_module(PyObject* module) { return quarvel::state_of_module<State>(module); }
// The state of the module that made `type` (or a base of it, for subclasses).
inline State& state_of(PyTypeObject* type) { return state_of_type<State>(type, &kIdfModule); }
inline State& state_of(PyObject* o) { return state_of(Py_TYPE(o)); }

extern const IDFOps kIDFOps;
extern const IDFObjectOps kIDFObjectOps;

inline IDFInstance* as_model(PyObject* o) { return reinterpret_cast<IDFInstance*>(o); }
inline IDFObjectInstance* as_object(PyObject* o) { return reinterpret_cast<IDFObjectInstance*>(o); }
inline PyObject* as_py(IDFObjectInstance* o) { return reinterpret_cast<PyObject*>(o); }
inline PyObject* as_py(IDFInstance* m) { return reinterpret_cast<PyObject*>(m); }
inline State& state_of(IDFInstance* m) { return state_of(Py_TYPE(as_py(m))); }
inline State& state_of(IDFObjectInstance* o) { return state_of(Py_TYPE(as_py(o))); }
inline const c_IDD& schema_of(PyObject* idd) { return reinterpret_cast<IDDInstance*>(idd)->c_idd; }

inline PyObject* str_from(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

// UTF-8 of a str argument; throws when it cannot be encoded.
std::string_view utf8_of(PyObject* str);

// ---- failures that cannot be raised (unraisable.cpp) ----
// Reports an error through the interpreter's unraisable hook, naming where it
// happened: what the table operations that never raise do with a failure.
void report_unraisable(const char* where, const std::exception& error) noexcept;

// ---- model (model.cpp) ----
// What the module adds to a type beyond the core's own methods and attributes (the
// features): arrays ending with an entry whose name is null.
struct TypeExtras {
  const PyMethodDef* methods = nullptr;
  const PyGetSetDef* getset = nullptr;
};
PyTypeObject* create_model_type(PyObject* module, const TypeExtras& extras);
// A type of the module from `spec`, with `extras` after its own methods and attributes.
PyTypeObject* type_from_spec(PyObject* module, const PyType_Spec& spec, const TypeExtras& extras, PyObject* base);
// A new bare model of `type` (IDF or a subclass), made without running Python code.
PyRef new_bare_model(PyTypeObject* type);
// A usable model has an object list, and a schema once it holds objects; throws otherwise.
void require_model_ready(IDFInstance* self);
bool model_has_objects(IDFInstance* self);
// The live object at `pos`: a borrowed IDFObject, or nullptr for a removed slot.
// A position outside the list or an entry of another type throws.
IDFObjectInstance* object_at(IDFInstance* self, size_t pos);
// The model `obj` belongs to: its parent, when the parent's list holds `obj` in its
// slot. Null for a detached object, and for one that only claims a slot (a copy made
// for pickling, or the leftover of a model whose state was replaced).
IDFInstance* member_model(IDFObjectInstance* obj) noexcept;


// ---- loading (load.cpp) ----
int model_c_init(IDFInstance* self, PyObject* idd, PyObject* idf_content);
// Loads a text (bytes of UTF-8), taken over: the caller may give up its reference, and
// the text is then freed once it is parsed. Throws.
void load_text(IDFInstance* self, PyObject* idd, PyRef content);
// Loads the text of a file read in pieces; errors name `path`. Throws.
void load_file(IDFInstance* self, PyObject* idd, LineChunks& pieces, PyObject* path);
void build_objects(IDFInstance* self, std::vector<c_IDFObject>& c_idf_objects);

// ---- reference index (index.cpp) ----
// Adds a location under `tag` and the upper-cased `text`; on std::bad_alloc the
// index is unchanged.
void add_location(RefIndex& index, std::string_view tag, std::string_view text, FieldLoc loc);
// The same within one list's values; on std::bad_alloc the values are unchanged.
void add_value_location(ValueIndex& values, std::string_view text, FieldLoc loc);
// Withdraws the first equal location (the last one takes its place). Empty entries
// are erased unless `keep_empty`. Never allocates.
void remove_location(RefIndex& index, std::string_view tag, std::string_view text, FieldLoc loc,
                     bool keep_empty = false) noexcept;
// Erases the entry under `tag` / `text` (and the list name) when it is left empty.
void erase_if_empty(RefIndex& index, std::string_view tag, std::string_view text) noexcept;
// Calls fn(list_name, is_target, text, field_idx) for every registration that the
// non-empty values of an object of class `cls` make, in the index's order. Values past
// the class's registering_end (most of a schedule's or a construction's) are not looked at.
template <class F>
void for_each_registration(const ClassDef& cls, const std::vector<std::string>& values, F&& fn) {
  const size_t end = std::min(cls.registering_end, values.size());
  for (size_t i = 0; i < end; ++i) {
    if (values[i].empty()) continue;
    const int field_idx = static_cast<int>(i);
    const FieldDef* field = field_def_at(cls, field_idx);
    if (!field) continue;
    for (const std::string_view name : field->references()) fn(name, true, values[i], field_idx);
    for (const std::string_view name : field->object_lists()) fn(name, false, values[i], field_idx);
  }
}
// The published operations: they never raise (a failure to register is reported as
// unraisable and the location is not stored).
void register_target(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx);
void register_referencer(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx,
                         int field_idx);
void unregister_target(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx);
void unregister_referencer(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx,
                           int field_idx);
// Withdraws every registration of an object's values. Never allocates.
void unregister_object(IDFInstance* model, const ClassDef& cls, const std::vector<std::string>& values,
                       size_t obj_idx) noexcept;

// Changes to the reference index made all at once: `prepare` makes every allocation
// the changes need (and throws with the index unchanged), `commit` cannot fail. A
// batch dropped after `prepare` without `commit` takes back what `prepare` made.
// The texts given must stay alive until the batch is committed or dropped.
class IndexBatch {
 public:
  explicit IndexBatch(IDFInstance* model) : model_(model) {}
  IndexBatch(const IndexBatch&) = delete;
  IndexBatch& operator=(const IndexBatch&) = delete;
  ~IndexBatch();
  // Queue the withdrawal or the registration of a field's text under each of its lists.
  void withdraw(const FieldDef& field, std::string_view text, FieldLoc loc);
  void add(const FieldDef& field, std::string_view text, FieldLoc loc);
  bool empty() const { return steps_.empty(); }
  void prepare();
  void commit() noexcept;

 private:
  struct Step {
    RefIndex* index;
    std::string_view tag;
    std::string_view text;
    FieldLoc loc;
    bool add;
  };
  struct Created {
    RefIndex* index;
    std::string_view tag;
    std::string_view text;  // empty view: the list name's map was created
    bool value;
  };
  void queue(const FieldDef& field, std::string_view text, FieldLoc loc, bool add);
  void undo() noexcept;

  IDFInstance* model_;
  std::vector<Step> steps_;
  std::vector<Created> created_;
  bool prepared_ = false;
};

// ---- lookup by name (name_index.cpp) ----
// Maintenance never fails: an index that cannot be kept is dropped and rebuilt on the
// next lookup, which throws std::bad_alloc when it cannot be built.
void name_index_add(IDFInstance* model, IDFObjectInstance* obj) noexcept;
void name_index_remove(IDFInstance* model, IDFObjectInstance* obj, std::string_view name) noexcept;
void name_index_invalidate(IDFInstance* model) noexcept;
IDFObjectInstance* name_index_find(IDFInstance* model, std::string_view class_name, std::string_view name);

// ---- parser (parser.cpp) ----
// Runs without the interpreter lock; touches no Python object. `ops` is the tokenizer's
// table. With `comments`, the user's comments are kept: the model's own there, the
// objects' own in their records.
Status parse_idf(const LexerOps& ops, LexerInstance* lexer, std::vector<c_IDFObject>& out,
                 ModelComments* comments) noexcept;
// The same over text that comes in pieces of whole lines; text that is not UTF-8 is read
// again from the start as Windows-1252. A failure to read is the reader's status.
Status parse_idf_pieces(const LexerOps& ops, LexerInstance* lexer, LineChunks& pieces, std::vector<c_IDFObject>& out,
                        ModelComments* comments) noexcept;

// ---- objects (object.cpp) ----
PyTypeObject* create_object_type(PyObject* module, const TypeExtras& extras);
IDFObjectInstance* new_bare_object(PyTypeObject* type);
int object_c_init(IDFObjectInstance* self, PyObject* idd, PyObject* parent_idf, size_t class_idx,
                  std::vector<std::string>& values);
inline const ClassDef& get_class_def(IDFObjectInstance* self) {
  return schema_of(self->idd).ordered_classes[self->class_idx];
}
// The object's class; throws unless it has a schema and a class within it.
const ClassDef& class_of(IDFObjectInstance* self);
// Which class an object is of, held across a call into Python code: the schema is kept
// alive, so that when the object still has this schema and class index afterwards, keys
// resolved before the call are still good.
class ClassMark {
 public:
  explicit ClassMark(IDFObjectInstance* obj) : obj_(obj), idd_(PyRef::borrow(obj->idd)), class_idx_(obj->class_idx) {}
  bool unchanged() const { return obj_->idd == idd_.get() && obj_->class_idx == class_idx_; }

 private:
  IDFObjectInstance* obj_;
  PyRef idd_;
  size_t class_idx_;
};
// Whether objects of the class carry a name in their first field.
inline bool is_named_class(const ClassDef& cls) {
  return !cls.fields.empty() && (cls.fields[0].name == "Name" || !cls.fields[0].references().empty());
}
// The class's name as the schema spells it, for messages.
inline const char* class_name_of(IDFObjectInstance* self) { return self->c_class_name.c_str(); }

// ---- reading fields (fields.cpp) ----
PyObject* convert_field_value(const State& st, const FieldDef* field, const std::string& val);
PyObject* object_getitem(PyObject* self, PyObject* key);
int object_setitem(PyObject* self, PyObject* key, PyObject* value);
PyObject* object_sq_item(PyObject* self, Py_ssize_t i);
int object_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value);
PyObject* object_get_values(PyObject* self, PyObject*);

// ---- writing fields (field_edit.cpp) ----
struct FieldWrite {
  int field_idx;
  std::string text;
};
// How far a batch of writes extends the stored values: only as far as a non-empty
// text needs (a single field write), or to the highest index written (update).
enum class Extend { kNonEmpty, kToHighest };
// The text a Python value is stored as: empty for None and for values equal to "",
// else what any_to_string makes of it. Runs the value's own Python code.
std::string text_of_value(const State& st, PyObject* value);
// Throws ValueError when `text` holds a character that IDF text cannot carry.
void check_storable(const State& st, const ClassDef& cls, int field_idx, std::string_view text);
// Stores the writes (a later write to a field wins), keeping the model's indexes in
// step: all of them or, when anything fails, none. Runs no Python code.
void apply_writes(IDFObjectInstance* obj, std::span<FieldWrite> writes, Extend extend, bool trim);
int set_string_by_index(IDFObjectInstance* self, int field_idx, const std::string& value);
int set_by_index(IDFObjectInstance* self, int field_idx, PyObject* value);
void trim_trailing_empty_fields(IDFObjectInstance* self);

// ---- queries (queries.cpp) ----
PyObject* get_objects_raw(IDFInstance* self, PyObject* class_name);
PyObject* model_get_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_subscript(PyObject* self, PyObject* key);
PyObject* model_sq_item(PyObject* self, Py_ssize_t i);
PyObject* model_get_object_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_get_class_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_find_dangling_references(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* object_get_referenced_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* object_get_referencing_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
// A new IDFObjectTuple holding the items of `list`.
PyObject* tuple_from_list(const State& st, PyObject* list);

// ---- editing (editing.cpp) ----
PyObject* model_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_remove_all_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
int object_init(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* object_init_method(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* object_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- copies (copy.cpp) ----
PyObject* model_copy(PyObject* self, PyObject*);
PyObject* model_deepcopy(PyObject* self, PyObject* memo);
PyObject* object_copy(PyObject* self, PyObject*);
PyObject* object_deepcopy(PyObject* self, PyObject* memo);
// A copy of the model made in one native step: the same schema, copies of its objects
// in the same slots, copies of its indexes. Runs no Python code; the instance
// dictionaries are not copied.
PyRef clone_model(IDFInstance* source);
// A copy of one object for `parent` (a model or None), in the same slot.
PyRef clone_object(IDFObjectInstance* source, PyObject* parent);

// ---- writer (writer.cpp) ----
// The lines `save` writes above the model: the header, and the timestamp line's start.
// A comment read back with the same text is the writer's own (load.cpp drops it).
inline constexpr std::string_view kHeaderComment = " Generated using Quarvel.py";
inline constexpr std::string_view kTimestampComment = " Saved at: ";
extern const FormatConfig DEFAULT_FORMAT_CONFIG;
extern const FormatConfig MINIMAL_FORMAT_CONFIG;
FormatConfig generate_format_config(size_t class_indent_size = 0, size_t field_indent_size = 4, size_t field_size = 24);
void object_write_to_buffer(IDFObjectInstance* self, std::string& out, const FormatConfig& config);
void model_write_to_buffer(IDFInstance* self, std::string& out, const FormatConfig& config, bool preserve_order = false);
PyObject* model_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_repr(PyObject* self);
PyObject* object_repr(PyObject* self);

// ---- pickling (pickle.cpp) ----
PyObject* model_reduce(PyObject* self, PyObject*);
PyObject* model_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* object_reduce(PyObject* self, PyObject*);
PyObject* object_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unpickle_model(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* unpickle_object(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// ---- reading without the interpreter lock (model.cpp) ----
// Throws RuntimeError while a scan reads the model without the interpreter lock.
void require_no_readers(IDFInstance* model);
// Every change to a model begins here: refused while a scan reads it (as above), and
// the results derived from the model (its memo) are dropped.
void begin_change(IDFInstance* model);
void forget_derived(IDFInstance* model) noexcept;
// IDF._memo(): the dict of derived results, valid until the next change.
PyObject* model_memo(PyObject* self, PyObject*);
// While a scan reads the model without the interpreter lock, the model refuses changes.
class ReadingWithoutLock {
 public:
  explicit ReadingWithoutLock(IDFInstance* m) : m_(m) { ++m_->readers; }
  ~ReadingWithoutLock() { --m_->readers; }
  ReadingWithoutLock(const ReadingWithoutLock&) = delete;
  ReadingWithoutLock& operator=(const ReadingWithoutLock&) = delete;

 private:
  IDFInstance* m_;
};

// Whether `text` names a class that joins reference list `list` (\reference-class-name).
bool names_a_class(const c_IDD& schema, std::string_view list, std::string_view text);

// ---- the read-only tuple (tuple_type.cpp) ----
PyTypeObject* create_tuple_type(PyObject* module, const TypeExtras& extras);

}  // namespace quarvel::idf
