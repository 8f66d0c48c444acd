"""The files of a saved result: their names, and writing them as a whole.

``report_file_names`` and ``execution_file_names`` are what ``BacktestResult.save`` and
``Execution.save`` write for a strategy, and ``check_name_fits`` refuses a strategy name
that would make one of them too long; the result, its execution record and the
command-line tool all read them here, before anything is drawn.

``write_files`` writes one set as a whole: a failure half-way (a full disk, a chart that
cannot be drawn, Ctrl-C) leaves none of the new files, and an earlier set it was to replace
stays as it was. A process killed while the set is put in place (SIGKILL, a power cut of the
machine aside) leaves every file of a set present, and the next write into the folder, or
``recover``, finishes the set it was putting in place.

How: every file is written into a private staging folder inside the target folder
(``.kestrelia-*``, held under an OS lock while its writer lives). Only when all of them
are written are the files they replace backed up by hard link, and a journal is put into
the staging folder, naming the files to place and to remove. Then each new file is renamed
over its old one: a rename within one folder is atomic and cannot run out of space, so at
every moment each name holds either its old file or its new one, never nothing. A staging
folder whose writer died is read as its journal says: without a journal nothing was put in
place yet and it is deleted; with one the set is completed (the staged files are all
written); a journal marked for rolling back restores the backups.
"""

from __future__ import annotations

import fcntl
import json
import os
import shutil
import tempfile
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any

from kestrelia.errors import InputError

__all__ = ["NAME_MAX", "STAGING_PREFIX", "check_file_names", "check_name_fits",
           "execution_file_names", "recover", "report_file_names", "write_files"]

#: The longest file name, in bytes, that the common filesystems (ext4, XFS, APFS, NTFS
#: through the usual drivers) accept.
NAME_MAX = 255

Writer = Callable[[Path], object]

#: The staging folders ``write_files`` writes in (inside the target folder): its lock file,
#: journal and hard-link backups live there.
STAGING_PREFIX = ".kestrelia-"
_LOCK = ".lock"
_JOURNAL = "journal.json"
_BACKUPS = ".previous"
_STATES = ("commit", "rollback")


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
    into ``directory``, all or nothing, and returns the paths written in the order given (a
    writer may write nothing: its name is then removed like those of ``remove``).

    Files that exist are replaced only with ``force``; ``remove`` names files of an earlier
    set that must not outlive this one (they too count as existing files). The files get the
    mode the process's umask gives a new file, whatever mode their writer created them with.
    What a killed writer left in the folder is finished first (``recover``).
    """
    out = Path(directory).expanduser()
    if out.exists() and not out.is_dir():
        raise InputError(f"{out} exists and is not a directory")
    if out.is_dir():
        recover(out)
    removed = [name for name in dict.fromkeys(remove) if name not in writers]
    if not force:
        for name in [*writers, *removed]:
            path = out / name
            if path.exists() or path.is_symlink():
                raise InputError(f"{path} already exists; pass force=True to overwrite it")
    created = _missing_ancestors(out)
    out.mkdir(parents=True, exist_ok=True)
    staging: Path | None = None
    try:
        staging = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=out))
        lock = _hold(staging)
    except BaseException:
        if staging is not None:
            shutil.rmtree(staging, ignore_errors=True)
        _remove_empty(created)
        raise
    journal: dict[str, list[str]] | None = None
    try:
        for name, write in writers.items():
            write(staging / name)
        # A writer that wrote nothing (a chart without data) leaves its name out of the set.
        written = [name for name in writers if (staging / name).exists()]
        removed += [name for name in writers if name not in written]
        mode = _new_file_mode(staging)
        for name in written:
            os.chmod(staging / name, mode)
        existed = _back_up(out, staging, [*written, *removed])
        journal = {"write": written, "remove": removed, "existed": existed}
        _write_journal(staging, journal, "commit")
        _complete(out, staging, journal)
        (staging / _JOURNAL).unlink()
    except BaseException:
        if journal is not None:
            # Marked first, so that a kill during the rollback is rolled back, not forward.
            _write_journal(staging, journal, "rollback")
            _roll_back(out, staging, journal)
        shutil.rmtree(staging, ignore_errors=True)
        _remove_empty(created)
        raise
    else:
        shutil.rmtree(staging, ignore_errors=True)
    finally:
        os.close(lock)
    return [out / name for name in written]


def recover(directory: str | os.PathLike[str]) -> list[Path]:
    """Finishes what writers killed while writing into ``directory`` left, and returns the
    staging folders it cleared.

    A staging folder whose writer still lives (its lock is held) is left alone. One whose
    writer died before anything was put in place is deleted; one that was putting its set
    in place is completed (or rolled back, when it was rolling back). Staging folders of
    earlier versions, which moved the old files aside before renaming, get back every old
    file whose name was left empty.
    """
    out = Path(directory).expanduser()
    try:
        entries = sorted(out.iterdir())
    except OSError:
        return []
    cleared = []
    for staging in entries:
        if (staging.name.startswith(STAGING_PREFIX) and not staging.is_symlink()
                and staging.is_dir() and _recover_one(out, staging)):
            cleared.append(staging)
    return cleared


def _hold(staging: Path) -> int:
    """Takes the staging folder's lock for this writer's lifetime: the OS drops it when the
    process dies, which is how a later writer tells a dead writer's folder from a live one."""
    fd = os.open(staging / _LOCK, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _back_up(out: Path, staging: Path, names: list[str]) -> list[str]:
    """Hard links to the files about to be replaced or removed, inside the staging folder;
    the names that had a file."""
    backups = staging / _BACKUPS
    backups.mkdir()
    existed = []
    for name in names:
        target = out / name
        if not (target.exists() or target.is_symlink()):
            continue
        try:
            os.link(target, backups / name, follow_symlinks=False)
        except OSError:  # a filesystem without hard links: a copy serves as well
            shutil.copy2(target, backups / name, follow_symlinks=False)
        existed.append(name)
    return existed


def _write_journal(staging: Path, journal: Mapping[str, list[str]], state: str) -> None:
    temporary = staging / ".journal.tmp"
    temporary.write_text(json.dumps({**journal, "state": state}), encoding="utf-8")
    os.replace(temporary, staging / _JOURNAL)


def _read_journal(staging: Path) -> dict[str, Any] | None:
    """The journal, or None when there is none or it is not one this module wrote (a
    folder can hold anything: a name that is not a plain file name voids it)."""
    try:
        journal = json.loads((staging / _JOURNAL).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(journal, dict) or journal.get("state") not in _STATES:
        return None
    for key in ("write", "remove", "existed"):
        names = journal.get(key)
        if not isinstance(names, list) or not all(_plain_name(n) for n in names):
            return None
    return journal


def _plain_name(name: object) -> bool:
    return (isinstance(name, str) and name not in ("", ".", "..") and "/" not in name
            and "\\" not in name and "\0" not in name)


def _complete(out: Path, staging: Path, journal: Mapping[str, list[str]]) -> None:
    """Puts every staged file still in the staging folder in place and removes the names
    to remove; doing it again after an interruption finishes the same set."""
    for name in journal["write"]:
        staged = staging / name
        if staged.exists() or staged.is_symlink():
            os.replace(staged, out / name)
    for name in journal["remove"]:
        (out / name).unlink(missing_ok=True)


def _roll_back(out: Path, staging: Path, journal: Mapping[str, list[str]]) -> None:
    """Restores the backed-up files and deletes the new ones that had no predecessor."""
    existed = set(journal["existed"])
    for name in [*journal["write"], *journal["remove"]]:
        backup = staging / _BACKUPS / name
        if name in existed and (backup.exists() or backup.is_symlink()):
            os.replace(backup, out / name)
        elif name not in existed and name in journal["write"]:
            (out / name).unlink(missing_ok=True)


def _recover_one(out: Path, staging: Path) -> bool:
    lock_path = staging / _LOCK
    if not (lock_path.exists() or lock_path.is_symlink()):
        return _recover_moved_aside(out, staging)
    try:
        fd = os.open(lock_path, os.O_RDWR | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return False  # its writer is still at work
        if (staging / _JOURNAL).exists():
            journal = _read_journal(staging)
            if journal is None:
                return False  # not ours to act on
            if journal["state"] == "commit":
                _complete(out, staging, journal)
            else:
                _roll_back(out, staging, journal)
            (staging / _JOURNAL).unlink()
        shutil.rmtree(staging, ignore_errors=True)
        return True
    finally:
        os.close(fd)


def _recover_moved_aside(out: Path, staging: Path) -> bool:
    """A staging folder of an earlier version: it moved each old file into ``.previous``
    before renaming the new one in, so a kill could leave a name empty."""
    backups = staging / _BACKUPS
    if backups.is_symlink() or not backups.is_dir():
        return False  # perhaps a writer of this version that has not taken its lock yet
    for kept in sorted(backups.iterdir()):
        target = out / kept.name
        if _plain_name(kept.name) and not (target.exists() or target.is_symlink()):
            os.replace(kept, target)
    shutil.rmtree(staging, ignore_errors=True)
    return True


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
