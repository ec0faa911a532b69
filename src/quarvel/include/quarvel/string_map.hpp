// A hash map from byte strings to values, stored flat (open addressing with linear
// probing): a lookup touches one run of slots instead of a bucket and a node, which
// keeps large reference indexes cache-friendly. Lookups take a string_view, so no
// temporary string is made to search; maps whose keys are stored upper-cased can also
// be searched with text in any letter case (`find_upper`), without folding it first.
#pragma once
#include "byte_scan.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvel {

namespace string_map_detail {

// ASCII 'a'..'z' of eight bytes raised at once; every other byte, UTF-8 included, kept.
inline uint64_t upper8(uint64_t x) noexcept {
  const uint64_t low7 = x & 0x7F7F7F7F7F7F7F7FULL;
  const uint64_t at_least_a = low7 + 0x1F1F1F1F1F1F1F1FULL;  // high bit set from 'a' (0x61) up
  const uint64_t above_z = low7 + 0x0505050505050505ULL;     // high bit set from '{' (0x7B) up
  const uint64_t lower = at_least_a & ~above_z & ~x & 0x8080808080808080ULL;
  return x ^ (lower >> 2);
}

inline uint64_t mix(uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ULL;
  h ^= h >> 33;
  return h;
}

// A hash of the bytes of `s`, eight at a time; with `fold`, of its ASCII upper-casing,
// so that a key stored upper-cased and the same text in any case hash alike.
template <bool Fold>
inline uint64_t hash_bytes(std::string_view s) noexcept {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ s.size();
  const char* p = s.data();
  size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (Fold) w = upper8(w);
    h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  }
  if (n > 0) {
    uint64_t w = byte_scan::tail_word(p, n);
    if constexpr (Fold) w = upper8(w);
    h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
  }
  return mix(h);
}

// Whether `stored` equals `text` upper-cased (ASCII letters only).
inline bool equals_upper(std::string_view stored, std::string_view text) noexcept {
  if (stored.size() != text.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (stored[i] != ((c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c)) return false;
  }
  return true;
}

}  // namespace string_map_detail

template <class V>
class StringMap {
 public:
  struct value_type {
    std::string first;
    V second;
  };

 private:
  static constexpr uint64_t kUsed = uint64_t{1} << 63;  // set in the hash of every used slot
  struct Slot {
    uint64_t hash = 0;  // 0: empty
    value_type kv;
  };

 public:
  template <bool Const>
  class Iter {
    using SlotPtr = std::conditional_t<Const, const Slot*, Slot*>;

   public:
    using reference = std::conditional_t<Const, const value_type&, value_type&>;
    using pointer = std::conditional_t<Const, const value_type*, value_type*>;
    Iter() = default;
    Iter(SlotPtr p, SlotPtr end) : p_(p), end_(end) { skip(); }
    reference operator*() const { return p_->kv; }
    pointer operator->() const { return &p_->kv; }
    Iter& operator++() {
      ++p_;
      skip();
      return *this;
    }
    bool operator==(const Iter& o) const { return p_ == o.p_; }
    SlotPtr slot() const { return p_; }

   private:
    void skip() {
      while (p_ != end_ && p_->hash == 0) ++p_;
    }
    SlotPtr p_ = nullptr;
    SlotPtr end_ = nullptr;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  iterator begin() { return iterator(slots_.data(), slots_.data() + slots_.size()); }
  iterator end() { return iterator(slots_.data() + slots_.size(), slots_.data() + slots_.size()); }
  const_iterator begin() const { return const_iterator(slots_.data(), slots_.data() + slots_.size()); }
  const_iterator end() const { return const_iterator(slots_.data() + slots_.size(), slots_.data() + slots_.size()); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    slots_.clear();
    size_ = 0;
  }

  iterator find(std::string_view key) {
    const size_t at = locate(key, hash_of(key));
    return at == kMissing ? end() : at_iter(at);
  }
  const_iterator find(std::string_view key) const {
    const size_t at = locate(key, hash_of(key));
    return at == kMissing ? end() : const_iterator(slots_.data() + at, slots_.data() + slots_.size());
  }
  // The entry whose key is `text` upper-cased, for maps whose keys are stored so.
  iterator find_upper(std::string_view text) {
    const size_t at = locate_upper(text);
    return at == kMissing ? end() : at_iter(at);
  }
  const_iterator find_upper(std::string_view text) const {
    const size_t at = locate_upper(text);
    return at == kMissing ? end() : const_iterator(slots_.data() + at, slots_.data() + slots_.size());
  }

  // Inserts `key` with a default value unless present; the key is moved in.
  std::pair<iterator, bool> try_emplace(std::string&& key) {
    const uint64_t h = hash_of(key);
    if (const size_t at = locate(key, h); at != kMissing) return {at_iter(at), false};
    return {at_iter(insert_new(std::move(key), h)), true};
  }
  std::pair<iterator, bool> try_emplace(std::string_view key) {
    if (iterator it = find(key); it != end()) return {it, false};
    return try_emplace(std::string(key));
  }
  // Inserts `text` upper-cased unless present. Throws std::bad_alloc with the map
  // unchanged when it cannot grow or make the key.
  std::pair<iterator, bool> try_emplace_upper(std::string_view text) {
    // The text's folded hash is its upper-cased key's hash: one hash serves both steps.
    const uint64_t h = upper_hash_of(text);
    if (const size_t at = locate_upper(text, h); at != kMissing) return {at_iter(at), false};
    std::string key(text);
    for (char& c : key) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    }
    return {at_iter(insert_new(std::move(key), h)), true};
  }
  // Room for `count` entries without growing. Throws std::bad_alloc with the map unchanged.
  void reserve(size_t count) {
    size_t capacity = 8;
    while (capacity < count * 2) capacity *= 2;
    if (capacity > slots_.size()) rehash(capacity);
  }
  V& operator[](std::string&& key) { return try_emplace(std::move(key)).first->second; }
  V& operator[](std::string_view key) { return try_emplace(key).first->second; }

  // Erases the entry at `it`; other iterators are invalidated (entries may shift).
  void erase(iterator it) { erase_slot(static_cast<size_t>(it.slot() - slots_.data())); }
  size_t erase(std::string_view key) {
    const size_t at = locate(key, hash_of(key));
    if (at == kMissing) return 0;
    erase_slot(at);
    return 1;
  }

 private:
  static constexpr size_t kMissing = static_cast<size_t>(-1);

  static uint64_t hash_of(std::string_view key) { return string_map_detail::hash_bytes<false>(key) | kUsed; }
  size_t mask() const { return slots_.size() - 1; }
  iterator at_iter(size_t at) { return iterator(slots_.data() + at, slots_.data() + slots_.size()); }

  size_t locate(std::string_view key, uint64_t h) const {
    if (slots_.empty()) return kMissing;
    for (size_t i = h & mask();; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.hash == 0) return kMissing;
      if (s.hash == h && s.kv.first == key) return i;
    }
  }

  static uint64_t upper_hash_of(std::string_view text) { return string_map_detail::hash_bytes<true>(text) | kUsed; }
  size_t locate_upper(std::string_view text) const { return locate_upper(text, upper_hash_of(text)); }
  size_t locate_upper(std::string_view text, uint64_t h) const {
    if (slots_.empty()) return kMissing;
    for (size_t i = h & mask();; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.hash == 0) return kMissing;
      if (s.hash == h && string_map_detail::equals_upper(s.kv.first, text)) return i;
    }
  }

  // Stores a key known to be absent, whose hash is `h`; its slot. Throws std::bad_alloc
  // with the map unchanged when it cannot grow.
  size_t insert_new(std::string&& key, uint64_t h) {
    grow_if_needed();
    const size_t at = free_slot(h);
    slots_[at].hash = h;
    slots_[at].kv.first = std::move(key);
    ++size_;
    return at;
  }

  size_t free_slot(uint64_t h) const {
    size_t i = h & mask();
    while (slots_[i].hash != 0) i = (i + 1) & mask();
    return i;
  }

  // Keeps the table at most half full, so that probe runs stay short.
  void grow_if_needed() {
    if ((size_ + 1) * 2 <= slots_.size()) return;
    rehash(slots_.empty() ? 8 : slots_.size() * 2);
  }

  void rehash(size_t capacity) {
    std::vector<Slot> fresh(capacity);  // may throw; nothing changed yet
    fresh.swap(slots_);
    for (Slot& s : fresh) {
      if (s.hash == 0) continue;
      Slot& dst = slots_[free_slot(s.hash)];
      dst.hash = s.hash;
      dst.kv = std::move(s.kv);
    }
  }

  // Removal without tombstones: later entries of the probe run move back.
  void erase_slot(size_t i) {
    slots_[i].hash = 0;
    slots_[i].kv = value_type();
    --size_;
    for (size_t j = (i + 1) & mask(); slots_[j].hash != 0; j = (j + 1) & mask()) {
      const size_t home = slots_[j].hash & mask();
      const bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
      if (!movable) continue;
      slots_[i].hash = slots_[j].hash;
      slots_[i].kv = std::move(slots_[j].kv);
      slots_[j].hash = 0;
      slots_[j].kv = value_type();
      i = j;
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace quarvel
