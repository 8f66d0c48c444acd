"""Reading dates that users type or store in files, without guessing.

Only forms that cannot be read two ways are accepted: ``YYYYMMDD`` text, ISO
``YYYY-MM-DD`` text (optionally followed by a time), date and timestamp objects, and
8-digit integers such as 20240102. ``13/01/2024`` or ``02/01/2024`` could be day-first or
month-first and are refused unless the caller names the format (``strptime`` syntax).
"""

from __future__ import annotations

import datetime as _dt
import re
from collections.abc import Iterable
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["parse_date", "parse_dates"]

_EIGHT = re.compile(r"([0-9]{4})([0-9]{2})([0-9]{2})")
_ISO = re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2})"
    r"(?:[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]{1,9})?)?)?"
)

ACCEPTED = "use YYYYMMDD or YYYY-MM-DD"


def _calendar(year: str, month: str, day: str) -> str | None:
    try:
        return _dt.date(int(year), int(month), int(day)).strftime("%Y%m%d")
    except ValueError:
        return None


def parse_date(value: Any, date_format: str | None = None) -> str | None:
    """``value`` as ``YYYYMMDD`` text, or None when it is not an unambiguous date.

    With ``date_format`` text is read with that ``strptime`` format instead.
    """
    if isinstance(value, (bool, np.bool_)) or value is None:
        return None
    if isinstance(value, (str, np.str_)):
        text = str(value).strip()
        if date_format is not None:
            try:
                return _dt.datetime.strptime(text, date_format).strftime("%Y%m%d")
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
        return None if np.isnat(value) else pd.Timestamp(value).strftime("%Y%m%d")
    if isinstance(value, pd.Timestamp):
        return None if value is pd.NaT else value.strftime("%Y%m%d")
    if isinstance(value, _dt.date):
        return value.strftime("%Y%m%d")
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
