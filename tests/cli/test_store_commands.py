"""The store commands against damaged and hostile stores: `store verify`, the file line of
`store info`, and one line (never code run) for metadata that is not plain data."""

import os
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tests.support.cli import run


@pytest.fixture
def store(small_demo, tmp_path):
    """A private copy of the demo's store, free to damage."""
    return Path(shutil.copytree(small_demo / "store", tmp_path / "store"))


def test_verify_and_info_on_a_sound_store(store, capsys):
    code, out, _ = run(capsys, "store", "verify", store)
    assert code == 0 and "no problem found" in out
    code, out, _ = run(capsys, "store", "info", store)
    assert code == 0 and "headers and sizes as recorded; contents not checked" in out


def test_verify_names_each_damaged_dataset(store, capsys):
    metadata = pickle.loads((store / "metadata.pkl").read_bytes())
    close = store / metadata["datasets"]["close_price"]["file"]
    close.write_bytes(close.read_bytes()[:-16])
    (store / metadata["datasets"]["prev_close"]["file"]).unlink()
    code, out, err = run(capsys, "store", "verify", store)
    assert code == 1 and "2 problem(s) found" in err
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


# ---- output into a closed pipe, dates as typed -------------------------------------------


def one_line_error(code, err, fragment):
    lines = [line for line in err.splitlines() if line.startswith("kestrelia-backtest:")]
    assert code == 1 and len(lines) == 1 and "Traceback" not in err, err
    assert fragment in lines[0], lines[0]


@pytest.mark.parametrize("argv, exit_code", [
    (("store", "info"), 141),
    (("store", "verify"), 141),
    (("--help",), 0),  # argparse drops its own output into a closed pipe and exits 0
])
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
