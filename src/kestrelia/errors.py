"""The public exceptions: the errors the public layer raises, so that callers can tell bad
input from a damaged or busy store without parsing messages. (``kestrelia.exceptions`` is
something else: the host toolkit's module that the native modules read ``NetworkError``
from.)

Both concrete errors also derive from the built-in exception a caller would already catch:
``InputError`` is a ``ValueError`` and ``StoreError`` an ``OSError``.
"""

from __future__ import annotations

__all__ = ["InputError", "KestreliaError", "StoreError", "StoreLockedError"]


class KestreliaError(Exception):
    """Base class of every error kestrelia raises on purpose."""


class InputError(KestreliaError, ValueError):
    """An argument or input table the engine cannot use; the message names the object and
    the first offending label or value."""


class StoreError(KestreliaError, OSError):
    """A prepared-data store that is missing, damaged, untrusted or busy; the message names
    the store file or dataset concerned."""


class StoreLockedError(StoreError):
    """Another process holds the store's writer lock and did not release it in time."""
