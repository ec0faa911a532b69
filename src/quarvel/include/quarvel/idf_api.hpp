// The core model types of quarvel.idf, their layouts and the tables of internal
// operations the module publishes (the compatibility module binds them).
#pragma once
#include <algorithm>
#include "idd_api.hpp"
#include "name_table.hpp"
#include "string_map.hpp"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel {

// A field of an object in the reference index: object position and field index.
struct FieldLoc {
  size_t obj_idx;
  int field_idx;
  bool operator==(const FieldLoc&) const = default;
};

// Where each location stands in a long location list: a flat hash table (linear
// probing) from location to position. It is a cache: a list drops it rather than fail.
class LocPositions {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // Whether a location fits the table's compact keys (positions below 2^32).
  static bool fits(FieldLoc loc) noexcept { return loc.obj_idx < UINT32_MAX; }
  // Throws std::bad_alloc.
  explicit LocPositions(size_t count) { rebuild_empty(capacity_for(count)); }
  uint32_t find(FieldLoc loc) const noexcept {
    for (size_t i = slot_of(loc);; i = (i + 1) & mask_) {
      if (slots_[i].pos == kNone) return kNone;
      if (slots_[i].matches(loc)) return slots_[i].pos;
    }
  }
  // Records `loc` at `pos` (or moves it there); false when the table would need to grow
  // and cannot.
  bool put(FieldLoc loc, uint32_t pos) noexcept {
    if ((used_ + 1) * 2 > slots_.size() && !grow()) return false;
    size_t i = slot_of(loc);
    for (; slots_[i].pos != kNone; i = (i + 1) & mask_) {
      if (slots_[i].matches(loc)) {
        slots_[i].pos = pos;
        return true;
      }
    }
    slots_[i] = Slot{static_cast<uint32_t>(loc.obj_idx), loc.field_idx, pos};
    ++used_;
    return true;
  }
  // Forgets `loc`: the entries after it in its probe run move back (no tombstones).
  void erase(FieldLoc loc) noexcept {
    size_t i = slot_of(loc);
    for (; slots_[i].pos != kNone; i = (i + 1) & mask_) {
      if (slots_[i].matches(loc)) break;
    }
    if (slots_[i].pos == kNone) return;
    --used_;
    for (size_t j = (i + 1) & mask_; slots_[j].pos != kNone; j = (j + 1) & mask_) {
      const size_t home = slot_of(slots_[j].loc());
      // Move j back to i unless its home lies cyclically in (i, j].
      if (((j - home) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i].pos = kNone;
  }

 private:
  // Twelve bytes, so that the table of a list of 40,000 locations stays in cache.
  struct Slot {
    uint32_t obj = 0;
    int32_t field = 0;
    uint32_t pos = kNone;
    bool matches(FieldLoc loc) const { return obj == loc.obj_idx && field == loc.field_idx; }
    FieldLoc loc() const { return FieldLoc{obj, field}; }
  };
  static size_t capacity_for(size_t count) {
    size_t cap = 16;
    while (cap < count * 2 + 2) cap *= 2;
    return cap;
  }
  // Sixteen neighbouring objects share a run of sixteen slots, the runs scattered: a
  // list withdrawn in object order (as removing a class does) walks the table in
  // order instead of missing the cache at every step, and objects far apart still
  // spread evenly.
  size_t slot_of(FieldLoc loc) const noexcept {
    uint64_t h = (static_cast<uint64_t>(loc.obj_idx) >> 4) ^ (static_cast<uint64_t>(static_cast<uint32_t>(loc.field_idx)) << 40);
    h *= 0x9E3779B97F4A7C15ULL;
    return ((static_cast<size_t>(h >> 32) << 4) | (loc.obj_idx & 15)) & mask_;
  }
  void rebuild_empty(size_t cap) {
    slots_.assign(cap, Slot{});
    mask_ = cap - 1;
    used_ = 0;
  }
  bool grow() noexcept {
    try {
      std::vector<Slot> old;
      old.swap(slots_);
      try {
        rebuild_empty(old.size() * 2);
      } catch (...) {
        slots_.swap(old);
        mask_ = slots_.size() - 1;
        return false;
      }
      for (const Slot& s : old) {
        if (s.pos != kNone) put(s.loc(), s.pos);
      }
      return true;
    } catch (...) {
      return false;
    }
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

// The locations under one value of the reference index. Most values are declared
// or referred to by a single field, so one location is kept in place and only
// longer lists go to the heap. Withdrawing a location swaps the last one into its
// place; a long list (thousands of surfaces naming one construction) finds it through
// a position table made on its first withdrawal, so that withdrawing each of n
// locations costs O(n) in all, not O(n^2).
class LocList {
 public:
  LocList() noexcept : one_{} {}
  LocList(const LocList& o) : LocList() {
    for (const FieldLoc& loc : o) push_back(loc);
  }
  LocList(LocList&& o) noexcept : one_{} {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&o), sizeof(LocList));
    o.size_ = 0;
    o.cap_ = 1;
  }
  LocList& operator=(LocList o) noexcept {
    swap(o);
    return *this;
  }
  ~LocList() {
    if (cap_ > 1) {
      delete header()->positions;
      ::operator delete(header());
    }
  }
  // The list holds no pointer into itself, so its bytes can be swapped.
  void swap(LocList& o) noexcept {
    unsigned char tmp[sizeof(LocList)];
    std::memcpy(tmp, static_cast<void*>(this), sizeof(LocList));
    std::memcpy(static_cast<void*>(this), static_cast<void*>(&o), sizeof(LocList));
    std::memcpy(static_cast<void*>(&o), tmp, sizeof(LocList));
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const FieldLoc* begin() const { return data(); }
  const FieldLoc* end() const { return data() + size_; }
  const FieldLoc& operator[](size_t i) const { return data()[i]; }
  const FieldLoc& back() const { return data()[size_ - 1]; }
  size_t capacity() const { return cap_; }
  // Throws std::bad_alloc with the list unchanged; never allocates within capacity
  // (a position table that cannot grow is dropped instead).
  void push_back(FieldLoc loc) {
    if (size_ == cap_) grow(size_t{cap_} * 2);
    data()[size_] = loc;
    if (LocPositions* positions = table()) {
      // A second equal location would leave the table one entry for two: drop it.
      if (!LocPositions::fits(loc) || positions->find(loc) != LocPositions::kNone || !positions->put(loc, size_)) {
        drop_table();
      }
    }
    ++size_;
  }
  void reserve(size_t n) {
    if (n > cap_) grow(n > size_t{cap_} * 2 ? n : size_t{cap_} * 2);
  }
  // Withdraws the first location equal to `loc`, the last one taking its place; false
  // when there is none. Never fails: without memory for a position table it searches.
  bool remove(FieldLoc loc) noexcept {
    const size_t at = position_of(loc);
    if (at == kMissing) return false;
    FieldLoc* items = data();
    const FieldLoc last = items[size_ - 1];
    LocPositions* positions = table();
    if (positions) positions->erase(loc);
    if (at != size_ - 1) {
      items[at] = last;
      if (positions && !positions->put(last, static_cast<uint32_t>(at))) drop_table();
    }
    --size_;
    return true;
  }

 private:
  static constexpr size_t kMissing = static_cast<size_t>(-1);
  static constexpr size_t kTableFrom = 32;  // shorter lists are searched
  // A heap list's block: this header, then the locations.
  struct Header {
    LocPositions* positions;
    FieldLoc items[1];
  };
  Header* header() const { return reinterpret_cast<Header*>(reinterpret_cast<char*>(heap_) - offsetof(Header, items)); }
  LocPositions* table() const { return cap_ > 1 ? header()->positions : nullptr; }
  void drop_table() noexcept {
    delete header()->positions;
    header()->positions = nullptr;
  }
  size_t position_of(FieldLoc loc) noexcept {
    const FieldLoc* items = data();
    if (size_ >= kTableFrom && !table()) {
      // Without memory for the table, or for a list that holds a location twice (which
      // one table entry cannot stand for), the list is searched.
      LocPositions* positions = nullptr;
      try {
        positions = new LocPositions(size_);
        for (uint32_t i = 0; i < size_; ++i) {
          if (!LocPositions::fits(items[i]) || positions->find(items[i]) != LocPositions::kNone ||
              !positions->put(items[i], i)) {
            delete positions;
            positions = nullptr;
            break;
          }
        }
      } catch (...) {
        positions = nullptr;
      }
      header()->positions = positions;
    }
    if (const LocPositions* positions = table()) {
      const uint32_t at = positions->find(loc);
      if (at == LocPositions::kNone) return kMissing;
      return at;
    }
    for (size_t i = 0; i < size_; ++i) {
      if (items[i] == loc) return i;
    }
    return kMissing;
  }
  FieldLoc* data() { return cap_ > 1 ? heap_ : &one_; }
  const FieldLoc* data() const { return cap_ > 1 ? heap_ : &one_; }
  void grow(size_t wanted) {
    if (wanted > UINT32_MAX) throw std::bad_alloc();
    const auto cap = static_cast<uint32_t>(wanted);
    void* block = ::operator new(offsetof(Header, items) + sizeof(FieldLoc) * cap);
    auto* fresh = reinterpret_cast<Header*>(block);
    fresh->positions = table();
    std::memcpy(static_cast<void*>(fresh->items), data(), sizeof(FieldLoc) * size_);
    if (cap_ > 1) ::operator delete(header());
    heap_ = fresh->items;
    cap_ = cap;
  }

  uint32_t size_ = 0;
  uint32_t cap_ = 1;
  union {
    FieldLoc one_;
    FieldLoc* heap_;
  };
};

using ValueIndex = StringMap<LocList>;
using RefIndex = StringMap<ValueIndex>;
// The positions of a class's objects, ascending. Removing one moves the shorter side
// of the list: the objects removed in load order (or in reverse) cost O(1) each, where
// a vector's erase would move every later position each time. `remove` (the model's
// removal of one object) only marks the position gone, in a table made beforehand by
// `prepare_remove`; the marked positions leave the list together when it is next read,
// so that removing objects in any order costs O(log n) each.
class PositionList {
 public:
  PositionList() = default;
  PositionList(std::vector<size_t> items) noexcept : items_(std::move(items)) {}  // NOLINT: a list of positions
  PositionList(const PositionList& o) : items_(o.begin(), o.end()) {}
  PositionList(PositionList&& o) noexcept = default;
  PositionList& operator=(PositionList o) noexcept {
    items_.swap(o.items_);
    gone_.swap(o.gone_);
    std::swap(head_, o.head_);
    std::swap(gone_count_, o.gone_count_);
    return *this;
  }

  const size_t* begin() const { return settled().data() + head_; }
  const size_t* end() const { return settled().data() + items_.size(); }
  size_t* begin() { return settled().data() + head_; }
  size_t* end() { return settled().data() + items_.size(); }
  size_t size() const { return items_.size() - head_ - gone_count_; }
  bool empty() const { return size() == 0; }
  size_t capacity() const { return settled().capacity() - head_; }
  size_t operator[](size_t i) const { return settled()[head_ + i]; }
  size_t front() const { return settled()[head_]; }
  size_t back() const { return settled().back(); }

  // Throws std::bad_alloc with the list unchanged; never allocates within capacity.
  void reserve(size_t n) {
    if (n <= capacity()) return;
    std::vector<size_t> grown;
    grown.reserve(n);
    grown.assign(begin(), end());
    items_.swap(grown);
    head_ = 0;
  }
  void push_back(size_t position) {
    settled();
    if (items_.size() == items_.capacity() && head_ > 0) compact();  // room without allocating
    items_.push_back(position);
  }
  // Throws std::bad_alloc with the list unchanged.
  void insert(const size_t* at, size_t position) {
    const size_t k = static_cast<size_t>(at - begin());
    if (k == 0 && head_ > 0) {
      items_[--head_] = position;
      return;
    }
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(head_ + k), position);
  }
  void erase(const size_t* at) noexcept {
    const size_t k = static_cast<size_t>(at - begin());
    if (k < size() / 2) {
      std::move_backward(items_.begin() + static_cast<std::ptrdiff_t>(head_),
                         items_.begin() + static_cast<std::ptrdiff_t>(head_ + k),
                         items_.begin() + static_cast<std::ptrdiff_t>(head_ + k + 1));
      ++head_;
    } else {
      items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(head_ + k));
    }
    if (empty()) {
      items_.clear();
      head_ = 0;
    }
  }
  // Makes the table `remove` marks in. Throws std::bad_alloc with the list unchanged.
  void prepare_remove() {
    if (gone_.size() < items_.size()) gone_.resize(items_.size(), false);
  }
  // Withdraws `position`; false when the list does not hold it. Never fails: after
  // `prepare_remove`, an end of the list is moved and any other position marked gone.
  bool remove(size_t position) noexcept {
    if (gone_.size() < items_.size()) {  // no room for marks: the shorter side moves
      const size_t* at = std::lower_bound(begin(), end(), position);
      if (at == end() || *at != position) at = std::find(begin(), end(), position);  // out of order
      if (at == end()) return false;
      erase(at);
      return true;
    }
    const auto first = items_.begin() + static_cast<std::ptrdiff_t>(head_);
    auto at = std::lower_bound(first, items_.end(), position);
    if (at == items_.end() || *at != position) at = std::find(first, items_.end(), position);  // out of order
    const auto k = static_cast<size_t>(at - items_.begin());
    if (at == items_.end() || gone_[k]) return false;
    if (gone_count_ == 0 && (k == head_ || k + 1 == items_.size())) {
      erase(items_.data() + k);  // an end: nothing moves
      return true;
    }
    gone_[k] = true;
    ++gone_count_;
    if (empty()) {
      items_.clear();
      gone_.clear();
      head_ = gone_count_ = 0;
    }
    return true;
  }
  std::vector<size_t> to_vector() const { return std::vector<size_t>(begin(), end()); }

 private:
  // The list without its marked positions (in place: never allocates).
  std::vector<size_t>& settled() const {
    if (gone_count_ > 0) {
      size_t kept = head_;
      for (size_t i = head_; i < items_.size(); ++i) {
        if (!gone_[i]) items_[kept++] = items_[i];
      }
      items_.resize(kept);
      gone_.assign(gone_.size(), false);
      gone_count_ = 0;
    }
    return items_;
  }
  void compact() noexcept {
    // Only ever called settled: no mark to keep in step (the table stays long enough).
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }

  mutable std::vector<size_t> items_;
  mutable std::vector<bool> gone_;  // marks by index into items_, when made
  size_t head_ = 0;
  mutable size_t gone_count_ = 0;
};

using ClassIndex = StringMap<PositionList>;

// Comment lines kept in one string, each ended by '\n' (which no comment holds): a
// model with many commented objects pays for the text, not for a string per line.
class CommentLines {
 public:
  bool empty() const { return text_.empty(); }
  size_t size() const {
    size_t n = 0;
    for (char c : text_) n += c == '\n';
    return n;
  }
  void push_back(std::string_view line) {
    text_ += line;
    text_ += '\n';
  }
  void shrink_to_fit() { text_.shrink_to_fit(); }
  // Calls fn(line) for each line, in order.
  template <class F>
  void for_each(F&& fn) const {
    for (size_t begin = 0; begin < text_.size();) {
      const size_t end = text_.find('\n', begin);
      fn(std::string_view(text_).substr(begin, end - begin));
      begin = end + 1;
    }
  }
  std::string_view back() const {
    if (text_.empty()) return {};
    const size_t start = text_.rfind('\n', text_.size() - 2);
    return std::string_view(text_).substr(start == std::string::npos ? 0 : start + 1,
                                          text_.size() - 1 - (start == std::string::npos ? 0 : start + 1));
  }
  std::string_view front() const { return text_.empty() ? std::string_view() : std::string_view(text_).substr(0, text_.find('\n')); }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for_each([&](std::string_view line) { out.emplace_back(line); });
    return out;
  }
  void assign(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
      text += line;
      text += '\n';
    }
    text_.swap(text);
  }

 private:
  std::string text_;
};

// A user's comment inside an object: after a value on the value's line, or on a
// line of its own above a field.
struct FieldComment {
  int field_idx;     // -1: the line of the class name
  bool same_line;    // after the field's value on its line; else a line above the field
  std::string text;  // what follows the '!'
};

// The user's comments of one object; what follows each '!', in text order.
struct ObjectComments {
  CommentLines above;                // lines above the object
  std::vector<FieldComment> fields;  // comments inside it
  bool empty() const { return above.empty() && fields.empty(); }
};

// The user's comments of a model that belong to no object.
struct ModelComments {
  CommentLines header;   // lines before the first object: they stay at the top
  CommentLines trailer;  // lines after the last object
  bool empty() const { return header.empty() && trailer.empty(); }
};

// One raw record of IDF text: the class name as written and the field texts.
struct c_IDFObject {
  std::string class_name;
  std::vector<std::string> values;
  int64_t line = 0;  // the line of the text on which the object begins
  std::unique_ptr<ObjectComments> comments;  // null when it has none
};

struct FormatConfig {
  std::string class_indent;
  std::string field_indent;
  size_t field_size;
  bool compact;
};

struct IDFInstance {
  PyObject_HEAD
  PyObject* idd;      // IDD or None
  PyObject* objects;  // list (slot i holds the object at position i, None once removed) or None
  ClassIndex objects_index_map;
  RefIndex targets;
  RefIndex referencers;
  // Private to quarvel.idf: objects by class and name (field 0) in any letter case,
  // built on the first lookup by name and kept current from then on.
  NameTable name_index;
  bool name_index_ready;
  // Scans that read the model without the interpreter lock (validation); while one
  // runs, every change to the model is refused.
  int readers;
  std::unique_ptr<ModelComments> comments;  // null when it has none
  // Private to quarvel: a dict of results derived from the model, or null; every change
  // to the model drops it (begin_change).
  PyObject* memo;
};

struct IDFObjectInstance {
  PyObject_HEAD
  PyObject* idd;         // IDD or None
  PyObject* parent_idf;  // IDF or None (detached)
  size_t class_idx;
  std::string c_class_name;
  PyObject* class_name;  // str or None
  std::vector<std::string> values;
  size_t obj_idx;
  // Private to quarvel.idf: the line on which the object began in the text it was
  // loaded from, or 0 for an object made in code; the user's comments, or null.
  int64_t line;
  std::unique_ptr<ObjectComments> comments;
};

struct IDFOps {
  void (*register_target)(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx, int field_idx);
  void (*register_referencer)(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx,
                              int field_idx);
  void (*unregister_target)(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx,
                            int field_idx);
  void (*unregister_referencer)(IDFInstance* self, const std::string& tag, const std::string& val, size_t obj_idx,
                                int field_idx);
  int (*c_init)(IDFInstance* self, PyObject* idd, PyObject* idf_content);
  void (*build_objects)(IDFInstance* self, std::vector<c_IDFObject>& c_idf_objects);
  // A new list of the live objects of a class (name as str, any letter case).
  PyObject* (*get_objects_raw)(IDFInstance* self, PyObject* class_name);
  void (*write_to_buffer)(IDFInstance* self, std::string& out_buffer, const FormatConfig& config, bool preserve_order);
};

struct IDFObjectOps {
  const ClassDef& (*get_class_def)(IDFObjectInstance* self);
  int (*c_init)(IDFObjectInstance* self, PyObject* idd, PyObject* parent_idf, size_t class_idx,
                std::vector<std::string>& values);
  int (*set_string_by_index)(IDFObjectInstance* self, int field_idx, const std::string& value);
  int (*set_by_index)(IDFObjectInstance* self, int field_idx, PyObject* value);
  void (*trim_trailing_empty_fields)(IDFObjectInstance* self);
  void (*write_to_buffer)(IDFObjectInstance* self, std::string& out_buffer, const FormatConfig& config);
};

// The layout of the model structs that the compatibility module reads in place.
inline constexpr uint64_t IDF_LAYOUT = layout_fingerprint(
    sizeof(FieldLoc), QUARVEL_MEMBER(FieldLoc, obj_idx), QUARVEL_MEMBER(FieldLoc, field_idx), sizeof(LocList),
    sizeof(c_IDFObject), QUARVEL_MEMBER(c_IDFObject, class_name), QUARVEL_MEMBER(c_IDFObject, values),
    QUARVEL_MEMBER(c_IDFObject, line), QUARVEL_MEMBER(c_IDFObject, comments), sizeof(FieldComment),
    sizeof(ObjectComments), sizeof(ModelComments),
    sizeof(FormatConfig), QUARVEL_MEMBER(FormatConfig, class_indent), QUARVEL_MEMBER(FormatConfig, field_indent),
    QUARVEL_MEMBER(FormatConfig, field_size), QUARVEL_MEMBER(FormatConfig, compact), sizeof(IDFInstance),
    QUARVEL_MEMBER(IDFInstance, idd), QUARVEL_MEMBER(IDFInstance, objects), QUARVEL_MEMBER(IDFInstance, objects_index_map),
    QUARVEL_MEMBER(IDFInstance, targets), QUARVEL_MEMBER(IDFInstance, referencers), sizeof(IDFObjectInstance),
    QUARVEL_MEMBER(IDFObjectInstance, idd), QUARVEL_MEMBER(IDFObjectInstance, parent_idf),
    QUARVEL_MEMBER(IDFObjectInstance, class_idx), QUARVEL_MEMBER(IDFObjectInstance, c_class_name),
    QUARVEL_MEMBER(IDFObjectInstance, class_name), QUARVEL_MEMBER(IDFObjectInstance, values),
    QUARVEL_MEMBER(IDFObjectInstance, obj_idx), sizeof(IDFOps), sizeof(IDFObjectOps));

inline constexpr uint32_t IDF_CAPI_VERSION = 3;
inline constexpr const char* IDF_CAPSULE = "quarvel.idf._C_API";

struct IDFCapi {
  CapiHeader header;
  PyTypeObject* IDF_type;
  const IDFOps* idf_ops;
  PyTypeObject* IDFObject_type;
  const IDFObjectOps* object_ops;
  // The TypeError a load raises when objects need a schema and none was given.
  PyObject* SchemaNeededError;
};

}  // namespace quarvel
