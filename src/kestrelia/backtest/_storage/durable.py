"""Writing a file so that a crash never leaves a half-written one in its place."""

from __future__ import annotations

import os
import uuid
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO


def durable_write(path: Path, write: Callable[[BinaryIO], object]) -> None:
    """Writes through ``write(file)`` under a temporary name in the same folder, makes the
    bytes durable and renames the file into place; on any failure the temporary file is
    removed and ``path`` is untouched."""
    path = Path(path)
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex[:8]}.tmp")
    try:
        with tmp.open("wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def fsync_dir(directory: Path) -> None:
    """Makes a rename inside ``directory`` durable (best effort where the platform refuses)."""
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def replace_file(path: Path, write: Callable[[BinaryIO], object]) -> None:
    """``durable_write`` followed by a sync of the folder, so that the rename itself
    survives a power cut: the one way the store replaces its metadata."""
    durable_write(path, write)
    fsync_dir(Path(path).parent)
