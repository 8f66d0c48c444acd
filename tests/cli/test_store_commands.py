"""The store commands against damaged and hostile stores: `store verify`, the file line of
`store info`, and one line (never code run) for metadata that is not plain data."""

import pickle
import shutil
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
