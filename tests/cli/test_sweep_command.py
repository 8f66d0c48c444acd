"""The sweep command: weight files against one store, the same numbers as `run`, a bad
file reported without losing the others, a slow one timed out, and Ctrl-C answered at once
with what finished saved as a partial sweep."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pandas as pd
import pytest

from kestrelia.backtest import Store, backtest
from kestrelia.backtest.weights import WeightsFile
from tests.support.cli import run


@pytest.fixture
def files(small_demo, tmp_path):
    close = Store(small_demo / "store").market().close_price
    folder = tmp_path / "weights"
    folder.mkdir()
    for k in (5, 12):
        rank = close.rank(axis=1, method="first")
        w = (rank <= k).astype(float).where(rank <= k) / k
        w.to_parquet(folder / f"top{k}.parquet")
    (folder / "broken.csv").write_text("date,000001\n13/01/2024,0.5\n")
    return folder


def test_a_folder_of_strategies(small_demo, files, tmp_path, capsys):
    code, out, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights-dir", files,
                         "--workers", 2, "--out", tmp_path / "out", "--fee", 0.0003)
    assert code == 1  # one strategy failed; the others are written
    assert "failed: broken: weights file" in err and "13/01/2024" in err
    stats = pd.read_csv(tmp_path / "out" / "stats.csv", index_col=0)
    assert sorted(stats.index) == ["top12", "top5"]
    returns = pd.read_parquet(tmp_path / "out" / "returns.parquet")
    market = Store(small_demo / "store").market()
    alone = backtest(pd.read_parquet(files / "top5.parquet"), market, fee=0.0003, name="top5")
    pd.testing.assert_series_equal(returns["top5"].dropna(), alone.returns, check_names=False,
                                   check_index_type=False)
    assert (tmp_path / "out" / "sweep.png").stat().st_size > 10_000
    assert "top5" in out and "sweep.png" in out
    # The printed table is the metrics', as `run` prints them: its Sharpe ratio once read a
    # key the engine does not have and printed nan for every strategy.
    lines = out.splitlines()
    head = next(i for i, line in enumerate(lines) if line.startswith("Strategy"))
    assert re.split(r"\s{2,}", lines[head]) == ["Strategy", "Total return", "Annual return",
                                                "Sharpe ratio", "Max drawdown",
                                                "Turnover (daily, executed)"]
    row = re.split(r"\s{2,}", next(line for line in lines[head:] if line.startswith("top5")))
    assert row[3] == f"{alone.metrics['sharpe']:.2f}" and row[4] == f"{alone.metrics['max_drawdown']:.2%}"
    assert "nan" not in out.lower()
    assert stats.loc["top5", "sharpe"] == pytest.approx(alone.metrics["sharpe"])
    assert stats.loc["top5", "engine_long_sharp"] == pytest.approx(alone.stats["long_sharp"])


def test_files_named_twice_and_empty_folders(small_demo, files, tmp_path, capsys):
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(files / "top5.parquet", other / "top5.parquet")
    code, _, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights",
                       files / "top5.parquet", other / "top5.parquet", "--out", tmp_path / "o")
    assert code == 1 and "two weight files are named 'top5'" in err
    empty = tmp_path / "empty"
    empty.mkdir()
    code, _, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights-dir", empty,
                       "--out", tmp_path / "o")
    assert code == 1 and "holds no .parquet or .csv file" in err
    code, _, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights-dir", files,
                       "--workers", 0, "--out", tmp_path / "o")
    assert code == 1 and "--workers must be at least 1" in err


@pytest.mark.slow
def test_run_writes_the_metrics_tables_and_the_page(small_demo, files, tmp_path, capsys):
    code, out, _ = run(capsys, "run", "--store", small_demo / "store", "--weights",
                       files / "top12.parquet", "--out", tmp_path / "r")
    assert code == 0 and "report.html" in out
    for name in ("metrics.csv", "monthly.csv", "yearly.csv", "report.html"):
        assert (tmp_path / "r" / name).stat().st_size > 0
    daily = pd.read_csv(tmp_path / "r" / "top12_daily.csv", index_col=0)
    metrics = pd.read_csv(tmp_path / "r" / "metrics.csv", index_col=0)["value"]
    # Both tables describe one run: the metrics' total return is the sum of its days.
    assert float(metrics["total_return"]) == pytest.approx(daily["daily_return"].sum(), rel=1e-9)
    assert json.loads((tmp_path / "r" / "stats.json").read_text())["strategy_name"] == "top12"


@pytest.fixture
def held_file(monkeypatch):
    """Makes the weights file named ``stem`` hold its strategy (after ``before()``) until the
    test ends, at most 20 s."""
    gate = threading.Event()
    original = WeightsFile.__call__

    def hold(stem, before=None):
        def call(self, market=None):
            if self.path.stem == stem:
                if before is not None:
                    before()
                gate.wait(20)
            return original(self, market)

        monkeypatch.setattr(WeightsFile, "__call__", call)

    yield hold
    gate.set()


def test_ctrl_c_saves_what_finished_as_a_partial_sweep(small_demo, files, tmp_path, capsys,
                                                       held_file):
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    held_file("top5", before=interrupt)  # the files run in name order: broken, top12, top5
    code, out, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights-dir",
                         files, "--workers", 1, "--out", tmp_path / "out")
    assert time.monotonic() - sent[0] < 5  # top5 would hold the sweep 20 s
    assert code == 130 and "interrupted" in err
    assert "PARTIAL: the sweep was interrupted; 2 of 3 strategies finished" in out
    stats = pd.read_csv(tmp_path / "out" / "stats.csv", index_col=0)
    assert list(stats.index) == ["top12"]
    assert list(pd.read_csv(tmp_path / "out" / "failed.csv")["strategy"]) == ["broken"]
    note = (tmp_path / "out" / "partial.txt").read_text()
    assert "2 of 3 strategies finished" in note and "not finished: top5" in note
    # A later whole sweep into the same folder needs --force, and then drops the note.
    code, _, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights",
                       files / "top12.parquet", "--out", tmp_path / "out")
    assert code == 1 and "already exists" in err
    held_file("none")
    code, _, _ = run(capsys, "sweep", "--store", small_demo / "store", "--weights",
                     files / "top12.parquet", "--out", tmp_path / "out", "--force")
    assert code == 0 and not (tmp_path / "out" / "partial.txt").exists()


@pytest.mark.slow
def test_ctrl_c_from_outside_ends_the_program_at_once(small_demo, files, tmp_path):
    # The real program and a real signal, while a strategy is in flight: the process saves,
    # says so and exits 130 without waiting for that strategy (it would take 60 s).
    script = textwrap.dedent("""
        import sys, threading
        from kestrelia.backtest.app import main
        from kestrelia.backtest.weights import WeightsFile

        original = WeightsFile.__call__

        def call(self, market=None):
            if self.path.stem == "top5":
                print("top5 in flight", file=sys.stderr, flush=True)
                threading.Event().wait(60)
            return original(self, market)

        WeightsFile.__call__ = call
        sys.exit(main(sys.argv[1:]))
    """)
    process = subprocess.Popen(
        [sys.executable, "-c", script, "sweep", "--store", str(small_demo / "store"),
         "--weights-dir", str(files), "--workers", "1", "--out", str(tmp_path / "out")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        before = []
        for line in process.stderr:
            before.append(line)
            if line.startswith("top5 in flight"):
                break
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = process.communicate(timeout=40)
    finally:
        process.kill()
    err = "".join(before) + err
    assert time.monotonic() - sent < 20
    assert process.returncode == 130, err
    assert "PARTIAL" in out and "Traceback" not in err and "terminate" not in err
    assert (tmp_path / "out" / "partial.txt").is_file()
    assert list(pd.read_csv(tmp_path / "out" / "stats.csv", index_col=0).index) == ["top12"]


@pytest.mark.slow
def test_a_strategy_past_the_timeout_is_reported_failed(small_demo, files, tmp_path, capsys,
                                                        held_file):
    held_file("top5")
    started = time.monotonic()
    code, _, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights",
                         files / "top5.parquet", files / "top12.parquet", "--workers", 1,
                         "--timeout", 1.5, "--out", tmp_path / "out")
    assert time.monotonic() - started < 15
    assert code == 1 and "failed: top5: timed out after 1.5 s" in err
    assert list(pd.read_csv(tmp_path / "out" / "stats.csv", index_col=0).index) == ["top12"]
    with pytest.raises(SystemExit, match=r"^2$"):  # the parser's usage error
        run(capsys, "sweep", "--store", small_demo / "store", "--weights",
            files / "top5.parquet", "--timeout", 0, "--out", tmp_path / "o")
    assert "--timeout: must be a number of seconds greater than 0" in capsys.readouterr().err


def test_lot_size_reaches_every_strategy(small_demo, files, tmp_path, capsys):
    code, _, err = run(capsys, "sweep", "--store", small_demo / "store", "--weights",
                       files / "top5.parquet", "--lot-size", 100, "--out", tmp_path / "out")
    assert code == 0, err
    returns = pd.read_parquet(tmp_path / "out" / "returns.parquet")["top5"].dropna()
    market = Store(small_demo / "store").market()
    weights = pd.read_parquet(files / "top5.parquet")
    alone = backtest(weights, market, lot_size=100, name="top5")
    assert not alone.returns.equals(backtest(weights, market, name="top5").returns)
    pd.testing.assert_series_equal(returns, alone.returns, check_names=False,
                                   check_index_type=False)
