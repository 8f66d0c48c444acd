"""Reading the store's pickled metadata without ever running code from it.

The metadata format stays a pickle (stores already written rely on it), but a pickle can
name any importable callable; a crafted ``metadata.pkl`` would otherwise run code when a
store is merely inspected. The unpickler here resolves only the few standard types the
metadata can hold and refuses everything else, naming the file and the object.
"""

from __future__ import annotations

import io
import pickle
from pathlib import Path
from typing import Any

from kestrelia.errors import StoreError

# Containers and scalars need no lookup at all (dict, list, tuple, str, bytes, int, float,
# bool, None are pickle opcodes); these are the only named types a store may hold.
_ALLOWED = {
    ("builtins", "set"),
    ("builtins", "frozenset"),
    ("builtins", "complex"),
    ("builtins", "bytearray"),
    ("datetime", "date"),
    ("datetime", "datetime"),
    ("datetime", "time"),
    ("datetime", "timedelta"),
    ("datetime", "timezone"),
    ("collections", "OrderedDict"),
}


class _RestrictedUnpickler(pickle.Unpickler):
    def __init__(self, file: io.BufferedIOBase, path: Path):
        super().__init__(file)
        self._path = path

    def find_class(self, module: str, name: str) -> Any:
        if (module, name) in _ALLOWED:
            return super().find_class(module, name)
        raise StoreError(
            f"refusing to load {self._path}: unexpected object {module}.{name} "
            "(store metadata holds only plain containers, numbers, text and dates)"
        )


def loads(data: bytes, path: Path) -> Any:
    """Unpickles ``data`` (read from ``path``) with only the allowed types."""
    try:
        return _RestrictedUnpickler(io.BytesIO(data), path).load()
    except StoreError:
        raise
    except (pickle.UnpicklingError, EOFError, ValueError, TypeError, AttributeError,
            IndexError, KeyError, MemoryError, RecursionError) as exc:
        raise StoreError(f"cannot read {path}: damaged metadata ({exc})") from None


def load(path: Path) -> Any:
    """The metadata object of the file ``path`` (``FileNotFoundError`` when absent)."""
    path = Path(path)
    return loads(path.read_bytes(), path)


def dumps(metadata: dict[str, Any], path: Path) -> bytes:
    """Pickles ``metadata`` and checks that the restricted reader accepts it, so that a
    write never commits metadata the store could not read back."""
    data = pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL)
    try:
        loads(data, path)
    except StoreError as exc:
        raise StoreError(
            f"cannot write {path}: the metadata holds a value that is not a plain container, "
            f"number, text or date ({exc})"
        ) from None
    return data
