"""What the user hands the command-line tool: dates on the command line and weight files.

Bad input becomes one clear message (``UserError``) naming the first offending value.
"""

from __future__ import annotations

from kestrelia import _dates
from kestrelia.backtest.weights import read_weights
from kestrelia.errors import KestreliaError

__all__ = ["UserError", "date_arg", "read_weights"]


class UserError(KestreliaError):
    """Bad input from the user: reported as one line, never as a traceback."""


def date_arg(value: str, name: str) -> str:
    text = _dates.parse_date(value)
    if text is None:
        raise UserError(f"{name}: {value!r} is not a date ({_dates.ACCEPTED})")
    return text

