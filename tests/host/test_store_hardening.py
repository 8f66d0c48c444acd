"""The store against a hostile or damaged folder: the writer lock file, files the store did
not write, labels changed in the metadata, leftovers of killed writes, and metadata made to
exhaust memory."""

import multiprocessing
import os
import pickle
import socket
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
        elif kind == "socket":  # the file stays when the socket is closed; no open() works
            with socket.socket(socket.AF_UNIX) as server:
                server.bind(str(lock))

    @pytest.mark.parametrize("kind, fragment", [
        ("link to a file", "symbolic link"),
        ("link to nothing", "symbolic link"),
        ("hard link", "2 names"),
        ("fifo", r"not a regular file \(a named pipe\)"),
        ("folder", "a folder"),
        ("socket", r"not a regular file \(a socket\)"),
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


def rotate(labels):
    return labels[1:] + labels[:1]


def relabel(field, change, keep_checksum=True):
    def apply(entry):
        entry[field] = change(list(entry[field]))
        if not keep_checksum:
            del entry["labels_sha256"]
    return apply


LABEL_DAMAGE = [
    # (dataset, change of its entry, fragments of the lines naming it)
    ("can_buy_stock", relabel("columns", rotate), ["dataset can_buy_stock: its codes are not sorted"]),
    ("factor_0", relabel("columns", lambda c: [c[1], c[0], *c[2:]]),
     ["dataset factor_0: its dates or codes in the metadata do not match the checksum"]),
    ("close_price", relabel("columns", lambda c: [*c[:-1], "600099"]),
     ["dataset close_price: its dates or codes in the metadata do not match the checksum"]),
    ("can_buy_stock", relabel("dates", lambda d: [*d[:-1], "20240131"]),
     ["dataset can_buy_stock: its dates or codes in the metadata do not match the checksum"]),
    # Without a checksum (a store written before they were recorded), sharing still tells.
    ("close_price", relabel("columns", lambda c: [*c[:-1], "600099"], keep_checksum=False),
     ["dataset can_buy_stock: its codes differ from close_price's (position 7: '600007' "
      "against '600099'); the backtest datasets and the factors must share one date list "
      "and one code list"]),
    ("can_buy_stock", relabel("dates", lambda d: [*d[:-1], "20240131"], keep_checksum=False),
     ["dataset can_buy_stock: its dates differ from close_price's (position 9: '20240131' "
      "against '20240111')"]),
    ("can_buy_stock", relabel("columns", lambda c: [int(x) for x in c]),
     ["dataset can_buy_stock: its codes are not text (position 0 holds int 600000)"]),
    ("factor_0", relabel("dates", lambda d: None), ["dataset factor_0: its dates are not a list"]),
    ("factor_0", relabel("dates", lambda d: [d[0].replace("2024", "24-0"), *d[1:]]),
     ["dataset factor_0: its dates are not YYYYMMDD text (position 0 holds '24-00102')"]),
    ("factor_0", relabel("columns", lambda c: [*c[:-1], c[0]]),
     ["dataset factor_0: its codes are not unique ('600000' appears twice)"]),
]


class TestVerifyLabels:
    @pytest.mark.parametrize("key, change, fragments", LABEL_DAMAGE)
    def test_damage_is_named_in_one_line(self, store, key, change, fragments):
        rewrite_metadata(store, lambda m: change(m["datasets"][key]))
        problems = store.verify()
        assert len(problems) == len(fragments)
        for fragment in fragments:
            assert any(fragment in p for p in problems), (fragment, problems)
        assert all("\n" not in p for p in problems)
        assert store.verify_report(checksums=False)["problems"] == problems

    def test_benchmark_dates_are_checked_too(self, store):
        rewrite_metadata(store, lambda m: m["datasets"]["benchmark_dict"]["series"]["000300"]
                         .update(dates=[*DATES[:-1], "20240130"]))
        assert store.verify() == ["dataset benchmark_dict['000300']: its dates or codes in the "
                                  "metadata do not match the checksum recorded when it was written "
                                  "(the labels changed; values would be read against the wrong "
                                  "days or stocks)"]

    def test_a_sound_store_counts_every_label_set(self, store):
        report = store.verify_report()
        assert report["problems"] == [] and report["without_label_checksum"] == []
        assert report["labels_checked"] == 4

    def test_stores_without_label_checksums_still_open_and_verify(self, store):
        def strip(metadata):
            for entry in metadata["datasets"].values():
                entry.pop("labels_sha256", None)
                for s in entry.get("series", {}).values():
                    s.pop("labels_sha256")

        rewrite_metadata(store, strip)
        report = store.verify_report()
        assert report["problems"] == [] and report["labels_checked"] == 0
        assert sorted(report["without_label_checksum"]) == [
            "benchmark_dict['000300']", "can_buy_stock", "close_price", "factor_0"]
        assert store.load()["data"]["close_price"].shape == (len(DATES), len(CODES))
        # Order and sharing are still checked without a checksum.
        rewrite_metadata(store, lambda m: m["datasets"]["can_buy_stock"].update(
            columns=rotate(m["datasets"]["can_buy_stock"]["columns"])))
        assert "dataset can_buy_stock: its codes are not sorted" in store.verify()[0]

    def test_an_update_records_the_new_labels(self, store):
        store.update_tail(payload([*DATES[-2:], "20240115"], offset=3.0))
        report = store.verify_report()
        assert report["problems"] == [] and report["labels_checked"] == 4


def _killed_write(store_dir):
    store = BinaryPreparedDataStoreBase(store_dir, DTYPES, 1, "float64")
    store._commit = lambda metadata: os._exit(3)  # the process dies before its commit
    store.write(payload(offset=9.0))


class TestLeftovers:
    def test_a_killed_write_leaves_files_that_verify_lists_and_writes_keep(self, store):
        before = {p.name for p in store.store_dir.iterdir()}
        child = multiprocessing.get_context("fork").Process(target=_killed_write,
                                                            args=(store.store_dir,))
        child.start()
        child.join(60)
        assert child.exitcode == 3
        left = sorted({p.name for p in store.store_dir.iterdir()} - before)
        assert len(left) == 4
        report = store.verify_report()
        assert report["problems"] == [] and report["leftovers"] == left
        store.update_tail(payload(DATES[-2:], offset=1.0))
        assert store.verify_report()["leftovers"] == left

    def test_temporary_files_are_listed(self, store):
        (store.store_dir / ".close_price.0123456789ab.npy.0badf00d.tmp").write_bytes(b"x")
        assert store.verify_report()["leftovers"] == [".close_price.0123456789ab.npy.0badf00d.tmp"]

    def test_a_write_in_progress_is_not_mistaken_for_leftovers(self, store):
        held, release = threading.Event(), threading.Event()

        def writing():
            with writer_lock(store.store_dir):
                (store.store_dir / "close_price.0123456789ab.npy").write_bytes(b"being written")
                held.set()
                release.wait(10)

        writer = threading.Thread(target=writing)
        writer.start()
        try:
            held.wait(10)
            report = store.verify_report()
        finally:
            release.set()
            writer.join()
        assert report["problems"] == [] and report["leftovers"] == []
        assert "a write is in progress" in report["leftovers_note"]

    def test_a_planted_lock_file_is_a_problem(self, store, tmp_path):
        (store.store_dir / LOCK_FILE).unlink()
        (store.store_dir / LOCK_FILE).symlink_to(tmp_path / "elsewhere")
        problems = store.verify()
        assert len(problems) == 1 and "refusing the writer lock" in problems[0]
        assert not (tmp_path / "elsewhere").exists()


class _Sized:
    """Pickles as a constructor called with a size: a few bytes that allocate `n`."""

    def __init__(self, kind, n):
        self.kind, self.n = kind, n

    def __reduce__(self):
        return (self.kind, (self.n,))


def memo_bomb(index):
    # A valid pickle of {} whose one memo slot is put at a far-off index.
    return b"\x80\x04}" + b"r" + struct.pack("<I", index) + b"."


def shared_lists(depth):
    """A few bytes a level in a pickle, 2**depth leaves when walked."""
    value: list = []
    for _ in range(depth):
        value = [value, value]
    return value


def cyclic_list():
    value: list = []
    value.append({"again": value})
    return value


def nested_lists(depth):
    value: list = []
    for _ in range(depth):
        value = [value]
    return value


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

    @pytest.mark.parametrize("make, fragment", [
        (lambda: shared_lists(20), "a nested container appears more than once"),
        (cyclic_list, "a nested container appears more than once"),
        (lambda: nested_lists(30), "nest more than 32 levels deep"),  # under metadata, meta
        (lambda: [[str(i) for i in range(1000)]] * 20_001, "more than 20,000,000 elements"),
    ], ids=["shared lists", "a cycle", "too deep", "too many elements"])
    def test_metadata_that_is_no_plain_tree_is_refused(self, store, make, fragment):
        value = make()
        rewrite_metadata(store, lambda m: m["meta"].__setitem__("note", value))
        assert store.metadata_path.stat().st_size < 200_000
        with pytest.raises(StoreError, match=rf"refusing to load .*metadata\.pkl: .*{fragment}"):
            store.load_metadata()

    def test_what_the_writer_shares_and_nests_loads(self, store):
        metadata = store.load_metadata()
        datasets = metadata["datasets"]
        # Equal label lists are one object in the pickle, and may be met more than once.
        assert datasets["close_price"]["dates"] is datasets["can_buy_stock"]["dates"]
        labels = [str(i) for i in range(1000)]
        metadata["meta"]["note"] = [nested_lists(28), *[labels] * 19_000]
        store.metadata_path.write_bytes(pickle.dumps(metadata))
        assert store.load_metadata()["meta"]["note"][1] == labels

    def test_sound_metadata_with_memo_puts_of_old_protocols_loads(self, store):
        metadata = store.load_metadata()
        for protocol in (0, 2, 5):
            store.metadata_path.write_bytes(pickle.dumps(metadata, protocol=protocol))
            assert store.load_metadata() == metadata
