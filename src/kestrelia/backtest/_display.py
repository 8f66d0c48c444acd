"""How a figure is shown to a person: the headline set, the label of each metric, and one
text per value and kind.

The command-line tool, the HTML report, ``_repr_html_`` and the sweep table all show
figures through here, so a label means one figure with one unit and sign wherever it is
read. The headline is ``result.metrics`` (fractions of the fixed capital, one definition
each); the engine's own statistics keep their keys, which are never used as labels of a
metric, and are shown in their own units (see ``kestrelia.backtest.glossary``).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["EXECUTION", "HEADLINE", "LABELS", "MISSING", "execution_rows", "headline_rows",
           "metric_kind", "metric_label", "show", "unit_kind"]

MISSING = "--"

#: The metrics a person sees first, in this order (those a run has: the benchmark figures
#: need a benchmark).
HEADLINE = ("total_return", "annual_return", "volatility", "sharpe", "max_drawdown", "calmar",
            "win_rate", "turnover", "average_holdings", "benchmark_annual_return",
            "excess_annual_return", "information_ratio", "beta", "alpha", "correlation")

LABELS = {
    "total_return": "Total return",
    "annual_return": "Annual return",
    "volatility": "Volatility",
    "sharpe": "Sharpe ratio",
    "sortino": "Sortino ratio",
    "max_drawdown": "Max drawdown",
    "max_drawdown_peak": "Max drawdown peak",
    "max_drawdown_trough": "Max drawdown trough",
    "max_drawdown_recovery": "Max drawdown recovery",
    "max_drawdown_days": "Max drawdown days",
    "calmar": "Calmar ratio",
    "skew": "Skew",
    "kurtosis": "Kurtosis",
    "var_95": "VaR 95 %",
    "cvar_95": "CVaR 95 %",
    "best_day": "Best day",
    "worst_day": "Worst day",
    "win_rate": "Win rate",
    "profit_factor": "Profit factor",
    "turnover": "Turnover (daily, executed)",
    "average_holdings": "Average holdings",
    "benchmark_annual_return": "Benchmark annual return",
    "excess_annual_return": "Excess annual return",
    "beta": "Beta",
    "alpha": "Alpha",
    "tracking_error": "Tracking error",
    "information_ratio": "Information ratio",
    "correlation": "Correlation",
}

#: The execution summary's items: label and kind. Its turnover and holdings are the
#: metrics' figures, under the metrics' labels.
EXECUTION = {
    "executed_turnover": (LABELS["turnover"], "pct"),
    "average_holdings": (LABELS["average_holdings"], "holdings"),
    "trades": ("Trades", "count"),
    "total_commission": ("Commission paid", "money"),
    "total_stamp_duty": ("Stamp duty paid", "money"),
    "total_transfer_fee": ("Transfer fee paid", "money"),
    "buy_blocked_share": ("Target weight blocked: buying not allowed", "pct"),
    "sell_blocked_share": ("Target weight blocked: selling not allowed", "pct"),
    "rounding_share": ("Target weight lost to lot rounding", "pct"),
    "no_price_share": ("Target weight without a previous close", "pct"),
}

_RATIOS = {"sharpe", "sortino", "calmar", "skew", "kurtosis", "profit_factor", "beta",
           "information_ratio", "correlation"}
_DATES = {"max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery"}

# The glossary's units, as shown: the engine's values are shown as they are stored.
_UNIT_KINDS = {"percent": "points", "fraction": "fraction", "level": "fraction",
               "ratio": "ratio", "count": "holdings", "text": "text"}


def metric_label(key: str) -> str:
    """The label of a metric: the same wherever the metric is shown."""
    return LABELS.get(key, key.replace("_", " ").capitalize())


def metric_kind(key: str) -> str:
    """How a metric's value is shown: a fraction as percent, a ratio, a count, a date."""
    if key in _DATES:
        return "date"
    if key == "max_drawdown_days":
        return "count"
    if key == "average_holdings":
        return "holdings"
    return "ratio" if key in _RATIOS else "pct"


def unit_kind(unit: str) -> str:
    """How a value of an engine figure of the glossary's ``unit`` is shown."""
    return _UNIT_KINDS.get(unit, "number")


def _missing(value: Any) -> bool:
    try:
        return value is None or bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def show(value: Any, kind: str) -> str:
    """The text of ``value``: ``pct`` a fraction as percent (-0.0312 -> "-3.12%"),
    ``points`` percentage points ("-3.12"), ``fraction`` four decimals, ``ratio`` two,
    ``holdings`` one, ``count`` and ``money`` whole with thousands separators, ``date``
    YYYY-MM-DD; anything missing is "--"."""
    if _missing(value):
        return MISSING
    if isinstance(value, (pd.Timestamp, np.datetime64)) or kind == "date":
        try:
            return pd.Timestamp(value).strftime("%Y-%m-%d")
        except (TypeError, ValueError):
            return str(value)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.number)):
        return str(value)
    number = float(value)
    if math.isinf(number):
        return "inf" if number > 0 else "-inf"
    if kind == "pct":
        return f"{number:.2%}"
    if kind == "points":
        return f"{number:.2f}"
    if kind == "fraction":
        return f"{number:.4f}"
    if kind == "ratio":
        return f"{number:.2f}"
    if kind == "holdings":
        return f"{number:,.1f}"
    if kind in ("count", "money"):
        return f"{number:,.0f}"
    return f"{number:.4g}"


def headline_rows(metrics: Mapping[str, object] | pd.Series) -> list[tuple[str, str, str]]:
    """(key, label, text) of the headline metrics that ``metrics`` holds, in order."""
    values = dict(metrics.items())
    return [(key, metric_label(key), show(values[key], metric_kind(key)))
            for key in HEADLINE if key in values]


def execution_rows(summary: Mapping[str, object] | pd.Series) -> list[tuple[str, str, str]]:
    """(key, label, text) of an execution summary, its known items in order."""
    values = dict(summary.items())
    return [(key, label, show(values[key], kind)) for key, (label, kind) in EXECUTION.items()
            if key in values]
