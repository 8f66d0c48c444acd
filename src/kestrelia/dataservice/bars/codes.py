"""Stock codes, index codes, dates and flags as daily-bar tables spell them.

Each parser reads one value and returns the normal form or None when the value cannot be
read; the readers parse each distinct value of a column once, so these stay simple.
"""

from __future__ import annotations

import datetime
import math
from typing import Any

import numpy as np

from kestrelia._dates import parse_date
from kestrelia._labels import split_code as _split_code
from kestrelia._names import KNOWN_INDEXES
from kestrelia.dataservice.service import exchange_ukey

_EPOCH = datetime.date(1970, 1, 1)
_TRUE = {"1", "true", "t", "y", "yes", "是", "st", "*st"}
_FALSE = {"0", "false", "f", "n", "no", "否", ""}


def stock_code(value: Any) -> str | None:
    """The 6-digit code of a stock: ``000001.SZ``, ``600000.SH``, ``sh600000``,
    ``000001.XSHE``, ``1`` (an integer that lost its zeros) all read; a code whose exchange
    suffix contradicts its digits (``000001.SH`` is an index) does not."""
    parts = _split_code(value)
    if parts is None:
        return None
    code, exchange = parts
    try:
        ukey = exchange_ukey(code)
    except ValueError:
        return None
    if exchange is not None and not ukey.endswith("." + exchange):
        return None
    return code


def index_ukey(value: Any) -> str | None:
    """The service key of an index code: the builder's own indexes by their 6 digits
    (``000300.SH``, ``sh000300`` and ``000300`` all give ``000300.XSHG``), any other index
    with the exchange it is given with (``.XSHG`` for 000xxx and ``.XSHE`` for 399xxx when
    none is given, else ``.INDX``)."""
    parts = _split_code(value)
    if parts is None:
        return None
    code, exchange = parts
    if code in KNOWN_INDEXES:
        return KNOWN_INDEXES[code]
    if exchange is None:
        exchange = "XSHG" if code.startswith("000") else "XSHE" if code.startswith("399") else "INDX"
    return f"{code}.{exchange}"


def date_days(value: Any, date_format: str | None = None) -> int | None:
    """Days since 1970-01-01 of a date that cannot be read two ways (``YYYYMMDD`` text or
    number, ISO text with or without a time, a date or timestamp object), or of text in
    ``date_format``; None when it cannot be read. ``02/01/2024`` is refused, not guessed."""
    text = parse_date(value, date_format)
    if text is None:
        return None
    return (datetime.date(int(text[:4]), int(text[4:6]), int(text[6:])) - _EPOCH).days


def days_to_date(days: int) -> datetime.date:
    return _EPOCH + datetime.timedelta(days=int(days))


def flag(value: Any) -> float | None:
    """1.0 or 0.0 of a yes/no column given as a number, a truth value or text; None when it
    cannot be read. Missing values are 0 (not flagged)."""
    if value is None:
        return 0.0
    if isinstance(value, (bool, np.bool_, int, np.integer, float, np.floating)):
        number = float(value)
        if math.isnan(number):
            return 0.0
        return 1.0 if number != 0 else 0.0
    text = str(value).strip().lower()
    if text in _TRUE or text.endswith("st"):
        return 1.0
    if text in _FALSE:
        return 0.0
    try:
        return 1.0 if float(text) != 0 else 0.0
    except ValueError:
        return None
