"""The engine's message file (``.err``) and its one-line summary (``.end``) as records."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

_HEAD = re.compile(r"^\s*\*\*\s*(Warning|Severe|Fatal|Info)\s*\*\*\s?(.*)$", re.IGNORECASE)
_MORE = re.compile(r"^\s*\*\*\s*~~~\s*\*\*\s?(.*)$")
_COUNTS = re.compile(r"(\d+)\s+Warning;\s*(\d+)\s+Severe Errors", re.IGNORECASE)
_ELAPSED = re.compile(r"Elapsed Time=(\d+)hr\s+(\d+)min\s+([\d.]+)sec", re.IGNORECASE)
# "Coil:Cooling:Water OA COOLING COIL 1", "DesignDay=NAME", "Branch=NAME", "Object=NAME"
_NAMED = re.compile(r"([A-Za-z][A-Za-z0-9]*(?::[A-Za-z0-9]+)+)(?:\s*=\s*|\s+)\"?([^,;\"\[\]]+?)\"?(?=[,;.\]]|\s*$)")
_KEYED = re.compile(r"\b([A-Za-z][A-Za-z]+)=\"?([^,;\"\[\]]+?)\"?(?=[,;.\]]|\s*$|\s{2})")


@dataclass(slots=True)
class Message:
    severity: str  # "warning", "severe", "fatal", "info"
    text: str  # the first line and its continuation lines, joined by line breaks
    line: int  # where it begins in the file
    class_name: str | None = None  # the object it names, when it names one
    object_name: str | None = None
    object: Any = field(default=None, repr=False, compare=False)  # the model's object, when known


@dataclass(slots=True)
class Summary:
    completed: bool
    warnings: int
    severe: int
    elapsed: float | None  # seconds, as the engine reports them


def read_messages(path: str | Path) -> list[Message]:
    """Every warning, severe, fatal and info message of an ``.err`` file, in order."""
    messages: list[Message] = []
    text = Path(path).read_text(encoding="utf-8", errors="replace")
    for number, line in enumerate(text.splitlines(), start=1):
        head = _HEAD.match(line)
        if head:
            messages.append(Message(head.group(1).lower(), head.group(2).rstrip(), number))
            continue
        more = _MORE.match(line)
        if more and messages:
            messages[-1].text += "\n" + more.group(1).rstrip()
    return messages


def read_summary(folder: Path, prefix: str = "eplus") -> Summary | None:
    """The summary of a run: its ``.end`` line, else the last line of its ``.err``."""
    for candidate in (folder / f"{prefix}out.end", folder / f"{prefix}out.err"):
        if candidate.is_file():
            text = candidate.read_text(encoding="utf-8", errors="replace")
            counts = list(_COUNTS.finditer(text))
            if not counts and candidate.suffix == ".err":
                return None
            last = counts[-1] if counts else None
            elapsed = list(_ELAPSED.finditer(text))
            seconds = None
            if elapsed:
                h, m, s = elapsed[-1].groups()
                seconds = int(h) * 3600 + int(m) * 60 + float(s)
            return Summary("completed successfully" in text.lower(), int(last.group(1)) if last else 0,
                           int(last.group(2)) if last else 0, seconds)
    return None


def link_objects(messages: list[Message], model: Any) -> None:
    """Names each message's object, and its object in `model` when the model has it: a
    class name of the schema followed by an object name, or a known class keyword
    ("DesignDay=NAME")."""
    classes = {name.upper(): name for name in (model.idd.class_names() if model is not None and model.idd else [])}
    for message in messages:
        for match in [*_NAMED.finditer(message.text), *_KEYED.finditer(message.text)]:
            class_name = classes.get(match.group(1).upper()) or _keyword_class(classes, match.group(1))
            if class_name is None:
                continue
            name = match.group(2).strip()
            obj = model.get_object_by_name(class_name, name) if class_name in model else None
            if obj is None and class_name not in model:
                continue
            message.class_name, message.object_name, message.object = class_name, str(obj[0]) if obj else name, obj
            break


def _keyword_class(classes: dict[str, str], word: str) -> str | None:
    """The class a message keyword stands for: "DesignDay" for SizingPeriod:DesignDay."""
    wanted = word.upper()
    found = [name for key, name in classes.items() if key.rsplit(":", 1)[-1] == wanted]
    return found[0] if len(found) == 1 else None
