// Tables that modules publish for each other through capsules. Every table starts
// with its version and its size; an importer refuses a table of another version or
// a smaller size, so a stale build of one module fails the import instead of crashing.
#pragma once
#include "pyref.hpp"

#include <cstdint>
#include <string>

namespace quarvel {

struct CapiHeader {
  uint32_t version;
  uint32_t size;
};

template <class Table>
int publish_capi(PyObject* module, const char* attr, const char* capsule_name, const Table* table) {
  PyObject* capsule = PyCapsule_New(const_cast<Table*>(table), capsule_name, nullptr);
  if (!capsule) return -1;
  return PyModule_Add(module, attr, capsule);
}

template <class Table>
const Table* import_capi(const char* capsule_name, uint32_t version) {
  // The capsule lookup walks attributes from the package down; importing the
  // module first makes sure the submodule is there to be found.
  const std::string name(capsule_name);
  PyRef module(PyImport_ImportModule(name.substr(0, name.rfind('.')).c_str()));
  if (!module) return nullptr;
  auto* table = static_cast<const Table*>(PyCapsule_Import(capsule_name, 0));
  if (!table) return nullptr;
  if (table->header.version != version || table->header.size < sizeof(Table)) {
    PyErr_Format(PyExc_ImportError, "%s has version %u and size %u, expected version %u and size %zu",
                 capsule_name, table->header.version, table->header.size, version, sizeof(Table));
    return nullptr;
  }
  return table;
}

}  // namespace quarvel
