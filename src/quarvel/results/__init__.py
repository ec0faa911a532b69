"""The results of a run of the engine: ``quarvel.results.open(path)`` on a run folder or
an ``.sql`` file gives ``Results``: the reported variables and meters, their time series
(from the SQLite output, or from the ``.eso``/``.mtr`` text files of a run without it),
the tabular reports and the messages of the ``.err`` file.

Series and tables come as pandas frames (``pip install quarvel[pandas]``); the records
(``variables``, ``points``, ``cells``, ``messages``) need nothing beyond Python.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from quarvel.results.messages import Message, Summary, link_objects, read_messages, read_summary
from quarvel.results.store import EsoStore, Point, SqlStore, Variable, store_for

__all__ = ["Message", "Results", "ResultsError", "Summary", "Variable", "open"]

_ERROR_TYPES = {-1: "info", 0: "warning", 1: "severe", 2: "fatal"}


class ResultsError(ValueError):
    """A folder or file that holds no results, or a series that is not reported."""


class Results:
    """What one run reported. `model`, when the run came from `quarvel.run(model)`, links
    messages to the model's objects."""

    def __init__(self, folder: Path, store: SqlStore | EsoStore | None, prefix: str = "eplus",
                 model: Any = None) -> None:
        self.folder = folder
        self.prefix = prefix
        self.model = model
        self._store = store
        self._times: _TimeIndex | None = None

    def close(self) -> None:
        if self._store is not None:
            self._store.close()

    def __enter__(self) -> Results:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _need_store(self) -> SqlStore | EsoStore:
        if self._store is None:
            raise ResultsError(f"{self.folder}: the run wrote no time series (no .sql, .eso or .mtr file)")
        return self._store

    # ---- variables and series ----

    def variables(self) -> list[Variable]:
        """Every reported variable and meter: key, name, units, frequency."""
        return self._need_store().variables()

    def _matching(self, name: str, key: str | None, frequency: str | None) -> list[Variable]:
        found = [v for v in self.variables() if v.name.upper() == name.upper()
                 and (key is None or v.key.upper() == key.upper())
                 and (frequency is None or v.frequency.upper().replace(" ", "") == frequency.upper().replace(" ", ""))]
        if not found:
            from quarvel._suggest import closest, with_suggestions

            what = name + (f" for {key}" if key else "") + (f" ({frequency})" if frequency else "")
            raise with_suggestions(ResultsError(f"nothing reported as {what}"),
                                   closest(name, sorted({v.name for v in self.variables()})))
        frequencies = {v.frequency for v in found}
        if len(frequencies) > 1:
            raise ResultsError(f"{name} is reported {', '.join(sorted(frequencies))}: give frequency= to choose")
        return found

    def points(self, name: str, key: str | None = None, frequency: str | None = None) -> dict[str, list[Point]]:
        """The values of a variable, by key: (environment, end of interval, value) in the
        engine's order."""
        found = self._matching(name, key, frequency)
        data = self._need_store().points(v.id for v in found)
        return {v.key: data[v.id] for v in found}

    def series(self, name: str, key: str | None = None, frequency: str | None = None) -> Any:
        """A pandas Series (one key) or DataFrame (a column per key) of float64, indexed by
        (environment, time): design days and run periods stay apart."""
        import numpy as np  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

        found = self._matching(name, key, frequency)
        store = self._need_store()
        columns = {}
        if isinstance(store, SqlStore):
            times = self._time_index(store)
            by_id = store.columns(v.id for v in found)
            for v in found:
                records, values = by_id[v.id]
                columns[v.key] = pd.Series(np.array(values, dtype="float64"), index=times.at(records),
                                           name=v.key or name)
        else:
            by_point = store.points(v.id for v in found)
            for v in found:
                points = by_point[v.id]
                index = pd.MultiIndex.from_arrays([[e for e, _, _ in points], [t for _, t, _ in points]],
                                                  names=["environment", "time"])
                columns[v.key] = pd.Series([x for _, _, x in points], index=index, dtype="float64", name=v.key or name)
        if len(columns) == 1:
            return next(iter(columns.values()))
        return pd.DataFrame(columns)

    def _time_index(self, store: SqlStore) -> _TimeIndex:
        if self._times is None or self._times.store is not store:
            self._times = _TimeIndex(store)
        return self._times

    # ---- tables ----

    def cells(self) -> list[tuple[str, str, str, str, str, str, str]]:
        """(report, for, table, row, column, units, value) of every tabular cell."""
        return self._need_store().tabular()

    def tables(self) -> list[tuple[str, str, str]]:
        """(report, for, table) of every tabular report table, in the engine's order."""
        return list(dict.fromkeys((r, f, t) for r, f, t, *_ in self.cells()))

    def table_cells(self, report: str, table: str,
                    for_: str | None = None) -> list[tuple[str, str, str, str, str, str, str]]:
        """The cells of one table (any letter case), as cells() gives them."""
        cells = [c for c in self.cells() if c[0].upper() == report.upper() and c[2].upper() == table.upper()
                 and (for_ is None or c[1].upper() == for_.upper())]
        if not cells:
            raise ResultsError(f"no table {table!r} in report {report!r}" + (f" for {for_!r}" if for_ else ""))
        return cells

    def table(self, report: str, table: str, for_: str | None = None) -> Any:
        """One table as a DataFrame: row names as the index, a column per column (its
        units in brackets), numbers as numbers."""
        import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

        rows: dict[str, dict[str, Any]] = {}
        for _, _, _, row, column, units, value in self.table_cells(report, table, for_):
            label = f"{column} [{units}]" if units else column
            rows.setdefault(row, {})[label] = _number(value)
        return pd.DataFrame.from_dict(rows, orient="index")

    # ---- messages ----

    def messages(self) -> list[Message]:
        """The messages of the run: from its ``.err`` file, else from the SQLite output."""
        err = self.folder / f"{self.prefix}out.err"
        if err.is_file():
            found = read_messages(err)
        elif isinstance(self._store, SqlStore):
            found = [Message(_ERROR_TYPES.get(kind, "info"), text, 0) for kind, text in self._store.errors()]
        else:
            found = []
        if self.model is not None:
            link_objects(found, self.model)
        return found

    @property
    def summary(self) -> Summary | None:
        """Warning and severe counts, whether it completed, the elapsed time."""
        return read_summary(self.folder, self.prefix)


class _TimeIndex:
    """The (environment, time) index of every time record of a SQLite output, made once:
    a series takes its rows by the records its values follow."""

    def __init__(self, store: SqlStore) -> None:
        import numpy as np  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

        self.store = store
        clock = store.clock_records()
        self.index = pd.MultiIndex.from_arrays([[e for e, _ in clock.values()], [t for _, t in clock.values()]],
                                               names=["environment", "time"])
        numbers = np.fromiter(clock, dtype="int64", count=len(clock))
        self.position = np.full(int(numbers.max()) + 1 if len(numbers) else 1, -1, dtype="int64")
        self.position[numbers] = np.arange(len(numbers))

    def at(self, records: Any) -> Any:
        import numpy as np  # type: ignore[import-untyped, import-not-found, unused-ignore]

        numbers = np.frombuffer(records, dtype="int64") if len(records) else np.zeros(0, dtype="int64")
        inside = (numbers >= 0) & (numbers < len(self.position))
        rows = np.where(inside, self.position[np.where(inside, numbers, 0)], -1)
        if (rows < 0).any():
            raise ResultsError(f"{self.store.path}: a value refers to time record {int(numbers[rows < 0][0])}, "
                               "which the Time table lacks")
        return self.index.take(rows)


def _number(text: Any) -> Any:
    if not isinstance(text, str):
        return text
    stripped = text.strip()
    try:
        return float(stripped)
    except ValueError:
        return stripped


def open(path: str | os.PathLike[str], prefix: str = "eplus", model: Any = None) -> Results:  # noqa: A001
    """The results in a run folder, or in one ``.sql`` file."""
    target = Path(path)
    if target.is_file():
        if target.suffix.lower() != ".sql":
            raise ResultsError(f"{target}: give a run folder or its .sql file")
        return Results(target.parent, SqlStore(target), prefix, model)
    if not target.is_dir():
        raise ResultsError(f"{target}: no such run folder")
    store = store_for(target, prefix)
    if store is None and not (target / f"{prefix}out.err").is_file():
        raise ResultsError(f"{target}: no results of a run here (no {prefix}out.sql, .eso or .err)")
    return Results(target, store, prefix, model)
