"""kestrelia-backtest import bars, then store build and run, on small hand-made tables."""

import numpy as np
import pandas as pd
import pytest

from kestrelia import singleton
from kestrelia.backtest.app import demo_market
from tests.support.cli import run


def one_error_line(err):
    lines = [line for line in err.splitlines() if line.startswith("kestrelia-backtest: error:")]
    assert len(lines) == 1 and "Traceback" not in err, err
    return lines[0]


@pytest.fixture(autouse=True)
def no_client():
    previous = singleton.set_instance(None)
    yield
    singleton.set_instance(previous)


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tables")
    market = demo_market.generate_market(n_stocks=60, years=0.5, seed=4)
    return market, demo_market.write_daily_bar_tables(market, folder)


def weights_file(path, market):
    rng = np.random.default_rng(2)
    w = pd.DataFrame(rng.random((len(market.dates), len(market.codes))),
                     index=market.dates.strftime("%Y%m%d"), columns=market.codes)
    w.to_parquet(path)
    return path


@pytest.mark.slow
def test_import_build_and_run_with_index_data(tmp_path, capsys, tables):
    market, paths = tables
    code, out, err = run(capsys, "import", "bars", "--table", paths["daily_bars"],
                         "--out", tmp_path / "src", "--buy-price", "buy_vwap",
                         "--sell-price", "sell_vwap", "--index-bars", paths["index_bars"],
                         "--index-members", paths["index_members"])
    assert code == 0, err
    assert "rows rejected                0" in out and "Next: kestrelia-backtest store build" in out
    first, last = market.dates[[0, -1]].strftime("%Y%m%d")
    assert f"--start {first} --end {last}" in out
    code, _, err = run(capsys, "store", "build", "--source", tmp_path / "src", "--store",
                       tmp_path / "store", "--start", first, "--end", last)
    assert code == 0, err
    code, out, err = run(capsys, "run", "--store", tmp_path / "store", "--weights",
                         weights_file(tmp_path / "w.parquet", market), "--out", tmp_path / "rep")
    assert code == 0, err
    assert (tmp_path / "rep" / "stats.json").is_file()


@pytest.mark.slow
def test_without_index_bars_run_says_it_measures_against_a_flat_benchmark(tmp_path, capsys,
                                                                          tables):
    market, paths = tables
    code, out, _ = run(capsys, "import", "bars", "--table", paths["daily_bars"], "--out",
                       tmp_path / "src")
    assert code == 0
    assert "benchmarks without data      000852.XSHG, 000300.XSHG, 000905.XSHG" in out
    assert "components without members" in out
    first, last = market.dates[[0, -1]].strftime("%Y%m%d")
    assert run(capsys, "store", "build", "--source", tmp_path / "src", "--store",
               tmp_path / "store", "--start", first, "--end", last)[0] == 0
    code, _, err = run(capsys, "run", "--store", tmp_path / "store", "--weights",
                       weights_file(tmp_path / "w.parquet", market), "--out", tmp_path / "rep",
                       "--benchmark", "000300")
    assert code == 0, err
    assert "no data for the benchmark 000300; the run is measured against a flat" in err
    daily = pd.read_parquet(tmp_path / "rep" / "w_daily.parquet")
    assert len(daily) == len(market.dates) - 1  # not cut to the dates of an empty series
    assert (daily["index_daily_return"] == 0).all()
    # A sweep of the same store runs too, against the same flat benchmark.
    code, _, err = run(capsys, "sweep", "--store", tmp_path / "store", "--weights",
                       tmp_path / "w.parquet", "--out", tmp_path / "sweep", "--benchmark",
                       "000300")
    assert code == 0, err
    assert "no data for the benchmark 000300; the run is measured against a flat" in err
    assert (tmp_path / "sweep").is_dir()


def test_rejected_rows_are_listed_and_strict_stops(tmp_path, capsys):
    frame = pd.DataFrame({"trade_date": ["20240102", "20240103", "2024-02-31"],
                          "ts_code": ["600000.SH"] * 3, "open": [10.0, 10.1, 10.2],
                          "close": [10.0, 10.1, 10.2]})
    frame.to_csv(tmp_path / "bars.csv", index=False)
    args = ["import", "bars", "--table", tmp_path / "bars.csv", "--out", tmp_path / "src",
            "--columns", "date=trade_date,code=ts_code"]
    code, out, _ = run(capsys, *args)
    assert code == 0
    assert "Rejected rows:" in out and "bars.csv row 3: trade_date='2024-02-31'" in out
    code, _, err = run(capsys, *args, "--strict", "--force")
    assert code == 1
    assert "unreadable or missing date: bars.csv row 3" in one_error_line(err)
    code, _, err = run(capsys, *args)
    assert code == 1 and "already exists; use --force" in one_error_line(err)


@pytest.mark.parametrize("extra, message", [
    (["--columns", "nonsense"], "write standard=column"),
    (["--buy-price", "vwap"], "vwap needs the amount and volume columns"),
])
def test_bad_options_are_one_line(tmp_path, capsys, extra, message):
    pd.DataFrame({"date": ["20240102"], "code": ["600000"], "open": [1.0],
                  "close": [1.0]}).to_parquet(tmp_path / "t.parquet")
    code, _, err = run(capsys, "import", "bars", "--table", tmp_path / "t.parquet", "--out",
                       tmp_path / "src", *extra)
    assert code == 1 and message in one_error_line(err)
    code, _, err = run(capsys, "import", "bars", "--table", tmp_path / "none.csv", "--out",
                       tmp_path / "src")
    assert code == 1 and "does not exist" in one_error_line(err)


@pytest.mark.slow
def test_the_demos_daily_bars_import_to_the_same_market(small_demo, tmp_path, capsys):
    """The demo also writes its market as daily-bar tables; importing them and building a
    store gives the market a build from the demo's own factor folder gives."""
    from kestrelia.backtest import Store

    bars = small_demo / "bars"
    code, _, err = run(capsys, "import", "bars", "--table", bars / "daily_bars.parquet",
                       "--index-bars", bars / "index_bars.parquet",
                       "--index-members", bars / "index_members.parquet",
                       "--buy-price", "buy_vwap", "--sell-price", "sell_vwap",
                       "--out", tmp_path / "imported")
    assert code == 0, err
    dates = Store(small_demo / "store").info()
    own, imported = Store(tmp_path / "own"), Store(tmp_path / "from-bars")
    own.build(small_demo / "market", dates["first_date"], dates["last_date"])
    imported.build(tmp_path / "imported", dates["first_date"], dates["last_date"])
    a, b = own.market(), imported.market()
    for name, matrix in a.matrices().items():
        pd.testing.assert_frame_equal(b.matrices()[name], matrix, check_exact=True, obj=name)
    assert a.benchmarks.keys() == b.benchmarks.keys()


def test_day_first_dates_are_refused_until_the_format_is_named(tmp_path, capsys):
    days = ["02/01/2024", "03/01/2024", "04/01/2024", "13/01/2024"]
    pd.DataFrame({"date": days, "code": "600000", "open": 10.0, "close": 10.0}).to_csv(
        tmp_path / "bars.csv", index=False)
    args = ["import", "bars", "--table", tmp_path / "bars.csv", "--out", tmp_path / "src"]
    code, _, err = run(capsys, *args)
    assert code == 1
    assert "no usable row (4 rows rejected: unreadable or missing date); dates must be " \
        "YYYYMMDD or YYYY-MM-DD; name other forms with --date-format" in one_error_line(err)
    code, out, err = run(capsys, *args, "--date-format", "%d/%m/%Y")
    assert code == 0, err
    assert "2024-01-02 to 2024-01-13 (4 days)" in out
    code, _, err = run(capsys, *args, "--date-format", "%d/%m", "--force")
    assert code == 1 and "does not give the year, month and day" in one_error_line(err)


def test_a_stray_date_is_listed_with_a_note(tmp_path, capsys):
    frame = pd.DataFrame({"date": ["20240102", "20240103", "04/01/2024"], "code": "600000",
                          "open": 10.0, "close": 10.0})
    frame.to_csv(tmp_path / "bars.csv", index=False)
    code, out, _ = run(capsys, "import", "bars", "--table", tmp_path / "bars.csv", "--out",
                       tmp_path / "src")
    assert code == 0
    assert "bars.csv row 3: date='04/01/2024'" in out and "Note: dates must be" in out


def test_broken_files_are_one_line_or_counted(tmp_path, capsys):
    (tmp_path / "bars.parquet").write_bytes(b"not a parquet file at all")
    code, _, err = run(capsys, "import", "bars", "--table", tmp_path / "bars.parquet", "--out",
                       tmp_path / "src")
    assert code == 1 and f"cannot read {tmp_path / 'bars.parquet'}: " in one_error_line(err)
    (tmp_path / "bars.csv").write_text("date,code,open,close\n20240102,600000,10,10\n"
                                       "20240103,600000,10\n20240104,600000,10,10\n")
    code, out, err = run(capsys, "import", "bars", "--table", tmp_path / "bars.csv", "--out",
                         tmp_path / "src")
    assert code == 0, err
    assert "malformed CSV row (wrong number of fields)" in out and "bars.csv line 3 (row 2)" in out
