"""The command-line tool end to end on a tiny market: exit codes, files, printed tables,
and one clear line for each kind of bad input."""

import json
import subprocess
import sys

import pandas as pd
import pytest

from kestrelia import singleton
from kestrelia.backtest import Store
from kestrelia.backtest.app import cli
from tests.support.cli import run


def assert_one_line_error(code, err, *fragments):
    lines = [line for line in err.splitlines() if line.startswith("kestrelia-backtest: error:")]
    assert code == 1 and len(lines) == 1, err
    assert "Traceback" not in err
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """One small demo run shared by the tests; the client registry is restored after."""
    previous = singleton.set_instance(None)
    out = tmp_path_factory.mktemp("demo")
    code = cli.main(["demo", "--out", str(out), "--stocks", "120", "--years", "0.6", "--force"])
    yield code, out
    singleton.set_instance(previous)


@pytest.mark.slow
class TestDemo:
    def test_runs_the_whole_job_and_says_where_everything_went(self, demo):
        code, out = demo
        assert code == 0
        assert (out / "market" / "factors").is_dir() and (out / "store" / "metadata.pkl").is_file()
        report = out / "report"
        for name in ("demo.png", "demo_weekly_net_value.png", "stats.json",
                     "demo_daily.csv", "demo_daily.parquet", "benchmark_summary.csv"):
            assert (report / name).stat().st_size > 0, name
        stats = json.loads((report / "stats.json").read_text())["stats"]
        assert set(stats) >= {"annual_return", "turnover", "holding_count"}
        assert stats["holding_count"] > 0
        daily = pd.read_parquet(report / "demo_daily.parquet")
        assert {"daily_return", "long", "close_net_value", "extra_return"} <= set(daily.columns)

    def test_prints_aligned_tables(self, tmp_path, capsys):
        code, out, err = run(capsys, "demo", "--out", str(tmp_path / "d"), "--stocks", "60",
                             "--years", "0.4")
        assert code == 0, err
        assert "Annual return" in out and "Information ratio" in out
        assert "Where everything went:" in out and "000852" in out
        assert "[9/9]" in err  # step lines with timings
        # The headline table is aligned: every value ends in the same column.
        labels = ("Total return", "Annual return", "Sharpe ratio", "Max drawdown", "Excess ")
        rows = [line for line in out.splitlines() if line.startswith(labels)]
        assert len(rows) >= 5 and len({len(line) for line in rows}) == 1

    def test_refuses_to_replace_a_folder_without_force(self, tmp_path, capsys):
        (tmp_path / "keep.txt").write_text("mine")
        code, _, err = run(capsys, "demo", "--out", str(tmp_path), "--stocks", "60")
        assert_one_line_error(code, err, "already exists", "--force")
        assert (tmp_path / "keep.txt").read_text() == "mine"

    def test_a_rerun_replaces_its_own_output_but_nothing_else(self, demo, tmp_path, capsys):
        _, out_dir = demo
        code, _, err = run(capsys, "demo", "--out", str(out_dir), "--stocks", "120", "--years", "0.6")
        assert code == 0, err
        (out_dir / "notes.txt").write_text("mine")
        code, _, err = run(capsys, "demo", "--out", str(out_dir), "--stocks", "60")
        assert_one_line_error(code, err, "already exists", "--force")
        assert (out_dir / "notes.txt").read_text() == "mine"
        (out_dir / "notes.txt").unlink()


class TestStore:
    def test_info_describes_the_store(self, demo, capsys):
        _, out_dir = demo
        code, out, _ = run(capsys, "store", "info", str(out_dir / "store"))
        assert code == 0
        assert "date range" in out and "close_price" in out and "can_buy_stock" in out
        assert "bool" in out and "rq_index_components_new_000852.XSHG" in out

    def test_build_and_update_a_second_store(self, demo, tmp_path, capsys):
        _, out_dir = demo
        source = out_dir / "market"
        daily = pd.read_csv(out_dir / "report" / "demo_daily.csv", parse_dates=["date"])
        dates = daily["date"].dt.strftime("%Y%m%d")
        first, middle, last = dates.iloc[0], dates.iloc[len(dates) // 2], dates.iloc[-1]
        store = tmp_path / "s"
        code, out, err = run(capsys, "store", "build", "--source", str(source), "--store",
                             str(store), "--start", first, "--end", middle)
        assert code == 0, err
        assert f"{first} to {middle}" in out
        code, out, err = run(capsys, "store", "update", "--source", str(source), "--store",
                             str(store), "--from", dates.iloc[len(dates) // 2 - 3], "--to", last)
        assert code == 0, err
        assert f"to {last}" in out
        code, _, err = run(capsys, "store", "build", "--source", str(source), "--store",
                           str(store), "--start", first, "--end", middle)
        assert_one_line_error(code, err, "already holds a store", "--force")

    @pytest.mark.parametrize(
        "argv, fragments",
        [
            (["store", "info", "{tmp}"], ["is not a prepared-data store"]),
            (["store", "build", "--source", "{tmp}", "--store", "{tmp}/s", "--start", "20240101",
              "--end", "20240301"], ["is not a factor folder"]),
            (["store", "build", "--source", "{market}", "--store", "{tmp}/s", "--start",
              "2024-13-45", "--end", "20240301"], ["--start", "is not a date"]),
            (["store", "build", "--source", "{market}", "--store", "{tmp}/s", "--start",
              "20240301", "--end", "20240101"], ["is after"]),
            (["store", "update", "--source", "{market}", "--store", "{tmp}", "--from",
              "20240101", "--to", "20240301"], ["is not a prepared-data store"]),
        ],
    )
    def test_bad_input_gets_one_line(self, demo, tmp_path, capsys, argv, fragments):
        _, out_dir = demo
        argv = [a.format(tmp=tmp_path, market=out_dir / "market") for a in argv]
        code, _, err = run(capsys, *argv)
        assert_one_line_error(code, err, *fragments)


class TestRun:
    @pytest.fixture
    def weights(self, demo, tmp_path):
        _, out_dir = demo
        daily = pd.read_csv(out_dir / "report" / "demo_daily.csv", dtype={"date": str})
        close = Store(out_dir / "store").market().close_price
        codes = list(close.columns[:30])
        w = pd.DataFrame(1.0 / 30, index=daily["date"], columns=codes)
        path = tmp_path / "my_weights.csv"
        w.rename_axis("date").to_csv(path)
        return path

    @pytest.mark.slow
    def test_backtests_a_weight_file_and_writes_the_report(self, demo, weights, tmp_path, capsys):
        _, out_dir = demo
        out = tmp_path / "report"
        code, stdout, err = run(capsys, "run", "--store", str(out_dir / "store"), "--weights",
                                str(weights), "--out", str(out), "--rolling-window", "3",
                                "--image-kind", "long")
        assert code == 0, err
        for name in ("my_weights.png", "my_weights_weekly_net_value.png", "stats.json",
                     "my_weights_daily.csv", "my_weights_daily.parquet", "benchmark_summary.csv"):
            assert (out / name).is_file(), name
        assert "Annual return" in stdout and "Max drawdown" in stdout
        stats = json.loads((out / "stats.json").read_text())
        assert stats["strategy_name"] == "my_weights"
        assert stats["stats"]["holding_count"] == pytest.approx(30, abs=1)
        code, _, err = run(capsys, "run", "--store", str(out_dir / "store"), "--weights",
                           str(weights), "--out", str(out))
        assert_one_line_error(code, err, "already exists", "--force")

    @pytest.mark.slow
    def test_parquet_weights_with_integer_codes(self, demo, weights, tmp_path, capsys):
        _, out_dir = demo
        frame = pd.read_csv(weights, dtype={"date": str}).set_index("date")
        frame.columns = [int(c) for c in frame.columns]  # leading zeros lost, as in spreadsheets
        frame.columns = frame.columns.astype(str)
        path = tmp_path / "w.parquet"
        frame.reset_index().to_parquet(path)
        code, _, err = run(capsys, "run", "--store", str(out_dir / "store"), "--weights",
                           str(path), "--out", str(tmp_path / "r"))
        assert code == 0, err

    @pytest.mark.parametrize(
        "content, fragments",
        [
            ("date,600000\n20990104,0.5\n20990105,0.5\n", ["set no target on a day of the store"]),
            ("date,999999\n{d0},0.5\n{d1},0.5\n", ["share no stock code"]),
            ("date,600000\nyesterday,0.5\n", ["'yesterday'", "is not a date"]),
            ("date,ABC\n{d0},0.5\n", ["'ABC'", "is not a stock code"]),
            ("date,600000\n{d0},lots\n", ["weights must be numbers"]),
        ],
    )
    def test_bad_weights_get_one_line(self, demo, tmp_path, capsys, content, fragments):
        _, out_dir = demo
        daily = pd.read_csv(out_dir / "report" / "demo_daily.csv", dtype={"date": str})
        path = tmp_path / "bad.csv"
        path.write_text(content.format(d0=daily["date"].iloc[0], d1=daily["date"].iloc[1]))
        code, _, err = run(capsys, "run", "--store", str(out_dir / "store"), "--weights",
                           str(path), "--out", str(tmp_path / "r"))
        assert_one_line_error(code, err, *fragments)

    @pytest.mark.slow
    def test_a_name_matplotlib_would_read_as_math_and_the_lot_size(self, demo, weights,
                                                                     tmp_path, capsys):
        _, out_dir = demo
        odd = weights.with_name("a $_$ b.csv")
        odd.write_bytes(weights.read_bytes())
        code, _, err = run(capsys, "run", "--store", str(out_dir / "store"), "--weights",
                           str(odd), "--out", str(tmp_path / "r"), "--lot-size", "100")
        assert code == 0, err
        assert (tmp_path / "r" / "a $_$ b.png").stat().st_size > 10_000
        assert (tmp_path / "r" / "report.html").is_file()
        document = json.loads((tmp_path / "r" / "stats.json").read_text())
        assert document["strategy_name"] == "a $_$ b"
        assert document["parameters"]["lot_size"] == 100

    def test_a_name_too_long_for_a_file_is_refused_first(self, demo, weights, tmp_path,
                                                         capsys):
        _, out_dir = demo
        code, _, err = run(capsys, "run", "--store", str(out_dir / "store"), "--weights",
                           str(weights), "--out", str(tmp_path / "r"), "--name", "x" * 240)
        assert_one_line_error(code, err, "too long for a file name", "at most 255")
        assert "Reading weights" not in err and not (tmp_path / "r").exists()

    def test_missing_files_and_non_stores(self, demo, weights, tmp_path, capsys):
        _, out_dir = demo
        code, _, err = run(capsys, "run", "--store", str(out_dir / "store"), "--weights",
                           str(tmp_path / "nope.csv"), "--out", str(tmp_path / "r"))
        assert_one_line_error(code, err, "does not exist")
        code, _, err = run(capsys, "run", "--store", str(tmp_path), "--weights", str(weights),
                           "--out", str(tmp_path / "r"))
        assert_one_line_error(code, err, "is not a prepared-data store")


@pytest.mark.slow
def test_module_entry_point_and_help():
    out = subprocess.run([sys.executable, "-m", "kestrelia.backtest", "--help"],
                         capture_output=True, text=True, check=True).stdout
    assert "demo" in out and "store" in out and "run" in out and "examples:" in out
    bad = subprocess.run([sys.executable, "-m", "kestrelia.backtest", "run", "--weights", "x"],
                         capture_output=True, text=True)
    assert bad.returncode == 2 and "--store" in bad.stderr and "Traceback" not in bad.stderr


def test_numbers_are_checked_by_the_parser(capsys):
    with pytest.raises(SystemExit, match=r"^2$"):  # the parser's usage error
        cli.main(["demo", "--stocks", "-5"])
    assert "--stocks: must be between 50 and 7000, got -5" in capsys.readouterr().err
