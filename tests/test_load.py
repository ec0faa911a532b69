"""Loading models: from files and strings, numbering, the class and reference indexes."""

import os
import sys
import threading
import time

import pytest

from quarvel.idd import IDD
from quarvel.idf import IDF, IDFObject

from .conftest import DATA, check_invariants, model_state


class MyIDF(IDF):
    pass


def test_from_string_and_from_file_agree(idd, tmp_path):
    text = (DATA / "office.idf").read_text()
    path = tmp_path / "office.idf"
    path.write_text(text)
    a = IDF.from_string(idd, text)
    b = IDF.from_file(idd, path)
    c = IDF.from_file(idd, str(path), encoding="utf-8")
    d = IDF.from_file(idd=idd, filepath=os.fsencode(path))
    assert a.format() == b.format() == c.format() == d.format()
    check_invariants(a)


def test_subclasses_load_as_themselves(idd, tmp_path):
    path = tmp_path / "m.idf"
    path.write_text("ClassA,a;")
    assert type(MyIDF.from_string(idd, "ClassA,a;")) is MyIDF
    assert type(MyIDF.from_file(idd, path)) is MyIDF


def test_objects_are_numbered_and_indexed_in_text_order(load):
    model = load("Zone,A;\nClassA,x;\nzone,B;\nZONE,C;\nClassA,y;")
    state = model_state(model)
    assert [o["Name"] for o in state["objects"]] == ["A", "x", "B", "C", "y"]
    assert state["classes"] == {b"ZONE": [0, 2, 3], b"CLASSA": [1, 4]}
    assert {o.class_name for o in state["objects"]} == {"Zone", "ClassA"}
    check_invariants(model)


def test_reference_index(load):
    model = load(
        "Zone,Office;\n"
        "Zone,office;\n"  # the same name twice: one value entry, two locations
        "People,P1,OFFICE,Sched;\n"
        "NodeList,Loop,n1;\n"  # a field both declares and refers
        "Lights,L1,,Sched;\n"  # an empty reference is not indexed
    )
    state = model_state(model)
    assert state["targets"][b"ZoneNames"] == {b"OFFICE": [(0, 0), (1, 0)]}
    assert state["targets"][b"ZoneAndZoneListNames"] == {b"OFFICE": [(0, 0), (1, 0)]}
    assert state["referencers"][b"ZoneAndZoneListNames"] == {b"OFFICE": [(2, 1)]}
    assert state["referencers"][b"ScheduleNames"] == {b"SCHED": [(2, 2), (4, 2)]}
    assert state["targets"][b"NodeListNames"] == {b"LOOP": [(3, 0)]}
    assert state["referencers"][b"NodeListNames"] == {b"LOOP": [(3, 0)]}
    assert b"" not in state["referencers"].get(b"ZoneAndZoneListNames", {})
    check_invariants(model)


def test_empty_text_gives_an_empty_model(load):
    state = model_state(load("! nothing here\n"))
    assert state["objects"] == []
    assert state["classes"] == state["targets"] == state["referencers"] == {}


def test_direct_construction_is_refused():
    with pytest.raises(TypeError) as info:
        IDF()
    assert str(info.value) == "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string()."
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 0 positional arguments \(1 given\)"):
        IDF(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        IDF(x=1)
    assert IDF.__init__.__doc__ == "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string()."


def test_docstrings():
    assert IDF.from_file.__doc__.splitlines()[0] == "Parse IDF file"
    assert "    filepath (str | PathLike): IDF file path" in IDF.from_file.__doc__
    assert "    IDF: parsed IDF data" in IDF.from_file.__doc__
    assert "    content (str): IDF string" in IDF.from_string.__doc__


class StrSub(str):
    pass


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda idd: IDF.from_string("idd", "ClassA,a;"), TypeError,
         "Argument 'idd' has incorrect type (expected quarvel.idd.IDD, got str)"),
        (lambda idd: IDF.from_string(idd, b"ClassA,a;"), TypeError,
         "Argument 'content' has incorrect type (expected str, got bytes)"),
        (lambda idd: IDF.from_string(idd, StrSub("x")), TypeError,
         "Argument 'content' has incorrect type (expected str, got StrSub)"),
        (lambda idd: IDF.from_string(idd, None), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (lambda idd: IDF.from_file(idd, "x.idf", encoding=1), TypeError,
         "Argument 'encoding' has incorrect type (expected str, got int)"),
        (lambda idd: IDF.from_string(idd), TypeError,
         "from_string() takes exactly 2 positional arguments (1 given)"),
        (lambda idd: IDF.from_string(None, "ClassA,a;"), TypeError,
         "Argument 'idd' is None, but a schema (IDD) is needed to load objects"),
    ],
)
def test_argument_errors(idd, call, error, message):
    with pytest.raises(error) as info:
        call(idd)
    assert str(info.value) == message


def test_unencodable_content(idd):
    with pytest.raises(UnicodeEncodeError):
        IDF.from_string(idd, "ClassA,\ud800;")


def test_no_schema_is_fine_without_objects():
    model = IDF.from_string(None, "! no objects\n")
    assert model_state(model)["objects"] == []


def test_missing_file(idd, tmp_path):
    with pytest.raises(FileNotFoundError):
        IDF.from_file(idd, tmp_path / "missing.idf")


def test_parsing_releases_the_interpreter_lock(idd):
    """A second thread advances a counter only while the loader lets go of the lock.

    With a very long switch interval the interpreter never takes the lock from a
    running thread, so the counter can move during the call only if the call
    itself releases the lock.
    """
    text = "Sample:Object," + ",".join(["v"] * 2_000_000) + ";"
    counter = [0]
    started, stop = threading.Event(), threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)  # lets the main thread back in when it wants the lock

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    worker = threading.Thread(target=spin)
    try:
        worker.start()
        started.wait()
        before = counter[0]
        model = IDF.from_string(idd, text)
        after = counter[0]
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(old_interval)
    assert len(model["Sample:Object"][0].get_values()) == 2_000_000
    assert after > before


def test_dropped_models_are_collected(idd):
    import gc
    import weakref

    model = IDF.from_string(idd, "Zone,A;People,P,A,S;")
    obj = model["Zone"][0]
    refs = [weakref.ref(model), weakref.ref(obj)]
    del model, obj
    gc.collect()
    assert all(r() is None for r in refs)


def test_objects_share_the_model_schema(idd, load):
    model = load("Zone,A;")
    assert model_state(model)["idd"] is idd
    assert isinstance(model["Zone"][0], IDFObject)
    assert isinstance(idd, IDD)


def _text_of_pieces(newline: str, accent: str) -> str:
    """About 2.5 MB of text (a file reader hands out 1 MiB at a time) with comments in
    every place and a line longer than a piece, so that objects, comment blocks and
    lines all straddle the places where the file is cut."""
    block = (
        "! above {i} " + accent + "\n"
        "Sample:Object, ! after the class\n"
        "  S{i},  !- Name\n"
        "  ! between fields\n"
        "  kind {i},  ! after a value\n"
        "  1.5, 2; !- Count\n"
    )
    head = "! the file's header\n\n" + "! right above the first\n"
    body = "".join(block.format(i=i) for i in range(12_000))
    long_line = "Sample:Object,Long,," + "9" * 1_500_000 + ",3;\n"
    return (head + body + long_line + body.replace(" S", " T") + "! the trailer\n").replace("\n", newline)


@pytest.mark.parametrize(
    "newline, bom, accent, late_byte",
    [
        ("\n", "", "", ""),
        ("\r\n", "\ufeff", "é", ""),  # valid UTF-8 throughout
        ("\r", "", "", ""),
        # not UTF-8 near the end, after valid UTF-8: the whole file is read as Windows-1252
        ("\n", "", "é", "é"),
        ("\r\n", "\ufeff", "", "é"),
    ],
    ids=["lf", "crlf-bom-utf8", "cr", "cp1252-late", "cp1252-bom-crlf"],
)
@pytest.mark.parametrize("through_pipe", [False, True], ids=["file", "pipe"])
def test_large_files_read_in_pieces_load_as_their_whole_text(idd, tmp_path, newline, bom, accent, late_byte,
                                                             through_pipe):
    text = bom + _text_of_pieces(newline, accent)
    if late_byte:
        raw = text.encode("utf-8") + ("! late " + late_byte + newline).encode("cp1252")
        expected_text = raw.decode("cp1252").lstrip("\ufeff").replace("ï»¿", "", 1)
    else:
        raw = text.encode("utf-8")
        expected_text = text.lstrip("\ufeff")
    path = tmp_path / "large.idf"
    if through_pipe:
        if not hasattr(os, "mkfifo"):
            pytest.skip("no named pipes here")
        os.mkfifo(path)
        writer = threading.Thread(target=path.write_bytes, args=(raw,))
        writer.start()
        try:
            model = IDF.from_file(idd, path)
        finally:
            writer.join()
    else:
        path.write_bytes(raw)
        model = IDF.from_file(idd, path)
    expected = IDF.from_string(idd, expected_text)
    assert model.format(comments=True) == expected.format(comments=True)
    assert [o.line for o in model] == [o.line for o in expected]
    assert model.header_comments == [" the file's header"]
    assert model.trailing_comments[-1] == (" late " + late_byte if late_byte else " the trailer")


def test_errors_late_in_a_large_file_carry_their_line(idd, tmp_path):
    text = _text_of_pieces("\n", "") + "Sample:Object,Unfinished\n"
    path = tmp_path / "large.idf"
    path.write_text(text)
    with pytest.raises(ValueError) as from_text:
        IDF.from_string(idd, text)
    with pytest.raises(ValueError) as from_file:
        IDF.from_file(idd, path)
    assert str(from_file.value) == str(from_text.value)
    assert from_file.value.lineno == from_text.value.lineno == text.count("\n")
    assert from_file.value.filename == str(path)


@pytest.mark.parametrize("newline", ["\r\n", "\r"], ids=["crlf", "cr"])
@pytest.mark.parametrize("shift", [-2, -1, 0, 1])
def test_a_line_break_at_the_edge_of_a_read_counts_once(idd, tmp_path, newline, shift):
    """Files are read 1 MiB at a time: a CR LF split between two reads is one line break,
    and a lone CR at the end of a read is one too."""
    piece = 1 << 20
    head = "Sample:Object,A,,1,2;" + newline
    filler = "!" + "x" * (piece - len(head) - 1 + shift) + newline  # its break lands at the edge
    text = head + filler + "".join(f"Sample:Object,S{i},,1,2;{newline}" for i in range(3)) + "Sample:Object,Open" + newline
    path = tmp_path / "edge.idf"
    path.write_bytes(text.encode())
    with pytest.raises(ValueError) as from_file:
        IDF.from_file(idd, path)
    with pytest.raises(ValueError) as from_text:
        IDF.from_string(idd, text)
    assert from_file.value.lineno == from_text.value.lineno == 6
    path.write_bytes(text.rsplit("Sample:Object,Open", 1)[0].encode())
    assert [o.line for o in IDF.from_file(idd, path)] == [1, 3, 4, 5]
