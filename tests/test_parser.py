"""The IDF grammar: objects, slots and the parser's error messages."""

import pytest

from quarvel.idf import IDF

from .conftest import model_state, object_state


def records(model: IDF):
    """(class name as stored, values) of each object, in text order."""
    return [
        (object_state(o)["class_name"], [v.decode() for v in object_state(o)["values"]])
        for o in model_state(model)["objects"]
    ]


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", []),
        ("! comments only\n\n   \n! more\n", []),
        ("Lead Input;", [("Lead Input", [])]),
        ("ClassA,;", [("ClassA", [""])]),
        ("Sample:Object,,b;", [("Sample:Object", ["", "b"])]),
        ("Sample:Object, Big  Name ,X;", [("Sample:Object", ["Big  Name", "X"])]),
        ("sample:OBJECT,a;ClassA,b;", [("Sample:Object", ["a"]), ("ClassA", ["b"])]),
        ("ClassA,\n  a\n  ;", [("ClassA", ["a"])]),
        ("ClassA,MiXeD cAsE;", [("ClassA", ["MiXeD cAsE"])]),
        ("Sample:Object,a,,,;", [("Sample:Object", ["a", "", "", ""])]),
    ],
)
def test_grammar(load, text, expected):
    assert records(load(text)) == expected


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("ClassA,a", "IDF parsing error (Line 1): unterminated object before EOF; missing ';'."),
        ("ClassA,a;\nClassB,\n\n", "IDF parsing error (Line 3): unterminated object before EOF; missing ';'."),
        ("ClassA;\nstray", "IDF parsing error (Line 2): unterminated object before EOF; missing ';'."),
        ("ClassA,\n a\n b;", "IDF parsing error (Line 3): missing delimiter before 'b'."),
        ("Zone\nClassA,a;", "IDF parsing error (Line 2): missing delimiter before 'ClassA'."),
        ("ClassA,a;\nClassB,\x00;", "IDF parsing error (Line 2): 'NUL byte at column 8'"),
    ],
)
def test_syntax_errors(load, text, message):
    with pytest.raises(ValueError) as info:
        load(text)
    assert str(info.value) == message


def test_invalid_utf8_fails_at_load_with_its_line(idd, tmp_path):
    path = tmp_path / "bad.idf"
    path.write_bytes(b"ClassA,a;\n\nClassB,\xff;")
    # the file is not UTF-8, so it is read as Windows-1252 and loads
    assert IDF.from_file(idd, path)["ClassB"][0]["Name"] == "ÿ"
    with pytest.raises(UnicodeDecodeError):
        IDF.from_file(idd, path, encoding="utf-8")


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("Nope,a;", "IDF parsing error: Unknown class: 'Nope'"),
        ("ClassA,a;\nzone-ish, b;", "IDF parsing error: Unknown class: 'zone-ish'"),
        (",a;", "IDF parsing error: Unknown class: ''"),
        (";", "IDF parsing error: Unknown class: ''"),
        ("Büro,a;", "IDF parsing error: Unknown class: 'Büro'"),
    ],
)
def test_unknown_class(load, text, message):
    with pytest.raises(ValueError) as info:
        load(text)
    assert str(info.value) == message


def test_values_keep_case_blanks_and_delimiters_of_other_lines(load):
    model = load("Sample:Object,\n   Name With  Blanks\t,\n  kIND ! comment\n ;")
    assert records(model) == [("Sample:Object", ["Name With  Blanks", "kIND"])]
