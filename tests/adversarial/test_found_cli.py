"""Faults found by attacking the command-line tool, each kept as a test now that it is fixed."""

import os

import pandas as pd
import pytest

from tests.support.cli import run

LATIN1_NAME = os.fsdecode(b"caf\xe9")  # a file name written in Latin-1: a lone surrogate here


@pytest.fixture
def latin1_weights(tmp_path):
    folder = tmp_path / "weights"
    folder.mkdir()
    path = folder / f"{LATIN1_NAME}.csv"
    pd.DataFrame({"000001": [0.5]}, index=pd.Index(["20240102"], name="date")).to_csv(path)
    return path


# Such a name reached matplotlib and the page writer, and the run ended in a multi-line
# "TypeError: set_text(): incompatible function arguments" (a sweep: a UnicodeEncodeError)
# after the backtest, saying nothing of the name.
@pytest.mark.parametrize("how", ["weights file name", "--name"])
def test_run_refuses_a_name_that_is_not_utf8_before_reading_anything(capsys, tmp_path,
                                                                    latin1_weights, how):
    out = tmp_path / "report"
    extra = ["--name", LATIN1_NAME] if how == "--name" else []
    code, _, err = run(capsys, "run", "--store", tmp_path / "no-store", "--weights",
                       latin1_weights, "--out", out, *extra)
    assert code == 1
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "not valid UTF-8" in lines[0] and "--name" in lines[0], err
    assert not out.exists()


def test_sweep_refuses_a_weight_file_whose_name_is_not_utf8(capsys, tmp_path, latin1_weights):
    out = tmp_path / "sweep"
    code, _, err = run(capsys, "sweep", "--store", tmp_path / "no-store", "--weights-dir",
                       latin1_weights.parent, "--out", out)
    assert code == 1
    assert "not valid UTF-8" in err and "rename it" in err and "Error:" not in err, err
    assert not out.exists()
