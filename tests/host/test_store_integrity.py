"""The store against other writers and hostile folders: the writer lock, metadata that
cannot run code, file entries that must stay inside the store, and the integrity check."""

import multiprocessing
import os
import pickle
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest._store import BinaryPreparedDataStoreBase
from kestrelia.errors import StoreError, StoreLockedError
from tests.support.cli import child_env

DTYPES = {"close_price": "float64", "can_buy_stock": "bool"}
CODES = [f"{600000 + i:06d}" for i in range(40)]


def frame(dates, offset):
    values = np.arange(len(dates) * len(CODES), dtype=float).reshape(len(dates), len(CODES))
    return pd.DataFrame(values + offset, index=list(dates), columns=CODES)


def payload(dates, offset=0.0, n_extra=6):
    close = frame(dates, offset)
    data = {"close_price": close, "can_buy_stock": close > close.to_numpy().mean(),
            "benchmark_dict": {"000300": close.iloc[:, 0].rename("index_daily_return")}}
    for i in range(n_extra):
        data[f"factor_{i}"] = close * (i + 2)
    return {"version": 1, "meta": {"start_date": dates[0]}, "data": data}


DATES = [f"202401{d:02d}" for d in range(2, 30)]
TAIL = [*DATES[-3:], "20240130", "20240131"]


def new_store(path):
    store = BinaryPreparedDataStoreBase(path, DTYPES, 1, "float64")
    store.write(payload(DATES))
    return store


def contents(store):
    loaded = store.load(mmap=False)
    return loaded["meta"], loaded["data"]


def assert_same_data(a, b):
    assert a.keys() == b.keys()
    for key in a:
        if isinstance(a[key], dict):
            for name in a[key]:
                pd.testing.assert_series_equal(a[key][name], b[key][name])
        else:
            pd.testing.assert_frame_equal(a[key], b[key])


def _update_after(store_dir, barrier, offset):
    store = BinaryPreparedDataStoreBase(store_dir, DTYPES, 1, "float64")
    store.lock_timeout = 120.0
    barrier.wait()
    store.update_tail(payload(TAIL, offset=offset))


class TestWriterLock:
    @pytest.mark.slow
    def test_concurrent_updates_lose_nothing(self, tmp_path):
        # Several processes write the same tail at once, three times over; every dataset
        # must then load and equal the store that one serial update gives.
        serial = new_store(tmp_path / "serial")
        serial.update_tail(payload(TAIL, offset=100.0))
        _, expected = contents(serial)
        ctx = multiprocessing.get_context("fork")
        for trial in range(3):
            store = new_store(tmp_path / f"trial{trial}")
            barrier = ctx.Barrier(4)
            workers = [ctx.Process(target=_update_after, args=(store.store_dir, barrier, 100.0))
                       for _ in range(4)]
            for w in workers:
                w.start()
            for w in workers:
                w.join(120)
            assert [w.exitcode for w in workers] == [0, 0, 0, 0]
            assert store.verify() == []
            _, got = contents(store)
            assert_same_data(got, expected)
            listed = {e["file"] for e in store.load_metadata()["datasets"].values() if "file" in e}
            on_disk = {p.name for p in store.store_dir.glob("*.npy")
                       if not p.name.startswith("benchmark_dict")}
            assert on_disk == listed

    def test_a_second_writer_waits_then_gives_up_naming_the_holder(self, tmp_path):
        store = new_store(tmp_path / "s")
        before = store.metadata_path.read_bytes()
        held, release = threading.Event(), threading.Event()

        def hold():
            with store._writer_lock():
                held.set()
                release.wait(10)

        holder = threading.Thread(target=hold)
        holder.start()
        try:
            held.wait(10)
            other = BinaryPreparedDataStoreBase(store.store_dir, DTYPES, 1, "float64")
            other.lock_timeout = 0.2
            start = time.monotonic()
            with pytest.raises(StoreLockedError,
                               match=rf"being written by another process \(pid {os.getpid()}\)"):
                other.update_tail(payload(TAIL, offset=5.0))
            assert 0.2 <= time.monotonic() - start < 5
        finally:
            release.set()
            holder.join()
        assert store.metadata_path.read_bytes() == before
        other.update_tail(payload(TAIL, offset=5.0))  # free again once released

    def test_a_killed_writer_releases_the_lock(self, tmp_path):
        store = new_store(tmp_path / "s")
        code = ("import sys, time; from kestrelia.backtest._storage.lock import writer_lock\n"
                "with writer_lock(sys.argv[1]):\n    print('held', flush=True); time.sleep(60)")
        child = subprocess.Popen([sys.executable, "-c", code, str(store.store_dir)],
                                 stdout=subprocess.PIPE, text=True,
                                 env=child_env())
        try:
            assert child.stdout.readline().strip() == "held"
            store.lock_timeout = 0.1
            with pytest.raises(StoreLockedError, match=rf"pid {child.pid}"):
                store.write(payload(DATES, offset=1.0))
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
        store.lock_timeout = 5.0
        store.write(payload(DATES, offset=1.0))
        assert store.load()["data"]["close_price"].iloc[0, 0] == 1.0

    def test_timeout_from_the_environment(self, tmp_path, monkeypatch):
        from kestrelia.backtest._storage.lock import default_timeout

        monkeypatch.setenv("KESTRELIA_STORE_LOCK_TIMEOUT", "0.5")
        assert default_timeout() == 0.5
        monkeypatch.setenv("KESTRELIA_STORE_LOCK_TIMEOUT", "soon")
        with pytest.raises(ValueError, match="KESTRELIA_STORE_LOCK_TIMEOUT='soon'"):
            default_timeout()


class _Payload:
    """Unpickling this runs code: it creates the marker file."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (Path.touch, (Path(self.marker),))


@pytest.fixture
def hostile_store(tmp_path):
    store = new_store(tmp_path / "s")
    metadata = store.load_metadata()
    metadata["meta"]["note"] = _Payload(tmp_path / "marker")
    store.metadata_path.write_bytes(pickle.dumps(metadata))
    return store


class TestMetadataRunsNoCode:
    @pytest.mark.parametrize("call", [
        lambda s: s.load_metadata(),
        lambda s: s.load(),
        lambda s: s.update_tail(payload(TAIL)),
        lambda s: s.verify_report()["problems"] and s.load_metadata(),
    ])
    def test_every_entry_point_refuses(self, hostile_store, tmp_path, call):
        with pytest.raises(StoreError, match=r"refusing to load .*metadata\.pkl: unexpected "
                                             r"object pathlib\.Path"):
            call(hostile_store)
        assert not (tmp_path / "marker").exists()

    def test_verify_reports_it(self, hostile_store, tmp_path):
        problems = hostile_store.verify()
        assert len(problems) == 1 and "unexpected object pathlib.Path" in problems[0]
        assert not (tmp_path / "marker").exists()

    def test_the_native_store_class_refuses(self, hostile_store, tmp_path):
        from kestrelia.backtest import _prepare

        store = _prepare.BinaryPreparedDataStore(str(hostile_store.store_dir), [])
        with pytest.raises(StoreError, match="unexpected object"):
            store.load()
        mask = frame(DATES, 0.0)
        with pytest.raises(StoreError, match="unexpected object"):
            store.add_component_matrices({"x": mask}, ["x"])
        assert not (tmp_path / "marker").exists()

    def test_dates_and_plain_values_still_load(self, tmp_path):
        store = new_store(tmp_path / "s")
        metadata = store.load_metadata()
        import datetime as dt
        metadata["meta"]["when"] = dt.datetime(2024, 1, 2, 3, 4)
        metadata["meta"]["set"] = {1, 2}
        store.metadata_path.write_bytes(pickle.dumps(metadata))
        assert store.load_metadata()["meta"]["when"] == dt.datetime(2024, 1, 2, 3, 4)

    def test_a_write_never_commits_metadata_it_could_not_read(self, tmp_path):
        store = new_store(tmp_path / "s")
        before = store.metadata_path.read_bytes()
        bad = payload(DATES)
        bad["meta"]["stamp"] = pd.Timestamp("2024-01-02")
        with pytest.raises(StoreError, match="not a plain container"):
            store.write(bad)
        assert store.metadata_path.read_bytes() == before

    def test_garbage_metadata_is_one_line(self, tmp_path):
        store = new_store(tmp_path / "s")
        store.metadata_path.write_bytes(b"\x80\x05not a pickle")
        with pytest.raises(StoreError, match="damaged metadata"):
            store.load_metadata()


def set_file(store, key, file):
    metadata = store.load_metadata()
    metadata["datasets"][key]["file"] = file
    store.metadata_path.write_bytes(pickle.dumps(metadata))


class TestLoadsStayInside:
    @pytest.mark.parametrize("file", ["../../x.npy", "/etc/passwd", "sub/x.npy", "..", ""])
    def test_paths_out_of_the_store_are_refused(self, tmp_path, file):
        store = new_store(tmp_path / "s")
        set_file(store, "close_price", file)
        with pytest.raises(StoreError, match="close_price: refusing the file entry"):
            store.load(keys=["close_price"])

    def test_a_link_out_of_the_store(self, tmp_path):
        store = new_store(tmp_path / "s")
        entry = store.load_metadata()["datasets"]["close_price"]
        outside = tmp_path / "outside.npy"
        outside.write_bytes((store.store_dir / entry["file"]).read_bytes())
        (store.store_dir / "link.npy").symlink_to(outside)
        set_file(store, "close_price", "link.npy")
        with pytest.raises(StoreError, match=r"close_price: refusing .*links outside the store"):
            store.load(keys=["close_price"])

    def test_a_fifo_does_not_hang(self, tmp_path):
        store = new_store(tmp_path / "s")
        os.mkfifo(store.store_dir / "pipe.npy")
        set_file(store, "close_price", "pipe.npy")
        outcome = []

        def load():
            try:
                store.load(keys=["close_price"])
            except StoreError as exc:
                outcome.append(str(exc))

        t = threading.Thread(target=load, daemon=True)
        t.start()
        t.join(5)
        assert outcome and "close_price: refusing" in outcome[0] and "not a regular file" in outcome[0]

    def test_a_truncated_file_names_the_dataset_and_file(self, tmp_path):
        store = new_store(tmp_path / "s")
        path = store.store_dir / store.load_metadata()["datasets"]["factor_0"]["file"]
        path.write_bytes(path.read_bytes()[:-100])
        with pytest.raises(StoreError, match=rf"dataset factor_0: .*{path.name} is truncated"):
            store.load(keys=["factor_0"])


def damage(store, key, how, tmp_path):
    datasets = store.load_metadata()["datasets"]
    path = store.store_dir / datasets[key]["file"]
    shape = tuple(datasets[key]["shape"])
    if how == "truncated":
        path.write_bytes(path.read_bytes()[:-8])
    elif how == "deleted":
        path.unlink()
    elif how == "same size, other content":
        data = bytearray(path.read_bytes())
        data[-8:] = np.float64(-1.5).tobytes()
        path.write_bytes(bytes(data))
    elif how == "int64 for float64":
        np.save(path, np.asfortranarray(np.zeros(shape, dtype=np.int64)))
    elif how == "bool mask as float":
        np.save(path, np.asfortranarray(np.zeros(shape, dtype=np.float64)))
    elif how == "other shape":
        np.save(path, np.asfortranarray(np.zeros((shape[0] - 1, shape[1]))))


class TestVerify:
    def test_a_sound_store(self, tmp_path):
        store = new_store(tmp_path / "s")
        report = store.verify_report()
        assert report["problems"] == [] and report["without_checksum"] == []
        assert report["files"] == report["checksummed"] == 9

    @pytest.mark.parametrize("key, how, fragment", [
        ("factor_1", "truncated", "is truncated"),
        ("factor_1", "deleted", "is missing"),
        ("factor_1", "same size, other content", "does not match the checksum"),
        ("factor_1", "int64 for float64", "holds int64 values, the metadata says float64"),
        ("can_buy_stock", "bool mask as float", "holds float64 values, the metadata says bool"),
        ("factor_1", "other shape", "has shape"),
    ])
    def test_damage_is_found_and_named(self, tmp_path, key, how, fragment):
        store = new_store(tmp_path / "s")
        damage(store, key, how, tmp_path)
        problems = store.verify()
        assert len(problems) == 1
        assert problems[0].startswith(f"dataset {key}") and fragment in problems[0]

    def test_a_mask_recorded_as_float(self, tmp_path):
        store = new_store(tmp_path / "s")
        metadata = store.load_metadata()
        entry = metadata["datasets"]["can_buy_stock"]
        entry["dtype"] = "float64"
        path = store.store_dir / entry["file"]
        np.save(path, np.asfortranarray(np.zeros(tuple(entry["shape"]))))
        del entry["sha256"]
        store.metadata_path.write_bytes(pickle.dumps(metadata))
        assert store.verify() == ["dataset can_buy_stock: stored as float64, the store keeps "
                                  "it as bool"]

    def test_stores_without_checksums_are_checked_otherwise(self, tmp_path):
        store = new_store(tmp_path / "s")
        metadata = store.load_metadata()
        for entry in metadata["datasets"].values():
            entry.pop("sha256", None)
            for s in entry.get("series", {}).values():
                s.pop("sha256", None)
        store.metadata_path.write_bytes(pickle.dumps(metadata))
        report = store.verify_report()
        assert report["problems"] == [] and len(report["without_checksum"]) == 9
        damage(store, "factor_2", "truncated", tmp_path)
        assert "is truncated" in store.verify()[0]
