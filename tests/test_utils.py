"""The utility module: file reading, value-to-text, time, digit runs."""

import re
from fractions import Fraction
from pathlib import Path

import pytest

from quarvel import utils


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (b"Zone,A;\n", b"Zone,A;\n"),
        (b"\xef\xbb\xbfZone,A;", b"Zone,A;"),  # byte-order mark dropped
        ("Zone,Büro;".encode(), "Zone,Büro;".encode()),  # valid UTF-8 kept as it is
        (b"Zone,B\xfcro \x80;", "Zone,Büro €;".encode()),  # Windows-1252 fallback
        (b"\x81\x8d\x8f\x90\x9d", "\x81\x8d\x8f\x90\x9d".encode()),  # undefined in 1252: Latin-1
        (b"\xef\xbb\xbfB\xfcro", "Büro".encode()),  # mark dropped before the fallback too
        (b"", b""),
    ],
)
def test_read_utf8_bytes_without_encoding(tmp_path: Path, raw: bytes, expected: bytes):
    path = tmp_path / "f.idf"
    path.write_bytes(raw)
    assert utils.read_utf8_bytes(path) == expected
    assert utils.read_utf8_bytes(str(path), encoding=None) == expected


def test_read_utf8_bytes_with_encoding(tmp_path: Path):
    path = tmp_path / "f.idf"
    path.write_bytes("Zone,Ωmega;".encode("utf-16"))
    assert utils.read_utf8_bytes(path, "utf-16") == "Zone,Ωmega;".encode()
    path.write_bytes(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        utils.read_utf8_bytes(path, "utf-8")


@pytest.mark.parametrize("encoding", [1, b"utf-8"])
def test_read_utf8_bytes_rejects_bad_encoding_argument(tmp_path: Path, encoding):
    path = tmp_path / "f.idf"
    path.write_bytes(b"")
    with pytest.raises(TypeError):
        utils.read_utf8_bytes(path, encoding)


def test_read_utf8_bytes_errors(tmp_path: Path):
    with pytest.raises(FileNotFoundError) as info:
        utils.read_utf8_bytes(tmp_path / "missing.idf")
    assert info.value.filename == tmp_path / "missing.idf"
    with pytest.raises(IsADirectoryError):
        utils.read_utf8_bytes(tmp_path)
    with pytest.raises(ValueError):
        utils.read_utf8_bytes("a\0b")


class Weird:
    def __str__(self):
        return "weird"


class Broken:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    ("value", "text"),
    [
        ("Zone 1", b"Zone 1"),
        ("Büro", "Büro".encode()),
        (True, b"Yes"),
        (False, b"No"),
        (42, b"42"),
        (-7, b"-7"),
        (10**30, b"1" + b"0" * 30),
        (1.5, b"1.5"),
        (0.1, b"0.1"),
        (1e20, b"1e+20"),
        (float("inf"), b"inf"),
        (Fraction(1, 2), b"1/2"),
        (Weird(), b"weird"),
    ],
)
def test_any_to_string(value, text):
    assert utils.any_to_string(value) == text


def test_any_to_string_errors():
    with pytest.raises(RuntimeError, match="no text"):
        utils.any_to_string(Broken())
    with pytest.raises(UnicodeEncodeError):
        utils.any_to_string("\ud800")


def test_get_current_time():
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", utils.get_current_time())


@pytest.mark.parametrize(
    ("key", "indices"),
    [
        (b"vertex_12_xcoordinate", (7, 9)),
        (b"side_1_lengthscale", (5, 6)),
        (b"a1b22", (1, 2)),
        (b"12", (0, 2)),
        (b"name", (-1, -1)),
        (b"", (-1, -1)),
    ],
)
def test_get_continuous_digits_indices(key, indices):
    assert utils.get_continuous_digits_indices(key) == indices


def test_get_continuous_digits_indices_needs_bytes():
    with pytest.raises(TypeError, match="Argument 'key' has incorrect type"):
        utils.get_continuous_digits_indices("12")


ESO_HEAD = b"Program Version,Engine\n7,1,Zone A,Zone Air Temperature [C] !Hourly\nEnd of Data Dictionary\n"


@pytest.mark.parametrize(
    ("body", "wanted", "expected"),
    [
        # timestep/hourly records end at their end minute; hour 24 is the next midnight
        (b"1,WINTER DAY, 1,2\n2,1, 1,21, 0, 1, 0.00,15.00,Monday\n7,-17.3\n2,1, 1,21, 0,24,45.00,60.00,Monday\n7,2\n",
         {7: 2}, [("WINTER DAY", (1, 21, 0, 15), -17.3), ("WINTER DAY", (1, 22, 0, 0), 2.0)]),
        # daily records end at the next midnight, monthly ones at the month's end, run
        # periods at the end of the environment's latest interval
        (b"3,1, 7,21, 0,Monday\n8,1.5\n4,31, 2\n9,  -2.25 \n5,1\n10,7\n1,NEXT\n5,1\n10,8\n",
         {8: 3, 9: 4, 10: 5},
         [("", (7, 22, 0, 0), 1.5), ("", (3, 1, 0, 0), -2.25), ("", (7, 22, 0, 0), 7.0),
          ("NEXT", (1, 1, 0, 0), 8.0)]),
        # before any record, and for run-period records or ones that do not read: 1 January
        (b"7,1e999\n2,1,13,40, 0, 1, 0.00,60.00,X\n7,-0\n5,3\n10,+4\n", {7: 2, 10: 5},
         [("", (1, 1, 0, 0), float("inf")), ("", (1, 1, 0, 0), -0.0), ("", (1, 1, 0, 0), 4.0)]),
        # CRLF lines; ids written otherwise (a leading zero, a sign, blanks) are other lines
        (b"7,1.25\r\n07,9\r\n+7,9\r\n 7,9\r\n7 ,9\r\n11,8\r\n", {7: 2}, [("", (1, 1, 0, 0), 1.25)]),
    ],
)
def test_eso_points(body, wanted, expected):
    from datetime import datetime

    found = utils.eso_points(ESO_HEAD + body, wanted, 2001)
    points = [p for i in sorted(found) for p in found[i]]
    assert [(env, (t.month, t.day, t.hour, t.minute), v) for env, t, v in points] == expected
    assert all(t.year == 2001 and isinstance(t, datetime) for _, t, _ in points)
    assert set(found) == set(wanted)


def test_eso_points_refusals():
    with pytest.raises(ValueError, match=r"^line 5: the value '1\.5x' of variable 7 is not a number$"):
        utils.eso_points(ESO_HEAD + b"7,1\n7,1.5x\n", {7: 2}, 2001)
    assert utils.eso_points(b"7,1\n", {7: 2}, 2001) == {7: []}  # no dictionary end: no data yet
    with pytest.raises(TypeError):
        utils.eso_points("text", {7: 2}, 2001)
    with pytest.raises(ValueError, match="clock ids 2 to 6"):
        utils.eso_points(ESO_HEAD, {3: 2}, 2001)
    with pytest.raises(ValueError, match="clock ids 2 to 6"):
        utils.eso_points(ESO_HEAD, {7: 9}, 2001)
    with pytest.raises(ValueError, match="year"):
        utils.eso_points(ESO_HEAD, {7: 2}, 0)
