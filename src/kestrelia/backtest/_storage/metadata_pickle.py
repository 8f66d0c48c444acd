"""Reading the store's pickled metadata without ever running code from it.

The metadata format stays a pickle (stores already written rely on it), but a pickle can
name any importable callable; a crafted ``metadata.pkl`` would otherwise run code when a
store is merely inspected. The unpickler here resolves only the few standard types the
metadata can hold and refuses everything else, naming the file and the object.

A pickle can also make the reader allocate far more than its own size: a constructor called
with a number (``bytearray(4_000_000_000)`` is 30 bytes of pickle) or a memo slot with a
huge index (the C unpickler grows its memo table up to the index, zero-filled). Neither
sized constructors nor such indices are accepted, and the file itself may not exceed
``MAX_METADATA_BYTES``, so reading any metadata costs memory in proportion to a sane file.

The memo lets a pickle refer to one object many times, so a few bytes a level can build a
list of two references to a list of two references ...: read in an instant, yet 2**40
elements to whoever walks it (prints it, compares it, writes it as JSON). What is read must
therefore be a plain tree, as the writer makes it: only containers of scalars (the label
lists datasets share) may be met more than once, nothing nests deeper than
``MAX_DEPTH``, and walking every reference visits at most ``MAX_ELEMENTS`` elements.
"""

from __future__ import annotations

import hashlib
import io
import itertools
import os
import pickle
import pickletools
import stat
from pathlib import Path
from typing import Any

from kestrelia.errors import StoreError

# A 10-year, 5,300-stock store's metadata is about 160 kB: the limit leaves room for
# stores a thousand times larger while keeping a hostile file from filling memory.
MAX_METADATA_BYTES = 256 * 1024 * 1024

# Containers and scalars need no lookup at all (dict, list, tuple, str, bytes, int, float,
# bool, None are pickle opcodes); these are the only named types a store may hold. None of
# them allocates by a number: bytearray (bytearray(n) is n zero bytes) is not among them,
# and bytes come only from opcodes that carry their data.
_ALLOWED = {
    ("builtins", "set"),
    ("builtins", "frozenset"),
    ("builtins", "complex"),
    ("datetime", "date"),
    ("datetime", "datetime"),
    ("datetime", "time"),
    ("datetime", "timedelta"),
    ("datetime", "timezone"),
    ("collections", "OrderedDict"),
}

# The writer nests six levels deep (metadata, datasets, entry, series, entry, dates) and a
# 10-year, 5,300-stock store's metadata holds about 150,000 elements counted per reference
# (the shared label lists once per dataset): room for stores a hundred times larger.
MAX_DEPTH = 32
# Its integers are versions, sizes and counts. A longer one (a few bytes of pickle per
# digit) cannot even be printed: Python refuses to turn an int of over 4,300 digits into
# text, and info would stop with that ValueError.
MAX_INT_BITS = 64
MAX_ELEMENTS = 20_000_000
_CONTAINERS = (dict, list, tuple, set, frozenset)

_MEMO_PUTS = {"PUT", "BINPUT", "LONG_BINPUT"}
# Digests of metadata already scanned, so that the loads of one committed state (a market
# load reads the metadata several times) pay for the scan once. Bounded: entries only.
_SCANNED: dict[bytes, None] = {}
_SCANNED_MAX = 64


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


def _check_memo(data: bytes, path: Path) -> None:
    """Refuses a pickle whose memo indices run ahead of the objects it memoises. A pickler
    numbers its memo slots 0, 1, 2, ... in order; the C unpickler allocates a table as long
    as the largest index, so one far-off index is a memory bomb in a dozen bytes."""
    digest = hashlib.sha256(data).digest()
    if digest in _SCANNED:
        return
    slots = 0
    for opcode, arg, _pos in pickletools.genops(data):
        if opcode.name == "MEMOIZE":
            slots += 1
        elif opcode.name in _MEMO_PUTS:
            if not isinstance(arg, int) or not 0 <= arg <= slots:
                raise StoreError(f"refusing to load {path}: a memo index ({arg}) far beyond "
                                 f"the {slots} objects before it (not written by a store)")
            slots = max(slots, arg + 1)
    if len(_SCANNED) >= _SCANNED_MAX:
        _SCANNED.clear()
    _SCANNED[digest] = None


def _check_tree(value: Any, path: Path) -> None:
    """Refuses ``value`` unless it is a plain tree within the bounds above. Each container
    is scanned once (by identity), so the check costs as much as the pickle is long."""

    def refuse(why: str) -> StoreError:
        return StoreError(f"refusing to load {path}: {why} (not written by a store)")

    # id -> whether the container holds containers; the objects stay alive in ``value``,
    # so their ids are unique while this runs.
    seen: dict[int, bool] = {}
    walked = 0
    if isinstance(value, int) and value.bit_length() > MAX_INT_BITS:
        raise refuse(f"it holds an integer of {value.bit_length():,} bits")
    stack: list[tuple[Any, int]] = [(value, 1)] if isinstance(value, _CONTAINERS) else []
    while stack:
        node, depth = stack.pop()
        walked += len(node)
        if walked > MAX_ELEMENTS:
            raise refuse(f"its values hold more than {MAX_ELEMENTS:,} elements when walked")
        nested = seen.get(id(node))
        if nested is not None:
            if nested:
                raise refuse("a nested container appears more than once (shared or cyclic)")
            continue  # a shared list of labels: counted again above, scanned once
        if depth > MAX_DEPTH:
            raise refuse(f"its values nest more than {MAX_DEPTH} levels deep")
        items = itertools.chain(node.keys(), node.values()) if isinstance(node, dict) else node
        inner = []
        for child in items:
            if isinstance(child, _CONTAINERS):
                inner.append(child)
            elif isinstance(child, int) and child.bit_length() > MAX_INT_BITS:
                raise refuse(f"it holds an integer of {child.bit_length():,} bits")
        seen[id(node)] = bool(inner)
        stack.extend((child, depth + 1) for child in inner)


def loads(data: bytes, path: Path) -> Any:
    """Unpickles ``data`` (read from ``path``) with only the allowed types, and refuses
    what is not a plain tree of bounded size."""
    if len(data) > MAX_METADATA_BYTES:
        raise StoreError(f"refusing to load {path}: {len(data)} bytes of metadata, more than "
                         f"the {MAX_METADATA_BYTES} a store ever needs")
    try:
        _check_memo(data, path)
        value = _RestrictedUnpickler(io.BytesIO(data), path).load()
        _check_tree(value, path)
        return value
    except StoreError:
        raise
    except (pickle.UnpicklingError, EOFError, ValueError, TypeError, AttributeError,
            IndexError, KeyError, MemoryError, RecursionError, OverflowError) as exc:
        raise StoreError(f"cannot read {path}: damaged metadata ({exc})") from None


def read_limited(path: Path) -> bytes:
    """The bytes of the metadata file ``path`` (``FileNotFoundError`` when absent), refused
    unless it is a regular file of at most ``MAX_METADATA_BYTES``: the size is checked
    before anything is read, and a FIFO is refused rather than waited on."""
    path = Path(path)
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise StoreError(f"refusing to load {path}: not a regular file")
        if info.st_size > MAX_METADATA_BYTES:
            raise StoreError(f"refusing to load {path}: {info.st_size} bytes of metadata, more "
                             f"than the {MAX_METADATA_BYTES} a store ever needs")
        os.set_blocking(fd, True)
        with os.fdopen(fd, "rb", closefd=False) as f:
            # One byte more than allowed: a file that grew since fstat is still caught.
            data = f.read(MAX_METADATA_BYTES + 1)
    finally:
        os.close(fd)
    return data


def load(path: Path) -> Any:
    """The metadata object of the file ``path`` (``FileNotFoundError`` when absent)."""
    path = Path(path)
    return loads(read_limited(path), path)


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
