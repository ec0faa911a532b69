// A multimap from (class name, object name), both in any ASCII letter case, to object
// positions, kept as one flat open-addressing table of (hash, position) pairs: no
// allocation per entry, no key strings. Entries of equal hash are told apart by the
// caller, who checks the object at a candidate position against the names it wants.
// The table also keeps which classes it holds, so that a caller can fill it one class
// at a time, as lookups first ask for each.
#pragma once

#include "quarvel/string_map.hpp"
#include "quarvel/text.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quarvel {

class NameTable {
 public:
  static uint64_t hash_of(std::string_view class_name, std::string_view name) noexcept {
    // The string map's hash of ASCII-upper-cased bytes, eight at a time.
    uint64_t h = string_map_detail::hash_bytes<true>(name) ^
                 (string_map_detail::hash_bytes<true>(class_name) * 0x9e3779b97f4a7c15ull);
    h ^= h >> 31;  // the probe uses the low bits: fold the well-mixed high ones in
    return h | 1;  // 0 marks an empty slot
  }

  void clear() noexcept {
    slots_.clear();
    slots_.shrink_to_fit();
    size_ = 0;
    classes_.clear();
  }
  size_t size() const noexcept { return size_; }

  // The classes (any letter case) whose objects the table holds.
  bool holds_class(std::string_view class_name) const { return classes_.find_upper(class_name) != classes_.end(); }
  void add_class(std::string_view class_name) { classes_.try_emplace_upper(class_name); }

  // Room for `count` more entries without growing.
  void reserve_more(size_t more) {
    const size_t count = size_ + more;
    size_t cap = 16;
    while (cap < count * 2) cap *= 2;
    if (cap > slots_.size()) rehash(cap);
  }

  void insert(uint64_t hash, size_t pos) {
    if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    place({hash, pos});
    ++size_;
  }

  // Removes the entry (hash, pos) if there is one.
  void erase(uint64_t hash, size_t pos) noexcept {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i].hash != 0 && !(slots_[i].hash == hash && slots_[i].pos == pos)) i = (i + 1) & mask;
    if (slots_[i].hash == 0) return;
    // Backward-shift deletion: later entries of the run move up so that no probe
    // meets a hole before its own entry.
    for (size_t j = (i + 1) & mask; slots_[j].hash != 0; j = (j + 1) & mask) {
      const size_t home = slots_[j].hash & mask;
      if (((j - home) & mask) >= ((j - i) & mask)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    --size_;
  }

  // For a table of single names (no class): `name` at `pos`, and the smallest position
  // whose name, as name_at(pos) gives it, equals `name` in ASCII letter case (or `none`).
  void insert_name(std::string_view name, size_t pos) { insert(hash_of({}, name), pos); }
  template <class NameAt>
  size_t find_name(std::string_view name, size_t none, NameAt&& name_at) const {
    return find_first(hash_of({}, name), none, [&](size_t at) { return ascii_iequals(name_at(at), name); });
  }

  // The smallest position among the entries of `hash` for which matches(pos) holds, or
  // `none` when there is no such entry.
  template <class Matches>
  size_t find_first(uint64_t hash, size_t none, Matches&& matches) const {
    if (slots_.empty()) return none;
    const size_t mask = slots_.size() - 1;
    size_t best = none;
    for (size_t i = hash & mask; slots_[i].hash != 0; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && (best == none || slots_[i].pos < best) && matches(slots_[i].pos)) {
        best = slots_[i].pos;
      }
    }
    return best;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    size_t pos = 0;
  };

  void place(Slot slot) noexcept {
    const size_t mask = slots_.size() - 1;
    size_t i = slot.hash & mask;
    while (slots_[i].hash != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void rehash(size_t cap) {
    std::vector<Slot> old(cap);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.hash != 0) place(slot);
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  StringMap<bool> classes_;  // upper-cased
};

}  // namespace quarvel
