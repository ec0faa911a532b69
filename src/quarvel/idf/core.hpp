// Internal declarations shared by the files of quarvel.idf.
#pragma once
#include "quarvel/args.hpp"
#include "quarvel/idf_api.hpp"
#include "quarvel/lexer_api.hpp"
#include "quarvel/utils_api.hpp"

namespace quarvel::idf {

// What the module binds at import and the types it creates.
struct Bound {
  const LexerCapi* lexer = nullptr;
  const IddCapi* schema = nullptr;
  const UtilsCapi* utils = nullptr;
  PyTypeObject* IDF_type = nullptr;
  PyTypeObject* IDFObject_type = nullptr;
  PyTypeObject* IDFObjectTuple_type = nullptr;
};
extern Bound g;

extern const IdfOps kIdfOps;
extern const IdfObjectOps kObjectOps;

inline IDFModel* as_model(PyObject* o) { return reinterpret_cast<IDFModel*>(o); }
inline IDFObjectObj* as_object(PyObject* o) { return reinterpret_cast<IDFObjectObj*>(o); }
inline const c_IDD& schema_of(PyObject* idd) { return reinterpret_cast<IDDObject*>(idd)->c_idd; }
inline bool is_idd(PyObject* o) { return PyObject_TypeCheck(o, g.schema->IDD_type); }
inline bool is_model(PyObject* o) { return PyObject_TypeCheck(o, g.IDF_type); }
inline bool is_object(PyObject* o) { return PyObject_TypeCheck(o, g.IDFObject_type); }

inline PyObject* str_from(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

// Reports an error through the unraisable hook, naming where it happened: what the
// operations that never raise do with a failure (a bad_alloc becomes MemoryError).
void report_unraisable(const char* where, const std::exception& error);

// UTF-8 of a str argument, or false with an exception set.
bool utf8_of(PyObject* str, std::string_view& out);

// ---- model (model.cpp) ----
PyTypeObject* create_model_type(PyObject* module);
int model_c_init(IDFModel* self, PyObject* idd, PyObject* idf_content);
void build_objects(IDFModel* self, std::vector<c_IDFObject>& c_idf_objects);
// A usable model has an object list, and a schema once it holds objects; otherwise
// raises and returns false.
bool model_ready(IDFModel* self);
// The live object at `pos`: a borrowed IDFObject, or nullptr for a removed slot.
// A position outside the list or an entry of another type raises and sets `failed`.
IDFObjectObj* object_at(IDFModel* self, size_t pos, bool& failed);

// ---- reference index (index.cpp) ----
void register_target(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx);
void register_referencer(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx);
void unregister_target(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx);
void unregister_referencer(IDFModel* self, const std::string& tag, const std::string& val, size_t obj_idx,
                           int field_idx);
// Registers (or withdraws) every non-empty field of `obj` that has reference lists.
void register_object_fields(IDFModel* model, IDFObjectObj* obj, const ClassDef& cls);
void unregister_object_fields(IDFModel* model, IDFObjectObj* obj, const ClassDef& cls);

// ---- lookup by name (name_index.cpp) ----
void name_index_add(IDFModel* model, IDFObjectObj* obj);
void name_index_remove(IDFModel* model, IDFObjectObj* obj, const std::string& name);
void name_index_invalidate(IDFModel* model);
bool name_index_find(IDFModel* model, std::string_view class_name, std::string_view name, IDFObjectObj*& result);

// ---- parser (parser.cpp) ----
struct ParseFailure {
  enum Kind { kNone, kUnterminated, kTokenError, kMissingDelimiter, kUnknownToken, kNoMemory } kind = kNone;
  int line = 0;
  std::string text;
  int token_type = 0;
};
// Runs without the interpreter lock; touches no Python object.
ParseFailure parse_idf(LexerObject* lexer, std::vector<c_IDFObject>& out) noexcept;
// Raises the Python error for a failure (needs the lock); returns -1.
int raise_parse_failure(const ParseFailure& failure);

// ---- objects (object.cpp) ----
PyTypeObject* create_object_type(PyObject* module);
IDFObjectObj* new_bare_object(PyTypeObject* type);
int object_c_init(IDFObjectObj* self, PyObject* idd, PyObject* parent_idf, size_t class_idx,
                  std::vector<std::string>& values);
inline const ClassDef& get_class_def(IDFObjectObj* self) {
  return schema_of(self->idd).ordered_classes[self->class_idx];
}
// An object with a schema and a class within it; otherwise raises and returns false.
bool object_ready(IDFObjectObj* self);

// ---- fields (fields.cpp) ----
PyObject* convert_field_value(const FieldDef* field, const std::string& val);
int set_string_by_index(IDFObjectObj* self, int field_idx, const std::string& value);
int set_by_index(IDFObjectObj* self, int field_idx, PyObject* value);
void trim_trailing_empty_fields(IDFObjectObj* self);
PyObject* object_getitem(PyObject* self, PyObject* key);
int object_setitem(PyObject* self, PyObject* key, PyObject* value);
PyObject* object_sq_item(PyObject* self, Py_ssize_t i);
int object_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value);
PyObject* object_get_values(PyObject* self, PyObject*);

// ---- queries (queries.cpp) ----
PyObject* get_objects_raw(IDFModel* self, PyObject* class_name);
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
PyObject* tuple_from_list(PyObject* list);

// ---- editing (editing.cpp) ----
PyObject* model_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_remove_all_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
int object_init(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* object_init_method(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* object_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
int update_values(IDFObjectObj* self, PyObject* values, bool trim_empty_trails);

// ---- writer (writer.cpp) ----
extern FormatConfig DEFAULT_FORMAT_CONFIG;
extern FormatConfig MINIMAL_FORMAT_CONFIG;
FormatConfig generate_format_config(size_t class_indent_size = 0, size_t field_indent_size = 4, size_t field_size = 24);
void object_write_to_buffer(IDFObjectObj* self, std::string& out, const FormatConfig& config);
void model_write_to_buffer(IDFModel* self, std::string& out, const FormatConfig& config, bool preserve_order = false);
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

// ---- the read-only tuple (tuple_type.cpp) ----
PyTypeObject* create_tuple_type(PyObject* module);

}  // namespace quarvel::idf
