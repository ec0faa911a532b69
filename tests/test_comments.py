"""The user's comments: kept where they were read, written back, carried through edits,
copies and pickles, and a fixed point of reading and writing for every real file."""

from __future__ import annotations

import collections
import copy
import pickle
import re
import subprocess
import sys

import pytest

from quarvel import olvane
from quarvel.idf import IDF

from .conftest import DATA
from .realdata import REAL

TEXT = """! Office model, hand edited
! site: Lakeside

! the first zone
Zone,
  Office,   ! measured on site
  ! north is up
  0;
Zone, Store;  ! small
ClassA, a;
! end of model
"""


@pytest.fixture
def model(load):
    return load(TEXT)


def test_comments_are_kept_where_they_were_read(model):
    office, store, other = model
    assert model.header_comments == [" Office model, hand edited", " site: Lakeside"]
    assert model.trailing_comments == [" end of model"]
    assert office.comments == [" the first zone"] and office.field_comment("Name") == " measured on site"
    assert store.comments == [] and store.field_comment(0) == " small" and other.field_comment(0) is None
    assert model.comment_count == 7  # header 2, object 1, fields 3 (one a line above a field), trailer 1
    assert office.get_values() == ["Office", 0.0]


def test_writing_them_in_each_layout(model):
    assert model.format(comments=True, preserve_order=True) == """! Office model, hand edited
! site: Lakeside

! the first zone
Zone,
    Office,                  ! measured on site
    ! north is up
    0;                       !- Direction of Relative North {deg}

Zone,
    Store;                   ! small

ClassA,
    a;                       !- Name

! end of model"""
    assert model.format(comments=True, compact=True) == """! Office model, hand edited
! site: Lakeside

! the first zone
! measured on site
! north is up
Zone,Office,0;
! small
Zone,Store;

ClassA,a;

! end of model"""
    default = model.format(comments=True)
    assert default.startswith("! Office model, hand edited\n! site: Lakeside\n\n! ***THERMAL ZONES AND SURFACES***\n")


def test_without_comments_the_output_is_as_before(model, load):
    plain = load(re.sub(r"!(?!-).*", "", TEXT))
    for layout in ({}, {"compact": True}, {"preserve_order": True}):
        assert model.format(**layout) == plain.format(**layout)


def test_comments_follow_their_object_through_edits(model):
    office = model["Zone"][0]
    office["Name"] = "Head Office"
    office.update({"Direction of Relative North": 90})
    assert office.comments == [" the first zone"] and office.field_comment(0) == " measured on site"
    model.remove_object(office)
    assert "the first zone" not in model.format(comments=True) and office.comments == [" the first zone"]
    added = model.add_object("Zone", ["Annex"])
    assert added.comments == [] and added.field_comment(0) is None


def test_comments_survive_copies_and_pickles(model):
    text = model.format(comments=True)
    for twin in (copy.copy(model), copy.deepcopy(model), pickle.loads(pickle.dumps(model))):
        assert twin.format(comments=True) == text
        assert [o.line for o in twin] == [o.line for o in model]
    alone = pickle.loads(pickle.dumps(copy.copy(model["Zone"][0])))
    assert alone.comments == [" the first zone"] and alone.field_comment(0) == " measured on site"


def test_setting_comments(model):
    store = model["Zone"][1]
    store.comments = ["a note", " another"]
    store.set_field_comment("Name", " renamed later")
    model.header_comments = [" new header"]
    text = model.format(comments=True, preserve_order=True)
    assert text.startswith("! new header\n") and "!a note\n! another\nZone,\n    Store;" in text
    assert "Store;                   ! renamed later" in text
    store.set_field_comment(0, None)
    assert store.field_comment(0) is None
    with pytest.raises(ValueError, match="a comment is one line"):
        store.comments = ["two\nlines"]
    with pytest.raises(TypeError, match="a comment must be a str"):
        store.set_field_comment(0, 3)


def test_the_older_vocabulary_writes_as_before(tmp_path):
    source = tmp_path / "commented.idf"
    source.write_text(TEXT)
    olvane.IDF.setiddname(str(DATA / "test.idd"))
    legacy = olvane.IDF(str(source))
    assert "measured on site" not in legacy.idfstr()


# ---- round trips of every file ----------------------------------------------------------


def user_comments(text: str) -> list[str]:
    found = []
    for line in text.splitlines():
        at = line.find("!")
        if at >= 0 and not line[at + 1:].startswith("-"):
            found.append(line[at + 1:])
    return found


def files_and_schemas():
    cases = [(path, DATA / "test.idd") for path in sorted(DATA.glob("*.idf"))]
    if REAL.is_dir():
        schema = REAL / "schema-25.2.idd"
        cases += [(path, schema) for path in sorted((REAL / "models").glob("*.idf"))]
        cases += [(path, schema) for path in sorted((REAL / "datasets").glob("*.idf"))]
    return cases


@pytest.fixture(scope="module")
def schemas():
    from quarvel.idd import IDD

    cache = {}
    return lambda path: cache.setdefault(path, IDD.from_file(path))


@pytest.mark.parametrize(("path", "schema_path"), files_and_schemas(), ids=lambda p: p.name)
def test_reading_and_writing_comments_is_a_fixed_point(path, schema_path, schemas):
    schema = schemas(schema_path)
    model = IDF.from_file(schema, path)
    raw = path.read_bytes()
    try:
        original = user_comments(raw.decode("utf-8"))
    except UnicodeDecodeError:
        original = user_comments(raw.decode("cp1252"))
    for layout in ({}, {"preserve_order": True}, {"compact": True}, {"compact": True, "preserve_order": True}):
        text = model.format(comments=True, **layout)
        assert IDF.from_string(schema, text).format(comments=True, **layout) == text, layout
        written = user_comments(text)
        if layout.get("preserve_order"):
            assert written == original, layout  # the same lines, in the same order
        else:
            # Every line is there; the only others are the group banners the writer adds.
            extra = collections.Counter(written) - collections.Counter(original)
            assert collections.Counter(original) <= collections.Counter(written), layout
            assert all(re.fullmatch(r" \*\*\*.+\*\*\*", line) for line in extra), layout


def test_the_command_line_keeps_comments_unless_told(tmp_path):
    source = tmp_path / "commented.idf"
    source.write_text(TEXT)
    run = [sys.executable, "-m", "quarvel"]
    kept = subprocess.run([*run, "format", str(source), "--idd", str(DATA / "test.idd")], capture_output=True, text=True)
    dropped = subprocess.run([*run, "format", str(source), "--idd", str(DATA / "test.idd"), "--drop-comments"],
                             capture_output=True, text=True)
    assert "! measured on site" in kept.stdout and "measured" not in dropped.stdout
    info = subprocess.run([*run, "info", str(source), "--idd", str(DATA / "test.idd")], capture_output=True, text=True)
    assert "comments: 7 lines" in info.stdout
