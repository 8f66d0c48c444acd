"""Weight matrices from files: Parquet or CSV, dates in the first column or the index, one
column per six-digit stock code. Bad files raise ``InputError`` naming the first offending
value."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from kestrelia import _dates
from kestrelia.errors import InputError, KestreliaError

__all__ = ["WeightsFile", "read_weights"]


def _stock_code(value: Any) -> str | None:
    """Spreadsheets drop leading zeros and some sources append an exchange suffix: both
    are read back to the six-digit code. Only ASCII digits count."""
    if isinstance(value, float) and math.isfinite(value) and value.is_integer():
        value = int(value)
    text = str(value).strip()
    if text.isascii() and text.isdigit() and len(text) <= 6:
        return text.zfill(6)
    head = text[:6]
    if len(text) > 6 and head.isascii() and head.isdigit() and text[6] == ".":
        return head
    return None


def _read_table(path: Path) -> pd.DataFrame:
    suffix = path.suffix.lower()
    if suffix == ".parquet":
        import pyarrow.parquet as pq

        names = pq.read_schema(path).names
        seen: set[str] = set()
        for name in names:
            if name in seen:
                raise InputError(f"weights file {path}: the column {name!r} appears twice")
            seen.add(name)
        frame = pd.read_parquet(path)
        if isinstance(frame.index, pd.RangeIndex) and len(frame.columns):
            frame = frame.set_index(frame.columns[0])
        return frame
    if suffix in (".csv", ".txt"):
        return pd.read_csv(path, index_col=0, dtype={0: str})
    raise InputError(f"weights file {path}: use .parquet or .csv")


def read_weights(path: str | Path, date_format: str | None = None) -> pd.DataFrame:
    """Read a weight matrix from a Parquet or CSV file.

    Parameters
    ----------
    path : str or path-like
        ``.parquet`` or ``.csv``: dates in the first column (or the Parquet index), one
        column per stock code. Codes that lost their leading zeros (``1``) or carry an
        exchange suffix (``000001.SZ``) are read back to six digits.
    date_format : str, optional
        A ``strptime`` format for dates that are not ``YYYYMMDD`` or ISO; without it an
        ambiguous date such as ``02/01/2024`` is refused rather than guessed.

    Returns
    -------
    pandas.DataFrame
        Float weights, dates (``YYYYMMDD`` text) x six-digit codes, sorted by date.

    Raises
    ------
    InputError
        For a missing file, a directory, an unreadable table, a bad date or code, a
        boolean or non-numeric cell, or a repeated date or code; the message names the
        first offender.

    Examples
    --------
    >>> read_weights("no-such-file.csv")
    Traceback (most recent call last):
    ...
    kestrelia.errors.InputError: weights file no-such-file.csv does not exist
    """
    path = Path(path).expanduser()
    if path.is_dir():
        raise InputError(f"weights path {path} is a directory, not a file")
    if not path.is_file():
        raise InputError(f"weights file {path} does not exist")
    try:
        frame = _read_table(path)
    except InputError:
        raise
    except Exception as exc:  # the reader's first line names the problem
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise InputError(f"cannot read weights file {path}: {first}") from None
    try:
        dates = _dates.parse_dates(frame.index, f"weights file {path}", date_format)
    except KestreliaError as exc:
        raise InputError(str(exc)) from None
    codes = [_stock_code(c) for c in frame.columns]
    for column, code in zip(frame.columns, codes):
        if code is None:
            raise InputError(f"weights file {path}: column {column!r} is not a 6-digit stock "
                            "code of ASCII digits")
    for column in frame.columns:
        cells = frame[column]
        flags = cells.map(lambda v: isinstance(v, (bool, np.bool_))).to_numpy(dtype=bool)
        if flags.any():
            row = int(flags.argmax())
            raise InputError(f"weights file {path}: the cell ({frame.index[row]!r}, {column!r}) "
                            f"is {cells.iloc[row]!r}; weights must be numbers, not booleans")
    try:
        values = frame.apply(pd.to_numeric, errors="raise").to_numpy(dtype=float)
    except (ValueError, TypeError) as exc:
        raise InputError(f"weights file {path}: weights must be numbers ({exc})") from None
    weights = pd.DataFrame(values, index=pd.Index(dates, dtype="str", name="date"),
                           columns=pd.Index(codes, dtype="str"))
    if not weights.index.is_unique:
        raise InputError(f"weights file {path}: the date "
                        f"{weights.index[weights.index.duplicated()][0]} appears twice")
    if not weights.columns.is_unique:
        raise InputError(f"weights file {path}: the stock code "
                        f"{weights.columns[weights.columns.duplicated()][0]} appears twice")
    return weights.sort_index()


class WeightsFile:
    """A weights file as a sweep strategy: called with the market, it reads the file. It
    pickles as its path and date format, so a cluster's workers read the file themselves.

    Examples
    --------
    >>> WeightsFile("top50.parquet")
    WeightsFile('top50.parquet')
    """

    def __init__(self, path: str | Path, date_format: str | None = None) -> None:
        self.path = Path(path)
        self.date_format = date_format

    def __repr__(self) -> str:
        return f"WeightsFile({str(self.path)!r})"

    def __call__(self, market: object = None) -> pd.DataFrame:
        return read_weights(self.path, self.date_format)
