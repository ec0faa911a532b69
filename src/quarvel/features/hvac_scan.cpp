// The HVAC systems of a model as plain records, for quarvel.hvac: the loops and branches,
// each branch's components resolved to their own objects and checked against them (what
// the topology and the node connection rules read), and the zone connections and the
// parent-child relations that join nodes (what the topology alone reads). Done here
// because it touches every field of those objects, and in Python each read makes a str.
//
// The scan reads the model into plain records that view its text, copies the texts it
// keeps into one buffer, and only then makes Python objects: making them may run the
// cyclic collector, whose finalizers may change the model.
#include "features.hpp"

#include <array>
#include <unordered_map>

namespace quarvel::features {

namespace {

constexpr size_t kGroup = 4;  // a branch's component: object type, name, inlet node, outlet node
constexpr size_t kFirstGroup = 2;
constexpr size_t kNone = static_cast<size_t>(-1);

enum ComponentFault : int {
  kMissing = 1,         // no object of that class and name
  kInletMismatch = 2,   // the branch's inlet is none of the component's own inlets
  kOutletMismatch = 4,  // the same for the outlet
  kChainBroken = 8,     // the inlet is not the outlet of the component before it
};

using Texts = std::vector<size_t>;  // indexes into the scan's texts

struct Component {
  size_t class_name, name, inlet, outlet;
  size_t field_index;
  int faults;
  size_t branch;               // its branch, by scan order
  size_t first_outlet_holder;  // the component that had this outlet first, or kNone
  Texts own_inlets, own_outlets;  // kept only for a node mismatch
};

// The objects are held: a finalizer run while the result is made may remove them.
struct Branch {
  PyRef object;
  size_t name;
  size_t first_component, end_component;
};

struct Side {
  size_t branch_list, connector_list;
  Texts inlets, outlets, branches, connectors;  // connectors: class, name, class, name ...
};

struct Loop {
  PyRef object;
  size_t name;
  Side supply, demand;
};

// A fault of the branch lists or of a loop side, found here and worded by the rules.
struct LoopFault {
  enum Kind { kTwiceListed, kUnlisted, kLoopInlet, kLoopOutlet, kStrayConnector } kind;
  PyRef object;               // the object at fault: a list, branch, loop or connector
  size_t index = 0;           // the field at fault, for a list or a connector
  size_t side = 0;            // 0 supply, 1 demand
  size_t loop = kNone;        // for a loop side or a connector: the loop (its `side`)
  std::array<size_t, 3> texts{};  // what the message names (see Scanner::faults)
};

struct ZoneConnection {
  size_t zone, equipment, zone_node;
  Texts inlets, exhausts, returns;
};

// A parent and a child it names by class and name, with the child's first own inlet
// and outlet (kNone: it has none, or there is no such child).
struct ChildSet {
  size_t parent_class, parent_name, class_name, name, inlet, outlet;
};

// Where a parent class names its children: through an equipment list that one of its
// fields names (pairs of class and name from the list's second field on), or by pairs
// of its own fields (class field, name field), taken only when both are filled if
// `both_filled`.
struct ParentRule {
  std::string class_name;
  std::string list_class;  // empty: the children are in the parent's own fields
  Py_ssize_t list_field;
  std::vector<std::pair<Py_ssize_t, Py_ssize_t>> pairs;
  bool both_filled;
};

// One loop class and where its fields are: per side, the branch list, connector list,
// inlet and outlet node fields (-1: the class has no such field).
struct LoopClass {
  std::string class_name;
  std::array<Py_ssize_t, 8> fields;
};

bool contains_ascii_word(std::string_view text, std::string_view word) {
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (ascii_iequals(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

class Scanner {
 public:
  explicit Scanner(IDFInstance* model) : model_(model) {
    texts_.reserve(256);
    texts_.emplace_back();  // text 0: ""
    // The node lists by name: most node fields name a node, and asking the model's index
    // for each would cost a lookup of the class too.
    for (IDFObjectInstance* list : objects_of("NodeList")) {
      if (!list->values.empty() && !list->values[0].empty()) node_lists_.insert_name(list->values[0], list->obj_idx);
    }
  }

  void run(const std::vector<LoopClass>& loop_classes) {
    for (const LoopClass& loop_class : loop_classes) {
      for (IDFObjectInstance* obj : objects_of(loop_class.class_name)) scan_loop(obj, loop_class.fields);
    }
    for (IDFObjectInstance* obj : objects_of("Branch")) scan_branch(obj);
    check_lists();
    check_sides();
    own_texts();
  }

  // The zone connections (fields: equipment list, inlet, exhaust, zone node and return
  // node fields) and the parent-child relations by the rules, in rule order.
  void run_connections(const std::array<Py_ssize_t, 5>& zone_fields, const std::vector<ParentRule>& rules) {
    for (IDFObjectInstance* obj : objects_of("ZoneHVAC:EquipmentConnections")) {
      ZoneConnection z{text(field(obj, 0)), text(field(obj, zone_fields[0])), text(field(obj, zone_fields[3])),
                       {}, {}, {}};
      expand(field(obj, zone_fields[1]), z.inlets);
      expand(field(obj, zone_fields[2]), z.exhausts);
      expand(field(obj, zone_fields[4]), z.returns);
      zones_.push_back(std::move(z));
    }
    for (const ParentRule& rule : rules) {
      for (IDFObjectInstance* parent : objects_of(rule.class_name)) {
        if (!rule.list_class.empty()) {
          IDFObjectInstance* list = find(rule.list_class, field(parent, rule.list_field));
          for (size_t i = 1; list && i + 1 < list->values.size(); i += 2) {
            add_child(parent, list->values[i], list->values[i + 1]);
          }
          continue;
        }
        for (const auto& [type_field, name_field] : rule.pairs) {
          const std::string_view class_name = field(parent, type_field), name = field(parent, name_field);
          if (!rule.both_filled || (!class_name.empty() && !name.empty())) add_child(parent, class_name, name);
        }
      }
    }
    own_texts();
  }

  // (zone connections, child sets) as tuples; see the function's docstring.
  PyObject* connections() const {
    const std::vector<PyRef> strs = all_strs();
    const auto tuple = [&](const Texts& items) { return tuple_of(strs, items); };
    PyRef zones = take(PyTuple_New(static_cast<Py_ssize_t>(zones_.size())));
    for (size_t i = 0; i < zones_.size(); ++i) {
      const ZoneConnection& z = zones_[i];
      PyRef inlets = tuple(z.inlets), exhausts = tuple(z.exhausts), returns = tuple(z.returns);
      PyTuple_SET_ITEM(zones.get(), static_cast<Py_ssize_t>(i),
                       take(PyTuple_Pack(6, strs[z.zone].get(), strs[z.equipment].get(), inlets.get(), exhausts.get(),
                                         strs[z.zone_node].get(), returns.get()))
                           .release());
    }
    PyRef sets = take(PyTuple_New(static_cast<Py_ssize_t>(children_.size())));
    for (size_t i = 0; i < children_.size(); ++i) {
      const ChildSet& c = children_[i];
      PyObject* inlet = c.inlet == kNone ? Py_None : strs[c.inlet].get();
      PyObject* outlet = c.outlet == kNone ? Py_None : strs[c.outlet].get();
      PyTuple_SET_ITEM(sets.get(), static_cast<Py_ssize_t>(i),
                       take(PyTuple_Pack(6, strs[c.parent_class].get(), strs[c.parent_name].get(),
                                         strs[c.class_name].get(), strs[c.name].get(), inlet, outlet))
                           .release());
    }
    return PyTuple_Pack(2, zones.get(), sets.get());
  }

  // (loops, branches) as tuples; see the function's docstring.
  PyObject* result() const {
    const std::vector<PyRef> strs = all_strs();
    const auto str = [&](size_t i) { return Py_NewRef(strs[i].get()); };
    const auto tuple = [&](const Texts& items) { return tuple_of(strs, items); };
    const auto side = [&](const Side& s) {
      PyRef connectors = take(PyTuple_New(static_cast<Py_ssize_t>(s.connectors.size() / 2)));
      for (size_t i = 0; i + 1 < s.connectors.size(); i += 2) {
        PyRef pair = take(PyTuple_New(2));
        PyTuple_SET_ITEM(pair.get(), 0, str(s.connectors[i]));
        PyTuple_SET_ITEM(pair.get(), 1, str(s.connectors[i + 1]));
        PyTuple_SET_ITEM(connectors.get(), static_cast<Py_ssize_t>(i / 2), pair.release());
      }
      PyRef inlets = tuple(s.inlets), outlets = tuple(s.outlets), branches = tuple(s.branches);
      return take(PyTuple_Pack(6, strs[s.branch_list].get(), strs[s.connector_list].get(), inlets.get(),
                               outlets.get(), branches.get(), connectors.get()));
    };

    PyRef loops = take(PyTuple_New(static_cast<Py_ssize_t>(loops_.size())));
    for (size_t i = 0; i < loops_.size(); ++i) {
      const Loop& loop = loops_[i];
      PyRef supply = side(loop.supply), demand = side(loop.demand);
      PyTuple_SET_ITEM(loops.get(), static_cast<Py_ssize_t>(i),
                       take(PyTuple_Pack(4, loop.object.get(), strs[loop.name].get(), supply.get(), demand.get()))
                           .release());
    }
    PyRef branches = take(PyTuple_New(static_cast<Py_ssize_t>(branches_.size())));
    for (size_t b = 0; b < branches_.size(); ++b) {
      const Branch& branch = branches_[b];
      PyRef comps = take(PyTuple_New(static_cast<Py_ssize_t>(branch.end_component - branch.first_component)));
      bool faulty = false;
      for (size_t c = branch.first_component; c < branch.end_component; ++c) {
        PyTuple_SET_ITEM(comps.get(), static_cast<Py_ssize_t>(c - branch.first_component), component(c, strs, tuple));
        faulty = faulty || components_[c].faults != 0 || components_[c].first_outlet_holder != kNone;
      }
      PyTuple_SET_ITEM(branches.get(), static_cast<Py_ssize_t>(b),
                       take(PyTuple_Pack(4, branch.object.get(), strs[branch.name].get(), comps.get(),
                                         faulty ? Py_True : Py_False))
                           .release());
    }
    PyRef faults = take(PyTuple_New(static_cast<Py_ssize_t>(faults_.size())));
    for (size_t i = 0; i < faults_.size(); ++i) {
      PyTuple_SET_ITEM(faults.get(), static_cast<Py_ssize_t>(i), fault(faults_[i], strs, tuple));
    }
    return PyTuple_Pack(3, loops.get(), branches.get(), faults.get());
  }

 private:
  // The faults as tuples, each led by its kind:
  //   ("twice", list, field index, branch name, name of the list that has it first)
  //   ("unlisted", branch, branch name)
  //   ("inlet", loop, side, side's inlet node, first branch's name, its inlet node)
  //   ("outlet", loop, side, side's outlet nodes, last branch's name)
  //   ("connector", connector, field index, its class, its name, branch name, branch list, loop)
  template <class Tuple>
  PyObject* fault(const LoopFault& f, const std::vector<PyRef>& strs, const Tuple& tuple) const {
    static const char* const kinds[] = {"twice", "unlisted", "inlet", "outlet", "connector"};
    const auto str = [&](size_t i) { return strs[f.texts[i]].get(); };
    PyRef kind = take(PyUnicode_FromString(kinds[f.kind]));
    PyRef side = take(PyUnicode_FromString(f.side == 0 ? "supply" : "demand"));
    PyRef index = take(PyLong_FromSize_t(f.index));
    switch (f.kind) {
      case LoopFault::kTwiceListed:
        return take(PyTuple_Pack(5, kind.get(), f.object.get(), index.get(), str(0), str(1))).release();
      case LoopFault::kUnlisted:
        return take(PyTuple_Pack(3, kind.get(), f.object.get(), str(0))).release();
      case LoopFault::kLoopInlet:
        return take(PyTuple_Pack(6, kind.get(), f.object.get(), side.get(), str(0), str(1), str(2))).release();
      case LoopFault::kLoopOutlet: {
        const Loop& loop = loops_[f.loop];
        PyRef outlets = tuple((f.side == 0 ? loop.supply : loop.demand).outlets);
        return take(PyTuple_Pack(5, kind.get(), f.object.get(), side.get(), outlets.get(), str(0))).release();
      }
      case LoopFault::kStrayConnector: {
        const Loop& loop = loops_[f.loop];
        return take(PyTuple_Pack(8, kind.get(), f.object.get(), index.get(), str(0), str(1), str(2),
                                 strs[(f.side == 0 ? loop.supply : loop.demand).branch_list].get(),
                                 loop.object.get()))
            .release();
      }
    }
    return nullptr;
  }

  // Branch lists: a branch that lists hold twice (where it shows again), and a branch
  // that none holds.
  void check_lists() {
    struct Held {
      std::string_view name;
      size_t list_name;
    };
    std::vector<Held> held;
    NameTable by_name;
    const auto held_name = [&](size_t at) { return held[at].name; };
    for (IDFObjectInstance* list : objects_of("BranchList")) {
      for (size_t i = 1; i < list->values.size(); ++i) {
        const std::string_view name = list->values[i];
        if (name.empty()) continue;
        const size_t first = by_name.find_name(name, kNone, held_name);
        if (first != kNone) {
          faults_.push_back(LoopFault{LoopFault::kTwiceListed, PyRef::borrow(as_py(list)), i, 0, kNone,
                                  {text(name), held[first].list_name, 0}});
        } else {
          by_name.insert_name(name, held.size());
          held.push_back(Held{name, text(field(list, 0))});
        }
      }
    }
    for (const Branch& branch : branches_) {
      if (by_name.find_name(texts_[branch.name], kNone, held_name) == kNone) {
        faults_.push_back(
            LoopFault{LoopFault::kUnlisted, PyRef::borrow(branch.object.get()), 0, 0, kNone, {branch.name, 0, 0}});
      }
    }
  }

  // Each loop side: its inlet node is its first branch's, its outlet node(s) its last
  // branch's (or, for several, some branch's), and its connectors join only its branches.
  void check_sides() {
    NameTable branch_names;  // -> the first branch of the name
    branch_names.reserve_more(branches_.size());
    for (size_t b = 0; b < branches_.size(); ++b) branch_names.insert_name(texts_[branches_[b].name], b);
    const auto branch_named = [&](std::string_view name) {
      return branch_names.find_name(name, kNone, [&](size_t at) { return texts_[branches_[at].name]; });
    };
    // A branch's ends: its first component's inlet and its last one's outlet ("" for none).
    const auto inlet_of = [&](size_t b) {
      const Branch& br = branches_[b];
      return br.first_component == br.end_component ? std::string_view()
                                                    : texts_[components_[br.first_component].inlet];
    };
    const auto outlet_of = [&](size_t b) {
      const Branch& br = branches_[b];
      return br.first_component == br.end_component ? std::string_view()
                                                    : texts_[components_[br.end_component - 1].outlet];
    };
    for (size_t l = 0; l < loops_.size(); ++l) {
      const Loop& loop = loops_[l];
      for (size_t s = 0; s < 2; ++s) {
        const Side& side = s == 0 ? loop.supply : loop.demand;
        if (side.branches.empty()) continue;
        std::vector<size_t> listed;
        NameTable joined;  // the side's branch names
        for (size_t name : side.branches) {
          listed.push_back(branch_named(texts_[name]));
          joined.insert_name(texts_[name], name);
        }
        const size_t first = listed.front(), last = listed.back();
        if (!side.inlets.empty() && first != kNone && !inlet_of(first).empty() &&
            !ascii_iequals(texts_[side.inlets.front()], inlet_of(first))) {
          faults_.push_back(LoopFault{LoopFault::kLoopInlet, PyRef::borrow(loop.object.get()), 0, s, l,
                                  {side.inlets.front(), branches_[first].name,
                                   components_[branches_[first].first_component].inlet}});
        }
        bool wrong = false;
        if (side.outlets.size() == 1 && last != kNone && !outlet_of(last).empty()) {
          wrong = !ascii_iequals(texts_[side.outlets.front()], outlet_of(last));
        } else {
          for (size_t node : side.outlets) {
            bool found = false;
            for (size_t b : listed) found = found || (b != kNone && ascii_iequals(outlet_of(b), texts_[node]) &&
                                                      !outlet_of(b).empty());
            wrong = wrong || !found;
          }
        }
        if (wrong) {
          faults_.push_back(LoopFault{LoopFault::kLoopOutlet, PyRef::borrow(loop.object.get()), 0, s, l,
                                  {last != kNone ? branches_[last].name : side.branches.back(), 0, 0}});
        }
        for (size_t c = 0; c + 1 < side.connectors.size(); c += 2) {
          IDFObjectInstance* connector = find(texts_[side.connectors[c]], texts_[side.connectors[c + 1]]);
          if (!connector) continue;
          for (size_t i = 1; i < connector->values.size(); ++i) {
            const std::string_view name = connector->values[i];
            if (name.empty()) continue;
            if (joined.find_name(name, kNone, [&](size_t at) { return texts_[at]; }) == kNone) {
              faults_.push_back(LoopFault{LoopFault::kStrayConnector, PyRef::borrow(as_py(connector)), i, s, l,
                                      {side.connectors[c], side.connectors[c + 1], text(name)}});
            }
          }
        }
      }
    }
  }

  std::vector<PyRef> all_strs() const {
    std::vector<PyRef> strs;
    strs.reserve(texts_.size());
    for (std::string_view text : texts_) strs.push_back(take(str_from(text)));
    return strs;
  }

  static PyRef tuple_of(const std::vector<PyRef>& strs, const Texts& items) {
    PyRef out = take(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(strs[items[i]].get()));
    }
    return out;
  }

  void add_child(IDFObjectInstance* parent, std::string_view class_name, std::string_view name) {
    ChildSet c{text(parent->c_class_name), text(field(parent, 0)), text(class_name), text(name), kNone, kNone};
    if (IDFObjectInstance* child = find(class_name, name)) {
      std::vector<std::string_view> inlets, outlets;
      own_nodes(child, inlets, outlets);
      if (!inlets.empty()) c.inlet = text(inlets.front());
      if (!outlets.empty()) c.outlet = text(outlets.front());
    }
    children_.push_back(c);
  }

  template <class Tuple>
  PyObject* component(size_t index, const std::vector<PyRef>& strs, const Tuple& tuple) const {
    const Component& c = components_[index];
    PyRef out = take(PyTuple_New(9));
    const size_t texts[] = {c.class_name, c.name, c.inlet, c.outlet};
    for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(out.get(), i, Py_NewRef(strs[texts[i]].get()));
    PyTuple_SET_ITEM(out.get(), 4, take(PyLong_FromSize_t(c.field_index)).release());
    PyTuple_SET_ITEM(out.get(), 5, take(PyLong_FromLong(c.faults)).release());
    PyTuple_SET_ITEM(out.get(), 6, tuple(c.own_inlets).release());
    PyTuple_SET_ITEM(out.get(), 7, tuple(c.own_outlets).release());
    PyObject* holder = Py_None;
    PyRef made;
    if (c.first_outlet_holder != kNone) {
      const Component& h = components_[c.first_outlet_holder];
      made = take(PyTuple_Pack(3, strs[h.class_name].get(), strs[h.name].get(),
                               strs[branches_[h.branch].name].get()));
      holder = made.get();
    }
    PyTuple_SET_ITEM(out.get(), 8, Py_NewRef(holder));
    return out.release();
  }

  // The live objects of a class, in model order.
  std::vector<IDFObjectInstance*> objects_of(std::string_view class_name) const {
    std::vector<IDFObjectInstance*> out;
    const auto positions = model_->objects_index_map.find_upper(class_name);
    if (positions == model_->objects_index_map.end()) return out;
    out.reserve(positions->second.size());
    for (size_t pos : positions->second) {
      IDFObjectInstance* obj = object_at(model_, pos);
      if (obj && obj->obj_idx == pos) out.push_back(obj);
    }
    return out;
  }

  size_t text(std::string_view value) {
    if (value.empty()) return 0;
    texts_.push_back(value);
    return texts_.size() - 1;
  }

  static std::string_view field(const IDFObjectInstance* obj, Py_ssize_t index) {
    return index >= 0 && static_cast<size_t>(index) < obj->values.size() ? std::string_view(obj->values[index])
                                                                           : std::string_view();
  }

  void scan_loop(IDFObjectInstance* obj, const std::array<Py_ssize_t, 8>& fields) {
    Loop loop{PyRef::borrow(as_py(obj)), text(field(obj, 0)), {}, {}};
    for (size_t s = 0; s < 2; ++s) {
      Side& side = s == 0 ? loop.supply : loop.demand;
      const std::string_view list_name = field(obj, fields[s * 4]);
      const std::string_view connectors_name = field(obj, fields[s * 4 + 1]);
      side.branch_list = text(list_name);
      side.connector_list = text(connectors_name);
      expand(field(obj, fields[s * 4 + 2]), side.inlets);
      expand(field(obj, fields[s * 4 + 3]), side.outlets);
      if (IDFObjectInstance* list = find("BranchList", list_name)) {
        for (size_t i = 1; i < list->values.size(); ++i) {
          if (!list->values[i].empty()) side.branches.push_back(text(list->values[i]));
        }
      }
      if (IDFObjectInstance* list = find("ConnectorList", connectors_name)) {
        for (size_t i = 1; i + 1 < list->values.size(); i += 2) {
          if (list->values[i].empty()) continue;
          side.connectors.push_back(text(list->values[i]));
          side.connectors.push_back(text(list->values[i + 1]));
        }
      }
    }
    loops_.push_back(std::move(loop));
  }

  void scan_branch(IDFObjectInstance* obj) {
    const std::vector<std::string>& values = obj->values;
    const size_t branch = branches_.size();
    branches_.push_back(Branch{PyRef::borrow(as_py(obj)), text(field(obj, 0)), components_.size(), components_.size()});
    const Component* before = nullptr;
    std::vector<std::string_view> own_inlets, own_outlets;
    for (size_t start = kFirstGroup; start + kGroup <= values.size(); start += kGroup) {
      if (values[start].empty() && values[start + 1].empty()) continue;
      Component c{text(values[start]), text(values[start + 1]), text(values[start + 2]), text(values[start + 3]),
                  start, 0, branch, kNone, {}, {}};
      const std::string_view inlet = values[start + 2], outlet = values[start + 3];
      if (IDFObjectInstance* own = find(values[start], values[start + 1])) {
        own_inlets.clear();
        own_outlets.clear();
        own_nodes(own, own_inlets, own_outlets);
        if (!own_inlets.empty() && !inlet.empty() && !listed(own_inlets, inlet)) c.faults |= kInletMismatch;
        if (!own_outlets.empty() && !outlet.empty() && !listed(own_outlets, outlet)) c.faults |= kOutletMismatch;
        if (c.faults) {  // the message names them
          for (std::string_view n : own_inlets) c.own_inlets.push_back(text(n));
          for (std::string_view n : own_outlets) c.own_outlets.push_back(text(n));
        }
      } else {
        c.faults |= kMissing;
      }
      if (before && !ascii_iequals(inlet, texts_[before->outlet])) c.faults |= kChainBroken;
      if (!outlet.empty()) c.first_outlet_holder = outlet_holder(c, outlet);
      components_.push_back(std::move(c));
      before = &components_.back();
      branches_[branch].end_component = components_.size();
    }
  }

  // The component that had `outlet` as its outlet first, unless that is this one (the
  // same class, name and branch as written); remembers this one when it is the first.
  size_t outlet_holder(const Component& c, std::string_view outlet) {
    const size_t first = outlets_.find_name(outlet, kNone, [&](size_t at) { return texts_[components_[at].outlet]; });
    if (first == kNone) {
      outlets_.insert_name(outlet, components_.size());
      return kNone;
    }
    const Component& h = components_[first];
    const bool same = texts_[h.class_name] == texts_[c.class_name] && texts_[h.name] == texts_[c.name] &&
                      texts_[branches_[h.branch].name] == texts_[branches_[c.branch].name];
    return same ? kNone : first;
  }

  IDFObjectInstance* find(std::string_view class_name, std::string_view name) {
    return name.empty() ? nullptr : name_index_find(model_, class_name, name);
  }

  static bool listed(const std::vector<std::string_view>& nodes, std::string_view node) {
    for (std::string_view n : nodes) {
      if (ascii_iequals(n, node)) return true;
    }
    return false;
  }

  // A component's own inlet and outlet nodes, by the schema's node fields named for
  // them, node lists expanded.
  void own_nodes(IDFObjectInstance* obj, std::vector<std::string_view>& inlets,
                 std::vector<std::string_view>& outlets) {
    const auto& [inlet_fields, outlet_fields] = node_fields(obj);
    for (size_t i : inlet_fields) {
      if (i < obj->values.size()) expand_views(obj->values[i], inlets);
    }
    for (size_t i : outlet_fields) {
      if (i < obj->values.size()) expand_views(obj->values[i], outlets);
    }
  }

  // A node name, or the nodes of the NodeList it names (the first of that name).
  template <class Add>
  void each_node(std::string_view node, Add&& add) {
    if (node.empty()) return;
    const size_t pos = node_lists_.find_name(node, kNone, [&](size_t at) {
      const IDFObjectInstance* list = object_at(model_, at);
      return list ? std::string_view(list->values[0]) : std::string_view();  // "" never names a list
    });
    if (pos == kNone) {
      add(node);
      return;
    }
    const IDFObjectInstance* list = object_at(model_, pos);
    for (size_t i = 1; i < list->values.size(); ++i) {
      if (!list->values[i].empty()) add(std::string_view(list->values[i]));
    }
  }

  void expand_views(std::string_view node, std::vector<std::string_view>& out) {
    each_node(node, [&](std::string_view n) { out.push_back(n); });
  }

  void expand(std::string_view node, Texts& out) {
    each_node(node, [&](std::string_view n) { out.push_back(text(n)); });
  }

  const std::pair<std::vector<size_t>, std::vector<size_t>>& node_fields(IDFObjectInstance* obj) {
    auto [entry, made] = node_fields_.try_emplace(obj->class_idx);
    if (made) {
      const ClassDef& cls = get_class_def(obj);
      for (size_t i = 0; i < cls.fields.size(); ++i) {
        if (cls.fields[i].field_type != FIELDTYPE_NODE) continue;
        if (contains_ascii_word(cls.fields[i].name, "Inlet")) entry->second.first.push_back(i);
        if (contains_ascii_word(cls.fields[i].name, "Outlet")) entry->second.second.push_back(i);
      }
    }
    return entry->second;
  }

  // The texts view the model until here; from here they view a buffer of their own.
  void own_texts() {
    size_t size = 0;
    for (std::string_view t : texts_) size += t.size();
    buffer_.reserve(size);
    for (std::string_view& t : texts_) {
      const size_t at = buffer_.size();
      buffer_.append(t);
      t = std::string_view(buffer_).substr(at, t.size());
    }
  }

  IDFInstance* model_;
  NameTable node_lists_;  // NodeList names in any letter case -> their positions
  std::vector<std::string_view> texts_;
  std::string buffer_;
  std::vector<Loop> loops_;
  std::vector<Branch> branches_;
  std::vector<Component> components_;
  std::vector<LoopFault> faults_;
  std::vector<ZoneConnection> zones_;
  std::vector<ChildSet> children_;
  NameTable outlets_;  // outlet nodes in any letter case -> the first component with it
  std::unordered_map<size_t, std::pair<std::vector<size_t>, std::vector<size_t>>> node_fields_;
};

Py_ssize_t index_of(PyObject* item) {
  const Py_ssize_t index = PyLong_AsSsize_t(item);
  if (index == -1 && PyErr_Occurred()) throw PythonErrorSet();
  return index;
}

// Calls fn(item) for each item of a tuple argument: each a tuple of `size` items that
// begins with a str; else TypeError with `usage`.
template <class F>
void for_each_record(PyObject* arg, Py_ssize_t size, const char* usage, F&& fn) {
  if (!PyTuple_Check(arg)) raise(PyExc_TypeError, usage);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(arg); ++i) {
    PyObject* item = PyTuple_GET_ITEM(arg, i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != size || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0))) {
      raise(PyExc_TypeError, usage);
    }
    fn(item);
  }
}

std::vector<LoopClass> loop_classes_of(PyObject* arg) {
  std::vector<LoopClass> out;
  for_each_record(arg, 9, messages::kBranchScanUsage, [&](PyObject* item) {
    LoopClass loop_class{std::string(utf8_of(PyTuple_GET_ITEM(item, 0))), {}};
    for (size_t f = 0; f < 8; ++f) {
      loop_class.fields[f] = index_of(PyTuple_GET_ITEM(item, static_cast<Py_ssize_t>(f + 1)));
    }
    out.push_back(std::move(loop_class));
  });
  return out;
}

std::vector<ParentRule> parent_rules_of(PyObject* arg) {
  std::vector<ParentRule> out;
  for_each_record(arg, 5, messages::kConnectionScanUsage, [&](PyObject* item) {
    PyObject* pairs = PyTuple_GET_ITEM(item, 3);
    if (!PyUnicode_Check(PyTuple_GET_ITEM(item, 1)) || !PyTuple_Check(pairs)) {
      raise(PyExc_TypeError, messages::kConnectionScanUsage);
    }
    ParentRule rule{std::string(utf8_of(PyTuple_GET_ITEM(item, 0))), std::string(utf8_of(PyTuple_GET_ITEM(item, 1))),
                    index_of(PyTuple_GET_ITEM(item, 2)), {}, PyObject_IsTrue(PyTuple_GET_ITEM(item, 4)) == 1};
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(pairs); ++k) {
      PyObject* pair = PyTuple_GET_ITEM(pairs, k);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) raise(PyExc_TypeError, messages::kConnectionScanUsage);
      rule.pairs.emplace_back(index_of(PyTuple_GET_ITEM(pair, 0)), index_of(PyTuple_GET_ITEM(pair, 1)));
    }
    out.push_back(std::move(rule));
  });
  return out;
}

}  // namespace

PyObject* connection_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        const State& st = state_of_module(module);
        if (nargs != 3 || !st.is_model(args[0]) || !PyTuple_Check(args[1]) || PyTuple_GET_SIZE(args[1]) != 5) {
          raise(PyExc_TypeError, messages::kConnectionScanUsage);
        }
        IDFInstance* model = as_model(args[0]);
        if (!st.is_idd(model->idd)) raise(PyExc_ValueError, messages::kBranchScanSchema);
        std::array<Py_ssize_t, 5> zone_fields{};
        for (size_t i = 0; i < 5; ++i) zone_fields[i] = index_of(PyTuple_GET_ITEM(args[1], static_cast<Py_ssize_t>(i)));
        const std::vector<ParentRule> rules = parent_rules_of(args[2]);
        Scanner scanner(model);
        scanner.run_connections(zone_fields, rules);
        return scanner.connections();
      },
      nullptr);
}

PyObject* branch_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        const State& st = state_of_module(module);
        if (nargs != 2 || !st.is_model(args[0])) raise(PyExc_TypeError, messages::kBranchScanUsage);
        IDFInstance* model = as_model(args[0]);
        if (!st.is_idd(model->idd)) raise(PyExc_ValueError, messages::kBranchScanSchema);
        const std::vector<LoopClass> loop_classes = loop_classes_of(args[1]);
        Scanner scanner(model);
        scanner.run(loop_classes);
        return scanner.result();
      },
      nullptr);
}

}  // namespace quarvel::features
