"""The commands, each in a module of its own with a `register(subparsers)`."""

from __future__ import annotations

from quarvel.cli import check, format, info, refs

COMMANDS = [info, format, check, refs]
