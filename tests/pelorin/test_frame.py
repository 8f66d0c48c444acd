"""The module frame: names and their order, constants, lock, result record, functions."""

import dataclasses
import inspect
import pickle
import subprocess
import sys
import threading

import pandas as pd
import pytest

from kestrelia.backtest import _core

FRAME_NAMES = [
    "contextlib",
    "threading",
    "dataclass",
    "Path",
    "np",
    "pd",
    "_build_market_arrays",
    "_with_datetime_index",
    "safe_sharpe",
    "_MATPLOTLIB_PLOT_LOCK",
    "TRADING_DAYS_PER_YEAR",
    "ROLLING_STABILITY_DAYS",
    "MIN_ROLLING_STABILITY_DAYS",
    "_PelorinResult",
]

FUNCTIONS = [
    "_smooth_strategy_weights",
    "calc_strategy_vwap_daily_return",
    "_build_total_backtesting_frame",
    "calc_strategy_stats",
    "run_strategy_backtest_core",
    "_format_pct",
    "_format_pct_points",
    "_format_num",
    "_format_annual_excess",
    "_period_return_drawdown_calmar",
    "_calc_yearly_performance_metrics",
    "_configure_strategy_plot_style",
    "_draw_yearly_metrics_table",
    "_build_weekly_net_value_frame",
    "plot_strategy_performance",
    "_plot_strategy_performance_unlocked",
    "plot_weekly_net_value",
    "_plot_weekly_net_value_unlocked",
]


def test_names_are_bound_in_order(pelorin):
    names = [n for n in vars(pelorin) if n in FRAME_NAMES or n in FUNCTIONS]
    assert names[: len(FRAME_NAMES)] == FRAME_NAMES
    functions = names[len(FRAME_NAMES) :]
    assert [f for f in FUNCTIONS if f in functions] == [f for f in functions if f in FUNCTIONS]


def test_constants_lock_and_outside_names(pelorin):
    assert (pelorin.TRADING_DAYS_PER_YEAR, pelorin.ROLLING_STABILITY_DAYS) == (252, 60)
    assert pelorin.MIN_ROLLING_STABILITY_DAYS == 5
    for name in ("TRADING_DAYS_PER_YEAR", "ROLLING_STABILITY_DAYS", "MIN_ROLLING_STABILITY_DAYS"):
        assert type(getattr(pelorin, name)) is int
    assert isinstance(pelorin._MATPLOTLIB_PLOT_LOCK, type(threading.RLock()))
    assert pelorin.safe_sharpe is _core.safe_sharpe
    assert pelorin._build_market_arrays is _core._build_market_arrays
    assert pelorin.pd is pd


def test_result_record_is_a_dataclass(pelorin):
    R = pelorin._PelorinResult
    assert dataclasses.is_dataclass(R)
    fields = [(f.name, f.type) for f in dataclasses.fields(R)]
    assert fields == [
        ("strategy_name", "str"),
        ("daily_return", "pd.Series"),
        ("cumulative_return", "pd.Series"),
        ("stats", "dict"),
        ("benchmark_summary", "pd.DataFrame"),
        ("plot_paths", "dict[str, str]"),
    ]
    assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(R))
    assert R.__module__ == "kestrelia.backtest._pelorin" and "not exposed to end users" in R.__doc__
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'plot_paths'"):
        R("s", None, None, {}, None)
    a = R("s", 1, 2, {}, 3, {})
    assert a == R("s", 1, 2, {}, 3, {}) and a != R("t", 1, 2, {}, 3, {})
    a.strategy_name = "changed"  # mutable, not frozen
    assert "changed" in repr(a)


def test_functions_look_like_functions(pelorin):
    for name in FUNCTIONS:
        fn = getattr(pelorin, name)
        assert fn.__module__ == "kestrelia.backtest._pelorin"
        assert fn.__name__ == name and fn.__qualname__ == name
        assert fn.__doc__
        assert pickle.loads(pickle.dumps(fn)) is fn
    sig = inspect.signature(pelorin.calc_strategy_vwap_daily_return)
    assert list(sig.parameters)[-4:] == ["total_money", "fee", "rule_fee", "lot_size"]
    assert [p.default for p in list(sig.parameters.values())[-4:]] == [1e8, 0.0001, 0.0005, 200]
    assert sig.parameters["lot_size"].annotation == "int"
    assert sig.return_annotation == "pd.Series"
    run = inspect.signature(pelorin.run_strategy_backtest_core).parameters
    assert run["benchmark_dict"].annotation == "dict[str, pd.Series] | None"
    assert run["plot_save_path"].annotation == "str | Path | None"
    assert run["plot_image_kind"].default == "large" and run["strategy_name"].default == "strategy"
    assert pelorin.calc_strategy_stats.__annotations__ == {
        "total_frame": "pd.DataFrame",
        "signal_df": "pd.DataFrame",
        "return": "dict",
    }


def test_matplotlib_is_not_imported_at_load():
    code = (
        "import sys; import kestrelia.backtest._pelorin; "
        "print('matplotlib' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_outside_names_are_looked_up_at_call_time(pelorin, market, monkeypatch):
    calls = []

    def fake_sharpe(series, periods=252):
        calls.append(periods)
        return 1.25

    monkeypatch.setattr(pelorin, "safe_sharpe", fake_sharpe)
    result = pelorin.run_strategy_backtest_core(*market.args())
    assert result.stats["long_sharp"] == 1.25 and calls == [252, 252, 252]

    def broken(*args):
        raise LookupError("replaced helper called")

    monkeypatch.setattr(pelorin, "_build_market_arrays", broken)
    with pytest.raises(LookupError, match="replaced helper"):
        pelorin.calc_strategy_vwap_daily_return(*market.args())
