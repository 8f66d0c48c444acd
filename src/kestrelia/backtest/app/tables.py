"""Plain-text tables for the terminal."""

from __future__ import annotations

import math

import pandas as pd

# Statistics key -> (label, kind): "points" are percentage points, "ratio" a ratio shown
# in percent, "number" a plain number.
STAT_LABELS = {
    "annual_return": ("Strategy annual return", "points"),
    "long_sharp": ("Strategy Sharpe", "number"),
    "max_dd": ("Strategy max drawdown", "ratio"),
    "benchmark_annual_return": ("Benchmark annual return", "points"),
    "benchmark_sharp": ("Benchmark Sharpe", "number"),
    "extra_annual_return": ("Excess annual return", "points"),
    "extra_sharp": ("Excess Sharpe", "number"),
    "extra_max_dd": ("Excess max drawdown", "ratio"),
    "return_corr": ("Return correlation", "number"),
    "win_rate": ("Win rate", "ratio"),
    "excess_win_rate": ("Excess win rate", "ratio"),
    "holding_count": ("Average holdings", "count"),
    "turnover": ("Daily turnover", "ratio"),
}


def format_value(value, kind: str) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "--"
    value = float(value)
    if kind == "points":
        return f"{value:.2f}%"
    if kind == "ratio":
        return f"{value:.2%}"
    if kind == "count":
        return f"{value:.1f}"
    return f"{value:.2f}"


def render(rows: list[tuple[str, ...]], header: tuple[str, ...] | None = None,
           align: str | None = None) -> str:
    """Columns padded to their widest cell; ``align`` has one "l" or "r" per column."""
    table = ([header] if header else []) + rows
    if not table:
        return ""
    widths = [max(len(str(r[i])) for r in table) for i in range(len(table[0]))]
    align = align or "l" + "r" * (len(widths) - 1)
    lines = []
    for k, row in enumerate(table):
        cells = [str(c).ljust(w) if a == "l" else str(c).rjust(w) for c, w, a in zip(row, widths, align)]
        lines.append("  ".join(cells).rstrip())
        if header and k == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def stats_table(stats: dict) -> str:
    rows = [(label, format_value(stats.get(key), kind)) for key, (label, kind) in STAT_LABELS.items()]
    return render(rows, ("Statistic", "Value"))


def benchmark_table(summary: pd.DataFrame) -> str:
    if summary.empty:
        return "(no benchmark shares a date with the backtest)"
    rows = [
        (str(r.benchmark_name), format_value(r.benchmark_annual_return, "ratio"),
         format_value(r.excess_annual_return, "ratio"), format_value(r.excess_sharpe, "number"),
         format_value(r.excess_max_dd, "ratio"))
        for r in summary.itertuples(index=False)
    ]
    return render(rows, ("Benchmark", "Annual return", "Excess annual", "Excess Sharpe",
                         "Excess max DD"))
