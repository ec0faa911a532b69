"""Members of the facade ``IDF`` and its ``IDFObjectsProxy`` in the older vocabulary:
opening from text, copying and popping objects, surfaces by kind, text and saving."""

from __future__ import annotations

import io
import os
import re
import weakref
from typing import Any

from quarvel._vocabulary import _native
from quarvel._vocabulary._native import core_of, count_error, wrap

OUTPUT_TYPES = ("standard", "nocomment", "compressed")
LINE_ENDINGS = {"windows": "\r\n", "unix": "\n"}

# What the facade knows beside its core model (it has no instance dictionary): the
# file it was read from and its output type, kept as long as that core model lives.
_file_names: weakref.WeakKeyDictionary[Any, str | None] = weakref.WeakKeyDictionary()
_output_types: weakref.WeakKeyDictionary[Any, str] = weakref.WeakKeyDictionary()


class _ClassOrInstance:
    """A method that works on an instance (it reads into that model) and on the class
    (it makes a new model): ``IDF.new()`` and ``model.new()`` alike."""

    def __init__(self, function: Any) -> None:
        self.function = function
        self.__doc__ = function.__doc__
        self.__name__ = function.__name__
        self.__wrapped__ = function

    def __get__(self, instance: Any, owner: type) -> Any:
        target = owner if instance is None else instance

        def bound(*args: Any, **kwargs: Any) -> Any:
            return self.function(target, *args, **kwargs)

        bound.__doc__, bound.__name__ = self.__doc__, self.__name__
        return bound


class _SchemaFileName:
    """``IDF.iddname``: the schema file set with setiddname, or None before one is set."""

    def __get__(self, instance: Any, owner: type) -> str | None:
        return _native.olvane.shared_iddname or None


def _source_name(source: Any) -> str | None:
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(source)
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else None


_native_init: Any = None


def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
    """Open a model: a file name, an open file or a text buffer (io.StringIO), read
    against the schema set with IDF.setiddname(). Further arguments are ignored."""
    _native_init(self, *args, **kwargs)
    source = args[0] if args else kwargs.get("idfname")
    _file_names[core_of(self)] = _source_name(source)


def _reopen(target: Any, source: Any, file_name: str | None) -> Any:
    if isinstance(target, type):
        model = target(source)
    else:
        before = _native.olvane._core_of(target)  # None for a facade made without a model
        kept = _output_types.get(before) if before is not None else None
        target.__init__(source)
        model = target
        if kept:
            _output_types[core_of(model)] = kept
    _file_names[core_of(model)] = file_name
    return model


def new(target: Any, fname: str | None = None) -> Any:
    """An empty model: on the class a new one, on a model its content replaced by
    nothing. `fname` becomes its idfname (where save() without a name would go)."""
    return _reopen(target, io.StringIO(""), os.fsdecode(fname) if fname is not None else None)


def initread(target: Any, idfname: Any) -> Any:
    """Read a model file: on the class a new model, on a model its content replaced."""
    return _reopen(target, idfname, _source_name(idfname))


def initreadtxt(target: Any, idftxt: str) -> Any:
    """Read a model from IDF text: on the class a new model, on a model its content
    replaced. It has no idfname."""
    if not isinstance(idftxt, str):
        raise TypeError(f"initreadtxt() takes the IDF text as a str, not {type(idftxt).__name__}")
    return _reopen(target, io.StringIO(idftxt), None)


def _get_idfname(self: Any) -> str | None:
    """The file the model was read from (None for text and new models); settable."""
    return _file_names.get(core_of(self))


def _set_idfname(self: Any, value: Any) -> None:
    _file_names[core_of(self)] = None if value is None else os.fsdecode(value)


def _get_outputtype(self: Any) -> str:
    """How idfstr, printidf and save write the model: "standard" (the library's layout
    with a `!-` comment naming each field), "nocomment" (the same without those
    comments) or "compressed" (one object per line)."""
    return _output_types.get(core_of(self), "standard")


def _set_outputtype(self: Any, value: str) -> None:
    if value not in OUTPUT_TYPES:
        raise ValueError(f"outputtype must be one of {', '.join(map(repr, OUTPUT_TYPES))}, not {value!r}")
    _output_types[core_of(self)] = value


def copyidfobject(self: Any, idfobject: Any) -> Any:
    """Add a copy of an object, of this model or another one, with its values and
    comments; returns the copy."""
    source = core_of(idfobject)
    copy = core_of(self).add_object(source.class_name, initial_values=source.get_values(), default_values=False)
    if source.comments:
        copy.comments = source.comments
    return wrap(copy)


def popidfobject(self: Any, key: str, index: int) -> Any:
    """Remove the object at `index` of the class `key` (as idfobjects[key] lists it;
    negative indexes count from the end) and return it, detached with its values."""
    objects = core_of(self).objects_of(key)
    obj = objects[index]
    core_of(self).remove_object(obj)
    return wrap(obj)


# ---- surfaces by kind ----


def _objects(model: Any, class_names: Any) -> list[Any]:
    known = {name.upper() for name in model.get_class_names()}
    return [obj for name in class_names if name.upper() in known for obj in model[name]]


def _surface_type(obj: Any) -> str:
    """The kind a surface object stands for, as its Surface Type field words it."""
    from quarvel.geometry.surfaces import DETAILED_BASE, SIMPLE_BASE, SIMPLE_SUB

    class_name = obj.class_name
    if class_name in ("BuildingSurface:Detailed", "FenestrationSurface:Detailed"):
        return str(obj["Surface Type"] or "")
    if class_name == "RoofCeiling:Detailed":
        return "Roof" if str(obj["Outside Boundary Condition"] or "").lower() == "outdoors" else "Ceiling"
    kind = DETAILED_BASE.get(class_name) or (SIMPLE_BASE.get(class_name) or (None,))[0]
    return kind or SIMPLE_SUB.get(class_name, "").replace("glass door", "GlassDoor")


def _matching(self: Any, class_names: Any, surface_type: str | None, by_class: bool = False) -> list[Any]:
    found = _objects(core_of(self), class_names)
    if surface_type is not None:
        wanted = str(surface_type).lower().replace(" ", "")
        found = [obj for obj in found
                 if (obj.class_name if by_class else _surface_type(obj)).lower().replace(" ", "") == wanted]
    return [wrap(obj) for obj in found]


def getsurfaces(self: Any, surface_type: str | None = None) -> list[Any]:
    """The base surfaces (walls, roofs, ceilings, floors) of every detailed and simple
    surface class; with `surface_type` ("wall", "roof", "ceiling", "floor", any letter
    case) only those of that kind: the Surface Type field where the class has one, else
    the kind the class stands for (a RoofCeiling:Detailed facing outdoors is a roof)."""
    from quarvel.geometry.surfaces import DETAILED_BASE, SIMPLE_BASE

    return _matching(self, (*DETAILED_BASE, *SIMPLE_BASE), surface_type)


def getsubsurfaces(self: Any, surface_type: str | None = None) -> list[Any]:
    """The windows, doors and glass doors; with `surface_type` ("window", "door",
    "glassdoor", ...) only those whose Surface Type (or class) is that."""
    from quarvel.geometry.surfaces import SIMPLE_SUB

    return _matching(self, ("FenestrationSurface:Detailed", *SIMPLE_SUB), surface_type)


def getshadingsurfaces(self: Any, surface_type: str | None = None) -> list[Any]:
    """The shading surfaces (site, building and zone shading, overhangs and fins); with
    `surface_type` only those of that class (such as "Shading:Site:Detailed")."""
    from quarvel.geometry.surfaces import NOT_SUPPORTED, SHADING_DETAILED, SHADING_SIMPLE

    return _matching(self, (*SHADING_DETAILED, *SHADING_SIMPLE, *NOT_SUPPORTED),
                     surface_type, by_class=True)


# ---- text and saving ----

_FIELD_COMMENT = re.compile(r"[ \t]*!-[^\n]*")


def _text(self: Any) -> str:
    model = core_of(self)
    kind = _get_outputtype(self)
    if kind == "compressed":
        return model.format(compact=True)
    text = str(model)
    return _FIELD_COMMENT.sub("", text) if kind == "nocomment" else text


def idfstr(self: Any, *args: Any, **kwargs: Any) -> str:
    """String representation of the IDF."""
    if args or kwargs:
        raise count_error("idfstr", "exactly", 0, len(args) + len(kwargs))
    if _native.olvane._core_of(self) is None:
        return "None"
    return _text(self)


def printidf(self: Any, *args: Any, **kwargs: Any) -> None:
    """Print the IDF."""
    if args or kwargs:
        raise count_error("printidf", "exactly", 0, len(args) + len(kwargs))
    print(idfstr(self))


def _save_arguments(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[Any, str, str | None]:
    names = ("filename", "lineendings", "encoding")
    given = dict(zip(names, args))
    for key in names:
        if key in kwargs:
            given[key] = kwargs[key]
    if "filename" not in given and "idfname" in kwargs:
        given["filename"] = kwargs["idfname"]
    if "filename" not in given:
        raise count_error(name, "at least", 1, len(args))
    return given["filename"], str(given.get("lineendings", "default")), given.get("encoding")


def _write(self: Any, filename: Any, lineendings: str, encoding: str | None) -> None:
    from quarvel._files import write_atomic

    model = core_of(self)
    newline = LINE_ENDINGS.get(lineendings, os.linesep)
    if _get_outputtype(self) == "standard" and newline == "\n" and encoding is None:
        model.save(filename, field_size=25)
        return
    if _get_outputtype(self) == "standard":
        buffer = io.BytesIO()
        model.save(buffer, field_size=25)
        text = buffer.getvalue().decode("utf-8")
    else:
        text = _text(self) + "\n"
    write_atomic(filename, text.replace("\n", newline).encode(encoding or "utf-8"))


def save(self: Any, *args: Any, **kwargs: Any) -> None:
    """save(filename, lineendings="default", encoding=None)

    Save the model to `filename` in the library's layout with a value column of 25, as
    `outputtype` says. `lineendings` "windows" writes CRLF, "unix" LF, anything else the
    platform's; `encoding` defaults to UTF-8. Other arguments are ignored. The file is
    replaced whole or not at all. Comments of the file are not written: to keep them,
    load and save it with quarvel.idf.IDF and save(path, comments=True)."""
    _write(self, *_save_arguments("save", args, kwargs))


def saveas(self: Any, *args: Any, **kwargs: Any) -> None:
    """saveas(filename, lineendings="default", encoding=None)

    Save as save() does, and make `filename` the model's idfname."""
    filename, lineendings, encoding = _save_arguments("saveas", args, kwargs)
    self.save(filename, lineendings, encoding)
    _set_idfname(self, filename)


def savecopy(self: Any, *args: Any, **kwargs: Any) -> None:
    """savecopy(filename, lineendings="default", encoding=None)

    Save as save() does, leaving the model's idfname as it was."""
    _write(self, *_save_arguments("savecopy", args, kwargs))


# ---- the proxy as a mapping ----


def _proxy_model(proxy: Any) -> Any:
    parent = _native.olvane._core_of(proxy)
    if parent is None:
        raise AttributeError("IDFObjectsProxy serves no model")
    return core_of(parent)


def keys(self: Any) -> list[str]:
    """Every class of the model's schema, upper-cased, in schema order (classes that
    differ only in letter case once)."""
    model = _proxy_model(self)
    return list(dict.fromkeys(name.upper() for name in model.idd.class_names()))


def values(self: Any) -> list[list[Any]]:
    """The objects of every class, as keys() orders them."""
    return [self[key] for key in keys(self)]


def items(self: Any) -> list[tuple[str, list[Any]]]:
    """(class, objects) for every class, as keys() orders them."""
    return [(key, self[key]) for key in keys(self)]


def get(self: Any, key: str, default: Any = None) -> Any:
    """The objects of a class, or `default` when the schema has no such class."""
    model = _proxy_model(self)
    if not isinstance(key, str) or key.upper() not in {name.upper() for name in model.idd.class_names()}:
        return default
    return self[key]


def _install_init(facade_type: type) -> Any:
    global _native_init
    _native_init = facade_type.__dict__["__init__"]
    return __init__


MEMBERS: dict[str, Any] = {
    "iddname": _SchemaFileName(),
    "idfname": property(_get_idfname, _set_idfname),
    "outputtype": property(_get_outputtype, _set_outputtype),
    "new": _ClassOrInstance(new),
    "initread": _ClassOrInstance(initread),
    "initreadtxt": _ClassOrInstance(initreadtxt),
    "copyidfobject": copyidfobject,
    "popidfobject": popidfobject,
    "getsurfaces": getsurfaces,
    "getsubsurfaces": getsubsurfaces,
    "getshadingsurfaces": getshadingsurfaces,
    "idfstr": idfstr,
    "printidf": printidf,
    "save": save,
    "saveas": saveas,
    "savecopy": savecopy,
}
PROXY_MEMBERS: dict[str, Any] = {"keys": keys, "values": values, "items": items, "get": get}
