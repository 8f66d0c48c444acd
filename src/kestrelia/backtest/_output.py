"""The files of a saved result: their names, and writing them as a whole.

``report_file_names`` and ``execution_file_names`` are what ``BacktestResult.save`` and
``Execution.save`` write for a strategy, and ``check_name_fits`` refuses a strategy name
that would make one of them too long; the result, its execution record and the
command-line tool all read them here, before anything is drawn.

``write_files`` writes one set as a whole: a failure half-way (a full disk, a chart that
cannot be drawn, Ctrl-C) leaves none of the files, and an earlier set it was to replace
stays as it was.

Every file is written into a private folder inside the target folder and renamed into place
only when all of them were written; renames within one folder are atomic and cannot run out
of space.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path

from kestrelia.errors import InputError

__all__ = ["NAME_MAX", "check_file_names", "check_name_fits", "execution_file_names",
           "report_file_names", "write_files"]

#: The longest file name, in bytes, that the common filesystems (ext4, XFS, APFS, NTFS
#: through the usual drivers) accept.
NAME_MAX = 255

Writer = Callable[[Path], object]


def check_file_names(names: Iterable[str], what: str) -> None:
    """Refuses, naming ``what``, a set of file names of which one is too long to create."""
    for name in names:
        size = len(os.fsencode(name))
        if size > NAME_MAX:
            shown = name if len(name) <= 60 else f"{name[:28]}...{name[-28:]}"
            raise InputError(f"{what} is too long for a file name: its file {shown!r} would "
                             f"be {size} bytes, and a file name may have at most {NAME_MAX} "
                             "(UTF-8)")


def report_file_names(name: str) -> list[str]:
    """The files ``BacktestResult.save()`` writes for a strategy named ``name``: seven
    tables, then the two charts and the page."""
    return ["stats.json", f"{name}_daily.csv", f"{name}_daily.parquet", "benchmark_summary.csv",
            "metrics.csv", "monthly.csv", "yearly.csv", f"{name}.png",
            f"{name}_weekly_net_value.png", "report.html"]


def execution_file_names(name: str) -> list[str]:
    """The files an execution record of the strategy ``name`` is saved as."""
    return ["trades.parquet", "positions.parquet", "exposure.csv", "attribution.csv",
            f"{name}_execution.png"]


def check_name_fits(name: str, file_names: list[str] | None = None) -> None:
    """Refuses a strategy name that makes one of the report's file names (``file_names``,
    by default those of ``save()`` with a recorded execution) too long for a file name."""
    if file_names is None:
        file_names = report_file_names(name) + execution_file_names(name)
    shown = name if len(name) <= 40 else f"{name[:37]}..."
    check_file_names(file_names, f"the strategy name {shown!r}")


def write_files(directory: str | os.PathLike[str], writers: Mapping[str, Writer], *,
                force: bool, remove: Iterable[str] = ()) -> list[Path]:
    """Writes ``writers`` (file name -> function writing that file at the path it is given)
    into ``directory``, all or nothing, and returns the paths in the order given.

    Files that exist are replaced only with ``force``; ``remove`` names files of an earlier
    set that must not outlive this one (they too count as existing files). The files get the
    mode the process's umask gives a new file, whatever mode their writer created them with.
    """
    out = Path(directory).expanduser()
    if out.exists() and not out.is_dir():
        raise InputError(f"{out} exists and is not a directory")
    removed = [name for name in remove if name not in writers]
    if not force:
        for name in [*writers, *removed]:
            path = out / name
            if path.exists() or path.is_symlink():
                raise InputError(f"{path} already exists; pass force=True to overwrite it")
    created = _missing_ancestors(out)
    out.mkdir(parents=True, exist_ok=True)
    try:
        staging = Path(tempfile.mkdtemp(prefix=".kestrelia-", dir=out))
    except BaseException:
        _remove_empty(created)
        raise
    placed: list[tuple[Path, Path | None]] = []  # (target, the file it replaced, kept aside)
    try:
        for name, write in writers.items():
            write(staging / name)
        mode = _new_file_mode(staging)
        for name in writers:
            os.chmod(staging / name, mode)
        previous = staging / ".previous"
        previous.mkdir()
        for name in [*writers, *removed]:
            target = out / name
            kept = None
            if target.exists() or target.is_symlink():
                kept = previous / name
                os.replace(target, kept)
            placed.append((target, kept))
            if name in writers:
                os.replace(staging / name, target)
    except BaseException:
        for target, kept in reversed(placed):
            if kept is not None:
                os.replace(kept, target)
            else:
                target.unlink(missing_ok=True)
        shutil.rmtree(staging, ignore_errors=True)
        _remove_empty(created)
        raise
    shutil.rmtree(staging, ignore_errors=True)
    return [out / name for name in writers]


def _new_file_mode(folder: Path) -> int:
    """The permission bits a new file gets under the current umask. Read from a file created
    for the purpose: setting the umask to read it back would race with other threads."""
    probe = folder / ".mode"
    os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    try:
        return probe.stat().st_mode & 0o777
    finally:
        probe.unlink()


def _missing_ancestors(path: Path) -> list[Path]:
    """``path`` and those of its parents that do not exist yet, deepest first."""
    missing = []
    while not path.exists() and path != path.parent:
        missing.append(path)
        path = path.parent
    return missing


def _remove_empty(folders: list[Path]) -> None:
    for folder in folders:
        try:
            folder.rmdir()
        except OSError:
            return
