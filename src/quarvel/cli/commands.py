"""The commands, each in a module of its own with a `register(subparsers)`."""

from __future__ import annotations

from quarvel.cli import check, convert, diff, edit, format, hvac, info, refs, results, simulate, table, view

COMMANDS = [info, format, edit, check, diff, convert, refs, table, view, hvac, simulate, results]
