"""Writes src/quarvel/data/example.epJSON: the JSON schema of the bundled example schema's
classes, in the layout of the engine's own (property names, legacy_idd, types), so that
the epJSON conversion can be tried and tested without the engine's files.

    python tools/make_example_epjson.py
"""

from __future__ import annotations

import json
import re
from pathlib import Path

from quarvel.idd import IDD

DATA = Path(__file__).resolve().parents[1] / "src" / "quarvel" / "data"


def property_name(field_name: str) -> str:
    return re.sub(r"[^a-z0-9]+", "_", field_name.lower()).strip("_")


def definition_of(info: dict) -> dict:
    kind = info["type"]
    if kind in ("real", "integer"):
        number = {"type": "number" if kind == "real" else "integer"}
        if info.get("units"):
            number["units"] = info["units"]
        words = [w for w, on in (("Autosize", info["autosizable"]), ("Autocalculate", info["autocalculatable"])) if on]
        return {"anyOf": [number, {"type": "string", "enum": ["", *words]}]} if words else number
    if kind == "choice":
        return {"type": "string", "enum": ["", *info["choices"]]}
    return {"type": "string"}


def class_schema(idd: IDD, name: str) -> dict:
    info = idd.class_info(name)
    group = info["extensible"]
    listed = len(info["fields"]) if not group else group["begin_index"]
    fields = [idd.field_info(name, i) for i in range(listed)]
    names = [property_name(f["name"]) for f in fields]
    properties = {n: definition_of(f) for n, f in zip(names, fields)}
    legacy = {"fields": names,
              "alphas": {"fields": [n for n, f in zip(names, fields) if f["code"].startswith("A")]},
              "numerics": {"fields": [n for n, f in zip(names, fields) if f["code"].startswith("N")]}}
    schema: dict = {"type": "object", "group": info["group"]}
    if group:
        items = [idd.field_info(name, group["begin_index"] + j) for j in range(group["size"])]
        inner = [property_name(re.sub(r"\s*\b1\b\s*", " ", f["name"])) for f in items]
        extension = "vertices" if info["format"] == "vertices" else "extensions"
        properties[extension] = {"type": "array", "items": {
            "type": "object", "properties": {n: definition_of(f) for n, f in zip(inner, items)}}}
        legacy.update(extension=extension, extensibles=inner)
    if names and names[0] == "name":
        schema["name"] = {"type": "string"}
        properties.pop("name")
    schema["patternProperties"] = {".*": {"type": "object", "properties": properties}}
    schema["legacy_idd"] = legacy
    return schema


def main() -> None:
    idd = IDD.from_file(DATA / "example.idd")
    document = {"$schema": "http://json-schema.org/draft-04/schema#",
                "properties": {name: class_schema(idd, name) for name in idd.class_names()}}
    (DATA / "example.epJSON").write_text(json.dumps(document, indent=2) + "\n")


if __name__ == "__main__":
    main()
