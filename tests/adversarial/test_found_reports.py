"""Faults found by attacking saved reports, each kept as a test now that it is fixed."""

import json
import subprocess
import sys

import pandas as pd
import pytest

import kestrelia.backtest as kb
from kestrelia.backtest._examples import example_market
from tests.support.cli import child_env


def _result(weight, execution):
    market = example_market()
    weights = pd.DataFrame(weight, index=market.dates[:1], columns=market.codes)
    return kb.backtest(weights, market, lot_size=100, name="s", execution=execution)


@pytest.mark.slow
def test_a_new_report_leaves_no_execution_files_of_an_earlier_one(tmp_path):
    _result(0.4, execution=True).save(tmp_path)
    written = _result(0.2, execution=False).save(tmp_path, force=True)
    left = sorted({p.name for p in tmp_path.iterdir()} - {p.name for p in written})
    assert left == [], f"files of the earlier run left beside the new report: {left}"


CHILD = """
import os, signal, sys
import pandas as pd
import kestrelia.backtest as kb
from kestrelia.backtest._examples import example_market
market = example_market()
weights = pd.DataFrame(float(sys.argv[2]), index=market.dates[:1], columns=market.codes)
result = kb.backtest(weights, market, lot_size=100, name="s")
kill_at, calls = int(sys.argv[3]), [0]
replace = os.replace
def replace_or_die(a, b):
    calls[0] += 1
    if calls[0] == kill_at:
        os.kill(os.getpid(), signal.SIGKILL)
    return replace(a, b)
os.replace = replace_or_die
result.save(sys.argv[1], force=True)
"""


@pytest.mark.slow
def test_a_save_killed_while_putting_files_in_place_leaves_one_whole_set(tmp_path):
    def save(weight, kill_at):
        return subprocess.run([sys.executable, "-c", CHILD, str(tmp_path), str(weight),
                               str(kill_at)], env=child_env(),
                              capture_output=True, text=True, timeout=120)

    assert save(0.4, 0).returncode == 0
    old = {p.name for p in tmp_path.iterdir()}
    assert len(old) == 10
    killed = save(0.2, 2)  # the first file's old copy is moved aside, the new one not yet in
    assert killed.returncode == -9
    now = {p.name for p in tmp_path.iterdir() if not p.name.startswith(".")}
    assert now == old, f"missing after the kill: {sorted(old - now)}"
    json.loads((tmp_path / "stats.json").read_text())
