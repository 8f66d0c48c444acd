"""Checks of what the engine silently assumes about its inputs.

Each check raises ``InputError`` naming the object and the first offending label. None of
them copies or modifies what it is given.
"""

from __future__ import annotations

import itertools
import math
import re
from typing import Any

import numpy as np
import pandas as pd

from kestrelia.errors import InputError

_CODE = re.compile(r"[0-9]{6}")
# Path separators, and control characters: a file name holding them breaks shell scripts,
# and printed they would move the cursor or retitle the terminal of whoever lists them.
_STEM_FORBIDDEN = re.compile(r"[/\\\x00-\x1f\x7f]")


def frame(value: Any, what: str) -> pd.DataFrame:
    if not isinstance(value, pd.DataFrame):
        raise InputError(f"{what} must be a pandas DataFrame, got {type(value).__name__}")
    return value


def sorted_unique_index(index: pd.Index, what: str) -> None:
    """Dates ascending and unique, as the engine's shifts and joins assume."""
    if index.is_monotonic_increasing and index.is_unique:
        return
    duplicated = index.duplicated()
    if duplicated.any():
        raise InputError(f"{what}: the date {index[int(duplicated.argmax())]!r} appears twice")
    for previous, label in itertools.pairwise(index):
        try:
            ok = bool(previous < label)
        except TypeError:
            raise InputError(f"{what}: the dates {previous!r} and {label!r} cannot be "
                             "compared") from None
        if not ok:
            raise InputError(f"{what}: the dates are not sorted ascending ({label!r} comes "
                             f"after {previous!r})")
    raise InputError(f"{what}: the dates are not sorted ascending")


def stock_codes(columns: pd.Index, what: str) -> None:
    """Unique stock codes of exactly six ASCII digits."""
    # Whole-index text matching first (thousands of columns per matrix); the loop below
    # only finds the first offender.
    labels = columns
    if len(columns) and columns.inferred_type == "string":
        matched = np.asarray(columns.str.fullmatch(r"[0-9]{6}"), dtype=bool)
        if matched.all():
            labels = columns[:0]
    for label in labels:
        if not isinstance(label, str) or not _CODE.fullmatch(label):
            raise InputError(f"{what}: column {label!r} is not a stock code of six ASCII "
                             "digits")
    duplicated = columns.duplicated()
    if duplicated.any():
        raise InputError(f"{what}: the stock code {columns[int(duplicated.argmax())]!r} appears "
                         "twice")


def _first_column(frame: pd.DataFrame, bad: pd.Series) -> Any:
    return frame.columns[int(np.argmax(bad.to_numpy()))]


def _bad_dtypes(frame: pd.DataFrame, is_bad: Any) -> pd.Series | None:
    """Which columns have a dtype `is_bad` refuses (None when none): each distinct dtype
    is asked once, not each of thousands of columns."""
    dtypes = frame.dtypes
    refused = {d for d in set(dtypes) if is_bad(d)}
    if not refused:
        return None
    return dtypes.map(lambda d: d in refused)


def boolean(frame: pd.DataFrame, what: str) -> None:
    bad = _bad_dtypes(frame, lambda d: not pd.api.types.is_bool_dtype(d))
    if bad is not None:
        column = _first_column(frame, bad)
        raise InputError(f"{what}: column {column!r} is {frame[column].dtype}, not a boolean "
                         "mask")


def real_number_dtype(dtype: Any) -> bool:
    """Whether a column of this dtype holds real numbers: numeric, neither boolean nor
    complex (whose imaginary part a float64 view would drop without a word)."""
    return (pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype)
            and not pd.api.types.is_complex_dtype(dtype))


def numeric(frame: pd.DataFrame, what: str) -> None:
    bad = _bad_dtypes(frame, lambda d: not real_number_dtype(d))
    if bad is not None:
        column = _first_column(frame, bad)
        raise InputError(f"{what}: column {column!r} is {frame[column].dtype}, not numeric")


def finite_or_nan(frame: pd.DataFrame, what: str) -> None:
    """Numbers that are finite or NaN (no signal); infinities are refused by cell."""
    numeric(frame, what)
    values = frame.to_numpy(dtype=float, copy=False)
    infinite = np.isinf(values)
    if infinite.any():
        row, col = np.argwhere(infinite)[0]
        raise InputError(f"{what}: the weight {values[row, col]} at ({frame.index[row]!r}, "
                         f"{frame.columns[col]!r}) is not finite")


def positive_finite(value: Any, what: str) -> float:
    number = _number(value, what)
    if not (math.isfinite(number) and number > 0):
        raise InputError(f"{what} must be a finite number greater than 0, got {value!r}")
    return number


def rate(value: Any, what: str) -> float:
    number = _number(value, what)
    if not (math.isfinite(number) and 0 <= number < 1):
        raise InputError(f"{what} must be a finite rate in [0, 1), got {value!r}")
    return number


def whole_at_least(value: Any, minimum: int, what: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise InputError(f"{what} must be an integer, got {value!r}")
    if value < minimum:
        raise InputError(f"{what} must be at least {minimum}, got {value!r}")
    return int(value)


def file_stem(value: Any, what: str) -> str:
    """A name usable as a file stem: no path separators or control characters, not '.' or
    '..', valid Unicode."""
    if not isinstance(value, str) or not value.strip():
        raise InputError(f"{what} must be a non-empty text, got {value!r}")
    if _STEM_FORBIDDEN.search(value) or value in (".", "..") or value.startswith(".."):
        raise InputError(f"{what} {value!r} is not a plain file name (no path separators, "
                         "control characters or '..')")
    if not _encodable(value):
        # A file name read in another encoding than UTF-8 (its undecodable bytes kept as
        # lone surrogates): no report file, chart or page can be written under it.
        raise InputError(f"{what} {value!r} is not valid Unicode text (a file name in "
                         "another encoding than UTF-8?); give a name in plain text")
    return value


def plain_stem(text: str) -> bool:
    """Whether ``file_stem`` accepts ``text`` (a str)."""
    return (bool(text.strip()) and not _STEM_FORBIDDEN.search(text) and text not in (".", "..")
            and not text.startswith("..") and _encodable(text))


def _encodable(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def date_window(start: Any, end: Any) -> tuple[pd.Timestamp | None, pd.Timestamp | None]:
    """``start`` and ``end`` as days (None stays open): unambiguous dates, start not after
    end; a time-zone-aware timestamp is read on its Shanghai day, as the labels are."""
    from kestrelia import _dates, _labels

    bounds: list[pd.Timestamp | None] = []
    for value, what in ((start, "start"), (end, "end")):
        if value is None:
            bounds.append(None)
            continue
        text = _dates.parse_date(_labels.exchange_day(value))
        if text is None:
            raise InputError(f"{what} {value!r} is not an unambiguous date ({_dates.ACCEPTED})")
        bounds.append(pd.Timestamp(text))
    lo, hi = bounds
    if lo is not None and hi is not None and lo > hi:
        raise InputError(f"start {start!r} is after end {end!r}")
    return lo, hi


def _number(value: Any, what: str) -> float:
    if (isinstance(value, (bool, np.bool_, np.complexfloating))
            or not isinstance(value, (int, float, np.number))):
        raise InputError(f"{what} must be a number, got {value!r}")
    try:
        return float(value)
    except OverflowError:  # an integer beyond any float
        raise InputError(f"{what} must be a finite number, got an integer of "
                         f"{len(str(abs(value)))} digits") from None
