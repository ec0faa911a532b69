// The tables by which the module binds the features onto the core's types.
#include "features.hpp"

namespace quarvel::features {

namespace {

PyMethodDef kModelMethods[] = {
    {"_validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_validate)),
     METH_FASTCALL | METH_KEYWORDS,
     "_validate($self, /, select=None, ignore=None)\n--\n\n"
     "The findings of the native rules (validate runs these and the rest)."},
    {"validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_validate_all)),
     METH_FASTCALL | METH_KEYWORDS,
     "validate($self, /, select=None, ignore=None, fragment=None)\n--\n\n"
     "Check the model against what its schema states\n\n"
     "Number and choice fields, ranges, required fields and objects, repeating groups,\n"
     "unique names, references, the version, obsolete classes, subsurfaces on their base\n"
     "surfaces, the keys of output requests and the node connections of loops and\n"
     "branches; external lists are not checked. The schema's rules run without the\n"
     "interpreter lock.\n\n"
     "Args:\n"
     "    select (str | Iterable[str] | None): only these rules (codes such as 'E201' or rule names)\n"
     "    ignore (str | Iterable[str] | None): all rules but these\n"
     "    fragment (bool | None): check a library fragment: no required-object findings; None\n"
     "        (the default) checks a model without a Version object as a fragment\n\n"
     "Returns:\n"
     "    list[Diagnostic]: the findings, in the order of the model\n"},
    {"objects_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_objects_of)),
     METH_FASTCALL | METH_KEYWORDS,
     "objects_of($self, /, class_name)\n--\n\n"
     "The objects of a class, like model[class_name], but a class the schema does not\n"
     "know raises KeyError naming the closest classes instead of giving an empty tuple.\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: the objects, in class order\n"},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_open)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "open($type, /, source, schema=None, encoding=None, *, keep_layout=False)\n--\n\n"
     "A model from an IDF file, its schema found by the version it states\n\n"
     "Without a schema, the registry's schema whose major.minor matches the model's\n"
     "Version object is used (see quarvel.idd.register and QUARVEL_IDD_PATH), loaded once\n"
     "per process; a model without a Version object gets the newest known schema.\n\n"
     "Args:\n"
     "    source (str | PathLike | file): the IDF file, or an open binary file\n"
     "    schema (IDD | str | PathLike | None): the schema, or its path; wins over the registry\n"
     "    encoding (str | None): the file's encoding (default: UTF-8, else Windows-1252)\n"
     "    keep_layout (bool): keep the file's text, so that format and save with\n"
     "        layout=\"original\" write it back with only the edits changed\n\n"
     "Returns:\n"
     "    IDF: the model\n"},
    {"diff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_diff)), METH_FASTCALL | METH_KEYWORDS,
     "diff($self, /, other, rel_tol=1e-09)\n--\n\n"
     "What changed from this model to another\n\n"
     "Objects of a named class match by class and name (any letter case); other\n"
     "objects by equal content, then by their order within the class. Numbers compare\n"
     "within rel_tol, choices in any letter case; a blank equals a missing field.\n\n"
     "Args:\n"
     "    other (IDF): the model to compare with\n"
     "    rel_tol (float): relative tolerance for numbers\n\n"
     "Returns:\n"
     "    list[Change]: objects removed, objects added and fields changed, by class\n"},
    {"to_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_to_records)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_records($self, /, class_name)\n--\n\n"
     "The objects of a class as dicts keyed by field name, with converted values\n\n"
     "The keys are the fields the class lists and the numbered fields of its repeating\n"
     "group as far as the longest object has them; a field an object lacks is None.\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    list[dict[str, str | int | float | None]]: one dict per object, in class order\n"},
    {"to_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_to_frame)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_frame($self, /, class_name)\n--\n\n"
     "The objects of a class as a pandas DataFrame (needs the pandas extra)\n\n"
     "One row per object, one column per field; a named class is indexed by name.\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    pandas.DataFrame: the table\n"},
    {"to_epjson", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_to_epjson)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_epjson($self, /, mapping)\n--\n\n"
     "The model as an epJSON document (a dict ready for json.dump)\n\n"
     "Args:\n"
     "    mapping (quarvel.epjson.Mapping): property names and types, from the engine's JSON schema\n\n"
     "Returns:\n"
     "    dict: classes in schema order, objects in model order, fields in IDD order\n"},
    {"from_epjson", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_from_epjson)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_epjson($type, /, idd, source, mapping)\n--\n\n"
     "A model from an epJSON document\n\n"
     "Args:\n"
     "    idd (IDD): IDD data structure\n"
     "    source (dict | str | PathLike | file): the document, a path to it, or an open file\n"
     "    mapping (quarvel.epjson.Mapping): property names and types, from the engine's JSON schema\n\n"
     "Returns:\n"
     "    IDF: the model\n"},
    {"summary", model_summary, METH_NOARGS,
     "summary($self)\n--\n\n"
     "A short description of the model: the schema version, the number of objects and\n"
     "the classes with their counts, in schema order (repr gives the whole text)."},
    {"_repr_html_", model_repr_html, METH_NOARGS, "_repr_html_($self)\n--\n\nThe summary as an HTML table, for notebooks."},
    {"_repr_pretty_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_repr_pretty)), METH_FASTCALL,
     "_repr_pretty_($self, printer, cycle, /)\n--\n\nA short display for IPython: the summary, not the whole text."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kModelGetSet[] = {
    {"header_comments", model_get_header_comments, model_set_header_comments,
     "The comment lines at the top of the file, each the text after its '!'; they stay at the top\n"
     "however the objects are ordered. Set a list of str to change them.",
     nullptr},
    {"trailing_comments", model_get_trailing_comments, model_set_trailing_comments,
     "The comment lines after the last object, each the text after its '!'.", nullptr},
    {"comment_count", model_get_comment_count, nullptr,
     "How many comment lines the model keeps: its own and its objects'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kObjectMethods[] = {
    {"rename", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_rename)),
     METH_FASTCALL | METH_KEYWORDS,
     "rename($self, /, new_name, outputs=False)\n--\n\n"
     "Rename the object and every field of its model that refers to it by name\n\n"
     "One edit: on failure nothing changes. A name that another object declares in\n"
     "the same reference lists is refused. Fields whose value another object of the\n"
     "same lists also declares are left alone: they may refer to that one.\n\n"
     "Args:\n"
     "    new_name (str): the new name\n"
     "    outputs (bool): also rewrite the output requests that name the object as text: an\n"
     "        Output:Variable's key, and for a zone the ':Zone:NAME' end of a meter's name\n\n"
     "Returns:\n"
     "    int: the number of referring fields rewritten\n"},
    {"_repr_html_", object_repr_html, METH_NOARGS,
     "_repr_html_($self)\n--\n\nThe fields as an HTML table, for notebooks."},
    {"field_comment", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_field_comment)),
     METH_FASTCALL | METH_KEYWORDS,
     "field_comment($self, /, key)\n--\n\n"
     "The comment after a field's value on its line (the text after its '!'), or None.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n"},
    {"set_field_comment", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_set_field_comment)),
     METH_FASTCALL | METH_KEYWORDS,
     "set_field_comment($self, /, key, text)\n--\n\n"
     "Set the comment written after a field's value (the text after its '!'); None removes it.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n"
     "    text (str | None): one line of text\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kObjectGetSet[] = {
    {"comments", object_get_comments, object_set_comments,
     "The comment lines above the object, each the text after its '!'; set a list of str to change them.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kTupleMethods[] = {
    {"_repr_html_", tuple_repr_html, METH_NOARGS, "The objects as an HTML table, for notebooks."},
    {"_repr_pretty_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tuple_repr_pretty)), METH_FASTCALL,
     "_repr_pretty_($self, printer, cycle, /)\n--\n\nA short display for IPython: the class, the count, the first names."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kFunctions[] = {
    {"_epjson_members", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(epjson_members)), METH_FASTCALL,
     "_epjson_members(plan, objects, /)\n--\n\nFor quarvel.epjson: a class's objects as the JSON object of its members."},
    {"_epjson_line", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(epjson_line)), METH_FASTCALL,
     "_epjson_line(plan, key, body, where, /)\n--\n\nFor quarvel.epjson: a JSON object as IDF text."},
    {"_connection_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(connection_scan)), METH_FASTCALL,
     "_connection_scan(model, zone_fields, parent_rules, /)\n--\n\nFor quarvel.hvac: (zone connections, child sets).\n"
     "A zone connection is (zone, equipment list, inlet nodes, exhaust nodes, zone node, return nodes); a child\n"
     "set (parent class, parent name, class, name, first own inlet or None, first own outlet or None)."},
    {"_branch_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(branch_scan)), METH_FASTCALL,
     "_branch_scan(model, loop_classes, /)\n--\n\nFor quarvel.hvac: (loops, branches, faults). Each loop class is (class name,\n"
     "then the supply and the demand side's branch list, connector list, inlet and outlet node field indexes).\n"
     "A loop is (object, name, supply, demand); a side (branch list, connector list, inlet nodes, outlet nodes,\n"
     "branch names, (class, name) connectors). A branch is (object, name, components, whether any has a\n"
     "fault or a taken outlet); a component (class,\n"
     "name, inlet, outlet, field index, faults, own inlets, own outlets, (class, name, branch) of the\n"
     "component that has its outlet first or None). Faults: 1 missing, 2 inlet and 4 outlet not its own,\n"
     "8 inlet not the outlet before it; own nodes are given only with a 2 or 4. The faults of the branch\n"
     "lists and loop sides are tuples led by their kind (twice, unlisted, inlet, outlet, connector)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

TypeExtras model_extras() { return TypeExtras{kModelMethods, kModelGetSet}; }
TypeExtras object_extras() { return TypeExtras{kObjectMethods, kObjectGetSet}; }
TypeExtras tuple_extras() { return TypeExtras{kTupleMethods, nullptr}; }
const PyMethodDef* module_functions() { return kFunctions; }

int add_types(PyObject* module) {
  PyTypeObject* plan = create_epjson_plan_type(module);
  if (!plan) return -1;
  return PyModule_Add(module, "_EpJSONPlan", reinterpret_cast<PyObject*>(plan));
}

}  // namespace quarvel::features
