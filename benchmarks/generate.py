"""Generate a full-size schema and large models of a realistic shape.

The schema has the size and shape of the engine's complete dictionary: about 850
classes in some 60 groups, 15,000 fields, 4-5 MB of text with memos and notes,
reference lists and object lists that tie classes together, defaults, units,
choices, and repeated-group classes of which a few list hundreds of groups.
Models are written in the aligned, commented layout that model editors produce,
with every reference field naming an object that exists.

    python benchmarks/generate.py [--objects N | --megabytes M] [--out DIR]
"""

from __future__ import annotations

import argparse
import random
from dataclasses import dataclass, field
from pathlib import Path

WORDS = (
    "Air Loop Zone Coil Cooling Heating Water Steam Fan Pump Chiller Boiler Tower Plant Branch Node "
    "Connector Splitter Mixer Controller Setpoint Manager Schedule Surface Window Door Shading Material "
    "Construction Output Meter Variable Report Sizing System Terminal Unit Heat Pump Exchanger Recovery "
    "Humidifier Dehumidifier Evaporative Refrigeration Case Rack Compressor Condenser Generator Inverter "
    "Storage Battery Photovoltaic Daylighting Lighting People Equipment Infiltration Ventilation Mixing "
    "Thermostat Comfort Control Availability Demand Supply Outdoor Return Exhaust Relief Economizer"
).split()
UNITS = ["m", "m2", "m3", "m3/s", "W", "W/m2", "W/m-K", "kg/m3", "J/kg-K", "C", "deltaC", "Pa", "kg/s", "s", "hr", "deg"]
NOTE = (
    "This field is used to describe a characteristic of the component in the simulation. It is "
    "ignored when the component is autosized and the related sizing parameters are specified. "
)


@dataclass
class Field:
    code: str
    name: str
    kind: str  # alpha, real, integer, choice, object-list, name
    units: str = ""
    default: str = ""
    choices: list[str] = field(default_factory=list)
    object_list: str = ""
    reference: str = ""
    autosizable: bool = False
    notes: int = 0


@dataclass
class ClassShape:
    name: str
    group: str
    fields: list[Field]
    min_fields: int
    extensible: int = 0  # group size when the class repeats its last fields
    begin: int = 0
    memo_lines: int = 1


def make_schema(seed: int = 1, classes: int = 850) -> list[ClassShape]:
    rng = random.Random(seed)
    groups = [f"{rng.choice(WORDS)} {rng.choice(WORDS)} {n}" for n in range(60)]
    shapes: list[ClassShape] = []
    names: set[str] = set()
    lists: list[str] = []
    for n in range(classes):
        while True:
            name = ":".join(rng.choice(WORDS) for _ in range(rng.randint(2, 4)))
            if name.upper() not in names:
                names.add(name.upper())
                break
        group = groups[min(n * len(groups) // classes, len(groups) - 1)]
        ref_list = name.replace(":", "") + "Names"
        fields = [Field("A1", "Name", "name", reference=ref_list, notes=1)]
        alpha, num = 1, 0
        extensible = 0
        if n % 40 == 7:
            count = rng.randint(4, 14)
        else:
            count = rng.randint(4, 18)
        for _ in range(count):
            r = rng.random()
            if r < 0.35:
                num += 1
                fields.append(Field(f"N{num}", f"{rng.choice(WORDS)} {rng.choice(WORDS)} Rate", "real",
                                    units=rng.choice(UNITS), default=rng.choice(["", "", "0.5", "1", "autosize"]),
                                    autosizable=rng.random() < 0.3, notes=rng.randint(0, 2)))
            elif r < 0.45:
                num += 1
                fields.append(Field(f"N{num}", f"Number of {rng.choice(WORDS)}s", "integer",
                                    default=str(rng.randint(1, 10)), notes=rng.randint(0, 2)))
            elif r < 0.65 and lists:
                alpha += 1
                target = rng.choice(lists[-200:])
                fields.append(Field(f"A{alpha}", f"{target[:-5]} Name", "object-list", object_list=target,
                                    notes=rng.randint(0, 2)))
            else:
                alpha += 1
                keys = [rng.choice(WORDS) + rng.choice(WORDS) for _ in range(rng.randint(2, 8))]
                fields.append(Field(f"A{alpha}", f"{rng.choice(WORDS)} {rng.choice(WORDS)} Type", "choice",
                                    choices=keys, default=keys[0], notes=rng.randint(0, 2)))
        begin = 0
        if n % 40 == 7:  # a repeated-group class; some list hundreds of groups
            extensible = rng.choice([1, 2, 3, 4])
            groups_listed = rng.choice([10, 30, 60]) if n % 160 != 7 else rng.choice([200, 400])
            begin = len(fields)
            stems = [rng.choice(WORDS) for _ in range(extensible)]
            for g in range(1, groups_listed + 1):
                for j in range(extensible):
                    if j == 0 and lists:
                        alpha += 1
                        target = lists[(n + j) % len(lists)]
                        fields.append(Field(f"A{alpha}", f"{stems[j]} {g} Name", "object-list", object_list=target))
                    else:
                        num += 1
                        fields.append(Field(f"N{num}", f"{stems[j]} {g} Value", "real", units=rng.choice(UNITS)))
        lists.append(ref_list)
        shapes.append(ClassShape(name, group, fields, min_fields=min(len(fields), rng.randint(1, 6)),
                               extensible=extensible, begin=begin, memo_lines=rng.randint(1, 6)))
    return shapes


def write_schema(shapes: list[ClassShape], path: Path) -> None:
    out = ["!IDD_Version 24.1.0", "!IDD_BUILD generated", "! Generated for Quarvel benchmarks.", ""]
    group = None
    for shape in shapes:
        if shape.group != group:
            group = shape.group
            out += [f"\\group {group}", ""]
        out.append(f"{shape.name},")
        for _ in range(shape.memo_lines):
            out.append(f"       \\memo {NOTE}")
        if shape.extensible:
            out.append(f"       \\extensible:{shape.extensible} - repeat the last {shape.extensible} fields")
        out.append(f"       \\min-fields {shape.min_fields}")
        for i, f in enumerate(shape.fields):
            end = ";" if i == len(shape.fields) - 1 else ","
            out.append(f"  {f.code}{end} \\field {f.name}")
            if shape.extensible and i == shape.begin:
                out.append("       \\begin-extensible")
            if f.kind == "name":
                out += ["       \\required-field", "       \\type alpha", f"       \\reference {f.reference}"]
            elif f.kind == "object-list":
                out += ["       \\type object-list", f"       \\object-list {f.object_list}"]
            elif f.kind == "choice":
                out.append("       \\type choice")
                out += [f"       \\key {k}" for k in f.choices]
            else:
                out.append(f"       \\type {f.kind}")
            if f.units:
                out.append(f"       \\units {f.units}")
            if f.kind in ("real", "integer"):
                out += ["       \\minimum 0", "       \\maximum 1000000"]
            if f.autosizable:
                out.append("       \\autosizable")
            if f.default:
                out.append(f"       \\default {f.default}")
            out += [f"       \\note {NOTE}"] * f.notes
        out.append("")
    path.write_text("\n".join(out))


def write_model(shapes: list[ClassShape], path: Path, *, objects: int | None = None,
                megabytes: float | None = None, seed: int = 2) -> int:
    """Writes a model; returns the number of objects written."""
    rng = random.Random(seed)
    usable = [s for s in shapes if not s.extensible or len(s.fields) < 60]
    popular = rng.sample(usable, 60)  # real models use few classes a lot
    names: dict[str, list[str]] = {}
    limit_bytes = megabytes * 1024 * 1024 if megabytes else None
    written = 0
    size = 0
    with path.open("w") as out:
        out.write("!-Generator Quarvel benchmarks\n!-Option SortedOrder\n\n")
        while (objects is not None and written < objects) or (limit_bytes is not None and size < limit_bytes):
            shape = rng.choice(popular) if rng.random() < 0.8 else rng.choice(usable)
            name = f"{shape.name.split(':')[-1]} {written}"
            values = []
            for f in shape.fields:
                if f.kind == "name":
                    values.append(name)
                elif f.kind == "object-list":
                    pool = names.get(f.object_list)
                    values.append(rng.choice(pool) if pool else "")
                elif f.kind == "choice":
                    values.append(rng.choice(f.choices))
                elif f.kind == "integer":
                    values.append(str(rng.randint(1, 100)))
                else:
                    values.append("autosize" if f.autosizable and rng.random() < 0.2 else f"{rng.uniform(0, 500):.4f}")
            while values and not values[-1]:
                values.pop()
            names.setdefault(shape.fields[0].reference, []).append(name)
            lines = [f"  {shape.name},"]
            for i, (value, f) in enumerate(zip(values, shape.fields)):
                sep = ";" if i == len(values) - 1 else ","
                cell = f"    {value}{sep}"
                unit = f" {{{f.units}}}" if f.units else ""
                lines.append(f"{cell:<29}!- {f.name}{unit}")
            if not values:
                lines = [f"  {shape.name};"]
            block = "\n".join(lines) + "\n\n"
            out.write(block)
            size += len(block)
            written += 1
    return written


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "data")
    parser.add_argument("--objects", type=int)
    parser.add_argument("--megabytes", type=float)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    shapes = make_schema()
    write_schema(shapes, args.out / "full.idd")
    if args.objects or args.megabytes:
        label = f"{args.objects}obj" if args.objects else f"{args.megabytes:g}MB"
        n = write_model(shapes, args.out / f"model_{label}.idf", objects=args.objects, megabytes=args.megabytes)
        print(f"wrote {n} objects to {args.out / f'model_{label}.idf'}")


if __name__ == "__main__":
    main()
