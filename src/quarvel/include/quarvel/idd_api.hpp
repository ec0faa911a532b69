// The schema records that quarvel.idd builds and the other modules read in place,
// and the table of schema functions it publishes.
#pragma once
#include "capi.hpp"
#include "string_map.hpp"
#include "text.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
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

// The lists of texts that a field names (its choices, the reference lists it joins, the
// lists it refers through, external lists, and the lists whose class names it accepts),
// as views of the schema's source. Most fields name none, and a schema has tens of
// thousands of fields: a field record holds one pointer, and a field that names some
// keeps them all in one vector, list after list.
class FieldLists {
 public:
  enum Kind : int { kChoices, kReferences, kObjectLists, kExternalLists, kReferenceClassNames, kKinds };

  FieldLists() = default;
  FieldLists(const FieldLists& o) : lists_(o.lists_ ? std::make_unique<Lists>(*o.lists_) : nullptr) {}
  FieldLists(FieldLists&&) noexcept = default;
  FieldLists& operator=(FieldLists o) noexcept {
    lists_.swap(o.lists_);
    return *this;
  }

  std::span<const std::string_view> of(Kind kind) const {
    if (!lists_) return {};
    const uint32_t begin = kind == 0 ? 0 : lists_->ends[kind - 1];
    return {lists_->items.data() + begin, lists_->ends[kind] - begin};
  }

  // Appends `text` to the list `kind`. Throws std::bad_alloc with the lists unchanged.
  void add(Kind kind, std::string_view text) {
    if (!lists_) lists_ = std::make_unique<Lists>();
    Lists& l = *lists_;
    l.items.insert(l.items.begin() + l.ends[kind], text);
    for (int k = kind; k < kKinds; ++k) ++l.ends[k];
  }

 private:
  struct Lists {
    std::vector<std::string_view> items;
    uint32_t ends[kKinds] = {};  // where each list ends in `items`
  };
  std::unique_ptr<Lists> lists_;
};

// One field of a class. Its texts view the schema's source text (or, for the rare text
// the source does not spell as kept, a copy the schema owns): the schema keeps its
// source for its whole life, and a record of views is under half the size of one of
// strings (120 bytes) and costs no allocation. Members are ordered largest first so that
// the flags pack together.
struct FieldDef {
  std::string_view name;
  std::string_view units;
  std::string_view default_val;
  // Further attributes of the dictionary, kept for introspection.
  std::string_view code;  // A1, N7
  std::string_view ip_units;
  FieldLists lists;
  double minimum = 0, maximum = 0;  // bounds when has_minimum / has_maximum (a flag packs
                                    // with the others, where an optional took 8 bytes more)
  FieldType field_type = FIELDTYPE_DEFAULT;
  bool has_minimum = false, has_maximum = false;
  bool required = false;
  bool autosizable = false;
  bool autocalculatable = false;
  bool minimum_exclusive = false, maximum_exclusive = false;
  bool has_default = false;
  bool deprecated = false;
  bool retaincase = false;
  bool begin_extensible = false;
  bool units_based_on_field = false;

  std::span<const std::string_view> choices() const { return lists.of(FieldLists::kChoices); }
  std::span<const std::string_view> references() const { return lists.of(FieldLists::kReferences); }
  std::span<const std::string_view> object_lists() const { return lists.of(FieldLists::kObjectLists); }
  // Whether a value of the field takes part in the reference index.
  bool registers() const { return !references().empty() || !object_lists().empty(); }
  std::span<const std::string_view> external_lists() const { return lists.of(FieldLists::kExternalLists); }
  std::span<const std::string_view> reference_class_names() const {
    return lists.of(FieldLists::kReferenceClassNames);
  }
};

// Appends " {units}" to a field's name as the writer and the field names show it; nothing
// for a field without units.
inline void append_units(std::string& name, std::string_view units) {
  if (!units.empty()) name.append(" {").append(units).append("}");
}

// A class's field names (without units), lower-cased, to the first listed field of each
// name. An ASCII name is found by its hash and a comparison with the field's own name, so
// the table keeps no copy of it: 5 bytes a slot (the field and eight bits of its name's
// hash, which spare nearly every comparison with another name), where a map of strings
// took 48 and a string each. The rare name that is not ASCII keeps its lowered form in
// `other_`.
class FieldNameIndex {
 public:
  // The field `index` of `fields`, whose name is ASCII, under its name unless an earlier
  // field has that name. Throws std::bad_alloc with the index unchanged.
  void add_ascii(const std::vector<FieldDef>& fields, int index) {
    if ((count_ + 1) * 2 > slots_.size()) grow(fields);
    const std::string_view name = fields[static_cast<size_t>(index)].name;
    const uint64_t h = hash(name);
    for (size_t i = h & mask();; i = (i + 1) & mask()) {
      if (slots_[i] == 0) {
        slots_[i] = static_cast<uint32_t>(index) + 1;
        tags_[i] = tag(h);
        ++count_;
        return;
      }
      if (tags_[i] == tag(h) && ascii_iequals(fields[slots_[i] - 1].name, name)) return;
    }
  }

  // The field `index`, whose name is not ASCII, under `lowered` (its lowered form) unless
  // an earlier field has that name. Throws std::bad_alloc with the index unchanged.
  void add_other(int index, std::string&& lowered) {
    const auto [entry, added] = other_.try_emplace(std::move(lowered));
    if (added) entry->second = index;
  }

  // Room for `count` names without growing.
  void reserve(size_t count) {
    size_t capacity = 8;
    while (capacity < count * 2) capacity *= 2;
    if (capacity > slots_.size() && count_ == 0) {
      slots_.assign(capacity, 0);
      tags_.assign(capacity, 0);
    }
  }

  // The first field whose lowered name is `lowered`, or -1.
  int find(const std::vector<FieldDef>& fields, std::string_view lowered) const {
    int best = find_ascii(fields, lowered);
    if (!other_.empty()) {
      if (const auto it = other_.find(lowered); it != other_.end() && (best < 0 || it->second < best)) best = it->second;
    }
    return best;
  }

 private:
  static uint64_t hash(std::string_view s) { return string_map_detail::hash_bytes<true>(s); }
  static uint8_t tag(uint64_t h) { return static_cast<uint8_t>(h >> 56); }
  size_t mask() const { return slots_.size() - 1; }
  int find_ascii(const std::vector<FieldDef>& fields, std::string_view text) const {
    if (slots_.empty()) return -1;
    const uint64_t h = hash(text);
    for (size_t i = h & mask();; i = (i + 1) & mask()) {
      if (slots_[i] == 0) return -1;
      const int index = static_cast<int>(slots_[i] - 1);
      if (tags_[i] == tag(h) && ascii_iequals(fields[static_cast<size_t>(index)].name, text)) return index;
    }
  }
  void grow(const std::vector<FieldDef>& fields) {
    // Both may throw; nothing has changed until the swaps.
    std::vector<uint32_t> larger(slots_.empty() ? 8 : slots_.size() * 2, 0);
    std::vector<uint8_t> larger_tags(larger.size(), 0);
    larger.swap(slots_);
    larger_tags.swap(tags_);
    for (const uint32_t slot : larger) {  // the slots as they were
      if (slot == 0) continue;
      const uint64_t h = hash(fields[slot - 1].name);
      size_t i = h & mask();
      while (slots_[i] != 0) i = (i + 1) & mask();
      slots_[i] = slot;
      tags_[i] = tag(h);
    }
  }

  std::vector<uint32_t> slots_;  // field index + 1; 0 for an empty slot
  std::vector<uint8_t> tags_;    // the top byte of the hash of each slot's name
  size_t count_ = 0;
  StringMap<int> other_;
};

struct ClassDef {
  std::string name;
  std::string group;
  std::vector<FieldDef> fields;
  int min_fields = 0;
  // Lower-cased field name (no units) to its first index among the listed fields.
  FieldNameIndex base_field_index_map;
  ExtensibleDef extensible;
  std::vector<int> field_idx_with_default;
  std::vector<int> required_fields;  // indexes of the listed fields marked \required-field, ascending
  // How far into an object's values a value can take part in the reference index: past
  // the last listed field that registers, or to the end when a field of the extensible
  // group does. Walks of an object's registrations stop there.
  size_t registering_end = SIZE_MAX;
  // Further class attributes.
  bool unique_object = false;
  bool required_object = false;
  bool obsolete = false;
  std::string format;
  std::string memo;
  int64_t line = 0;  // line of the class name in the dictionary
};

// The field record that describes field `idx` of an object of the class: a listed field,
// or for a field beyond them in an extensible class, its group's field; nullptr for a
// field the class cannot have. Inline: the loader asks it for every value.
inline const FieldDef* field_def_at(const ClassDef& cls, int idx) noexcept {
  if (idx < 0) return nullptr;
  const auto i = static_cast<size_t>(idx);
  if (i < cls.fields.size()) return &cls.fields[i];
  const ExtensibleDef& ext = cls.extensible;
  if (!ext.is_extensible) return nullptr;
  return &cls.fields[static_cast<size_t>(ext.begin_index + (idx - ext.begin_index) % ext.size)];
}

// Copies of the few texts that schema records view but the source does not spell as
// kept (a field code written in lower case). Each copy is its own allocation, so a view
// of it survives the schema being moved.
class OwnedTexts {
 public:
  // Throws std::bad_alloc with nothing kept.
  std::string_view keep(std::string_view text) {
    texts_.reserve(texts_.size() + 1);
    auto copy = std::make_unique<char[]>(text.size());
    std::copy(text.begin(), text.end(), copy.get());
    texts_.push_back(std::move(copy));
    return {texts_.back().get(), text.size()};
  }

 private:
  std::vector<std::unique_ptr<char[]>> texts_;
};

// A schema read from a source text. Its field records view that text, so whoever keeps
// the schema keeps the text too (an IDD instance holds its source).
struct c_IDD {
  std::string version;
  std::unordered_map<std::string, size_t, StringHash, std::equal_to<>> class_map;
  std::vector<ClassDef> ordered_classes;
  // Reference-list name -> the upper-cased names of the classes that join the list with
  // \reference-class-name: a field referring through the list may name such a class.
  StringMap<StringMap<bool>> class_name_lists;
  OwnedTexts owned_texts;
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
    QUARVEL_MEMBER(FieldDef, field_type), QUARVEL_MEMBER(FieldDef, lists), QUARVEL_MEMBER(FieldDef, code),
    QUARVEL_MEMBER(FieldDef, ip_units), QUARVEL_MEMBER(FieldDef, minimum), QUARVEL_MEMBER(FieldDef, has_minimum),
    QUARVEL_MEMBER(FieldDef, has_maximum),
    QUARVEL_MEMBER(FieldDef, maximum), QUARVEL_MEMBER(FieldDef, minimum_exclusive),
    QUARVEL_MEMBER(FieldDef, maximum_exclusive), QUARVEL_MEMBER(FieldDef, has_default),
    QUARVEL_MEMBER(FieldDef, deprecated), QUARVEL_MEMBER(FieldDef, retaincase),
    QUARVEL_MEMBER(FieldDef, begin_extensible), QUARVEL_MEMBER(FieldDef, units_based_on_field),
    sizeof(FieldLists), sizeof(ClassDef),
    QUARVEL_MEMBER(ClassDef, name), QUARVEL_MEMBER(ClassDef, group), QUARVEL_MEMBER(ClassDef, fields),
    QUARVEL_MEMBER(ClassDef, min_fields), QUARVEL_MEMBER(ClassDef, base_field_index_map),
    QUARVEL_MEMBER(ClassDef, extensible), QUARVEL_MEMBER(ClassDef, field_idx_with_default), QUARVEL_MEMBER(ClassDef, required_fields),
    QUARVEL_MEMBER(ClassDef, registering_end),
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
