"""The commands, each in a module of its own with a `register(subparsers)`."""

from __future__ import annotations

from quarvel.cli import check, diff, format, info, refs, table, view

COMMANDS = [info, format, check, diff, refs, table, view]
