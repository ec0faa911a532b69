// The schema records that quarvel.idd builds and the other modules read in place,
// and the table of schema functions it publishes.
#pragma once
#include "capi.hpp"
#include "string_map.hpp"
#include "text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarvel {

enum FieldType : int {
  FIELDTYPE_DEFAULT = 0,
  FIELDTYPE_INTEGER = 1,
  FIELDTYPE_REAL = 2,
  FIELDTYPE_ALPHA = 3,
  FIELDTYPE_CHOICE = 4,
  FIELDTYPE_OBJLIST = 5,
  FIELDTYPE_NODE = 6,
};

// How the names of one field of a repeated group are spelled: prefix, group
// number, suffix. The search forms are lower-cased for matching keys.
struct ExtPattern {
  std::string prefix;
  std::string suffix;
  std::string search_prefix;
  std::string search_suffix;
  bool numbered = true;  // false when the first group's name carries no number
};

struct ExtensibleDef {
  bool is_extensible = false;
  int begin_index = 0;
  int size = 0;
  std::vector<ExtPattern> patterns;  // one per field of a group
};

struct FieldDef {
  std::string name;
  bool required = false;
  std::string units;
  std::string default_val;
  bool autosizable = false;
  bool autocalculatable = false;
  FieldType field_type = FIELDTYPE_DEFAULT;
  std::vector<std::string> choices;
  std::vector<std::string> references;
  std::vector<std::string> object_lists;
  // Further attributes of the dictionary, kept for introspection.
  std::string code;          // A1, N7
  std::string display_name;  // name and " {units}" for a field with units; empty without
  // The name as the writer shows it: with its units when it has some.
  const std::string& shown_name() const { return display_name.empty() ? name : display_name; }
  std::string ip_units;
  std::string type_word;     // the \type text as written
  std::optional<double> minimum, maximum;
  bool minimum_exclusive = false, maximum_exclusive = false;
  bool has_default = false;
  bool deprecated = false;
  bool retaincase = false;
  bool begin_extensible = false;
  bool units_based_on_field = false;
  std::vector<std::string> external_lists;
  std::vector<std::string> reference_class_names;
};

struct ClassDef {
  std::string name;
  std::string group;
  std::vector<FieldDef> fields;
  int min_fields = 0;
  // Lower-cased field name (no units) to its first index among the listed fields.
  StringMap<int> base_field_index_map;
  ExtensibleDef extensible;
  std::vector<int> field_idx_with_default;
  std::vector<int> required_fields;  // indexes of the listed fields marked \required-field, ascending
  // Further class attributes.
  bool unique_object = false;
  bool required_object = false;
  bool obsolete = false;
  std::string format;
  std::string memo;
  int64_t line = 0;  // line of the class name in the dictionary
};

struct c_IDD {
  std::string version;
  std::unordered_map<std::string, size_t, StringHash, std::equal_to<>> class_map;
  std::vector<ClassDef> ordered_classes;
  // Reference-list name -> the upper-cased names of the classes that join the list with
  // \reference-class-name: a field referring through the list may name such a class.
  StringMap<StringMap<bool>> class_name_lists;
};

// Layout of an IDD instance. The first three members are read by other modules.
struct IDDInstance {
  PyObject_HEAD
  c_IDD c_idd;
  bool initialized;
  PyObject* version;  // str or None
  // Class names as str objects, one per class in schema order (a tuple), shared
  // by every object of the class.
  PyObject* class_name_strs;
  // Private to quarvel.idd: the UTF-8 source it was read from, its digest and the
  // compressed form that pickles carry (the last two made on first need).
  PyObject* source;
  PyObject* digest;
  PyObject* packed;
};

// Classes that repeat a group of fields accept any index up to this one: far beyond
// any real object, and small enough that writing the last field cannot exhaust memory.
inline constexpr int kMaxFieldIndex = (1 << 24) - 1;

#define QUARVEL_MEMBER(type, member) QUARVEL_OFFSETOF(type, member), sizeof(type::member)

// The layout of the schema structs that the other modules read in place.
inline constexpr uint64_t IDD_LAYOUT = layout_fingerprint(
    sizeof(ExtPattern), QUARVEL_MEMBER(ExtPattern, prefix), QUARVEL_MEMBER(ExtPattern, suffix),
    QUARVEL_MEMBER(ExtPattern, search_prefix), QUARVEL_MEMBER(ExtPattern, search_suffix),
    QUARVEL_MEMBER(ExtPattern, numbered), sizeof(ExtensibleDef), QUARVEL_MEMBER(ExtensibleDef, is_extensible),
    QUARVEL_MEMBER(ExtensibleDef, begin_index), QUARVEL_MEMBER(ExtensibleDef, size),
    QUARVEL_MEMBER(ExtensibleDef, patterns), sizeof(FieldDef), QUARVEL_MEMBER(FieldDef, name),
    QUARVEL_MEMBER(FieldDef, required), QUARVEL_MEMBER(FieldDef, units), QUARVEL_MEMBER(FieldDef, default_val),
    QUARVEL_MEMBER(FieldDef, autosizable), QUARVEL_MEMBER(FieldDef, autocalculatable),
    QUARVEL_MEMBER(FieldDef, field_type), QUARVEL_MEMBER(FieldDef, choices), QUARVEL_MEMBER(FieldDef, references),
    QUARVEL_MEMBER(FieldDef, object_lists), QUARVEL_MEMBER(FieldDef, code), QUARVEL_MEMBER(FieldDef, display_name),
    QUARVEL_MEMBER(FieldDef, ip_units), QUARVEL_MEMBER(FieldDef, type_word), QUARVEL_MEMBER(FieldDef, minimum),
    QUARVEL_MEMBER(FieldDef, maximum), QUARVEL_MEMBER(FieldDef, minimum_exclusive),
    QUARVEL_MEMBER(FieldDef, maximum_exclusive), QUARVEL_MEMBER(FieldDef, has_default),
    QUARVEL_MEMBER(FieldDef, deprecated), QUARVEL_MEMBER(FieldDef, retaincase),
    QUARVEL_MEMBER(FieldDef, begin_extensible), QUARVEL_MEMBER(FieldDef, units_based_on_field),
    QUARVEL_MEMBER(FieldDef, external_lists), QUARVEL_MEMBER(FieldDef, reference_class_names), sizeof(ClassDef),
    QUARVEL_MEMBER(ClassDef, name), QUARVEL_MEMBER(ClassDef, group), QUARVEL_MEMBER(ClassDef, fields),
    QUARVEL_MEMBER(ClassDef, min_fields), QUARVEL_MEMBER(ClassDef, base_field_index_map),
    QUARVEL_MEMBER(ClassDef, extensible), QUARVEL_MEMBER(ClassDef, field_idx_with_default), QUARVEL_MEMBER(ClassDef, required_fields),
    QUARVEL_MEMBER(ClassDef, unique_object), QUARVEL_MEMBER(ClassDef, required_object),
    QUARVEL_MEMBER(ClassDef, obsolete), QUARVEL_MEMBER(ClassDef, format), QUARVEL_MEMBER(ClassDef, memo),
    QUARVEL_MEMBER(ClassDef, line), sizeof(c_IDD), QUARVEL_MEMBER(c_IDD, version), QUARVEL_MEMBER(c_IDD, class_map),
    QUARVEL_MEMBER(c_IDD, ordered_classes), QUARVEL_MEMBER(c_IDD, class_name_lists), sizeof(IDDInstance), QUARVEL_MEMBER(IDDInstance, c_idd),
    QUARVEL_MEMBER(IDDInstance, initialized), QUARVEL_MEMBER(IDDInstance, version),
    QUARVEL_MEMBER(IDDInstance, class_name_strs));

inline constexpr uint32_t IDD_CAPI_VERSION = 2;
inline constexpr const char* IDD_CAPSULE = "quarvel.idd._C_API";

struct IDDCapi {
  CapiHeader header;
  PyTypeObject* IDD_type;
  // Key (int index or str field name) to field index, or -1 with an exception set.
  int (*resolve_key_to_field_index)(const ClassDef& cls, PyObject* key);
  // Field name (any letter case, no units) to index, or -1 when none; never raises.
  int (*find_field_index)(const ClassDef& cls, std::string_view name);
  // Display name of field `idx`; with `with_units`, followed by " {units}".
  std::string (*get_field_name)(const ClassDef& cls, int idx, bool with_units);
  // Definition of field `idx` (repeated groups included), or nullptr.
  const FieldDef* (*get_field_def)(const ClassDef& cls, int idx);
};

}  // namespace quarvel
