"""Risk and return metrics of a daily return series, its monthly table and its drawdown periods.

The daily returns ``r`` are fractions of the fixed initial capital, so the equity curve is
``E = 1 + cumsum(r)``: a fixed-capital backtest does not reinvest. With ``compound=True``
(a backtest sized from its equity, whose returns are each day's profit over the equity the
day began with) the equity is ``E = cumprod(1 + r)``, and the total and annual return, the
drawdowns and the monthly table compound (COMPOUNDED_DEFINITIONS). Every value is a plain
fraction (0.05 is 5 %), annualised with 252 trading days.

Missing days: a NaN or infinite daily return is dropped before anything is computed, as the
engine's own statistics do; the day does not count as a trading day (not in means, standard
deviations, drawdown lengths or month totals). With a benchmark, the benchmark figures use
the days on which both series are finite.

Drawdowns are measured against the running peak of ``E`` with the initial capital (1.0)
as the first peak, so losses from the first day on are a drawdown too; a drawdown is
``(E - peak) / peak``, zero or negative. The length of a drawdown counts the trading days
after the peak up to and including the recovery day (or up to the last day when ``E`` has
not come back); when the fall starts on the first day, the peak date shown is that first
day and the initial capital counts as the day before it.

Trading: given each day's turnover (money bought and sold over twice the capital) and the
number of stocks held at the end of each day, their means over the days that count are the
executed turnover and the average holdings; a backtest hands over what it traded (from its
execution record when it kept one, else from the plain walk).

``rolling_metrics`` computes the annualised return, volatility and Sharpe ratio, and beta and
correlation against a benchmark, over a moving window of trading days, each as the metric of
the same name computes it on the window's days.
"""

from __future__ import annotations

import math
from typing import Any, cast

import numpy as np
import pandas as pd

from kestrelia.errors import InputError

__all__ = ["COMPOUNDED_DEFINITIONS", "METRIC_DEFINITIONS", "ROLLING_DEFINITIONS",
           "compute_metrics", "drawdown_periods", "monthly_returns", "rolling_metrics"]

TRADING_DAYS_PER_YEAR = 252

METRIC_DEFINITIONS: dict[str, str] = {
    "total_return": "Sum of the daily returns: the gain on the initial capital (E at the end - 1).",
    "annual_return": "Mean daily return x 252 (arithmetic, not compounded).",
    "volatility": "Sample standard deviation of the daily returns x sqrt(252).",
    "sharpe": "Mean / sample standard deviation of the daily returns x sqrt(252); no risk-free rate.",
    "sortino": "Mean daily return x 252 / (root mean square of min(r, 0) x sqrt(252)).",
    "max_drawdown": "Deepest fall of E below its running peak, relative to that peak (negative).",
    "max_drawdown_peak": "Last date on which E stood at the peak before the deepest drawdown.",
    "max_drawdown_trough": "Date of the lowest point of the deepest drawdown.",
    "max_drawdown_recovery": "First date after the trough on which E is back at the peak (NaT if never).",
    "max_drawdown_days": "Trading days from the peak to the recovery, or to the last day if not recovered.",
    "calmar": "annual_return / |max_drawdown|.",
    "skew": "Sample skewness of the daily returns (pandas Series.skew).",
    "kurtosis": "Excess kurtosis of the daily returns (pandas Series.kurt).",
    "var_95": "Historical value at risk: 5th percentile of the daily returns (linear interpolation).",
    "cvar_95": "Mean of the daily returns at or below the 5 % cut (the int((n-1) x 0.05) + 1 lowest).",
    "best_day": "Highest daily return.",
    "worst_day": "Lowest daily return.",
    "win_rate": "Share of days with a positive return.",
    "profit_factor": "Sum of the positive daily returns / |sum of the negative ones|.",
    "turnover": "Executed turnover: mean daily (money bought + money sold) / (2 x capital), sells at the split-adjusted price.",
    "average_holdings": "Mean number of stocks held at the end of each day (what was executed, not the target).",
    "benchmark_annual_return": "Mean benchmark daily return x 252 (arithmetic), on the days both series have a return.",
    "excess_annual_return": "Mean (strategy - benchmark) daily return x 252 (arithmetic).",
    "beta": "Covariance of strategy and benchmark daily returns / variance of the benchmark's.",
    "alpha": "(Mean strategy return - beta x mean benchmark return) x 252 (arithmetic).",
    "tracking_error": "Sample standard deviation of (strategy - benchmark) daily returns x sqrt(252).",
    "information_ratio": "Mean (strategy - benchmark) daily return x 252 / tracking_error.",
    "correlation": "Pearson correlation of strategy and benchmark daily returns.",
}

#: The definitions a backtest sized from its equity (``sizing="compound"``) replaces: its
#: equity is E = cumprod(1 + r), and the drawdowns are measured on that E.
COMPOUNDED_DEFINITIONS: dict[str, str] = {
    "total_return": "Product of (1 + daily return) less 1: the gain on the initial capital (E at the end - 1).",
    "annual_return": "(E at the end) ^ (252 / number of days) - 1 (geometric); -1 once E is not positive.",
    "benchmark_annual_return": "The benchmark's geometric annual return, on the days both series have a return.",
    "excess_annual_return": "The strategy's geometric annual return less the benchmark's, on the days both have a return.",
}

BENCHMARK_METRICS = ("benchmark_annual_return", "excess_annual_return", "beta", "alpha",
                     "tracking_error", "information_ratio", "correlation")
TRADING_METRICS = ("turnover", "average_holdings")

ROLLING_DEFINITIONS: dict[str, str] = {
    "annual_return": "Mean daily return over the window x 252.",
    "volatility": "Sample standard deviation of the window's daily returns x sqrt(252).",
    "sharpe": "Mean / sample standard deviation of the window's daily returns x sqrt(252).",
    "beta": "Covariance of strategy and benchmark daily returns over the window / the benchmark's variance.",
    "correlation": "Pearson correlation of strategy and benchmark daily returns over the window.",
}
DATE_METRICS = ("max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery")
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
NAN = float("nan")


def _dated(series: object, name: str) -> pd.Series:
    """A float copy of `series` on an ascending DatetimeIndex, non-finite days dropped."""
    if not isinstance(series, pd.Series):
        raise InputError(f"{name} must be a pandas Series, got {type(series).__name__}")
    if pd.api.types.is_bool_dtype(series.dtype):
        raise InputError(f"{name} holds booleans, not daily returns")
    if not pd.api.types.is_numeric_dtype(series.dtype):
        bad = pd.to_numeric(series, errors="coerce").isna() & series.notna()
        first = series.index[bad.to_numpy()][0] if bad.any() else None
        if first is not None:
            raise InputError(f"{name} holds a non-numeric value {series[first]!r} at {first!r}")
    values = pd.to_numeric(series, errors="coerce").astype("float64")
    index = series.index
    if not isinstance(index, pd.DatetimeIndex):
        text = pd.Index(index).astype(str)
        parsed = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
        if parsed.isna().any():
            first = index[np.flatnonzero(parsed.isna())[0]]
            raise InputError(
                f"{name} needs a DatetimeIndex or YYYYMMDD dates; {first!r} is neither"
            )
        index = pd.DatetimeIndex(parsed)
    elif index.hasnans:
        raise InputError(f"{name} has a missing date (NaT) in its index")
    values = pd.Series(values.to_numpy(), index=index.tz_localize(None) if index.tz else index)
    if values.index.has_duplicates:
        first = values.index[values.index.duplicated()][0]
        raise InputError(f"{name} has the date {first.date()} more than once")
    values = values.sort_index()
    return values[np.isfinite(values.to_numpy())]


def _equity(values: np.ndarray, compound: bool) -> np.ndarray:
    return np.cumprod(1.0 + values) if compound else 1.0 + np.cumsum(values)


def _underwater(r: pd.Series, compound: bool = False,
                ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Equity, running peak (the initial capital included) and relative drawdown per day."""
    equity = _equity(r.to_numpy(), compound)
    peak = np.maximum.accumulate(np.concatenate(([1.0], equity)))[1:]
    with np.errstate(divide="ignore", invalid="ignore"):
        drawdown = (equity - peak) / peak
    return equity, peak, drawdown


def _periods(r: pd.Series, compound: bool = False) -> list[dict[str, Any]]:
    """Every run of days below the peak, in date order."""
    if r.empty:
        return []
    equity, peak, drawdown = _underwater(r, compound)
    below = equity < peak
    dates = r.index
    out = []
    n, i = len(r), 0
    while i < n:
        if not below[i]:
            i += 1
            continue
        start = i
        while i < n and below[i]:
            i += 1
        end = i - 1  # last day under water
        trough = start + int(np.argmin(drawdown[start : end + 1]))
        peak_pos = start - 1  # -1: the initial capital
        recovered = end + 1 < n
        out.append({
            "peak": dates[max(peak_pos, 0)],
            "trough": dates[trough],
            "recovery": dates[end + 1] if recovered else pd.NaT,
            "depth": float(drawdown[trough]),
            "days": int((end + 1 if recovered else n - 1) - peak_pos),
        })  # fmt: skip
    return out


def _sharpe_like(mean: float, std: float, values: np.ndarray) -> float:
    # Constant values have no deviation even when rounding leaves a residue of 1e-19.
    if values.size < 2 or values.min() == values.max() or not std > 0:
        return NAN
    return mean / std * math.sqrt(TRADING_DAYS_PER_YEAR)


def _geometric_annual(values: np.ndarray) -> float:
    """The annual rate that compounds to the growth of `values` over their days."""
    growth = float(_equity(values, True)[-1])
    return growth ** (TRADING_DAYS_PER_YEAR / values.size) - 1.0 if growth > 0 else -1.0


def _benchmark_metrics(r: pd.Series, b: pd.Series, compound: bool = False) -> dict[str, float]:
    joined = pd.concat([r.rename("r"), b.rename("b")], axis=1, join="inner")
    x, y = joined["r"].to_numpy(), joined["b"].to_numpy()
    out = dict.fromkeys(BENCHMARK_METRICS, NAN)
    if len(joined) == 0:
        return out
    if compound:
        out["benchmark_annual_return"] = _geometric_annual(y)
        out["excess_annual_return"] = _geometric_annual(x) - out["benchmark_annual_return"]
    else:
        out["benchmark_annual_return"] = float(y.mean() * TRADING_DAYS_PER_YEAR)
        out["excess_annual_return"] = float((x - y).mean() * TRADING_DAYS_PER_YEAR)
    if len(joined) < 2:
        return out
    var_b = float(np.var(y, ddof=1))
    if y.min() != y.max() and var_b > 0:
        beta = float(np.cov(x, y, ddof=1)[0, 1] / var_b)
        out["beta"] = beta
        out["alpha"] = float((x.mean() - beta * y.mean()) * TRADING_DAYS_PER_YEAR)
        if x.min() != x.max():
            out["correlation"] = float(joined["r"].corr(joined["b"]))
    active = x - y
    te = float(active.std(ddof=1))
    if active.min() != active.max() and te > 0:
        out["tracking_error"] = te * math.sqrt(TRADING_DAYS_PER_YEAR)
        out["information_ratio"] = _sharpe_like(float(active.mean()), te, active)
    return out


def _mean_on(r: pd.Series, values: pd.Series) -> float:
    """The mean of `values` on the days of `r`, skipping days `values` has no number for."""
    on_days = values.reindex(r.index).dropna()
    return float(on_days.mean()) if len(on_days) else NAN


def compute_metrics(returns: pd.Series, benchmark: pd.Series | None = None, *,
                    turnover: pd.Series | None = None,
                    holdings: pd.Series | None = None, compound: bool = False) -> pd.Series:
    """The metrics of METRIC_DEFINITIONS for daily `returns` (fractions of the fixed capital).

    `returns`, `benchmark`, `turnover` (each day's money bought and sold over twice the
    capital) and `holdings` (stocks held at the end of each day) are indexed by date (a
    DatetimeIndex or YYYYMMDD text). The benchmark keys are present only when a benchmark is
    given, ``turnover`` and ``average_holdings`` only when both trading series are: their
    means are taken over the days with a finite return, skipping a day they lack. Undefined
    figures (a single day, a constant series, no losing day) are NaN, dates NaT; nothing is
    ever infinite. With `compound`, the equity compounds the returns and the total and
    annual return are geometric (COMPOUNDED_DEFINITIONS).
    """
    r = _dated(returns, "returns")
    if (turnover is None) != (holdings is None):
        raise InputError("turnover and holdings are given together or not at all")
    values = r.to_numpy()
    n = values.size
    out: dict[str, object] = dict.fromkeys(METRIC_DEFINITIONS, NAN)
    for key in DATE_METRICS:
        out[key] = pd.NaT
    if n:
        mean = float(values.mean())
        std = float(values.std(ddof=1)) if n > 1 else NAN
        downside = math.sqrt(float(np.mean(np.minimum(values, 0.0) ** 2)))
        gains, losses = values[values > 0].sum(), values[values < 0].sum()
        periods = _periods(r, compound)
        deepest = min(periods, key=lambda p: p["depth"]) if periods else None
        cut = int((n - 1) * 0.05)
        out.update(
            total_return=float(values.sum()),
            annual_return=mean * TRADING_DAYS_PER_YEAR,
            volatility=std * math.sqrt(TRADING_DAYS_PER_YEAR),
            sharpe=_sharpe_like(mean, std, values),
            sortino=mean / downside * math.sqrt(TRADING_DAYS_PER_YEAR) if downside > 0 else NAN,
            max_drawdown=deepest["depth"] if deepest else 0.0,
            max_drawdown_days=deepest["days"] if deepest else 0,
            # The stubs type these reductions as any scalar; on float64 they are floats.
            skew=float(cast(float, r.skew())),
            kurtosis=float(cast(float, r.kurt())),
            var_95=float(np.percentile(values, 5)),
            cvar_95=float(np.partition(values, cut)[: cut + 1].mean()),
            best_day=float(values.max()),
            worst_day=float(values.min()),
            win_rate=float((values > 0).mean()),
            profit_factor=float(gains / -losses) if losses < 0 else NAN,
        )
        if compound:
            out.update(total_return=float(_equity(values, True)[-1]) - 1.0,
                       annual_return=_geometric_annual(values))
        if n > 1 and values.min() == values.max():
            out.update(volatility=0.0, skew=NAN, kurtosis=NAN)
        if deepest:
            out.update(
                max_drawdown_peak=deepest["peak"],
                max_drawdown_trough=deepest["trough"],
                max_drawdown_recovery=deepest["recovery"],
                calmar=out["annual_return"] / -deepest["depth"],
            )
    if turnover is None or holdings is None:
        for key in TRADING_METRICS:
            del out[key]
    else:
        out["turnover"] = _mean_on(r, _dated(turnover, "turnover"))
        out["average_holdings"] = _mean_on(r, _dated(holdings, "holdings"))
    if benchmark is None:
        for key in BENCHMARK_METRICS:
            del out[key]
    else:
        out.update(_benchmark_metrics(r, _dated(benchmark, "benchmark"), compound))
    result = pd.Series(out, dtype=object, name="value")
    result.index.name = "metric"
    return result


def monthly_returns(returns: pd.Series, compound: bool = False) -> pd.DataFrame:
    """Year x month table of monthly returns (sums of the daily returns, or with `compound`
    their compounded product less one) with a year total.

    Columns Jan..Dec and Year; a month without a trading day is NaN, not 0.
    """
    r = _dated(returns, "returns")
    columns = [*MONTHS, "Year"]
    if r.empty:
        return pd.DataFrame(columns=columns, dtype="float64").rename_axis("year")
    dates = pd.DatetimeIndex(r.index)  # _dated gives a DatetimeIndex; this tells the checker
    def total(groups: Any) -> pd.Series:
        if compound:
            grown: pd.Series = (1.0 + r).groupby(groups).prod() - 1.0
            return grown
        summed: pd.Series = r.groupby(groups).sum()
        return summed

    sums = total([dates.year, dates.month])
    table = sums.unstack().reindex(columns=range(1, 13))
    table.columns = list(MONTHS)
    table["Year"] = total(dates.year)
    table.index = table.index.astype(int)
    table.index.name = "year"
    table.columns.name = None
    return table.astype("float64")


def drawdown_periods(returns: pd.Series, top: int = 5, compound: bool = False) -> pd.DataFrame:
    """The `top` deepest drawdowns of E = 1 + cumsum(returns) (or, with `compound`, of
    cumprod(1 + returns)), deepest first.

    Columns: peak, trough, recovery (NaT while under water at the end), depth (relative to
    the peak, negative) and days (trading days from the peak to the recovery or the end).
    """
    if isinstance(top, bool) or not isinstance(top, (int, np.integer)) or top < 1:
        raise InputError(f"top must be a positive integer, got {top!r}")
    periods = _periods(_dated(returns, "returns"), compound)
    periods.sort(key=lambda p: p["depth"])  # stable: equal depths stay in date order
    frame = pd.DataFrame(
        periods[: int(top)], columns=["peak", "trough", "recovery", "depth", "days"]
    )
    for col in ("peak", "trough", "recovery"):
        frame[col] = pd.to_datetime(frame[col])
    frame["depth"] = frame["depth"].astype("float64")
    frame["days"] = frame["days"].astype("int64")
    frame.index = pd.RangeIndex(1, len(frame) + 1, name="rank")
    return frame


def rolling_metrics(returns: pd.Series, benchmark: pd.Series | None = None,
                    window: int = 126) -> pd.DataFrame:
    """Annualised return, volatility and Sharpe ratio over the last `window` trading days,
    and with a benchmark the beta and correlation against it (ROLLING_DEFINITIONS).

    One row per day with a finite return; a row is NaN until `window` such days have
    passed. The benchmark figures use the days on which both series are finite, `window`
    of them, and are NaN on a day without a benchmark return. A window over constant values
    has no deviation: its volatility is 0, its Sharpe ratio, and the correlation, NaN (and
    the beta when the benchmark is the constant one), as the whole-run metrics define them.
    """
    if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 2:
        raise InputError(f"window must be a whole number of days, at least 2, got {window!r}")
    window = int(window)
    r = _dated(returns, "returns")
    root = math.sqrt(TRADING_DAYS_PER_YEAR)
    roll = r.rolling(window, min_periods=window)
    mean, std = roll.mean(), roll.std(ddof=1)
    flat = roll.max() == roll.min()
    out = pd.DataFrame({
        "annual_return": mean * TRADING_DAYS_PER_YEAR,
        "volatility": (std * root).mask(flat, 0.0),
        "sharpe": (mean / std * root).where(~flat & (std > 0)),
    }, index=r.index)  # fmt: skip
    if benchmark is not None:
        b = _dated(benchmark, "benchmark")
        joined = pd.concat([r.rename("r"), b.rename("b")], axis=1, join="inner")
        on_r = joined["r"].rolling(window, min_periods=window)
        on_b = joined["b"].rolling(window, min_periods=window)
        flat_r, flat_b = on_r.max() == on_r.min(), on_b.max() == on_b.min()
        var_b = on_b.var(ddof=1)
        cov, corr = on_r.cov(joined["b"], ddof=1), on_r.corr(joined["b"])
        out["beta"] = (cov / var_b).where(~flat_b & (var_b > 0)).reindex(r.index)
        out["correlation"] = corr.where(~flat_r & ~flat_b).reindex(r.index)
    out.index.name = "date"
    return out.astype("float64")
