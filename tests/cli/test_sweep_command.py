"""The sweep command: weight files against one store, the same numbers as `run`, and a bad
file reported without losing the others."""

import json
import shutil

import pandas as pd
import pytest

from kestrelia.backtest import Store, backtest
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
