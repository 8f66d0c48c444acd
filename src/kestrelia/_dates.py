"""Reading dates, in two strictnesses.

``parse_date``/``parse_dates`` read dates that users type or keep in their own files,
without guessing: only forms that cannot be read two ways are accepted: ``YYYYMMDD`` text, ISO
``YYYY-MM-DD`` text (optionally followed by a time), date and timestamp objects, and
8-digit integers such as 20240102. ``13/01/2024`` or ``02/01/2024`` could be day-first or
month-first and are refused unless the caller names the format (``strptime`` syntax).

``normalize_yyyymmdd`` reads the dates data services deliver and the store keeps: it also
takes slashed or dotted year-first text and anything ``pd.Timestamp`` reads, and treats
blanks and NaN as missing.
"""

from __future__ import annotations

import datetime as _dt
import re
from collections.abc import Iterable
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["format_problem", "normalize_yyyymmdd", "parse_date", "parse_dates"]

_EIGHT = re.compile(r"([0-9]{4})([0-9]{2})([0-9]{2})")
_ISO = re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2})"
    r"(?:[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]{1,9})?)?)?"
)

ACCEPTED = "use YYYYMMDD or YYYY-MM-DD"

_STORED_EIGHT = re.compile(r"(\d{4})(\d{2})(\d{2})(?:\.0*)?")
_STORED_SEPARATED = re.compile(r"(\d{4})[-/.](\d{1,2})[-/.](\d{1,2})(?:[ T].*)?")
_STORED_DIGITS = re.compile(r"\d+")


def _text(day: _dt.date) -> str:
    # Not strftime: its %Y drops a year's leading zeros on glibc ("09990101" -> "9990101").
    return f"{day.year:04d}{day.month:02d}{day.day:02d}"


def _calendar(year: str, month: str, day: str) -> str | None:
    try:
        return _text(_dt.date(int(year), int(month), int(day)))
    except ValueError:
        return None


def parse_date(value: Any, date_format: str | None = None) -> str | None:
    """``value`` as ``YYYYMMDD`` text, or None when it is not an unambiguous date.

    With ``date_format`` text is read with that ``strptime`` format instead.
    """
    # NaT is a datetime too, of no day.
    if isinstance(value, (bool, np.bool_)) or value is None or value is pd.NaT:
        return None
    if isinstance(value, (str, np.str_)):
        text = str(value).strip()
        if date_format is not None:
            try:
                return _text(_dt.datetime.strptime(text, date_format))
            except ValueError:
                return None
        match = _EIGHT.fullmatch(text) or _ISO.fullmatch(text)
        return _calendar(*match.groups()[:3]) if match else None
    if isinstance(value, (int, np.integer)):
        digits = _EIGHT.fullmatch(str(int(value)))
        return _calendar(*digits.groups()) if digits else None
    if isinstance(value, (float, np.floating)):
        if np.isfinite(value) and float(value).is_integer():
            return parse_date(int(value), date_format)
        return None
    if isinstance(value, np.datetime64):
        return None if np.isnat(value) else _text(pd.Timestamp(value))
    if isinstance(value, pd.Timestamp):
        return None if value is pd.NaT else _text(value)
    if isinstance(value, _dt.date):
        return _text(value)
    return None


def format_problem(date_format: str) -> str | None:
    """Why ``date_format`` cannot read dates, or None when it can: it must be a ``strptime``
    format that gives back the year, month and day of a date it wrote (``%d/%m`` would
    read every date into 1900)."""
    sample = _dt.datetime(2024, 11, 23)
    try:
        back = _dt.datetime.strptime(sample.strftime(date_format), date_format)
    except ValueError as exc:
        return f"the date format {date_format!r} is not a strptime format ({exc})"
    if back.date() != sample.date():
        return f"the date format {date_format!r} does not give the year, month and day"
    return None


def parse_dates(values: Iterable[Any], what: str, date_format: str | None = None) -> list[str]:
    """Every value as ``YYYYMMDD`` text; the first one that is not a date raises
    ``InputError`` naming it and its row (counted from 1)."""
    from kestrelia.errors import InputError

    out = []
    for row, value in enumerate(values, start=1):
        text = parse_date(value, date_format)
        if text is None:
            how = f"does not match the date format {date_format!r}" if date_format else (
                f"is not a date ({ACCEPTED}; day-first or month-first dates need an explicit "
                "format)")
            raise InputError(f"{what}: {value!r} in row {row} {how}")
        out.append(text)
    return out


def _yyyymmdd(year: int, month: int, day: int, value: Any) -> str:
    try:
        return _text(_dt.date(year, month, day))
    except ValueError:
        raise ValueError(f"not a calendar date: {value!r}") from None


def normalize_yyyymmdd(value: Any) -> str | None:
    """Return ``value`` as ``YYYYMMDD`` text, or None for a missing date.

    None, empty or blank text, NaN and NaT are missing. Accepted dates: 8-digit text
    ("20240102"), dashed, slashed or dotted text ("2024-01-02", "2024/1/2", also with a
    time part), ``datetime``, ``date``, ``pd.Timestamp``, ``np.datetime64``, and an 8-digit
    integer such as 20240102 (or that number as a float). Data services often deliver dates
    as such integers; they are read as ``YYYYMMDD``, never as a count of nanoseconds.
    Anything else raises ``ValueError`` naming the value.
    """
    if value is None or value is pd.NaT or value is pd.NA:
        return None
    if isinstance(value, (bool, np.bool_)):
        # A truth value is no date; refused like any other unreadable value.
        raise ValueError(f"cannot read {value!r} as a YYYYMMDD date")
    if isinstance(value, (str, np.str_)):
        text = str(value).strip()
        if not text:
            return None
        match = _STORED_EIGHT.fullmatch(text) or _STORED_SEPARATED.fullmatch(text)
        if match:
            return _yyyymmdd(int(match[1]), int(match[2]), int(match[3]), value)
        if _STORED_DIGITS.fullmatch(text):
            # "2024" or "2024010" would parse as some other day: refuse rather than guess.
            raise ValueError(f"cannot read {value!r} as a YYYYMMDD date")
        try:
            stamp = pd.Timestamp(text)
        except (ValueError, TypeError, OverflowError):
            raise ValueError(f"cannot read {value!r} as a YYYYMMDD date") from None
        return None if pd.isna(stamp) else _text(stamp)
    if isinstance(value, (int, np.integer)):
        number = int(value)
        if 10_000_000 <= number <= 99_999_999:
            return _yyyymmdd(number // 10_000, number // 100 % 100, number % 100, value)
        raise ValueError(f"cannot read {value!r} as a YYYYMMDD date")
    if isinstance(value, (float, np.floating)):
        if np.isnan(value):
            return None
        if float(value).is_integer():
            return normalize_yyyymmdd(int(value))
        raise ValueError(f"cannot read {value!r} as a YYYYMMDD date")
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            return None
        return _text(pd.Timestamp(value))
    if isinstance(value, (_dt.date, pd.Timestamp)):
        return _text(value)
    raise ValueError(f"cannot read {value!r} as a YYYYMMDD date")
