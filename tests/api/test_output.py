"""Writing a set of files as a whole: a failure leaves the old set, a killed writer leaves
every file present, and the next write (or ``recover``) finishes or undoes what it left."""

from __future__ import annotations

import fcntl
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from kestrelia.backtest._output import STAGING_PREFIX, recover, write_files
from kestrelia.errors import InputError
from tests.support.cli import child_env

NAMES = ["a.json", "b.csv", "c.png", "d.html"]


def writers(tag, names=NAMES):
    return {name: (lambda path, name=name: path.write_text(f"{tag}:{name}")) for name in names}


def contents(folder):
    """The visible files and their text (the staging folders are hidden)."""
    return {p.name: p.read_text() for p in sorted(Path(folder).iterdir())
            if not p.name.startswith(".")}


def whole(tag, names=NAMES):
    return {name: f"{tag}:{name}" for name in names}


# A writer killed (SIGKILL) at its kill_at-th rename: the first rename puts the journal in
# place, the following ones put the files in place.
CHILD = """
import os, signal, sys
from kestrelia.backtest._output import write_files
folder, kill_at = sys.argv[1], int(sys.argv[2])
names = sys.argv[3].split(",")
calls, replace = [0], os.replace
def replace_or_die(a, b):
    calls[0] += 1
    if calls[0] == kill_at:
        os.kill(os.getpid(), signal.SIGKILL)
    return replace(a, b)
os.replace = replace_or_die
write_files(folder, {n: (lambda p, n=n: p.write_text("new:" + n)) for n in names}, force=True,
            remove=["gone.txt"])
"""


def killed_write(folder, kill_at, names=NAMES):
    done = subprocess.run([sys.executable, "-c", CHILD, str(folder), str(kill_at), ",".join(names)],
                          env=child_env(), capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == -9, done.stderr


@pytest.mark.slow
@pytest.mark.parametrize("kill_at, after", [(1, "old"), (2, "new"), (3, "new"), (5, "new")])
def test_a_killed_write_leaves_every_file_and_is_finished_later(tmp_path, kill_at, after):
    write_files(tmp_path, {**writers("old"), "gone.txt": lambda p: p.write_text("old")},
                force=False)
    killed_write(tmp_path, kill_at)
    visible = {n for n in os.listdir(tmp_path) if not n.startswith(".")}
    assert set(NAMES) <= visible  # nothing missing, whatever the moment of the kill
    assert any(n.startswith(STAGING_PREFIX) for n in os.listdir(tmp_path))
    assert len(recover(tmp_path)) == 1
    want = whole("old") | {"gone.txt": "old"} if after == "old" else whole("new")
    assert contents(tmp_path) == want
    assert sorted(os.listdir(tmp_path)) == sorted(want)  # the staging folder is gone too
    assert recover(tmp_path) == []  # done once and for all


@pytest.mark.slow
def test_the_next_write_finishes_a_killed_one_before_it_starts(tmp_path):
    write_files(tmp_path, writers("old"), force=False)
    killed_write(tmp_path, 3)  # the journal and one file in place
    write_files(tmp_path, writers("third", NAMES[:2]), force=True)
    assert contents(tmp_path) == whole("new") | whole("third", NAMES[:2])


@pytest.mark.parametrize("fail_at", [1, 2, 4])
def test_a_failure_while_placing_puts_the_old_set_back(tmp_path, monkeypatch, fail_at):
    write_files(tmp_path, {**writers("old"), "gone.txt": lambda p: p.write_text("old")},
                force=False)
    calls, replace = [0], os.replace

    def failing(a, b):
        calls[0] += 1
        if calls[0] == fail_at:
            raise OSError("Input/output error")
        return replace(a, b)

    monkeypatch.setattr(os, "replace", failing)
    with pytest.raises(OSError, match="Input/output error"):
        write_files(tmp_path, writers("new", [*NAMES, "extra.txt"]), force=True,
                    remove=["gone.txt"])
    monkeypatch.undo()
    assert contents(tmp_path) == whole("old") | {"gone.txt": "old"}


def test_a_live_writer_is_left_alone_and_a_foreign_journal_ignored(tmp_path):
    write_files(tmp_path, writers("old"), force=False)
    live = tmp_path / f"{STAGING_PREFIX}live"
    live.mkdir()
    (live / "a.json").write_text("staged")
    (live / "journal.json").write_text(json.dumps(
        {"write": ["a.json"], "remove": [], "existed": ["a.json"], "state": "commit"}))
    fd = os.open(live / ".lock", os.O_RDWR | os.O_CREAT)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        assert recover(tmp_path) == [] and live.exists()
    finally:
        os.close(fd)
    # A journal that names a file outside the folder is not one this module wrote.
    (live / "journal.json").write_text(json.dumps(
        {"write": ["../escape"], "remove": [], "existed": [], "state": "commit"}))
    assert recover(tmp_path) == [] and live.exists()
    assert not (tmp_path.parent / "escape").exists()
    assert contents(tmp_path) == whole("old")


def test_an_earlier_version_s_moved_aside_file_comes_back(tmp_path):
    write_files(tmp_path, writers("old"), force=False)
    legacy = tmp_path / f"{STAGING_PREFIX}legacy" / ".previous"
    legacy.mkdir(parents=True)
    os.replace(tmp_path / "a.json", legacy / "a.json")  # killed between its two renames
    assert len(recover(tmp_path)) == 1
    assert contents(tmp_path) == whole("old")


def test_refusals_and_removals(tmp_path):
    write_files(tmp_path, {**writers("old"), "stale.txt": lambda p: p.write_text("x")},
                force=False)
    before = contents(tmp_path)
    with pytest.raises(InputError, match=r"stale\.txt already exists; pass force=True"):
        write_files(tmp_path, writers("new", ["fresh.txt"]), force=False, remove=["stale.txt"])
    assert contents(tmp_path) == before
    written = write_files(tmp_path, writers("new", NAMES[:1]), force=True,
                          remove=["stale.txt", "a.json", "never.txt"])
    assert [p.name for p in written] == ["a.json"]
    assert contents(tmp_path) == {**whole("old"), **whole("new", NAMES[:1])}  # stale.txt gone
    assert not any(n.startswith(".") for n in os.listdir(tmp_path))
