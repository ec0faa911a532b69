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
        self.message = message

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.path, self.message))


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


def _kind_of(definition: Any, where: str) -> Kind:
    """The kind of a property from its JSON-schema definition."""
    if not isinstance(definition, dict):
        raise _LayoutError(where, "a property's definition is not a JSON object")
    options = definition.get("anyOf")
    if options:
        if not isinstance(options, list) or not all(isinstance(o, dict) for o in options):
            raise _LayoutError(where, "'anyOf' is not a list of JSON objects")
        enums = [o.get("enum", ()) for o in options]
        if not all(isinstance(e, (list, tuple)) for e in enums):
            raise _LayoutError(where, "an 'enum' is not a list")
        numeric = any(o.get("type") in ("number", "integer") for o in options)
        integer = any(o.get("type") == "integer" for o in options)
        words = {w.upper(): w for e in enums for w in e if isinstance(w, str) and w}
        any_text = any(o.get("type") == "string" and "enum" not in o for o in options)
        if numeric:
            return Kind(True, integer, words or None, any_text=any_text)
        return Kind(keys=words or None)
    kind = definition.get("type")
    if kind in ("number", "integer"):
        return Kind(True, kind == "integer")
    keys = definition.get("enum")
    if keys:
        if not isinstance(keys, list):
            raise _LayoutError(where, "'enum' is not a list")
        return Kind(keys={k.upper(): k for k in keys if isinstance(k, str) and k})
    return _TEXT


def _LayoutError(where: str, message: str) -> EpJSONError:  # noqa: N802 (raised like a class)
    """A class of an epJSON schema that is not laid out as the engine's."""
    return EpJSONError("", f"the epJSON schema's {where} is not laid out as the engine's: {message}")


def _names(value: Any, where: str, what: str) -> tuple[str, ...]:
    """A list of distinct property names, as legacy_idd lists fields."""
    if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
        raise _LayoutError(where, f"legacy_idd.{what} is not a list of names")
    if len(set(value)) != len(value):
        twice = next(v for v in value if value.count(v) > 1)
        raise _LayoutError(where, f"legacy_idd.{what} lists {twice!r} twice")
    return tuple(value)


def _member(container: dict[str, Any], key: str, where: str) -> dict[str, Any]:
    value = container.get(key, {})
    if not isinstance(value, dict):
        raise _LayoutError(where, f"'{key}' is not a JSON object")
    return value


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
    _plan: Any = field(default=None, init=False, repr=False, compare=False)

    @property
    def plan(self) -> Any:
        """What the native conversion reads (names, kinds as bit sets, words and keys),
        made once: a quarvel.idf._EpJSONPlan."""
        if self._plan is None:
            from quarvel.idf import _EpJSONPlan

            object.__setattr__(self, "_plan", _EpJSONPlan(
                class_name=self.name, named=self.named, fields=self.fields, kinds=_bits(self.kinds),
                words=tuple(k.words for k in self.kinds), keys=tuple(k.keys for k in self.kinds),
                extension=self.extension, group_fields=self.extensibles, group_kinds=_bits(self.extensible_kinds),
                group_words=tuple(k.words for k in self.extensible_kinds),
                group_keys=tuple(k.keys for k in self.extensible_kinds), error=EpJSONError))
        return self._plan


def _bits(kinds: tuple[Kind, ...]) -> tuple[int, ...]:
    return tuple((1 if k.numeric else 0) | (2 if k.integer else 0) | (4 if k.any_text else 0) for k in kinds)


class Mapping:
    """The property names and types of every class, read from the engine's JSON schema."""

    def __init__(self, schema: dict[str, Any], source: bytes | None = None) -> None:
        classes = schema.get("properties") if isinstance(schema, dict) else None
        if not isinstance(classes, dict):
            raise ValueError("not an epJSON schema: it has no 'properties'")
        self._schema: dict[str, Any] = classes
        self._source = source
        self._digest: str | None = None
        self._classes: dict[str, ClassMap] = {}
        self._agrees: set[tuple[str, str]] = set()  # (schema digest, class) checked against an IDD
        self.class_names: tuple[str, ...] = tuple(self._schema)
        self.class_order = {name.upper(): i for i, name in enumerate(self.class_names)}

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Mapping:
        with open(path, "rb") as stream:
            source = stream.read()
        try:
            schema = json.loads(source)
        except (ValueError, RecursionError) as error:
            raise ValueError(f"{os.fspath(path)}: not JSON: {error}") from None
        try:
            return cls(schema, source)
        except ValueError as error:
            raise ValueError(f"{os.fspath(path)}: {error}") from None

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
        definition = self._schema[name]
        if not isinstance(definition, dict):
            raise _LayoutError(name, "its definition is not a JSON object")
        legacy = _member(definition, "legacy_idd", name)
        patterns = _member(definition, "patternProperties", name)
        first: Any = next(iter(patterns.values()), {})
        if not isinstance(first, dict):
            raise _LayoutError(name, "its object pattern is not a JSON object")
        body = _member(first, "properties", name)
        fields = _names(legacy.get("fields", []), name, "fields")
        named = "name" in definition and bool(fields) and fields[0] == "name"
        kinds = tuple(_TEXT if f == "name" and named else _kind_of(body.get(f, {}), f"{name}.{f}") for f in fields)
        extension = legacy.get("extension")
        if not extension:
            return ClassMap(name, named, fields, kinds, {f: i for i, f in enumerate(fields)})
        if not isinstance(extension, str):
            raise _LayoutError(name, "legacy_idd.extension is not a name")
        group = _member(body, extension, name)
        items = _member(_member(group, "items", name), "properties", name)
        extensibles = _names(legacy.get("extensibles", []), name, "extensibles")
        return ClassMap(name, named, fields, kinds, {f: i for i, f in enumerate(fields)}, extension, extensibles,
                        tuple(_kind_of(items.get(f, {}), f"{name}.{extension}.{f}") for f in extensibles),
                        {f: i for i, f in enumerate(extensibles)})

    def checked(self, class_name: str, idd: IDD) -> ClassMap:
        """The class's map, once it is known to agree with the IDD's class: the same fields,
        the same repeating group. A JSON schema of another release than the IDD would
        otherwise put values in the wrong fields."""
        cmap = self.get(class_name)
        if cmap is None:
            raise EpJSONError(class_name, "the epJSON schema has no such class")
        key = (idd.digest or str(id(idd)), cmap.name)
        if key in self._agrees or not cmap.fields:
            return cmap  # a class the schema lists no fields for converts no object with values
        info = idd.class_info(cmap.name)
        group = info["extensible"]
        if group:
            expected, found = (group["begin_index"], group["size"]), (len(cmap.fields), len(cmap.extensibles))
            shown = f"{found[0]} fields and a group of {found[1]}", f"{expected[0]} and a group of {expected[1]}"
        else:
            expected, found = (len(info["fields"]), 0), (len(cmap.fields), len(cmap.extensibles))
            shown = f"{found[0]} field{'s' if found[0] != 1 else ''}", f"{expected[0]}"
        if found != expected:
            raise EpJSONError(cmap.name, f"the epJSON schema lists {shown[0]} for this class and the IDD {shown[1]}: "
                                         f"the two schemas are not of one release")
        self._agrees.add(key)
        return cmap


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
    from quarvel.idf import _epjson_members

    idd = model.idd
    document: dict[str, Any] = {}
    if idd is None:  # a model without a schema holds no object
        return document
    order = mapping.class_order
    for class_name in sorted(model.get_class_names(), key=lambda n: order.get(n.upper(), len(order))):
        cmap = mapping.checked(class_name, idd)
        document[cmap.name] = _epjson_members(cmap.plan, model[class_name])
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
        twice = duplicates[0]
        path = f'{where}["{twice}"]' if what == "name" else f"{where}.{twice}" if where else twice
        raise EpJSONError(path, f"the {what} appears twice")


def _idf_text_of(document: Any, idd: IDD, mapping: Mapping) -> str:
    """The document as IDF text, one line per object, classes and objects in its order."""
    from quarvel.idf import _epjson_line

    if not isinstance(document, dict):
        raise EpJSONError("", "an epJSON document is a JSON object of classes")
    _refuse_duplicates(document, "", "class")
    lines = []
    seen: set[str] = set()
    for class_name, objects in document.items():
        if not isinstance(class_name, str):
            raise EpJSONError(repr(class_name), "a class name is text")
        cmap = mapping.checked(class_name, idd)
        if cmap.name in seen:
            raise EpJSONError(class_name, f"the class appears twice (as {cmap.name} too)")
        seen.add(cmap.name)
        if not isinstance(objects, dict):
            raise EpJSONError(class_name, "a class's objects belong in a JSON object keyed by name")
        _refuse_duplicates(objects, class_name, "name")
        for key, body in objects.items():
            if not isinstance(key, str):
                raise EpJSONError(f"{class_name}[{key!r}]", "an object's name is text")
            where = f'{class_name}["{key}"]' if _encodable(key) else f"{class_name}[{key!r}]"
            if isinstance(body, dict):
                _refuse_duplicates(body, where, "field")
            lines.append(_epjson_line(cmap.plan, key, body, where))
    return "\n".join(lines) + "\n"


def _encodable(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


def _document(source: Any) -> Any:
    """A document from a dict, a path, or a text or binary file object."""
    if not isinstance(source, (str, bytes, os.PathLike)) and not hasattr(source, "read"):
        return source  # a document already read (anything but a dict is refused with its path)
    if hasattr(source, "read"):
        data = source.read()
    else:
        with open(source, "rb") as stream:
            data = stream.read()
    try:
        return json.loads(data, object_pairs_hook=_keep_duplicates)
    except RecursionError:
        raise EpJSONError("", "not JSON this reader can take: it is nested too deeply") from None
    except ValueError as error:
        raise EpJSONError("", f"not JSON: {error}") from None


def from_epjson(cls: type[IDF], idd: IDD, source: Any, mapping: Mapping) -> IDF:
    """A model from an epJSON document: a dict, a path, or a file object."""
    return cls.from_string(idd, _idf_text_of(_document(source), idd, mapping))


def load(fp: Any, idd: IDD, mapping: Mapping) -> IDF:
    """A model from an epJSON file object or path."""
    from quarvel.idf import IDF

    return from_epjson(IDF, idd, fp, mapping)
