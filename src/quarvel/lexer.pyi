"""Tokenizer of IDF text for quarvel."""

TOKEN_TEXT: int
TOKEN_COMMA: int
TOKEN_SEMICOLON: int
TOKEN_EOF: int
TOKEN_ERROR: int

class Lexer:
    """Tokenizer of IDF text; driven from native code."""

def _tokenize(data: bytes, idd_mode: bool = False) -> list[tuple[int, bytes, int]]: ...
def _count_tokens(data: bytes, /) -> int: ...
