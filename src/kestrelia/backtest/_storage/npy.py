"""Safe access to a store's ``.npy`` files.

Anything read from disk is untrusted: a metadata ``file`` entry must name a plain file in
the store folder itself (no separators, no ``..``, no absolute path, no link out of the
store, nothing but a regular file: a FIFO would hang the reader), and a file's header
(dtype, shape, memory order) and size are checked against the metadata before it is mapped,
so a damaged file gives one line naming the dataset instead of a garbled matrix or a crash.
"""

from __future__ import annotations

import hashlib
import os
import re
import stat
from pathlib import Path

import numpy as np

from kestrelia.errors import StoreError

_PLAIN_NAME = re.compile(r"[0-9A-Za-z_][0-9A-Za-z._-]*")
_CHUNK = 1 << 22


def dataset_path(store_dir: Path, file: object, what: str) -> Path:
    """The path of a dataset file named in the metadata, refused unless it is a regular file
    directly inside ``store_dir``."""
    if not isinstance(file, str) or not _PLAIN_NAME.fullmatch(file) or ".." in file:
        raise StoreError(f"{what}: refusing the file entry {file!r} (not a plain file name "
                         f"inside the store {store_dir})")
    path = Path(store_dir) / file
    try:
        real = Path(os.path.realpath(path))
        if real.parent != Path(os.path.realpath(store_dir)):
            raise StoreError(f"{what}: refusing {path}: it links outside the store")
        mode = os.stat(real).st_mode
    except FileNotFoundError:
        raise StoreError(f"{what}: the file {path} is missing") from None
    if not stat.S_ISREG(mode):
        raise StoreError(f"{what}: refusing {path}: not a regular file")
    return path


def read_header(path: Path, what: str) -> tuple[np.dtype, tuple[int, ...], bool, int]:
    """(dtype, shape, fortran_order, data offset) of an ``.npy`` file."""
    try:
        with open(path, "rb") as f:
            major, _minor = np.lib.format.read_magic(f)
            if major == 1:
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
            elif major in (2, 3):
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
            else:
                raise ValueError(f"unknown format version {major}")
            offset = f.tell()
    except (ValueError, OSError, EOFError) as exc:
        raise StoreError(f"{what}: {path} is not a readable .npy file ({exc})") from None
    return np.dtype(dtype), tuple(int(n) for n in shape), bool(fortran), offset


def check_file(path: Path, what: str, dtype: str | None, shape: tuple[int, ...] | None,
               fortran: bool | None) -> tuple[np.dtype, tuple[int, ...], bool, int]:
    """Checks the header and the size of ``path`` against what the metadata records;
    returns the header. ``None`` skips a check."""
    file_dtype, file_shape, file_fortran, offset = read_header(path, what)
    if dtype is not None:
        try:
            wanted = np.dtype(dtype)
        except (TypeError, ValueError):
            raise StoreError(f"{what}: the metadata's dtype {dtype!r} is not a data type "
                             "(damaged metadata)") from None
    if file_dtype.hasobject:
        raise StoreError(f"{what}: {path} holds Python objects, which a store never writes")
    if dtype is not None and file_dtype != wanted:
        raise StoreError(f"{what}: {path} holds {file_dtype} values, the metadata says {dtype}")
    if shape is not None and file_shape != tuple(shape):
        raise StoreError(f"{what}: {path} has shape {file_shape}, the metadata says "
                         f"{tuple(shape)}")
    # A matrix of one row or one column is contiguous both ways, and NumPy records it as
    # C-ordered whatever order it was written in.
    if fortran is not None and min(file_shape, default=0) > 1 and file_fortran != fortran:
        raise StoreError(f"{what}: {path} is not stored column-major as written")
    expected = offset + int(np.prod(file_shape, dtype=np.int64)) * file_dtype.itemsize
    size = os.stat(path).st_size
    if size < expected:
        raise StoreError(f"{what}: {path} is truncated ({size} bytes, {expected} expected)")
    if size > expected:
        raise StoreError(f"{what}: {path} has {size - expected} bytes more than its header "
                         "describes")
    return file_dtype, file_shape, file_fortran, offset


def open_array(path: Path, what: str, dtype: str | None, shape: tuple[int, ...] | None,
               fortran: bool | None) -> np.ndarray:
    """The checked file as a read-only memory map (an empty array for zero cells)."""
    file_dtype, file_shape, file_fortran, offset = check_file(path, what, dtype, shape, fortran)
    if int(np.prod(file_shape, dtype=np.int64)) == 0:
        return np.empty(file_shape, dtype=file_dtype, order="F" if file_fortran else "C")
    return np.memmap(path, dtype=file_dtype, mode="r", offset=offset, shape=file_shape,
                     order="F" if file_fortran else "C")


def digest(path: Path) -> str:
    """SHA-256 of the whole file, recorded at write time and compared by ``verify``."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(_CHUNK):
            h.update(chunk)
    return h.hexdigest()
