"""The tokenizer, through its test hook: the token stream the parser sees."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarvel import lexer
from quarvel.lexer import TOKEN_COMMA as C
from quarvel.lexer import TOKEN_EOF as E
from quarvel.lexer import TOKEN_ERROR
from quarvel.lexer import TOKEN_SEMICOLON as S
from quarvel.lexer import TOKEN_TEXT as T


def tokens(data: bytes, idd_mode: bool = False):
    return lexer._tokenize(data, idd_mode)


def kinds_values(data: bytes):
    return [(kind, value) for kind, value, _ in tokens(data)]


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (b"", [(E, b"")]),
        (b"  \n! only a comment\n\t\n", [(E, b"")]),
        (b"Zone,A;", [(T, b"Zone"), (C, b""), (T, b"A"), (S, b""), (E, b"")]),
        # blanks and tabs around values trimmed, inner blanks kept
        (b" \tZone 1 \t , \t Big  Office\t;", [(T, b"Zone 1"), (C, b""), (T, b"Big  Office"), (S, b""), (E, b"")]),
        # an empty slot gives no text token at all
        (b"A, ,B;", [(T, b"A"), (C, b""), (C, b""), (T, b"B"), (S, b""), (E, b"")]),
        # comments run to the end of the line, inside objects too
        (b"A, ! note, with; delimiters\n B; !x", [(T, b"A"), (C, b""), (T, b"B"), (S, b""), (E, b"")]),
        # a value and its delimiter on separate lines
        (b"A\n,\nB\n;", [(T, b"A"), (C, b""), (T, b"B"), (S, b""), (E, b"")]),
        # backslashes are ordinary text outside IDD mode
        (b"A,C:\\dir\\f.csv;", [(T, b"A"), (C, b""), (T, b"C:\\dir\\f.csv"), (S, b""), (E, b"")]),
        ("Zone,Büro;".encode(), [(T, b"Zone"), (C, b""), (T, "Büro".encode()), (S, b""), (E, b"")]),
    ],
)
def test_token_stream(data, expected):
    assert kinds_values(data) == expected


@pytest.mark.parametrize(
    ("data", "lines"),
    [
        (b"A,\nB;\n", [1, 1, 2, 2, 2]),
        (b"A,\r\nB;\r\n", [1, 1, 2, 2, 2]),
        (b"A,\rB;\r", [1, 1, 2, 2, 2]),  # lone CR ends a line
        (b"A,\r\n\rB;", [1, 1, 3, 3, 3]),
        (b"A;\n\n", [1, 1, 2]),  # the final break opens no line, the empty line before it counts
        (b"A,\n\n\n", [1, 1, 3]),
    ],
)
def test_line_numbers(data, lines):
    assert [line for _, _, line in tokens(data)] == lines


@pytest.mark.parametrize(
    ("data", "before", "message", "line"),
    [
        (b"A,B;\nC,\x00D;", [(T, b"A"), (C, b""), (T, b"B"), (S, b""), (T, b"C"), (C, b"")], b"NUL byte at column 3", 2),
        (b"A,\xffB;", [(T, b"A"), (C, b"")], b"invalid UTF-8 byte 0xff at column 3", 1),
        (b"A; ! comment \xc3(\n", [(T, b"A"), (S, b"")], b"invalid UTF-8 byte 0xc3 at column 14", 1),
        (b"A,\xed\xa0\x80;", [(T, b"A"), (C, b"")], b"invalid UTF-8 byte 0xed at column 3", 1),  # surrogate
        (b"\n\nA,\xe2\x82;", [(T, b"A"), (C, b"")], b"invalid UTF-8 byte 0xe2 at column 3", 3),  # truncated
    ],
)
def test_error_tokens(data, before, message, line):
    stream = tokens(data)
    assert [(k, v) for k, v, _ in stream[:-1]] == before
    assert stream[-1] == (TOKEN_ERROR, message, line)


def test_idd_mode_treats_attributes_as_comments():
    data = b"Zone,\n  A1 , \\field Name\n  N1 ; \\field Height, with comma\n"
    assert [(k, v) for k, v, _ in tokens(data, idd_mode=True)] == [
        (T, b"Zone"), (C, b""), (T, b"A1"), (C, b""), (T, b"N1"), (S, b""), (E, b""),
    ]


def test_long_line_and_many_tokens():
    value = b"x" * (5 * 1024 * 1024)
    stream = tokens(b"A," + value + b";")
    assert stream[2] == (T, value, 1)
    many = tokens(b"A" + b",1" * 100_000 + b";")
    assert len(many) == 2 + 2 * 100_000 + 1


def test_tokenize_needs_bytes():
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        lexer._tokenize("A;")


@pytest.mark.parametrize("at", [0, 7, 8, 31, 32, 33, 63, 64, 95])
def test_invalid_byte_found_at_any_offset_of_a_long_ascii_run(at):
    data = bytearray(b"x" * 100)
    data[at] = 0xFF
    stream = tokens(b"A," + bytes(data) + b";")
    assert stream[-1] == (TOKEN_ERROR, f"invalid UTF-8 byte 0xff at column {at + 3}".encode(), 1)


@pytest.mark.parametrize("size", [31, 32, 33, 64, 320])
def test_ascii_texts_whose_length_meets_the_scan_width(size):
    value = b"v" * (size - 3)
    assert kinds_values(b"A," + value + b";") == [(T, b"A"), (C, b""), (T, value), (S, b""), (E, b"")]


def _reference_tokens(data: bytes):
    """Tokens of lines of text, commas, semicolons, blanks and comments, read plainly."""
    out = []
    for number, line in enumerate(data.split(b"\n"), start=1):
        line = line.split(b"!", 1)[0]
        piece = b""
        for byte in line:
            if byte in b",;":
                if piece.strip(b" \t"):
                    out.append((T, piece.strip(b" \t"), number))
                out.append((C if byte == ord(",") else S, b"", number))
                piece = b""
            else:
                piece += bytes([byte])
        if piece.strip(b" \t"):
            out.append((T, piece.strip(b" \t"), number))
    return out


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from([b"a", b"Zone", b"\xc3\xa9", b" ", b"\t", b",", b";", b"!", b"\n", b"-",
                                 b"x" * 9, b"y" * 17, b" " * 16, b"\t " * 9, b"\x08", b"\xe2\x82\xac"]),
                max_size=80))
def test_tokens_match_a_plain_reading(pieces):
    # Runs of text and blanks are scanned many bytes a step, reading past the end of a line:
    # every split point, byte mix and distance from the end of the text agrees.
    data = b"".join(pieces)
    assert [t for t in tokens(data) if t[0] != E] == _reference_tokens(data)
