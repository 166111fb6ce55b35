"""Tables in and out of korvane.chain: a quote table's columns as NumPy arrays,
dates as years, and results written back in the table's own library (pandas
directly, any other dataframe through narwhals, an optional import)."""
from __future__ import annotations

import importlib
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._policy import library


class Columns(Mapping[str, Any]):
    """A table's columns by name, each made a NumPy array when first read (a
    quote table may carry many columns analyze never reads)."""

    def __init__(self, names: list[str], get: Any) -> None:
        self._names, self._get = names, get
        self._read: dict[str, Any] = {}

    def __getitem__(self, name: str) -> Any:
        if name not in self._read:
            if name not in self._names:
                raise KeyError(name)
            self._read[name] = self._get(name)
        return self._read[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)


@dataclass(frozen=True)
class Table:
    """A quote table read once: its columns, and how to name and rebuild it."""

    columns: Columns  #: name -> the column as a NumPy array (any dtype)
    rows: int         #: how many
    index: Any        #: the pandas index, or None (rows by position)
    backend: Any      #: None for pandas, else narwhals' implementation

    def __len__(self) -> int:
        return self.rows

    def row(self, i: int) -> str:
        """Row i as an error names it: its label in pandas, its position elsewhere."""
        return f"row {self.index[i]!r}" if self.index is not None else f"row {i}"


def read(quotes: Any) -> Table:
    """The columns of a pandas DataFrame, or of any eager dataframe narwhals
    reads (Polars, PyArrow, Modin, cuDF, ...)."""
    if library(quotes) == "pandas" and hasattr(quotes, "columns") and hasattr(quotes, "index"):
        # By their names as text; a repeated name selects several columns: none of them is read.
        labels = {str(label): label for label in quotes.columns
                  if quotes.columns.is_unique or isinstance(quotes.columns.get_loc(label), int)}
        columns = Columns(list(labels), lambda name: quotes[labels[name]].to_numpy())
        return Table(columns, len(quotes), quotes.index, None)
    try:
        nw: Any = importlib.import_module("narwhals")
    except ImportError:
        raise TypeError(f"quotes must be a pandas DataFrame, or another dataframe with narwhals "
                        f"installed (pip install narwhals); got {type(quotes).__name__}") from None
    try:
        frame = nw.from_native(quotes, eager_only=True)
    except TypeError:
        raise TypeError(f"quotes must be a dataframe (pandas, Polars, PyArrow, ...); "
                        f"got {type(quotes).__name__}") from None
    columns = Columns([str(name) for name in frame.columns], lambda name: frame[name].to_numpy())
    return Table(columns, len(frame), None, frame.implementation)


def write(table: Table, data: dict[str, Any], index: Any = None, index_name: str | None = None) -> Any:
    """A frame of `data` in the table's library: pandas on the table's index
    (or on `index`, named `index_name`); elsewhere `index` leads as a column."""
    if table.backend is None:
        pandas: Any = importlib.import_module("pandas")
        if index is None:
            return pandas.DataFrame(data, index=table.index)
        return pandas.DataFrame(data, index=pandas.Index(index, name=index_name))
    nw: Any = importlib.import_module("narwhals")
    if index is not None:
        data = {str(index_name): index, **data}
    return nw.from_dict({k: _native(v) for k, v in data.items()}, backend=table.backend).to_native()


def _native(values: Any) -> Any:
    # Object arrays of str become lists, which every backend reads as text.
    a = np.asarray(values)
    return a.tolist() if a.dtype.kind == "O" else a


# ---------------------------------------------------------------------------
# Columns as numbers, with errors naming the column and the row.

def numbers(table: Table, name: str) -> np.ndarray:
    """A column as float64 (missing values NaN)."""
    values = table.columns[name]
    try:
        return _float(values)
    except (TypeError, ValueError):
        pass
    for i, value in enumerate(values.tolist()):  # the error path only: find the row
        try:
            _float(np.array([value], dtype=object))
        except (TypeError, ValueError):
            raise ValueError(f"column {name!r}, {table.row(i)}: {value!r} is not a number") from None
    raise ValueError(f"column {name!r} does not hold numbers (dtype {values.dtype})")


def _float(values: np.ndarray) -> np.ndarray:
    if values.dtype.kind in "fiub":
        return values.astype(np.float64, copy=False)
    if values.dtype.kind != "O":
        raise ValueError("not numbers")
    # None, pandas' NA and NaT are missing values; anything else must be a real number.
    out = np.array([np.nan if v is None or _is_na(v) else v for v in values.tolist()], dtype=object)
    if any(isinstance(v, (str, bytes)) for v in out.tolist()):
        raise ValueError("text")
    return out.astype(np.float64)


def _is_na(value: Any) -> bool:
    return type(value).__name__ in ("NAType", "NaTType")


# ---------------------------------------------------------------------------
# Dates as years, Actual/365.

DAY = np.timedelta64(1, "D")


def date(value: Any, name: str) -> np.datetime64:
    """One date (a string, date, datetime, pandas Timestamp or numpy datetime64)."""
    try:
        parsed = np.datetime64(value, "s") if not isinstance(value, np.datetime64) else value
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a date; got {value!r}") from None
    if np.isnat(parsed):
        raise ValueError(f"{name} must be a date; got {value!r}")
    return parsed


def is_dates(values: np.ndarray) -> bool:
    """Whether a column holds dates (datetime64, date objects or text) rather than years."""
    return values.dtype.kind not in "fiub"


def years(values: np.ndarray, valuation: np.datetime64 | None, name: str, row: Any) -> np.ndarray:
    """Maturities in years: numbers as they are, dates as calendar days from the
    valuation date over 365.  `name` and `row(i)` name the values and row i in
    an error."""
    if not is_dates(values):
        T = values.astype(np.float64)
        bad = np.isnan(T)
    else:
        if valuation is None:
            raise ValueError(f"{name} holds dates: pass valuation_date to count years from")
        stamps = _datetimes(values, name, row)
        T = (stamps - valuation) / DAY / 365.0
        bad = np.isnat(stamps)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{name}, {row(i)}: no date or maturity ({values[i]!r})")
    return T


def _datetimes(values: np.ndarray, name: str, row: Any) -> np.ndarray:
    if values.dtype.kind == "M":
        return values.astype("datetime64[s]")
    try:
        return np.asarray(values, dtype="datetime64[s]")
    except (TypeError, ValueError):
        pass
    for i, value in enumerate(values.tolist()):  # the error path only: find the row
        try:
            np.datetime64(value, "s")
        except (TypeError, ValueError):
            raise ValueError(f"{name}, {row(i)}: {value!r} is not a date") from None
    raise ValueError(f"{name} does not hold dates (dtype {values.dtype})")
