// Types of the module with the methods and attributes the module adds to the core's own.
#include "core.hpp"

#include <map>
#include <memory>
#include <vector>

namespace quarvel::idf {

namespace {

// A spec's slots and tables with the additions: constant once made, and made once per
// spec (a second import of the module makes its types from the same tables).
struct Combined {
  std::vector<PyMethodDef> methods;
  std::vector<PyGetSetDef> getset;
  std::vector<PyType_Slot> slots;
  PyType_Spec spec;
};

template <class Def>
void append_until_null(std::vector<Def>& out, const Def* defs) {
  for (; defs && defs->name; ++defs) out.push_back(*defs);
}

void append_methods(std::vector<PyMethodDef>& out, const PyMethodDef* defs) {
  for (; defs && defs->ml_name; ++defs) out.push_back(*defs);
}

Combined& combined_for(const PyType_Spec& spec, const TypeExtras& extras) {
  static std::map<const PyType_Spec*, std::unique_ptr<Combined>> made;
  std::unique_ptr<Combined>& entry = made[&spec];
  if (entry) return *entry;
  auto c = std::make_unique<Combined>();
  for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
    if (slot->slot == Py_tp_methods) {
      append_methods(c->methods, static_cast<const PyMethodDef*>(slot->pfunc));
    } else if (slot->slot == Py_tp_getset) {
      append_until_null(c->getset, static_cast<const PyGetSetDef*>(slot->pfunc));
    } else {
      c->slots.push_back(*slot);
    }
  }
  append_methods(c->methods, extras.methods);
  append_until_null(c->getset, extras.getset);
  c->methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  c->getset.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
  c->slots.push_back(PyType_Slot{Py_tp_methods, c->methods.data()});
  c->slots.push_back(PyType_Slot{Py_tp_getset, c->getset.data()});
  c->slots.push_back(PyType_Slot{0, nullptr});
  c->spec = spec;
  c->spec.slots = c->slots.data();
  entry = std::move(c);
  return *entry;
}

}  // namespace

PyTypeObject* type_from_spec(PyObject* module, const PyType_Spec& spec, const TypeExtras& extras, PyObject* base) {
  try {
    Combined& c = combined_for(spec, extras);
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &c.spec, base));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

}  // namespace quarvel::idf
