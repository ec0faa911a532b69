"""The two places a run's time series are read from: the SQLite output and the engine's
text format (``.eso``, ``.mtr``). Each gives the reported variables and, for some of
them, their values as (environment, time, value) in the engine's order."""

from __future__ import annotations

import sqlite3
from array import array
from collections.abc import Iterable
from dataclasses import dataclass
from datetime import datetime, timedelta
from pathlib import Path
from typing import Any

from quarvel.utils import eso_points

# Design days carry no year; this one has no 29 February either.
DEFAULT_YEAR = 2001


@dataclass(frozen=True, slots=True)
class Variable:
    key: str  # the object reported on ("SPACE1-1"), or "" for a meter
    name: str  # "Zone Air Temperature", "Electricity:Facility"
    units: str
    frequency: str  # "Timestep", "Hourly", "Daily", "Monthly", "Run Period", "Annual"
    is_meter: bool
    id: int


Point = tuple[str, datetime, float]
# The SQLite output names the timestep of zones and of systems; the text format names one.
_SQL_FREQUENCY = {"Zone Timestep": "Timestep", "HVAC System Timestep": "Timestep"}


def timestamp(year: int | None, month: int, day: int, hour: int, minute: int) -> datetime:
    """The end of a reporting interval; hour 24 is midnight of the next day."""
    return datetime(year or DEFAULT_YEAR, max(month, 1), max(day, 1)) + timedelta(hours=hour, minutes=minute)


Columns = tuple[array, array]  # the time records' indexes ('q') and the values ('d'), in the engine's order


class SqlStore:
    """The SQLite output. Its values table has no index by variable, so any read of one
    variable passes over the whole table: a run of up to `WHOLE_BELOW` values is read whole
    on first use and kept as arrays (16 bytes a value), larger ones per request."""

    WHOLE_BELOW = 4_000_000

    def __init__(self, path: Path) -> None:
        self.path = path
        # Read-only, so that reading never changes or locks the run's file for writing.
        self.db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
        # Text the engine writes in its own 8-bit encoding (a degree sign) must not stop a read.
        self.db.text_factory = lambda raw: raw.decode("utf-8", "replace")
        self._times: dict[int, tuple[str, datetime]] | None = None
        self._columns: dict[int, Columns] = {}
        self._variables: list[Variable] | None = None
        self._read_whole: bool | None = None

    def variables(self) -> list[Variable]:
        if self._variables is None:
            rows = self.db.execute("SELECT ReportDataDictionaryIndex, IsMeter, KeyValue, Name, ReportingFrequency, "
                                   "Units FROM ReportDataDictionary ORDER BY ReportDataDictionaryIndex")
            self._variables = [Variable(key or "", name, units or "", _SQL_FREQUENCY.get(frequency, frequency),
                                        bool(meter), index) for index, meter, key, name, frequency, units in rows]
        return list(self._variables)

    def points(self, ids: Iterable[int]) -> dict[int, list[Point]]:
        clock = self.clock_records()
        out: dict[int, list[Point]] = {}
        for i, (times, values) in self.columns(ids).items():
            try:
                out[i] = [(*clock[t], v) for t, v in zip(times, values)]
            except KeyError as missing:
                raise ValueError(f"{self.path}: a value refers to time record {missing}, which the Time table "
                                 "lacks") from None
        return out

    def columns(self, ids: Iterable[int]) -> dict[int, Columns]:
        """Each variable's time records and values; a value the table leaves empty is NaN."""
        wanted = list(dict.fromkeys(ids))
        missing = [i for i in wanted if i not in self._columns]
        if missing:
            if self._read_whole is None:
                rows = self.db.execute("SELECT max(ReportDataIndex) FROM ReportData").fetchone()[0]
                self._read_whole = (rows or 0) < self.WHOLE_BELOW
            self._read(None if self._read_whole else missing)
            for i in missing:
                self._columns.setdefault(i, (array("q"), array("d")))
        return {i: self._columns[i] for i in wanted}

    def _read(self, ids: list[int] | None) -> None:
        where, arguments = "", ids or []
        if ids is not None:
            where = f" WHERE ReportDataDictionaryIndex IN ({','.join('?' * len(ids))})"
        rows = self.db.execute(f"SELECT ReportDataDictionaryIndex, TimeIndex, Value FROM ReportData{where} "
                               "ORDER BY ReportDataIndex", arguments)
        found: dict[int, tuple[list[int], list[float]]] = {}
        nan = float("nan")
        for index, time_index, value in rows:
            column = found.get(index)
            if column is None:
                column = found[index] = ([], [])
            column[0].append(time_index)
            column[1].append(nan if value is None else value)
        for index, (times, values) in found.items():
            if any(a > b for a, b in zip(times, times[1:])):  # the engine writes in time order; others may not
                order = sorted(range(len(times)), key=times.__getitem__)
                times, values = [times[k] for k in order], [values[k] for k in order]
            self._columns[index] = (array("q", times), array("d", values))

    def clock_records(self) -> dict[int, tuple[str, datetime]]:
        """Each time record's environment and end of interval, by its index; made once."""
        if self._times is None:
            rows = self.db.execute(
                "SELECT t.TimeIndex, e.EnvironmentName, t.Year, t.Month, t.Day, t.Hour, t.Minute FROM Time t "
                "LEFT JOIN EnvironmentPeriods e ON e.EnvironmentPeriodIndex = t.EnvironmentPeriodIndex "
                "ORDER BY t.TimeIndex")
            self._times = {i: (env or "", timestamp(y, mo or 1, d or 1, h or 0, mi or 0))
                           for i, env, y, mo, d, h, mi in rows}
        return self._times

    def tabular(self) -> list[tuple[str, str, str, str, str, str, str]]:
        """(report, for, table, row, column, units, value) of every tabular cell."""
        return list(self.db.execute("SELECT ReportName, ReportForString, TableName, RowName, ColumnName, Units, Value "
                                    "FROM TabularDataWithStrings ORDER BY TabularDataIndex"))

    def errors(self) -> list[tuple[int, str]]:
        return list(self.db.execute("SELECT ErrorType, ErrorMessage FROM Errors ORDER BY ErrorIndex"))

    def close(self) -> None:
        self.db.close()


_FREQUENCY = {"timestep": "Timestep", "each call": "Each Call", "hourly": "Hourly", "daily": "Daily",
              "monthly": "Monthly", "runperiod": "Run Period", "run period": "Run Period",
              "annual": "Annual"}
# The time records of the text format, by the frequency their values follow.
_CLOCK_OF = {"Timestep": 2, "Each Call": 2, "Hourly": 2, "Daily": 3, "Monthly": 4, "Run Period": 5, "Annual": 6}


class EsoStore:
    """The ``.eso`` and ``.mtr`` files of a run: a data dictionary (``id,count,key,name
    [units] !frequency``) ended by "End of Data Dictionary", then lines of ``id,values``,
    each value following the last time record of its frequency (ids 1 to 6)."""

    def __init__(self, paths: list[Path]) -> None:
        self.paths = paths
        self._variables: list[Variable] = []
        self._file_of: dict[int, Path] = {}
        for path in paths:
            for variable in self._dictionary(path):
                self._variables.append(variable)
                self._file_of[variable.id] = path

    @staticmethod
    def _dictionary(path: Path) -> list[Variable]:
        found = []
        meter = path.suffix.lower() == ".mtr"
        with open(path, encoding="utf-8", errors="replace") as stream:
            next(stream, None)  # the program's version line
            for line in stream:
                if line.startswith("End of Data Dictionary"):
                    break
                head, _, frequency = line.partition("!")
                parts = head.rstrip().split(",")
                if len(parts) < 3 or not parts[0].isdigit() or int(parts[0]) <= 6:
                    continue
                label = parts[-1] if meter or len(parts) == 3 else parts[3]
                key = "" if meter or len(parts) == 3 else parts[2]
                name, _, units = label.partition(" [")
                word = frequency.strip().split(" ")[0].lower() if frequency.strip() else ""
                word = "runperiod" if frequency.strip().lower().startswith("run") else word
                found.append(Variable(key, name.strip(), units.rstrip("]").strip(), _FREQUENCY.get(word, frequency.strip()),
                                      meter, int(parts[0])))
        return found

    def variables(self) -> list[Variable]:
        return list(self._variables)

    def points(self, ids: Iterable[int]) -> dict[int, list[Point]]:
        wanted = set(ids)
        out: dict[int, list[Point]] = {i: [] for i in wanted}
        by_file: dict[Path, set[int]] = {}
        for i in wanted:
            by_file.setdefault(self._file_of[i], set()).add(i)
        for path, group in by_file.items():
            self._read(path, group, out)
        return out

    def _read(self, path: Path, group: set[int], out: dict[int, list[Point]]) -> None:
        clock_of = {v.id: _CLOCK_OF.get(v.frequency, 2) for v in self._variables if v.id in group}
        # Read, not mapped: a run that rewrites the file while it is read would end a mapping
        # with a bus error. The copy costs little beside the points made from it.
        with open(path, "rb") as stream:
            data = stream.read()
        try:
            found = eso_points(data, clock_of, DEFAULT_YEAR)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None
        out.update(found)

    def tabular(self) -> list[tuple[str, str, str, str, str, str, str]]:
        return []

    def errors(self) -> list[tuple[int, str]]:
        return []

    def close(self) -> None:
        pass


def store_for(folder: Path, prefix: str = "eplus") -> Any:
    sql = folder / f"{prefix}out.sql"
    if sql.is_file():
        return SqlStore(sql)
    text = [p for p in (folder / f"{prefix}out.eso", folder / f"{prefix}out.mtr") if p.is_file()]
    return EsoStore(text) if text else None
