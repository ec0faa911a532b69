"""Schemas (IDD) for quarvel: loading, field lookups, pickling."""

from os import PathLike
from pathlib import Path
from typing import IO, Any, Self, TypedDict

FIELDTYPE_DEFAULT: int
FIELDTYPE_INTEGER: int
FIELDTYPE_REAL: int
FIELDTYPE_ALPHA: int
FIELDTYPE_CHOICE: int
FIELDTYPE_OBJLIST: int
FIELDTYPE_NODE: int

class UnknownFieldError(KeyError, AttributeError):
    """A field name that the class does not define."""

class ExtensibleInfo(TypedDict):
    begin_index: int
    size: int

class ClassInfo(TypedDict):
    name: str
    group: str
    min_fields: int
    unique_object: bool
    required_object: bool
    obsolete: bool
    format: str
    memo: str
    fields: list[str]
    extensible: ExtensibleInfo | None

class FieldInfo(TypedDict):
    """What `IDD.field_info` gives. `field_type` is the field's type as one of the FIELDTYPE_*
    constants, `type` the same type as a word ('integer', 'real', 'alpha', 'choice',
    'object-list', 'node', or 'default' for a type word the schema module does not know);
    a field written without a type is real when it is a number field (N) and alpha else."""

    name: str
    index: int
    code: str | None
    units: str
    ip_units: str
    default: str | None
    required: bool
    autosizable: bool
    autocalculatable: bool
    field_type: int
    type: str
    choices: list[str]
    references: list[str]
    object_lists: list[str]
    external_lists: list[str]
    reference_class_names: list[str]
    minimum: float | None
    minimum_exclusive: bool
    maximum: float | None
    maximum_exclusive: bool
    deprecated: bool
    retaincase: bool
    begin_extensible: bool

class IDD:
    """A schema: the classes and fields that IDF models are checked against."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...  # always raises TypeError: use from_file or from_string
    @property
    def version(self) -> str | None: ...
    @property
    def initialized(self) -> bool: ...
    @property
    def digest(self) -> str | None: ...
    @classmethod
    def from_file(cls, path: str | bytes | PathLike[str] | PathLike[bytes] | IO[bytes] | IO[str]) -> Self: ...
    @classmethod
    def from_string(cls, text: str) -> Self: ...
    def class_names(self) -> list[str]: ...
    def class_info(self, class_name: str, /) -> ClassInfo: ...
    def field_index(self, class_name: str, key: int | str, /) -> int: ...
    def field_name(self, class_name: str, key: int | str, units: bool = True) -> str: ...
    def field_info(self, class_name: str, key: int | str, /) -> FieldInfo: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

def unpickle_IDD(cls: type[IDD], digest: str | None, packed: bytes | None, /) -> IDD: ...
def clear_schema_cache() -> None: ...

class SchemaNotFoundError(LookupError):
    """No known schema matches the version asked for; the message lists those known."""

def register(path: str | PathLike[str]) -> list[str]: ...
def known_versions() -> dict[str, Path]: ...
def schema_for(version: str | None = None) -> IDD: ...
