"""Stock codes and trading dates as users spell them, read to one form.

The public backtest, the weight-file reader and the daily-bar importer all read labels
through here, so a code or a date means the same wherever it is given:

- ``stock_code`` reads one code: six digits (``"000001"``), an integer that lost its
  leading zeros (``1``), an exchange suffix or prefix (``000001.SZ``, ``600000.SH``,
  ``sh600000``, ``000001.XSHE``); a suffix that contradicts the exchange the digits
  belong to (``000001.SH`` is an index) is not a stock code.
- ``stock_codes`` reads a whole index of them.
- ``trading_dates`` reads an index of dates (a ``DatetimeIndex``, date objects, ISO text,
  ``YYYYMMDD`` text or 8-digit integers) to a tz-naive ``DatetimeIndex`` named ``date``.
  Time-zone-aware timestamps are first converted to Shanghai time (the exchanges' own), so
  a Shanghai midnight stored in UTC keeps its day.

Two labels that read to the same code or date are refused, naming both.
"""

from __future__ import annotations

import datetime as _dt
import math
import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from kestrelia import _dates
from kestrelia.errors import InputError

__all__ = ["EXCHANGE_TIMEZONE", "exchange_day", "exchange_of", "stock_code", "stock_codes", "trading_dates"]

EXCHANGE_TIMEZONE = "Asia/Shanghai"

# Exchange spellings -> the exchange's own key.
_EXCHANGES = {
    "SH": "XSHG", "SS": "XSHG", "SSE": "XSHG", "XSHG": "XSHG",
    "SZ": "XSHE", "SZSE": "XSHE", "XSHE": "XSHE",
    "BJ": "BJSE", "BSE": "BJSE", "BJSE": "BJSE",
    "CSI": "INDX", "INDX": "INDX",
}  # fmt: skip
_SUFFIXED = re.compile(r"(\d{6})\.([A-Z]{2,4})")
_PREFIXED = re.compile(r"([A-Z]{2})\.?(\d{6})")
_DIGITS = re.compile(r"\d{1,6}")
_SIX = re.compile(r"[0-9]{6}")


def exchange_of(code: str) -> str | None:
    """The exchange a six-digit stock code trades on, or None when its first digits name
    none: Shanghai (``XSHG``) for 6xxxxx and 9xxxxx, Shenzhen (``XSHE``) for 0xxxxx, 2xxxxx
    and 3xxxxx, Beijing (``BJSE``) for 4xxxxx, 8xxxxx and 92xxxx."""
    if not _SIX.fullmatch(code):
        return None
    if code[0] in "48" or code.startswith("92"):
        return "BJSE"
    if code[0] in "69":
        return "XSHG"
    if code[0] in "023":
        return "XSHE"
    return None


def split_code(value: Any) -> tuple[str, str | None] | None:
    """(six digits, exchange or None) of a code in any of the usual spellings, or None."""
    if isinstance(value, (bool, np.bool_)) or value is None:
        return None
    if isinstance(value, (float, np.floating)):
        if not math.isfinite(value) or not float(value).is_integer():
            return None
        value = int(value)
    if isinstance(value, (int, np.integer)):
        return (f"{int(value):06d}", None) if 0 <= value < 1_000_000 else None
    text = str(value).strip().upper()
    if not text.isascii():
        return None
    if _DIGITS.fullmatch(text):
        return text.zfill(6), None
    match = _SUFFIXED.fullmatch(text)
    if match and match[2] in _EXCHANGES:
        return match[1], _EXCHANGES[match[2]]
    match = _PREFIXED.fullmatch(text)
    if match and match[1] in _EXCHANGES:
        return match[2], _EXCHANGES[match[1]]
    return None


def stock_code(value: Any) -> str | None:
    """The six-digit code of a stock in any of the usual spellings, or None.

    >>> [stock_code(v) for v in ("000001.SZ", "sh600000", 1, "000001.SH", "1.5")]
    ['000001', '600000', '000001', None, None]
    """
    parts = split_code(value)
    if parts is None:
        return None
    code, exchange = parts
    known = exchange_of(code)
    if exchange is not None and known is not None and exchange != known:
        return None
    return code


def _all_text(labels: pd.Index) -> bool:
    """Whether every label is text (a text dtype without missing values answers at once;
    an object index is looked through)."""
    if pd.api.types.is_string_dtype(labels.dtype) and labels.dtype != object:
        return not labels.hasnans
    return labels.dtype == object and labels.inferred_type == "string" and not labels.hasnans


def _refuse_twins(originals: pd.Index, read: pd.Index, what: str, kind: str) -> None:
    duplicated = read.duplicated()
    if duplicated.any():
        second = int(np.argmax(duplicated))
        first = int(np.argmax(read == read[second]))
        raise InputError(f"{what}: {originals[first]!r} and {originals[second]!r} are the same "
                         f"{kind}")


def _each_distinct(labels: pd.Index, read: Callable[[Any], Any]) -> list[Any]:
    """read(label) for every label, each distinct label read once."""
    seen: dict[Any, Any] = {}
    out = []
    for label in labels:
        key = (type(label), label)
        if key not in seen:
            seen[key] = read(label)
        out.append(seen[key])
    return out


def stock_codes(labels: pd.Index, what: str) -> pd.Index:
    """Every label as a six-digit code (text), in order; ``labels`` itself when it already
    is. The first label that is not a stock code, or two that are the same code, raise
    ``InputError`` naming them."""
    if len(labels) == 0:
        return pd.Index([], dtype=object)
    if _all_text(labels):
        matched = np.asarray(labels.str.fullmatch(r"[0-9]{6}"), dtype=bool)
        if matched.all():
            _refuse_twins(labels, labels, what, "stock code")
            return labels
    codes = _each_distinct(labels, stock_code)
    for label, code in zip(labels, codes):
        if code is None:
            raise InputError(f"{what}: {label!r} is not a stock code (six digits, optionally "
                             "with an exchange such as 000001.SZ or sh600000)")
    read: pd.Index = pd.Index(codes, dtype=object)
    _refuse_twins(labels, read, what, "stock code")
    return read


def exchange_day(value: Any) -> Any:
    """A time-zone-aware timestamp as the exchanges' wall time (tz-naive), so that its day is
    the Shanghai day, as a label of the same timestamp reads; any other value as it is."""
    if isinstance(value, _dt.datetime) and value is not pd.NaT and value.tzinfo is not None:
        return pd.Timestamp(value).tz_convert(EXCHANGE_TIMEZONE).tz_localize(None)
    return value


def _to_shanghai_days(index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    if index.tz is not None:
        index = index.tz_convert(EXCHANGE_TIMEZONE).tz_localize(None)
    return index.normalize()


def trading_dates(labels: pd.Index, what: str,
                  date_format: str | None = None) -> pd.DatetimeIndex:
    """Every label as a tz-naive midnight timestamp, in order, as a ``DatetimeIndex`` named
    ``date``. The first label that is not an unambiguous date, or two labels of the same
    day, raise ``InputError`` naming them."""
    if isinstance(labels, pd.DatetimeIndex):
        if labels.hasnans:
            row = int(np.argmax(labels.isna()))
            raise InputError(f"{what}: the date in row {row + 1} is missing (NaT)")
        days = _to_shanghai_days(labels)
    elif len(labels) == 0:
        days = pd.DatetimeIndex([], dtype="datetime64[ns]")
    else:
        days = _parsed(labels, what, date_format)
    days = pd.DatetimeIndex(days, name="date")
    _refuse_twins(labels, days, what, "day")
    return days


def _parsed(labels: pd.Index, what: str, date_format: str | None) -> pd.DatetimeIndex:
    if date_format is None:
        # The common spellings in one vectorised step: 8-digit text or integers.
        if labels.dtype.kind in "iu":
            text = labels.astype(str)
            if text.str.fullmatch(r"\d{8}").all():
                parsed = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
                if not parsed.isna().any():
                    return pd.DatetimeIndex(parsed)
        elif _all_text(labels):
            text = pd.Index(labels, dtype=object)
            if text.str.fullmatch(r"\d{8}").all():
                parsed = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
                if not parsed.isna().any():
                    return pd.DatetimeIndex(parsed)
    stamps: list[str] = []
    for row, value in enumerate(labels, start=1):
        stamp = _dates.parse_date(exchange_day(value), date_format)
        if stamp is None:
            how = (f"does not match the date format {date_format!r}" if date_format else
                   f"is not a date ({_dates.ACCEPTED}, a date or a timestamp)")
            raise InputError(f"{what}: {value!r} in row {row} {how}")
        stamps.append(stamp)
    return pd.DatetimeIndex(pd.to_datetime(pd.Index(stamps, dtype=object), format="%Y%m%d"))
