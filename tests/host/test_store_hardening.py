"""The store against a hostile or damaged folder: the writer lock file, files the store did
not write, labels changed in the metadata, leftovers of killed writes, and metadata made to
exhaust memory."""

import os
import pickle
import struct
import threading

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest._storage import metadata_pickle
from kestrelia.backtest._storage.lock import LOCK_FILE, writer_lock
from kestrelia.backtest._store import BinaryPreparedDataStoreBase
from kestrelia.errors import StoreError, StoreLockedError

DTYPES = {"close_price": "float64", "can_buy_stock": "bool"}
CODES = [f"{600000 + i:06d}" for i in range(8)]
DATES = [f"202401{d:02d}" for d in range(2, 12)]


def payload(dates=DATES, offset=0.0):
    values = np.arange(len(dates) * len(CODES), dtype=float).reshape(len(dates), len(CODES))
    close = pd.DataFrame(values + offset, index=list(dates), columns=CODES)
    return {"version": 1, "meta": {}, "data": {
        "close_price": close, "can_buy_stock": close > close.to_numpy().mean(),
        "factor_0": close * 2,
        "benchmark_dict": {"000300": close.iloc[:, 0].rename("r")}}}


@pytest.fixture
def store(tmp_path):
    s = BinaryPreparedDataStoreBase(tmp_path / "s", DTYPES, 1, "float64")
    s.write(payload())
    return s


def rewrite_metadata(store, change):
    metadata = store.load_metadata()
    change(metadata)
    store.metadata_path.write_bytes(pickle.dumps(metadata))


class TestLockFile:
    """A planted .writer.lock never makes a writer create, empty or write a file elsewhere."""

    def plant(self, kind, lock, victim):
        if kind == "link to a file":
            victim.write_bytes(b"the user's data\n")
            lock.symlink_to(victim)
        elif kind == "link to nothing":
            lock.symlink_to(victim)
        elif kind == "hard link":
            victim.write_bytes(b"the user's data\n")
            os.link(victim, lock)
        elif kind == "fifo":
            os.mkfifo(lock)
        elif kind == "folder":
            lock.mkdir()

    @pytest.mark.parametrize("kind, fragment", [
        ("link to a file", "symbolic link"),
        ("link to nothing", "symbolic link"),
        ("hard link", "2 names"),
        ("fifo", "not a regular file"),
        ("folder", "a folder"),
    ])
    def test_is_refused_and_nothing_outside_changes(self, store, tmp_path, kind, fragment):
        lock, victim = store.store_dir / LOCK_FILE, tmp_path / "victim.txt"
        lock.unlink()
        self.plant(kind, lock, victim)
        before = victim.read_bytes() if victim.exists() else None
        metadata = store.metadata_path.read_bytes()
        with pytest.raises(StoreError, match=rf"refusing the writer lock .*{LOCK_FILE}: .*{fragment}"):
            store.update_tail(payload(DATES[-2:], offset=5.0))
        assert (victim.read_bytes() if victim.exists() else None) == before
        assert store.metadata_path.read_bytes() == metadata

    def test_the_pid_overwrites_a_longer_one_without_truncating(self, store):
        lock = store.store_dir / LOCK_FILE
        lock.write_bytes(b"4194303999\nmore bytes the writer never truncates\n")
        held, release = threading.Event(), threading.Event()

        def hold():
            with writer_lock(store.store_dir):
                held.set()
                release.wait(10)

        holder = threading.Thread(target=hold)
        holder.start()
        try:
            held.wait(10)
            with pytest.raises(StoreLockedError, match=rf"\(pid {os.getpid()}\);"):
                with writer_lock(store.store_dir, timeout=0.05):
                    pass
        finally:
            release.set()
            holder.join()
        assert lock.read_bytes().endswith(b"\nmore bytes the writer never truncates\n")
        assert lock.read_bytes()[:10].strip() == b""  # released: no holder named


def put_files(folder):
    """Files a user (or anyone) left in the folder, some named like the store's own."""
    files = {"close_price.0123456789ab.npy": b"user data", ".x.npy.0123abcd.tmp": b"user temp",
             "notes.txt": b"notes"}
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return files


class TestOnlyItsOwnFilesAreDeleted:
    @pytest.mark.parametrize("write", [
        lambda s: s.write(payload(offset=1.0)),
        lambda s: s.update_tail(payload(DATES[-3:], offset=1.0)),
    ])
    def test_files_it_did_not_write_survive(self, store, write):
        files = put_files(store.store_dir)
        replaced = {e["file"] for e in store.load_metadata()["datasets"].values() if "file" in e}
        write(store)
        for name, data in files.items():
            assert (store.store_dir / name).read_bytes() == data
        assert not any((store.store_dir / name).exists() for name in replaced)
        assert store.verify() == []

    @pytest.mark.parametrize("file", ["../victim.0123456789ab.npy", "notes.txt",
                                      "victim.0123456789ab.npy"])
    def test_names_in_damaged_metadata_outside_its_own_kind_survive(self, store, file):
        # Previous metadata is read from disk: a name it lists is deleted only when it is a
        # data file name inside the store (a stale dataset file is the store's to delete).
        victim = (store.store_dir / file).resolve()
        victim.write_bytes(b"keep")
        rewrite_metadata(store, lambda m: m["datasets"]["factor_0"].update(file=file))
        store.write(payload(offset=2.0))
        assert victim.exists() == (file != "victim.0123456789ab.npy")


class _Sized:
    """Pickles as a constructor called with a size: a few bytes that allocate `n`."""

    def __init__(self, kind, n):
        self.kind, self.n = kind, n

    def __reduce__(self):
        return (self.kind, (self.n,))


def memo_bomb(index):
    # A valid pickle of {} whose one memo slot is put at a far-off index.
    return b"\x80\x04}" + b"r" + struct.pack("<I", index) + b"."


class TestMetadataWithinBounds:
    @pytest.mark.parametrize("data, fragment", [
        (pickle.dumps({"meta": _Sized(bytearray, 1 << 28)}, protocol=2),
         "unexpected object __builtin__.bytearray"),
        (pickle.dumps({"meta": _Sized(bytearray, 1 << 28)}, protocol=5),
         "unexpected object builtins.bytearray"),
        (pickle.dumps({"meta": _Sized(bytes, 1 << 28)}, protocol=5),
         "unexpected object builtins.bytes"),
        (memo_bomb(1 << 23), r"a memo index \(8388608\) far beyond the 0 objects"),
        (b"}p999999999999\n.", r"a memo index \(999999999999\)"),
    ], ids=["bytearray-protocol-2", "bytearray", "bytes", "memo-index", "memo-index-text"])
    def test_sized_allocations_are_refused(self, store, data, fragment):
        store.metadata_path.write_bytes(data)
        with pytest.raises(StoreError, match=rf"refusing to load .*metadata\.pkl: {fragment}"):
            store.load_metadata()

    def test_a_file_over_the_limit_is_not_read(self, store, monkeypatch):
        monkeypatch.setattr(metadata_pickle, "MAX_METADATA_BYTES", 1000)
        with open(store.metadata_path, "r+b") as f:
            f.truncate(1001)
        with pytest.raises(StoreError, match="1001 bytes of metadata, more than the 1000"):
            store.load_metadata()
        assert metadata_pickle.MAX_METADATA_BYTES < (1 << 30)

    def test_a_fifo_does_not_hang(self, store):
        store.metadata_path.unlink()
        os.mkfifo(store.metadata_path)
        outcome = []

        def load():
            try:
                store.load_metadata()
            except StoreError as exc:
                outcome.append(str(exc))

        t = threading.Thread(target=load, daemon=True)
        t.start()
        t.join(5)
        assert outcome and "not a regular file" in outcome[0]

    def test_sound_metadata_with_memo_puts_of_old_protocols_loads(self, store):
        metadata = store.load_metadata()
        for protocol in (0, 2, 5):
            store.metadata_path.write_bytes(pickle.dumps(metadata, protocol=protocol))
            assert store.load_metadata() == metadata
