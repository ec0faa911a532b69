"""Hostile input, memory that settles under repetition, and threads."""

from __future__ import annotations

import copy
import ctypes
import gc
import io
import pickle
import sys
import threading
import weakref
from contextlib import redirect_stdout

import pytest

from quarvel.idd import IDD
from quarvel.idf import IDF, IDFObject

from .conftest import DATA, check_invariants

OFFICE = (DATA / "office.idf").read_text()


# ---- hostile input ------------------------------------------------------------------


def test_a_50_mb_value(idd):
    value = "v" * (50 * 1024 * 1024)
    model = IDF.from_string(idd, f"Sample:Object,{value};")
    assert model["Sample:Object"][0]["Name"] == value
    assert model.format(compact=True) == f"Sample:Object,{value};"


def test_an_object_with_a_million_fields(idd):
    model = IDF.from_string(idd, "Schedule:Compact,S," + ",".join(["1"] * 1_000_000) + ";")
    obj = model["Schedule:Compact"][0]
    assert len(obj.get_values()) == 1_000_001
    assert obj["Field 999999"] == "1" and obj["Field 1000000"] == ""
    text = model.format()
    assert text.endswith("1;                       !- Field 999999")


def test_a_million_empty_objects_on_one_line(idd):
    model = IDF.from_string(idd, "Lead Input;" * 1_000_000)
    assert len(model["Lead Input"]) == 1_000_000
    assert model.format(compact=True).count("\n") == 1_000_000 - 1  # one per object but the first


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("ClassA,a;\nClassB,b;\nClassA,\x00;", "IDF parsing error (Line 3): 'NUL byte at column 8'"),
        ("ClassA,a ! a comment at the very end", "IDF parsing error (Line 1): unterminated object before EOF; missing ';'."),
        ("ClassA,\r\ra\rb;", "IDF parsing error (Line 4): missing delimiter before 'b'."),
    ],
)
def test_bad_text_reports_its_line(idd, text, message):
    with pytest.raises(ValueError) as info:
        IDF.from_string(idd, text)
    assert str(info.value) == message


def test_files_ending_inside_a_comment_and_cr_only_lines(idd):
    assert len(IDF.from_string(idd, "ClassA,a; ! the end, no line break")["ClassA"]) == 1
    model = IDF.from_string(idd, "ClassA,\ra;\rClassB,\r b ;")
    assert [o["Name"] for o in model["ClassA"] + model["ClassB"]] == ["a", "b"]


def test_invalid_utf8_in_a_file_read_strictly(idd, tmp_path):
    path = tmp_path / "bad.idf"
    path.write_bytes(b"ClassA,a;\nClassB,\xc3\x28;\n")
    with pytest.raises(UnicodeDecodeError):
        IDF.from_file(idd, path, encoding="utf-8")
    assert IDF.from_file(idd, path)["ClassB"][0]["Name"] == "Ã("  # read as Windows-1252


@pytest.mark.parametrize(
    "text",
    [
        "Zone;\nZONE;\n",  # duplicate class names
        "Gadget,\n \\extensible:9\n A1, \\begin-extensible\n A2;\n",  # count larger than the fields
        "Zone,\n A1;\n A2;\n",  # fields after the final ';'
    ],
)
def test_hostile_dictionaries(text):
    with pytest.raises(ValueError, match=r"^IDD parsing error \(Line \d+\): "):
        IDD.from_string(text)


# ---- memory settles under repetition ------------------------------------------------

_libc = ctypes.CDLL(None)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use() -> int:
    """Bytes the C heap has handed out (native containers and raw allocations)."""
    _libc.mallinfo2.restype = _MallInfo2
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def growth(action, rounds: int) -> tuple[int, int]:
    """(Python blocks, C heap bytes) kept by `rounds` more runs of `action`, once the
    caches that fill on first use (interning, free lists, buffers) are warm: the smaller
    of two consecutive windows, since a leak shows in both and a filling cache in one."""
    for _ in range(2 * rounds):
        action()
    windows = []
    for _ in range(2):
        gc.collect()
        blocks, heap = sys.getallocatedblocks(), heap_in_use()
        for _ in range(rounds):
            action()
        gc.collect()
        windows.append((sys.getallocatedblocks() - blocks, heap_in_use() - heap))
    return min(w[0] for w in windows), min(w[1] for w in windows)


@pytest.fixture(scope="module")
def office(idd):
    return IDF.from_string(idd, OFFICE)


def _operations(idd, office, tmp_path):
    zone = office["Zone"][0]
    people = office["People"][0]
    blob = pickle.dumps(office)
    path = tmp_path / "out.idf"

    def add_remove():
        obj = office.add_object("Zone", {"Name": "Temp", "Multiplier": 2})
        office.remove_object(obj)

    def add_remove_class():
        office.add_object("ClassA", ["x"])
        office.remove_all_objects("ClassA")

    def write_fields():
        zone["Multiplier"] = 3
        zone["Multiplier"] = None
        people.update({"Zone or ZoneList Name": "East Zone"})
        people.update({"Zone or ZoneList Name": "West Zone"})

    def failures():
        for action in (lambda: zone["Nmae"], lambda: IDF.from_string(idd, "Nope;"),
                       lambda: IDF.from_string(idd, "Zone,a"), lambda: zone.update(("x",))):
            try:
                action()
            except (KeyError, ValueError, TypeError):
                pass

    return {
        "load": lambda: IDF.from_string(idd, OFFICE),
        "format": lambda: office.format(),
        "save": lambda: office.save(path),
        "read fields": lambda: (zone["Name"], zone[7], zone.get_values(), people.get_values()),
        "write fields and update": write_fields,
        "queries": lambda: (office["zone"], office.get_object_by_name("Zone", "West Zone"),
                            people.get_referenced_object(1), zone.get_referencing_objects(0),
                            office.get_class_names()),
        "add and remove": add_remove,
        "add and remove a class": add_remove_class,
        "standalone objects": lambda: IDFObject(idd, "Zone").update(["z", 1]),
        "pickle round trip": lambda: pickle.loads(blob),
        "errors": failures,
        "validate": lambda: office.validate(),
        "copies": lambda: (copy.copy(office), copy.deepcopy(zone)),
    }


OPERATIONS = ["load", "format", "save", "read fields", "write fields and update", "queries", "add and remove",
              "add and remove a class", "standalone objects", "pickle round trip", "errors", "validate", "copies"]


@pytest.mark.parametrize("name", OPERATIONS)
def test_memory_settles(idd, office, tmp_path, name):
    action = _operations(idd, office, tmp_path)[name]
    rounds = 500 if name in ("load", "pickle round trip", "save", "format", "validate", "copies") else 3000
    blocks, heap = growth(action, rounds)
    # A leak of one object or one native string per run would keep at least `rounds`.
    assert blocks < rounds // 10, f"{blocks} Python blocks kept after {rounds} runs"
    assert heap < 256 * 1024, f"{heap} heap bytes kept after {rounds} runs"
    check_invariants(office)


def test_compatibility_vocabulary_memory_settles(tmp_path):
    from quarvel.olvane import IDF as Facade

    Facade.setiddname(str(DATA / "test.idd"))
    model = Facade(str(DATA / "office.idf"))
    sink = io.StringIO()

    def use():
        zone = model.idfobjects["Zone"][0]
        zone.Multiplier = 2
        _ = (zone.Name, zone.Ceiling_Height, getattr(zone, "nope", None))
        with redirect_stdout(sink):
            obj = model.newidfobject("Zone", Name="Temp")
        model.removeidfobject(obj)
        pickle.loads(pickle.dumps(zone))
        sink.seek(0)
        sink.truncate()

    blocks, heap = growth(use, 2000)
    assert blocks < 200 and heap < 256 * 1024


def test_dropped_models_are_reclaimed(idd):
    from quarvel.olvane import IDF as Facade

    Facade.setiddname(str(DATA / "test.idd"))
    refs = []
    for _ in range(3):
        model = IDF.from_string(idd, OFFICE)
        refs += [weakref.ref(model), weakref.ref(model["Zone"][0])]
        facade = Facade(str(DATA / "office.idf"))
        refs.append(weakref.ref(facade.idfobjects["Zone"][0].__reduce__()[2][0]))
        del model, facade
    gc.collect()
    assert all(r() is None for r in refs)


# ---- threads --------------------------------------------------------------------------


def test_threads_loading_and_formatting_at_once(idd):
    texts = [OFFICE, (DATA / "compact_crlf.idf").read_text(), (DATA / "old_mac.idf").read_text(),
             "Sample:Object," + ",".join(str(i) for i in range(200_000)) + ";"]
    expected = [IDF.from_string(idd, t).format() for t in texts]
    results: dict[int, list[str]] = {}
    errors = []

    def work(i):
        try:
            results[i] = [IDF.from_string(idd, texts[i % len(texts)]).format() for _ in range(5)]
        except Exception as exc:  # noqa: BLE001 - reported by the assertion below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for i, outputs in results.items():
        assert outputs == [expected[i % len(texts)]] * 5
