"""Faults found by attacking saved reports, each kept as a test now that it is fixed."""

import json
import subprocess
import sys

import pandas as pd
import pytest

import kestrelia.backtest as kb
from kestrelia.backtest._examples import example_market
from kestrelia.errors import InputError
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
import pytest
import kestrelia.backtest as kb
from kestrelia.backtest._examples import example_market
from kestrelia.errors import InputError
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


def test_a_name_that_is_not_valid_unicode_is_refused_where_it_is_given():
    # It passed the checks, and save() then failed half-way in matplotlib or the page writer.
    market = example_market()
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    name = "a\udcffb"
    with pytest.raises(kb.InputError, match="not valid Unicode"):
        kb.backtest(weights, market, name=name)
    with pytest.raises(kb.InputError, match="not valid Unicode"):
        kb.sweep({name: weights}, market, progress=False)


def _crash_market():
    """Both stocks lose 80 % on the third day: a 4x position's equity is gone after it."""
    dates, codes = ["20240102", "20240103", "20240104", "20240105", "20240108"], ["000001",
                                                                                  "600000"]
    price = pd.DataFrame([[10.0, 8.0], [10.0, 8.0], [2.0, 2.0], [2.0, 2.0], [2.1, 2.1]],
                         index=dates, columns=codes)
    mask = pd.DataFrame(True, index=dates, columns=codes)
    return kb.Market(can_buy_stock=mask, cant_sell_stock=~mask, split_factor=price * 0 + 1,
                     dividend_factor=price * 0, close_price=price, prev_close=price.shift(1),
                     buy_price=price, sell_price=price)


def test_a_ruined_compounding_run_shows_one_turnover_and_one_holdings_figure():
    # The execution summary averaged over the days after the ruin too: the sale on a day
    # without equity made its turnover inf and the holdings of the empty days pulled the
    # average down, beside the headline's figures under the same labels on the page.
    market = _crash_market()
    weights = pd.DataFrame(2.0, index=market.dates, columns=market.codes)
    result = kb.backtest(weights, market, lot_size=100, sizing="compound", execution=True,
                         name="s")
    assert result.ruined_on is not None
    summary, metrics = result.execution.summary, result.metrics
    assert summary["executed_turnover"] == metrics["turnover"]
    assert summary["average_holdings"] == metrics["average_holdings"]
    page = result.report_html()
    execution = page[page.index("<h2>Execution</h2>"):]
    assert ">inf<" not in execution
    assert f'data-value="{metrics["turnover"]!r}"' in execution


def test_force_never_deletes_a_file_no_save_wrote(tmp_path):
    # A save without an execution record removed trades.parquet, positions.parquet,
    # exposure.csv and attribution.csv from the folder with force=True, as an earlier
    # report's, though none had been written by a save: the user's own files of those names.
    own = {"trades.parquet": b"my trades", "exposure.csv": b"my exposure"}
    for name, data in own.items():
        (tmp_path / name).write_bytes(data)
    (tmp_path / "notes.txt").write_bytes(b"mine")
    _result(0.2, execution=False).save(tmp_path, force=True)
    for name, data in {**own, "notes.txt": b"mine"}.items():
        assert (tmp_path / name).read_bytes() == data, f"{name} was deleted or replaced"


def test_a_report_saved_before_sets_listed_their_files_loses_its_execution_files(tmp_path):
    # Such a report's stats.json has no "files": its execution chart marks its tables.
    _result(0.4, execution=True).save(tmp_path)
    document = json.loads((tmp_path / "stats.json").read_text())
    del document["files"]
    (tmp_path / "stats.json").write_text(json.dumps(document))
    written = _result(0.2, execution=False).save(tmp_path, force=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in written)


@pytest.mark.parametrize("name", ["a\x1b[2J", "a\nb", "a\x7f"])
def test_a_name_with_control_characters_is_no_file_stem(name):
    market = example_market()
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    with pytest.raises(kb.InputError, match="control characters"):
        kb.backtest(weights, market, name=name)


def test_a_benchmark_without_data_is_refused_not_shown_as_a_flat_one():
    # The engine takes a benchmark's missing returns as 0: a primary benchmark without a
    # return on any day of the run was drawn flat under the index's name, the whole return
    # shown as excess, beside a headline of '--' for every benchmark figure.
    market = example_market()
    days = pd.DatetimeIndex(pd.to_datetime(market.dates))
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    empty = pd.Series(float("nan"), index=days)
    late = empty.copy()
    late.iloc[0] = 0.01  # a return only on the day before the run starts
    for series in (empty, late):
        with pytest.raises(InputError, match=r"benchmark '000852' has no return on any day of "
                                             r"the backtest \(\d{4}-\d\d-\d\d to "):
            kb.backtest(weights, market.with_benchmarks({"000852": series}), lot_size=100)
    series = empty.copy()
    series.iloc[-1] = 0.01
    result = kb.backtest(weights, market.with_benchmarks({"000852": series}), lot_size=100)
    assert result.daily["index_daily_return"].iloc[-1] == 0.01  # one day is enough
