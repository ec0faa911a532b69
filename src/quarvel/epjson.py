"""The engine's JSON input form (epJSON), both ways.

An epJSON document holds one member per class, each holding one member per object:
keyed by the object's name when the class's first field is its name, else
``"<Class> <n>"`` numbered from 1 within the class. Fields are named properties;
repeating groups are arrays of objects. The names of the properties are not in the
IDD; they come from the JSON schema the engine ships beside it, read once into a
``Mapping``::

    mapping = Mapping.from_file("schema.epJSON")
    document = model.to_epjson(mapping)          # a dict, ready for json.dump
    model = IDF.from_epjson(idd, document, mapping)

Blank fields are left out. Numbers become JSON numbers, except the words ``Autosize``
and ``Autocalculate``, spelled as the schema spells them; a choice takes the schema's
spelling of the matching key; other text stays as written. Back in IDF text, a number
is written as the shortest text that reads as the same number.
"""

from __future__ import annotations

import gc
import hashlib
import json
import os
import zlib
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quarvel.idd import IDD
    from quarvel.idf import IDF

_MAPPINGS: dict[str, Mapping] = {}  # by digest: unpickling in a process shares one
_MOST_MAPPINGS = 8


class EpJSONError(ValueError):
    """An epJSON document (or a model) that cannot be converted; ``path`` names the place,
    as in ``Zone["Office"].x_origin``."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(f"{path}: {message}" if path else message)
        self.path = path


@dataclass(frozen=True, slots=True)
class Kind:
    """How one property's value is written: a number (an integer when ``integer``), with
    the words it also takes (upper-cased to their spelling); or text, with the keys of
    a choice (upper-cased to their spelling)."""

    numeric: bool = False
    integer: bool = False
    words: dict[str, str] | None = None
    keys: dict[str, str] | None = None
    any_text: bool = False  # a number or any text (compact schedules' fields)


_TEXT = Kind()


def _kind_of(definition: dict[str, Any]) -> Kind:
    """The kind of a property from its JSON-schema definition."""
    options = definition.get("anyOf")
    if options:
        numeric = any(o.get("type") in ("number", "integer") for o in options)
        integer = any(o.get("type") == "integer" for o in options)
        words = {w.upper(): w for o in options for w in o.get("enum", ()) if isinstance(w, str) and w}
        any_text = any(o.get("type") == "string" and "enum" not in o for o in options)
        if numeric:
            return Kind(True, integer, words or None, any_text=any_text)
        return Kind(keys=words or None)
    kind = definition.get("type")
    if kind in ("number", "integer"):
        return Kind(True, kind == "integer")
    keys = definition.get("enum")
    if keys:
        return Kind(keys={k.upper(): k for k in keys if isinstance(k, str) and k})
    return _TEXT


@dataclass(frozen=True, slots=True)
class ClassMap:
    """One class: its property names in IDD order and how each is written, and for a
    repeating class the array property and the names inside each of its items."""

    name: str
    named: bool
    fields: tuple[str, ...]
    kinds: tuple[Kind, ...]
    index: dict[str, int]
    extension: str | None = None
    extensibles: tuple[str, ...] = ()
    extensible_kinds: tuple[Kind, ...] = ()
    extensible_index: dict[str, int] | None = None
    # What the native conversion reads (names, kinds as bit sets, words and keys), made once.
    plan: tuple[Any, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "plan", (
            self.named, self.fields, _bits(self.kinds), tuple(k.words for k in self.kinds),
            tuple(k.keys for k in self.kinds), self.extension, self.extensibles, _bits(self.extensible_kinds),
            tuple(k.words for k in self.extensible_kinds), tuple(k.keys for k in self.extensible_kinds),
            self.index, self.extensible_index or {}))


def _bits(kinds: tuple[Kind, ...]) -> tuple[int, ...]:
    return tuple((1 if k.numeric else 0) | (2 if k.integer else 0) | (4 if k.any_text else 0) for k in kinds)


class Mapping:
    """The property names and types of every class, read from the engine's JSON schema."""

    def __init__(self, schema: dict[str, Any], source: bytes | None = None) -> None:
        classes = schema.get("properties")
        if not isinstance(classes, dict):
            raise ValueError("not an epJSON schema: it has no 'properties'")
        self._schema: dict[str, Any] = classes
        self._source = source
        self._digest: str | None = None
        self._classes: dict[str, ClassMap] = {}
        self.class_names: tuple[str, ...] = tuple(self._schema)
        self.class_order = {name.upper(): i for i, name in enumerate(self.class_names)}

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Mapping:
        with open(path, "rb") as stream:
            source = stream.read()
        try:
            schema = json.loads(source)
        except ValueError as error:
            raise ValueError(f"{os.fspath(path)}: not JSON: {error}") from None
        return cls(schema, source)

    @property
    def digest(self) -> str:
        """The SHA-256 of the schema's text: equal digests, equal mappings."""
        if self._digest is None:
            self._digest = hashlib.sha256(self._text()).hexdigest()
        return self._digest

    def _text(self) -> bytes:
        if self._source is None:
            self._source = json.dumps({"properties": self._schema}, sort_keys=True).encode()
        return self._source

    def __reduce__(self) -> tuple[Any, ...]:
        _remember(self)
        return (_unpickle_mapping, (self.digest, zlib.compress(self._text(), 6)))

    def __repr__(self) -> str:
        return f"<Mapping: {len(self.class_names)} classes>"

    def get(self, class_name: str) -> ClassMap | None:
        """The class's map (any letter case), or None for a class the schema lacks."""
        at = self.class_order.get(class_name.upper())
        if at is None:
            return None
        name = self.class_names[at]
        found = self._classes.get(name)
        if found is None:
            found = self._classes[name] = self._compile(name)
        return found

    def _compile(self, name: str) -> ClassMap:
        definition: dict[str, Any] = self._schema[name]
        legacy: dict[str, Any] = definition.get("legacy_idd", {})
        patterns: dict[str, Any] = definition.get("patternProperties", {})
        first: dict[str, Any] = next(iter(patterns.values()), {})
        body: dict[str, Any] = first.get("properties", {})
        fields = tuple(legacy.get("fields", ()))
        named = "name" in definition and bool(fields) and fields[0] == "name"
        kinds = tuple(_TEXT if f == "name" and named else _kind_of(body.get(f, {})) for f in fields)
        extension = legacy.get("extension")
        if not extension:
            return ClassMap(name, named, fields, kinds, {f: i for i, f in enumerate(fields)})
        items = body.get(extension, {}).get("items", {}).get("properties", {})
        extensibles = tuple(legacy.get("extensibles", ()))
        return ClassMap(name, named, fields, kinds, {f: i for i, f in enumerate(fields)}, extension, extensibles,
                        tuple(_kind_of(items.get(f, {})) for f in extensibles),
                        {f: i for i, f in enumerate(extensibles)})


def _remember(mapping: Mapping) -> None:
    if len(_MAPPINGS) >= _MOST_MAPPINGS and mapping.digest not in _MAPPINGS:
        _MAPPINGS.pop(next(iter(_MAPPINGS)))
    _MAPPINGS[mapping.digest] = mapping


def _unpickle_mapping(digest: str, packed: bytes) -> Mapping:
    known = _MAPPINGS.get(digest)
    if known is not None:
        return known
    source = zlib.decompress(packed)
    if hashlib.sha256(source).hexdigest() != digest:
        raise ValueError("the epJSON schema text does not match its digest")
    mapping = Mapping(json.loads(source), source)
    _remember(mapping)
    return mapping


# ---- IDF to epJSON ------------------------------------------------------------------------


def to_epjson(model: IDF, mapping: Mapping) -> dict[str, Any]:
    """The model as an epJSON document: classes in schema order, objects in model order,
    fields in IDD order."""
    # A document is mostly small dicts (one per repeating group: 8760 for a year's
    # hourly schedule) that hold no cycles; the cyclic collector, which would walk the
    # young ones at every few thousand made, waits until the document is built.
    paused = gc.isenabled()
    gc.disable()
    try:
        return _to_epjson(model, mapping)
    finally:
        if paused:
            gc.enable()


def _to_epjson(model: IDF, mapping: Mapping) -> dict[str, Any]:
    from quarvel.idf import _epjson_body

    order = mapping.class_order
    document: dict[str, Any] = {}
    for class_name in sorted(model.get_class_names(), key=lambda n: order.get(n.upper(), len(order))):
        cmap = mapping.get(class_name)
        if cmap is None:
            raise EpJSONError(class_name, "the epJSON schema has no such class")
        members: dict[str, Any] = {}
        for number, obj in enumerate(model[class_name], start=1):
            if cmap.named:
                key = obj[0] if len(obj) else ""
                key = "" if key is None else str(key)
                if not key:
                    raise EpJSONError(f"{cmap.name} #{number}", "an object of this class needs a name: epJSON keys "
                                                                 "objects by name")
                if key in members:
                    raise EpJSONError(f'{cmap.name}["{key}"]', "two objects of this class have this name")
            else:
                key = f"{cmap.name} {number}"
            if cmap.extension is None and len(obj) > len(cmap.fields):
                raise EpJSONError(f'{cmap.name}["{key}"]',
                                  f"it has {len(obj)} values; the class has {len(cmap.fields)} fields")
            members[key] = _epjson_body(obj, cmap.plan)
        document[cmap.name] = members
    return document


def dump(model: IDF, mapping: Mapping, fp: IO[str], indent: int | None = 4) -> None:
    """Writes the model's epJSON document to a text file object."""
    json.dump(to_epjson(model, mapping), fp, indent=indent)
    fp.write("\n")


def dumps(model: IDF, mapping: Mapping, indent: int | None = 4) -> str:
    return json.dumps(to_epjson(model, mapping), indent=indent) + "\n"


# ---- epJSON to IDF ------------------------------------------------------------------------


class _Members(dict):  # type: ignore[type-arg]
    """A JSON object as read, with the keys it held more than once (JSON allows them;
    a dict keeps only the last)."""

    duplicates: list[str]


def _keep_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    members = _Members()
    members.duplicates = []
    for key, value in pairs:
        if key in members:
            members.duplicates.append(key)
        members[key] = value
    return members


def _refuse_duplicates(members: Any, where: str, what: str) -> None:
    duplicates = getattr(members, "duplicates", None)
    if duplicates:
        raise EpJSONError(f'{where}["{duplicates[0]}"]' if what == "name" else f"{where}.{duplicates[0]}",
                          f"the {what} appears twice")


def _idf_text_of(document: Any, mapping: Mapping) -> str:
    """The document as IDF text, one line per object, classes and objects in its order."""
    from quarvel.idf import _epjson_line

    if not isinstance(document, dict):
        raise EpJSONError("", "an epJSON document is a JSON object of classes")
    _refuse_duplicates(document, "", "class")
    lines = []
    for class_name, objects in document.items():
        cmap = mapping.get(class_name)
        if cmap is None:
            raise EpJSONError(class_name, "the epJSON schema has no such class")
        if not isinstance(objects, dict):
            raise EpJSONError(class_name, "a class's objects belong in a JSON object keyed by name")
        _refuse_duplicates(objects, class_name, "name")
        for key, body in objects.items():
            where = f'{class_name}["{key}"]'
            if isinstance(body, dict):
                _refuse_duplicates(body, where, "field")
            lines.append(_epjson_line(cmap.name, key, body, cmap.plan, where))
    return "\n".join(lines) + "\n"


def _document(source: Any) -> Any:
    """A document from a dict, a path, or a text or binary file object."""
    if isinstance(source, dict):
        return source
    if hasattr(source, "read"):
        data = source.read()
    else:
        with open(source, "rb") as stream:
            data = stream.read()
    try:
        return json.loads(data, object_pairs_hook=_keep_duplicates)
    except ValueError as error:
        raise EpJSONError("", f"not JSON: {error}") from None


def from_epjson(cls: type[IDF], idd: IDD, source: Any, mapping: Mapping) -> IDF:
    """A model from an epJSON document: a dict, a path, or a file object."""
    return cls.from_string(idd, _idf_text_of(_document(source), mapping))


def load(fp: Any, idd: IDD, mapping: Mapping) -> IDF:
    """A model from an epJSON file object or path."""
    from quarvel.idf import IDF

    return from_epjson(IDF, idd, fp, mapping)
