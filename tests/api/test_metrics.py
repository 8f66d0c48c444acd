"""Risk metrics, the monthly table and drawdown periods: hand-computed values, the usual
textbook formulas written out here on random series, edge cases and bad input."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest.metrics import (
    BENCHMARK_METRICS,
    METRIC_DEFINITIONS,
    TRADING_METRICS,
    compute_metrics,
    drawdown_periods,
    monthly_returns,
    rolling_metrics,
)
from kestrelia.errors import InputError

SQ = math.sqrt(252)


def days(n, start="2024-01-01", text=False):
    index = pd.bdate_range(start, periods=n)
    return pd.Index(index.strftime("%Y%m%d")) if text else index


def series(values, start="2024-01-01", text=False):
    return pd.Series(values, index=days(len(values), start, text), dtype="float64")


# -- reference formulas, written independently of the module ------------------------------


def ref_drawdown(r):
    """Loop over E = 1 + cumsum(r) with the initial capital as the first peak."""
    equity, peak, worst = 1.0, 1.0, 0.0
    for x in r:
        equity += x
        peak = max(peak, equity)
        worst = min(worst, (equity - peak) / peak)
    return worst


def ref_skew(r):
    n, d = len(r), r - r.mean()
    m2, m3 = (d**2).mean(), (d**3).mean()
    return math.sqrt(n * (n - 1)) / (n - 2) * m3 / m2**1.5


def ref_kurt(r):
    n, d = len(r), r - r.mean()
    g2 = (d**4).mean() / (d**2).mean() ** 2 - 3
    return ((n + 1) * g2 + 6) * (n - 1) / ((n - 2) * (n - 3))


def reference(r, b):
    active = r - b
    ir, ib = r - r.mean(), b - b.mean()
    beta = (ir * ib).mean() / (ib**2).mean()  # population moments; the ratio is the same
    lowest = np.sort(r)[: int((len(r) - 1) * 0.05) + 1]
    return {
        "total_return": r.sum(),
        "annual_return": r.mean() * 252,
        "volatility": r.std(ddof=1) * SQ,
        "sharpe": r.mean() / r.std(ddof=1) * SQ,
        "sortino": r.mean() * 252 / (math.sqrt((np.clip(r, None, 0) ** 2).mean()) * SQ),
        "max_drawdown": ref_drawdown(r),
        "calmar": r.mean() * 252 / abs(ref_drawdown(r)),
        "skew": ref_skew(r),
        "kurtosis": ref_kurt(r),
        "var_95": np.percentile(r, 5),
        "cvar_95": lowest.mean(),
        "best_day": r.max(),
        "worst_day": r.min(),
        "win_rate": (r > 0).mean(),
        "profit_factor": r[r > 0].sum() / -r[r < 0].sum(),
        "benchmark_annual_return": b.mean() * 252,
        "excess_annual_return": active.mean() * 252,
        "beta": beta,
        "alpha": (r - beta * b).mean() * 252,
        "tracking_error": active.std(ddof=1) * SQ,
        "information_ratio": active.mean() * 252 / (active.std(ddof=1) * SQ),
        "correlation": np.corrcoef(r, b)[0, 1],
    }


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference_formulas_on_random_series(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(30, 800))
    b = rng.normal(0.0002, 0.012, n)
    r = 0.7 * b + rng.normal(0.0004, 0.01, n) + rng.standard_t(3, n) * 0.002
    got = compute_metrics(series(r), series(b))
    for key, want in reference(r, b).items():
        assert got[key] == pytest.approx(want, rel=1e-9, abs=1e-15), key


def test_hand_computed_values():
    r = series([0.01, -0.02, 0.03, -0.01])
    b = series([0.01, 0.0, 0.01, -0.02])
    m = compute_metrics(r, b, turnover=series([0.1, 0.05, 0.0, 0.2]),
                        holdings=series([3.0, 4.0, 4.0, 5.0]))
    te = math.sqrt(8.75e-4 / 3) * SQ
    want = {
        "total_return": 0.01, "annual_return": 0.63, "volatility": math.sqrt(1.475e-3 / 3) * SQ,
        "sharpe": 0.0025 / math.sqrt(1.475e-3 / 3) * SQ, "sortino": 0.0025 / math.sqrt(1.25e-4) * SQ,
        "max_drawdown": -0.02 / 1.01, "calmar": 0.63 / (0.02 / 1.01), "var_95": -0.0185,
        "cvar_95": -0.02, "best_day": 0.03, "worst_day": -0.02, "win_rate": 0.5,
        "profit_factor": 0.04 / 0.03, "beta": 1.0, "alpha": 0.63, "tracking_error": te,
        "information_ratio": 0.0025 * 252 / te, "correlation": 6e-4 / math.sqrt(1.475e-3 * 6e-4),
        "benchmark_annual_return": 0.0, "excess_annual_return": 0.63, "turnover": 0.0875,
        "average_holdings": 4.0,
    }  # fmt: skip
    for key, value in want.items():
        assert m[key] == pytest.approx(value, rel=1e-12), key
    d = r.index
    assert (m["max_drawdown_peak"], m["max_drawdown_trough"], m["max_drawdown_recovery"]) == (
        d[0],
        d[1],
        d[2],
    )
    assert m["max_drawdown_days"] == 2
    assert list(m.index) == list(METRIC_DEFINITIONS)


def test_every_metric_has_a_one_line_definition():
    assert all(text and "\n" not in text for text in METRIC_DEFINITIONS.values())
    assert set(compute_metrics(series([0.01, 0.02])).index) == (
        set(METRIC_DEFINITIONS) - set(BENCHMARK_METRICS) - set(TRADING_METRICS))


@pytest.mark.parametrize(
    "values, expect",
    [
        # constant: no deviation, so no Sharpe, skew or kurtosis; never a drawdown
        ([0.001] * 30, {"volatility": 0.0, "sharpe": "nan", "skew": "nan", "max_drawdown": 0.0,
                        "sortino": "nan", "profit_factor": "nan", "calmar": "nan"}),
        # a single day: figures that need a deviation are undefined
        ([-0.02], {"total_return": -0.02, "volatility": "nan", "sharpe": "nan",
                   "max_drawdown": -0.02, "max_drawdown_days": 1, "var_95": -0.02, "cvar_95": -0.02}),
        ([0.0] * 10, {"total_return": 0.0, "win_rate": 0.0, "sharpe": "nan", "max_drawdown": 0.0,
                      "max_drawdown_days": 0, "profit_factor": "nan", "sortino": "nan"}),
        # nothing at all: every figure undefined, no drawdown dates
        ([], {"total_return": "nan", "max_drawdown": "nan", "max_drawdown_peak": "nan",
              "max_drawdown_days": "nan", "var_95": "nan"}),
    ],
)  # fmt: skip
def test_degenerate_series(values, expect):
    m = compute_metrics(series(values))
    for key, value in expect.items():
        assert pd.isna(m[key]) if value == "nan" else m[key] == pytest.approx(value), key
    assert not any(isinstance(v, float) and math.isinf(v) for v in m)


def test_crash_and_recovery_dates():
    r = series([0.01, 0.02, -0.10, 0.03, 0.04, 0.02, 0.01, 0.05])
    m = compute_metrics(r)
    # E: 1.01 1.03 0.93 0.96 1.00 1.02 1.03 1.08; peak 1.03 on day 1, back on day 6
    assert m["max_drawdown"] == pytest.approx(-0.10 / 1.03)
    assert [m[k] for k in ("max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery")] == [
        r.index[1], r.index[2], r.index[6]]  # fmt: skip
    assert m["max_drawdown_days"] == 5


def test_never_recovered_and_first_day_losses():
    r = series([-0.01, -0.02, 0.005, -0.03, 0.01])
    m = compute_metrics(r)
    # the initial capital is the peak; E ends at 0.955, never back at 1
    assert m["max_drawdown"] == pytest.approx(-0.055)
    assert m["max_drawdown_peak"] == r.index[0] and pd.isna(m["max_drawdown_recovery"])
    assert m["max_drawdown_trough"] == r.index[3]
    assert m["max_drawdown_days"] == 5  # from the initial capital to the last day
    periods = drawdown_periods(r)
    assert len(periods) == 1 and periods["days"].iloc[0] == 5


def test_nan_and_infinite_days_are_dropped():
    clean = series([0.01, -0.02, 0.03, -0.01, 0.02, -0.005])
    dirty = clean.copy()
    dirty.iloc[[1, 4]] = [np.nan, np.inf]
    got = compute_metrics(dirty)
    want = compute_metrics(clean.drop(clean.index[[1, 4]]))
    pd.testing.assert_series_equal(got, want)
    assert compute_metrics(series([np.nan, np.nan]))["total_return"] != 0  # NaN, not 0
    assert pd.isna(compute_metrics(series([np.nan, np.nan]))["total_return"])


def test_benchmark_alignment_and_text_dates():
    r = series([0.01, -0.02, 0.03, -0.01, 0.02], text=True)
    b = series([0.005, 0.0, 0.01, -0.02, 0.01])  # DatetimeIndex, same days
    on_overlap = compute_metrics(r.iloc[1:], b.iloc[1:])
    shifted = compute_metrics(r, b.iloc[1:].reindex(b.index))  # first benchmark day missing
    for key in BENCHMARK_METRICS:
        assert shifted[key] == pytest.approx(on_overlap[key]), key
    assert shifted["total_return"] == pytest.approx(0.03)  # the strategy keeps all its days
    flat = compute_metrics(r, series([0.0] * 5))
    assert pd.isna(flat["beta"]) and pd.isna(flat["correlation"])


def test_input_is_not_modified_and_order_does_not_matter():
    r = series([0.01, -0.02, np.nan, 0.03])
    before = r.copy()
    pd.testing.assert_series_equal(compute_metrics(r.iloc[::-1]), compute_metrics(r))
    pd.testing.assert_series_equal(r, before)


@pytest.mark.parametrize(
    "bad, match",
    [
        ([0.01, 0.02], "must be a pandas Series"),
        (pd.Series([0.01, 0.02], index=["20240102", "2024-13-01"]), "'2024-13-01' is neither"),
        (pd.Series([0.01, 0.02], index=["20240102", "20240102"]), "2024-01-02 more than once"),
        (pd.Series([True, False], index=["20240102", "20240103"]), "holds booleans"),
        (
            pd.Series([0.01, "x"], index=["20240102", "20240103"]),
            "non-numeric value 'x' at '20240103'",
        ),
    ],
)
def test_bad_input(bad, match):
    with pytest.raises(InputError, match=match):
        compute_metrics(bad)


def test_monthly_table():
    idx = pd.to_datetime(["2023-12-28", "2023-12-29", "2024-01-02", "2024-01-03", "2024-03-01"])
    r = pd.Series([0.01, 0.02, -0.03, np.nan, 0.04], index=idx)
    table = monthly_returns(r)
    assert list(table.columns) == ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep",
                                   "Oct", "Nov", "Dec", "Year"]  # fmt: skip
    assert list(table.index) == [2023, 2024]
    assert table.loc[2023, "Dec"] == pytest.approx(0.03) and table.loc[
        2024, "Jan"
    ] == pytest.approx(-0.03)
    assert pd.isna(table.loc[2024, "Feb"])  # no trading day, not a zero month
    assert table["Year"].tolist() == pytest.approx([0.03, 0.01])
    # the year total equals the sum of the months, as pandas groups it
    months = table.drop(columns="Year").sum(axis=1)
    pd.testing.assert_series_equal(months, table["Year"], check_names=False)
    assert monthly_returns(series([])).empty


@pytest.mark.parametrize("seed", range(3))
def test_monthly_and_drawdowns_against_pandas_on_random_series(seed):
    rng = np.random.default_rng(seed)
    r = pd.Series(rng.normal(0.0003, 0.01, 900), index=pd.bdate_range("2019-03-11", periods=900))
    r[rng.random(900) < 0.03] = np.nan
    table = monthly_returns(r)
    want = r.dropna().resample("ME").sum()  # every month of this range has trading days
    got = table.drop(columns="Year").stack().dropna()
    assert got.to_numpy() == pytest.approx(want.to_numpy(), abs=1e-15)

    periods = drawdown_periods(r, top=1000)
    clean = r.dropna()
    equity = 1 + clean.cumsum()
    peak = np.maximum(equity.cummax(), 1.0)
    under = (equity - peak) / peak
    assert periods["depth"].iloc[0] == pytest.approx(under.min())
    assert periods["depth"].is_monotonic_increasing
    assert (under < 0).sum() == (periods["days"] - periods["recovery"].notna()).sum()
    for p in periods.itertuples():
        assert under[p.trough] == pytest.approx(p.depth)
        if pd.notna(p.recovery):
            assert equity[p.recovery] >= peak[p.trough] and p.peak < p.trough < p.recovery
    m = compute_metrics(r)
    first = periods.iloc[0]
    assert (m["max_drawdown"], m["max_drawdown_trough"], m["max_drawdown_days"]) == (
        first["depth"], first["trough"], first["days"])  # fmt: skip


def test_drawdown_periods_top_and_bad_top():
    r = series([0.01, -0.01, 0.02, -0.03, 0.04, -0.005, 0.01])
    periods = drawdown_periods(r, top=2)
    assert list(periods.columns) == ["peak", "trough", "recovery", "depth", "days"]
    assert periods["depth"].tolist() == pytest.approx([-0.03 / 1.02, -0.01 / 1.01])
    assert drawdown_periods(series([0.01, 0.02])).empty
    for top in (0, -1, 2.5, True):
        with pytest.raises(InputError, match="top must be a positive integer"):
            drawdown_periods(r, top=top)


def test_docs_list_every_definition():
    from pathlib import Path

    doc = (Path(__file__).parents[2] / "docs" / "metrics.md").read_text(encoding="utf-8")
    for key, text in METRIC_DEFINITIONS.items():
        assert f"| `{key}` | {text.replace('|', chr(92) + '|')} |" in doc, key


def test_turnover_and_holdings_are_means_over_the_days_that_count():
    r = series([0.01, np.nan, -0.02, 0.03, 0.0])
    turnover = series([0.2, 0.9, 0.1, np.nan, 0.3])  # no figure for the fourth day
    holdings = series([10.0, 99.0, 12.0, 14.0, 16.0])
    m = compute_metrics(r, turnover=turnover, holdings=holdings)
    # The day without a finite return does not count; a day without a turnover is skipped.
    assert m["turnover"] == pytest.approx((0.2 + 0.1 + 0.3) / 3)
    assert m["average_holdings"] == pytest.approx((10 + 12 + 14 + 16) / 4)
    extra = series([0.5] * 8, start="2023-06-01")  # days outside the returns' are ignored
    longer = compute_metrics(r, turnover=pd.concat([extra, turnover]),
                             holdings=pd.concat([extra, holdings]))
    pd.testing.assert_series_equal(longer, m)
    empty = compute_metrics(series([]), turnover=series([]), holdings=series([]))
    assert pd.isna(empty["turnover"]) and pd.isna(empty["average_holdings"])
    with pytest.raises(InputError, match="given together"):
        compute_metrics(r, turnover=turnover)
    with pytest.raises(InputError, match="holdings holds booleans"):
        compute_metrics(r, turnover=turnover, holdings=holdings > 11)


def window_metrics(r, b, end, window):
    """compute_metrics on the `window` days that end at position `end`."""
    days = r.index[end - window + 1 : end + 1]
    return compute_metrics(r.loc[days], None if b is None else b.reindex(days))


@pytest.mark.parametrize("seed, window", [(0, 2), (1, 5), (2, 40), (3, 126)])
def test_rolling_figures_are_the_metrics_of_each_window(seed, window):
    rng = np.random.default_rng(seed)
    n = window + int(rng.integers(5, 60))
    b = rng.normal(0.0002, 0.012, n)
    r = series(0.6 * b + rng.normal(0.0003, 0.01, n))
    b = series(b)
    got = rolling_metrics(r, b, window)
    assert list(got.columns) == ["annual_return", "volatility", "sharpe", "beta", "correlation"]
    assert got.index.equals(r.index) and got.index.name == "date"
    assert got.iloc[: window - 1].isna().all().all() and got.iloc[window - 1 :].notna().all().all()
    for end in range(window - 1, n, max(1, (n - window) // 7)):
        want = window_metrics(r, b, end, window)
        for key in got.columns:
            assert got[key].iloc[end] == pytest.approx(want[key], rel=1e-8, abs=1e-12), (end, key)


def test_rolling_edge_cases():
    flat = series([0.001] * 6 + [0.002, -0.001, 0.003])
    got = rolling_metrics(flat, window=4)
    # A constant window has no deviation: no Sharpe ratio, a volatility of 0.
    assert got["volatility"].iloc[3:6].tolist() == [0.0] * 3 and got["sharpe"].iloc[3:6].isna().all()
    assert got["sharpe"].iloc[-1] == pytest.approx(window_metrics(flat, None, 8, 4)["sharpe"])
    assert list(got.columns) == ["annual_return", "volatility", "sharpe"]  # no benchmark
    # Fewer days than the window: all NaN; non-finite days do not count as days.
    assert rolling_metrics(series([0.01, 0.02]), window=3).isna().all().all()
    holes = series([0.01, np.nan, 0.02, np.inf, -0.01, 0.03])
    pd.testing.assert_frame_equal(rolling_metrics(holes, window=2),
                                  rolling_metrics(holes.iloc[[0, 2, 4, 5]], window=2))
    # A benchmark day missing: the benchmark figures skip it, and are NaN on that day.
    r = series([0.01, -0.02, 0.015, 0.0, 0.02, -0.01, 0.005])
    b = series([0.005, -0.01, 0.01, 0.001, 0.012, -0.004, 0.0])
    gap = b.copy()
    gap.iloc[3] = np.nan
    got = rolling_metrics(r, gap, window=3)
    assert pd.isna(got["beta"].iloc[3])
    want = compute_metrics(r.iloc[[2, 4, 5]], b.iloc[[2, 4, 5]])
    assert got["beta"].iloc[5] == pytest.approx(want["beta"])
    assert got["correlation"].iloc[5] == pytest.approx(want["correlation"])
    # A constant benchmark window has no beta and no correlation.
    assert rolling_metrics(r, series([0.01] * 7), window=3)[["beta", "correlation"]].isna().all().all()
    for bad in (1, 0, 2.5, True, "5"):
        with pytest.raises(InputError, match="window must be a whole number of days, at least 2"):
            rolling_metrics(r, window=bad)
