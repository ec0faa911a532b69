// Tables that modules publish for each other through capsules. Every table starts
// with its version, its size and a fingerprint of the layout of the structs that the
// modules read in each other's memory; an importer refuses a table of another version,
// a smaller size or another layout, so a stale build of one module fails the import
// instead of crashing, even when a struct changed and nobody bumped the version.
#pragma once
#include "pyref.hpp"
#include "quarvel/messages.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarvel {

struct CapiHeader {
  uint32_t version;
  uint32_t size;
  uint64_t layout;  // layout_fingerprint() of the structs shared through the table
};

// Folds sizes, alignments and member offsets into one number (FNV-1a over the values).
template <class... Values>
constexpr uint64_t layout_fingerprint(Values... values) {
  uint64_t h = 0xCBF29CE484222325ULL;
  ((h = (h ^ static_cast<uint64_t>(values)) * 0x100000001B3ULL), ...);
  return h;
}

// offsetof of a member of a struct that is not standard-layout (it holds std::string
// or PyObject_HEAD): conditionally supported, and supported by every compiler the
// package builds with; the fingerprint only needs the compiler's own answer.
#if defined(__GNUC__)
#define QUARVEL_OFFSETOF(type, member)                                     \
  ([]() constexpr {                                                        \
    _Pragma("GCC diagnostic push")                                         \
    _Pragma("GCC diagnostic ignored \"-Winvalid-offsetof\"")               \
    return offsetof(type, member);                                         \
    _Pragma("GCC diagnostic pop")                                          \
  }())
#else
#define QUARVEL_OFFSETOF(type, member) offsetof(type, member)
#endif

template <class Table>
int publish_capi(PyObject* module, const char* attr, const char* capsule_name, const Table* table) {
  PyObject* capsule = PyCapsule_New(const_cast<Table*>(table), capsule_name, nullptr);
  if (!capsule) return -1;
  return PyModule_Add(module, attr, capsule);
}

template <class Table>
const Table* import_capi(const char* capsule_name, uint32_t version, uint64_t layout) {
  // The capsule lookup walks attributes from the package down; importing the
  // module first makes sure the submodule is there to be found.
  const std::string name(capsule_name);
  PyRef module(PyImport_ImportModule(name.substr(0, name.rfind('.')).c_str()));
  if (!module) return nullptr;
  auto* table = static_cast<const Table*>(PyCapsule_Import(capsule_name, 0));
  if (!table) return nullptr;
  if (table->header.version != version || table->header.size < sizeof(Table)) {
    PyErr_Format(PyExc_ImportError, messages::kCapiVersion,
                 capsule_name, table->header.version, table->header.size, version, sizeof(Table));
    return nullptr;
  }
  if (table->header.layout != layout) {
    PyErr_Format(PyExc_ImportError,
                 "%s shares structs of another layout (0x%llx, expected 0x%llx): the package's modules were "
                 "built from different sources; rebuild it", capsule_name,
                 static_cast<unsigned long long>(table->header.layout), static_cast<unsigned long long>(layout));
    return nullptr;
  }
  return table;
}

}  // namespace quarvel
