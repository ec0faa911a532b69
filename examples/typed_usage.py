"""A small program written against the typed interface; checked with mypy --strict."""

from __future__ import annotations

import pickle
from typing import TYPE_CHECKING

import quarvel
from quarvel.idd import IDD
from quarvel.idf import IDF, IDFObject, IDFObjectTuple
from quarvel.olvane import IDF as LegacyIDF

if TYPE_CHECKING:  # the dictionaries' shapes are declared for type checkers only
    from quarvel.idd import FieldInfo


def zone_heights(model: IDF) -> dict[str, float | None]:
    heights: dict[str, float | None] = {}
    zones: IDFObjectTuple = model["Zone"]
    for zone in zones:
        name = zone["Name"]
        height = zone["Ceiling Height"]
        if isinstance(name, str):
            heights[name] = height if isinstance(height, float) else None
    return heights


def rename(model: IDF, class_name: str, old: str, new: str) -> int:
    obj: IDFObject | None = model.get_object_by_name(class_name, old)
    if obj is None:
        return 0
    users = obj.get_referencing_objects("Name")
    obj["Name"] = new
    for user in users:
        for index, value in enumerate(user.get_values()):
            if value == old:
                user[index] = new
    return len(users)


def main() -> None:
    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    info: FieldInfo = schema.field_info("Zone", "Volume")
    assert info["autocalculatable"]
    model = IDF.from_file(schema, quarvel.EXAMPLE_IDF)
    print(zone_heights(model))
    print(rename(model, "Zone", "Office", "Open Office"), "objects followed the rename")
    added = model.add_object("Zone", {"Name": "Store"})
    assert added.class_name == "Zone"
    dangling: list[tuple[IDFObject, int]] = model.find_dangling_references()
    assert not dangling
    text: str = model.format(compact=True)
    again = pickle.loads(pickle.dumps(model))
    assert isinstance(again, IDF) and again.format(compact=True) == text

    LegacyIDF.setiddname(str(quarvel.EXAMPLE_IDD))
    legacy = LegacyIDF(str(quarvel.EXAMPLE_IDF))
    for surface in legacy.idfobjects["BuildingSurface:Detailed"]:
        print(surface.Name, surface.Zone_Name)


if __name__ == "__main__":
    main()
