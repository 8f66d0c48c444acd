"""The store commands against damaged and hostile stores: `store verify`, the file line of
`store info`, and one line (never code run) for metadata that is not plain data."""

import multiprocessing
import os
import pickle
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import Store
from tests.support.cli import run


@pytest.fixture
def store(small_demo, tmp_path):
    """A private copy of the demo's store, free to damage."""
    return Path(shutil.copytree(small_demo / "store", tmp_path / "store"))


def test_verify_and_info_on_a_sound_store(store, capsys):
    code, out, _ = run(capsys, "store", "verify", store)
    assert code == 0 and "no problem found" in out and out.endswith("found\n")
    code, out, _ = run(capsys, "store", "info", store)
    assert code == 0 and "headers and sizes as recorded; contents not checked" in out


def test_verify_names_each_damaged_dataset(store, capsys):
    metadata = pickle.loads((store / "metadata.pkl").read_bytes())
    close = store / metadata["datasets"]["close_price"]["file"]
    close.write_bytes(close.read_bytes()[:-16])
    (store / metadata["datasets"]["prev_close"]["file"]).unlink()
    (store / "left.npy").write_bytes(b"")  # a leftover's line too
    code, out, err = run(capsys, "store", "verify", store)
    assert code == 1 and "2 problem(s) found" in err
    assert out.endswith("\n") and err.endswith("\n") and "leftover:" in out  # whole lines
    lines = out.splitlines()
    assert any(line.startswith("dataset close_price:") and "truncated" in line for line in lines)
    assert any(line.startswith("dataset prev_close:") and "missing" in line for line in lines)
    code, out, _ = run(capsys, "store", "info", store)
    assert code == 0 and "2 problem(s)" in out


class _Payload:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (Path.touch, (Path(self.marker),))


def test_hostile_metadata_runs_nothing_on_any_command(store, small_demo, tmp_path, capsys):
    marker = tmp_path / "marker"
    metadata = pickle.loads((store / "metadata.pkl").read_bytes())
    metadata["meta"]["note"] = _Payload(marker)
    (store / "metadata.pkl").write_bytes(pickle.dumps(metadata))
    dates = metadata["datasets"]["close_price"]["dates"]
    codes = metadata["datasets"]["close_price"]["columns"][:5]
    weights = tmp_path / "w.csv"
    pd.DataFrame(np.full((len(dates), 5), 0.2), index=dates, columns=codes).to_csv(weights)
    commands = [
        ("store", "info", store),
        ("store", "verify", store),
        ("store", "update", "--source", small_demo / "market", "--store", store, "--from", dates[-3],
         "--to", dates[-1]),
        ("run", "--store", store, "--weights", weights, "--out", tmp_path / "report"),
    ]
    for argv in commands:
        code, out, err = run(capsys, *argv)
        assert code == 1, argv
        assert "Traceback" not in err
        assert "refusing to load" in out + err and "unexpected object pathlib.Path" in out + err
    assert not marker.exists()


# ---- the hardened store: builds, gaps, labels, leftovers, pipes, dates as typed ----------


def demo_dates(small_demo):
    metadata = pickle.loads((small_demo / "store" / "metadata.pkl").read_bytes())
    return list(metadata["datasets"]["close_price"]["dates"])


def one_line_error(code, err, fragment):
    lines = [line for line in err.splitlines() if line.startswith("kestrelia-backtest:")]
    assert code == 1 and len(lines) == 1 and "Traceback" not in err, err
    assert fragment in lines[0], lines[0]


def build(capsys, small_demo, target, dates, *extra):
    return run(capsys, "store", "build", "--source", small_demo / "market", "--store", target,
               "--start", dates[0], "--end", dates[-1], *extra)


FOREIGN = {"manifest.json": b"{}", ".cache.0123abcd.tmp": b"temp",
           "prices.0123456789ab.npy": b"not a store's"}


@pytest.mark.parametrize("force", [False, True])
def test_build_refuses_a_folder_of_other_files_even_with_force(small_demo, tmp_path, capsys, force):
    target = tmp_path / "mine"
    target.mkdir()
    for name, data in FOREIGN.items():
        (target / name).write_bytes(data)
    code, _, err = build(capsys, small_demo, target, demo_dates(small_demo)[:20],
                         *(["--force"] if force else []))
    one_line_error(code, err, f"{target} is not empty and holds no store")
    assert {p.name: p.read_bytes() for p in target.iterdir()} == FOREIGN


@pytest.mark.parametrize("prepare", [
    lambda folder: None,
    lambda folder: folder.mkdir(),
    lambda folder: (folder.mkdir(), (folder / ".writer.lock").write_bytes(b"")),
], ids=["new folder", "empty folder", "folder a failed build left"])
def test_build_into_a_new_or_empty_folder(small_demo, tmp_path, capsys, prepare):
    target = tmp_path / "s"
    prepare(target)
    code, out, _ = build(capsys, small_demo, target, demo_dates(small_demo)[:20])
    assert code == 0 and "20 trading days" in out


def test_build_force_over_a_store_leaves_files_it_did_not_write(small_demo, store, capsys):
    for name, data in FOREIGN.items():
        (store / name).write_bytes(data)
    old = {p.name for p in store.glob("*.npy")} - set(FOREIGN)
    code, _, _ = build(capsys, small_demo, store, demo_dates(small_demo)[:20], "--force")
    assert code == 0
    assert (store / "prices.0123456789ab.npy").read_bytes() == FOREIGN["prices.0123456789ab.npy"]
    assert (store / ".cache.0123abcd.tmp").read_bytes() == FOREIGN[".cache.0123abcd.tmp"]
    assert not old & {p.name for p in store.glob("*.npy")}  # the replaced store's files went
    code, out, _ = run(capsys, "store", "verify", store)
    assert code == 0 and "leftover:" in out and "prices.0123456789ab.npy" in out


def built_until(small_demo, tmp_path, last):
    dates = demo_dates(small_demo)
    target = Store(tmp_path / "s", lock_timeout=60)
    target.build(small_demo / "market", dates[0], dates[last])
    return target, dates


def test_update_past_the_next_trading_day_is_refused(small_demo, tmp_path, capsys):
    target, dates = built_until(small_demo, tmp_path, -30)
    before = (target.path / "metadata.pkl").read_bytes()
    code, _, err = run(capsys, "store", "update", "--source", small_demo / "market", "--store",
                       target.path, "--from", dates[-10], "--to", dates[-1])
    one_line_error(code, err, f"the store ends on {dates[-30]} and the source has 19 trading "
                              f"day(s) after it before the start {dates[-10]} ({dates[-29]} to "
                              f"{dates[-11]}): update from {dates[-29]} or earlier")
    assert (target.path / "metadata.pkl").read_bytes() == before


@pytest.mark.parametrize("first", ["next trading day", "calendar day before it"])
def test_update_from_the_next_trading_day_or_before_it(small_demo, tmp_path, first):
    dates = demo_dates(small_demo)
    # The last stored day is one followed by days without trading (a weekend, say).
    days = pd.to_datetime(dates)
    last = next(i for i in range(len(dates) - 20, 0, -1) if (days[i + 1] - days[i]).days > 1)
    target, _ = built_until(small_demo, tmp_path, last)
    start = dates[last + 1] if first == "next trading day" else (
        days[last] + pd.Timedelta(days=1)).strftime("%Y%m%d")
    target.update(small_demo / "market", start, dates[-1])
    info = target.info()
    assert (info["last_date"], info["trading_days"]) == (dates[-1], len(dates))
    assert target.verify() == []


def _slow_update(path, source, start, end, delay, building):
    from kestrelia.backtest import _prepare

    real = _prepare.build_incremental_write_window

    def slow(*args):
        building.set()
        payload = real(*args)
        time.sleep(delay)
        return payload

    _prepare.build_incremental_write_window = slow
    Store(path, lock_timeout=60).update(source, start, end)


@pytest.mark.slow
def test_concurrent_updates_of_consecutive_windows_keep_both(small_demo, tmp_path):
    # The first update is slow to build; the second starts meanwhile. Had the second read
    # the store's dates before the first committed, one of the two windows would be lost.
    target, dates = built_until(small_demo, tmp_path, -12)
    ctx = multiprocessing.get_context("fork")
    first_building, second_building = ctx.Event(), ctx.Event()
    first = ctx.Process(target=_slow_update, args=(target.path, small_demo / "market",
                                                   dates[-11], dates[-6], 1.5, first_building))
    second = ctx.Process(target=_slow_update, args=(target.path, small_demo / "market",
                                                    dates[-5], dates[-1], 0.0, second_building))
    first.start()
    assert first_building.wait(60)
    second.start()
    for process in (first, second):
        process.join(120)
    assert (first.exitcode, second.exitcode) == (0, 0)
    info = target.info()
    assert (info["last_date"], info["trading_days"]) == (dates[-1], len(dates))
    assert target.verify() == []


def rewrite(store, change):
    metadata = pickle.loads((store / "metadata.pkl").read_bytes())
    change(metadata)
    (store / "metadata.pkl").write_bytes(pickle.dumps(metadata))


def weights_file(store, tmp_path):
    metadata = pickle.loads((store / "metadata.pkl").read_bytes())
    dates = metadata["datasets"]["close_price"]["dates"]
    codes = sorted(metadata["datasets"]["close_price"]["columns"])[:5]
    path = tmp_path / "w.csv"
    pd.DataFrame(np.full((len(dates), 5), 0.2), index=dates, columns=codes).to_csv(path)
    return path


@pytest.mark.parametrize("change, fragment", [
    (lambda c: c[1:] + c[:1], "dataset buy_price: its codes are not sorted and unique"),
    (lambda c: [int(x) for x in c], "dataset buy_price: its codes are not text (position 0 holds int"),
])
def test_labels_changed_in_the_metadata_stop_verify_and_run(store, tmp_path, capsys, change,
                                                            fragment):
    rewrite(store, lambda m: m["datasets"]["buy_price"].update(
        columns=change(list(m["datasets"]["buy_price"]["columns"]))))
    code, out, err = run(capsys, "store", "verify", store)
    assert code == 1 and "Traceback" not in err
    assert [line for line in out.splitlines() if fragment in line]
    code, _, err = run(capsys, "run", "--store", store, "--weights", weights_file(store, tmp_path),
                       "--out", tmp_path / "report")
    one_line_error(code, err, "dataset buy_price does not share close_price's dates and codes")
    code, out, err = run(capsys, "store", "info", store)
    assert code == 0 and "problem(s)" in out and "Traceback" not in err


def test_a_store_without_label_checksums_verifies_with_a_note(store, capsys):
    def strip(metadata):
        for entry in metadata["datasets"].values():
            entry.pop("labels_sha256", None)
            for series in entry.get("series", {}).values():
                series.pop("labels_sha256", None)

    rewrite(store, strip)
    code, out, _ = run(capsys, "store", "verify", store)
    assert code == 0 and "no problem found" in out
    assert "datasets' labels have no recorded checksum" in out


def test_verify_lists_leftovers_without_calling_them_damage(store, capsys):
    (store / ".close_price.0123456789ab.npy.0badf00d.tmp").write_bytes(b"partial")
    (store / "close_price.0123456789ab.npy").write_bytes(b"never committed")
    code, out, _ = run(capsys, "store", "verify", store)
    assert code == 0 and "no problem found" in out
    leftovers = [line for line in out.splitlines() if line.startswith("leftover: ")]
    assert len(leftovers) == 2 and all("named by no dataset" in line for line in leftovers)


@pytest.mark.parametrize("argv, exit_code", [
    (("store", "info"), 141),
    (("store", "verify"), 141),
    (("--help",), 0),  # argparse drops its own output into a closed pipe and exits 0
])
@pytest.mark.slow
def test_output_into_a_closed_pipe_ends_quietly(store, argv, exit_code):
    read, write = os.pipe()
    os.close(read)  # the reader (`| head -1`) is gone before anything is written
    try:
        done = subprocess.run([sys.executable, "-m", "kestrelia.backtest", *argv,
                               *([store] if argv[0] == "store" else [])],
                              stdout=write, stderr=subprocess.PIPE, text=True, timeout=120)
    finally:
        os.close(write)
    assert (done.returncode, done.stderr) == (exit_code, "")


@pytest.mark.parametrize("argv, fragment", [
    (("store", "build", "--store", "S", "--start", "20240101", "--end", "09990101"),
     "--start 20240101 is after --end 09990101"),
    (("store", "build", "--store", "S", "--start", "2024-03-01", "--end", "2024-01-01"),
     "--start 2024-03-01 is after --end 2024-01-01"),
    (("store", "update", "--store", "S", "--from", "20240105", "--to", "09990101"),
     "--from 20240105 is after --to 09990101"),
])
def test_dates_are_echoed_as_typed(small_demo, tmp_path, capsys, argv, fragment):
    argv = [tmp_path / "s" if a == "S" else a for a in argv]
    code, _, err = run(capsys, *argv, "--source", small_demo / "market")
    one_line_error(code, err, fragment)
