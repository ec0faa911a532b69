"""A model passed to a Dask task travels as its compact text with its comments, and its
schema once per process, instead of as a pickle (about six loads of the model; the text,
written and loaded again, less than one).

Registered with Dask's serialisation when Quarvel is imported in a process that has
imported ``distributed`` (a Dask worker always has), by ``quarvel.batch.map`` on a
cluster, and by ``quarvel.batch.register_dask()``.
"""

from __future__ import annotations

import pickle
from typing import Any

_SCHEMA_BYTES: dict[str, bytes] = {}  # pickled schemas this process has sent, by digest
_registered = False


def register() -> None:
    """Registers the models' form with Dask's serialisation (once; a no-op without it)."""
    global _registered
    if _registered:
        return
    try:
        from distributed.protocol import dask_deserialize, dask_serialize
    except Exception:  # no Dask, or one still being imported: pickles as before
        return
    from quarvel.idf import IDF

    dask_serialize.register(IDF)(_serialize)
    dask_deserialize.register(IDF)(_deserialize)
    _registered = True


def _serialize(model: Any) -> tuple[dict[str, Any], list[bytes]]:
    from quarvel.batch import model_text

    schema = model.idd
    if schema is None or schema.digest is None:
        return {"schema": None}, [pickle.dumps(model)]  # a model without a schema: its pickle
    digest = schema.digest
    if digest not in _SCHEMA_BYTES:
        _SCHEMA_BYTES[digest] = pickle.dumps(schema)
    text = model_text(model)
    return {"schema": digest}, [text.encode("utf-8", "surrogatepass"), _SCHEMA_BYTES[digest]]


def _deserialize(header: dict[str, Any], frames: list[Any]) -> Any:
    from quarvel.batch import _SCHEMAS
    from quarvel.idf import IDF

    digest = header.get("schema")
    if digest is None:
        return pickle.loads(bytes(frames[0]))
    schema = _SCHEMAS.get(digest)
    if schema is None:
        schema = _SCHEMAS.setdefault(digest, pickle.loads(bytes(frames[1])))
    return IDF.from_string(schema, bytes(frames[0]).decode("utf-8", "surrogatepass"))
