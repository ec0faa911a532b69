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
