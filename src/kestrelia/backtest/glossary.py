"""What every figure of the engine's own output means: the statistics (``result.stats``,
``stats.json``), the columns of the daily total frame (``result.daily``), the benchmark
summary and the yearly table.

The engine's figures are the host toolkit's contract and keep their names, units and
definitions. Several of them measure an idea that ``result.metrics`` also measures, on
another basis (a net value that starts from the first day's close, percentage points, a
drawdown as a difference, the target weights instead of what traded); each entry says how
it differs from the metric of the same idea. ``docs/metrics.md`` shows the same entries.

Units: ``percent`` is percentage points (5.0 is 5 %); ``fraction`` a plain fraction (0.05
is 5 %), of the initial capital or of a net value as the entry says; ``level`` a net value
that starts at 1.0; ``ratio`` and ``count`` plain numbers.
"""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["BENCHMARK_SUMMARY_COLUMNS", "DAILY_COLUMNS", "ENGINE_STATS", "GLOSSARY",
           "YEARLY_COLUMNS", "Term"]


class Term(NamedTuple):
    """One figure of the engine's output: its unit, what it is, and how it differs from
    the metric of the same idea ('' when nothing more needs saying)."""

    unit: str
    meaning: str
    versus: str = ""


FIRST_DAY = ("starts from the first day's close, so the first day's return is left out "
             "and the rest is divided by the first day's value")

ENGINE_STATS: dict[str, Term] = {
    "annual_return": Term(
        "percent",
        "(long on the last day - 1) / (days / 252) x 100: the net value's gain per year, linear.",
        f"metrics annual_return is the mean daily return x 252, a fraction of the initial "
        f"capital; this one {FIRST_DAY}."),
    "long_sharp": Term(
        "ratio",
        "Mean / sample standard deviation of the finite daily returns x sqrt(252).",
        "The same as metrics sharpe."),
    "max_dd": Term(
        "fraction",
        "-min(max_drowdown): the deepest fall of long below its running maximum, as a "
        "difference of net values (positive).",
        "metrics max_drawdown is (E - peak) / peak of E = 1 + cumsum(daily returns), the "
        "initial capital the first peak, and negative; this one is measured on long (which "
        f"{FIRST_DAY}) as a difference, and positive."),
    "benchmark_annual_return": Term(
        "percent",
        "(close_net_value on the last day - 1) / (days / 252) x 100: the benchmark net "
        "value's gain per year, linear.",
        "metrics benchmark_annual_return (and the benchmark summary) is the mean benchmark "
        f"daily return x 252, a fraction; this one {FIRST_DAY}."),
    "benchmark_sharp": Term(
        "ratio",
        "Sharpe ratio (as long_sharp) of index_daily_return.",
        "No metric: the benchmark's own Sharpe ratio."),
    "extra_annual_return": Term(
        "percent",
        "extra_return on the last day / (days / 252) x 100: the excess over the benchmark "
        "summed from the second day, per year.",
        "metrics excess_annual_return is the mean daily excess x 252, a fraction, the first "
        "day included."),
    "extra_sharp": Term(
        "ratio",
        "Sharpe ratio (as long_sharp) of extra_daily_return.",
        "metrics information_ratio is the same on the days the benchmark has a return (the "
        "engine counts a day without one as 0)."),
    "extra_max_dd": Term(
        "fraction",
        "-min(extra_max_drowdown): the deepest fall of the cumulative excess below its "
        "running maximum, as a difference (positive).",
        "The benchmark summary's excess_max_dd of the primary benchmark, with the sign turned; "
        "no metric measures it."),
    "return_corr": Term(
        "ratio",
        "Pearson correlation of daily_return and index_daily_return.",
        "metrics correlation is the same on the days the benchmark has a return (the engine "
        "counts a day without one as 0)."),
    "win_rate": Term(
        "fraction",
        "Share of the days with a finite return on which it is positive.",
        "The same as metrics win_rate."),
    "excess_win_rate": Term(
        "fraction",
        "Share of the days with a finite excess return on which it is positive.",
        "No metric."),
    "holding_count": Term(
        "count",
        "Mean number of stocks with a finite target weight, over the target weight rows the "
        "engine simulates (the rolling window's warm-up rows included).",
        "metrics average_holdings counts the stocks actually held at the end of each "
        "backtest day."),
    "turnover": Term(
        "fraction",
        "Half the mean, over consecutive target weight rows, of the summed absolute change of "
        "the weights (NaN as 0): the turnover the targets ask for.",
        "metrics turnover is executed: the money bought and sold over twice the capital, per "
        "backtest day (lots, price limits and suspensions change what trades)."),
}

DAILY_COLUMNS: dict[str, Term] = {
    "daily_return": Term(
        "fraction",
        "The day's profit over the initial capital (result.returns).",
        "The series every metric is computed from."),
    "index_daily_return": Term(
        "fraction",
        "The primary benchmark's daily return: 0 on a day it has none, and every day against "
        "the flat benchmark.",
        "The metrics' benchmark figures skip a day without a benchmark return instead."),
    "close": Term(
        "level",
        "The benchmark level: 1 + the cumulative sum of the benchmark's daily returns over "
        "the backtest's days (1.0 every day against the flat benchmark)."),
    "extra_daily_return": Term(
        "fraction",
        "daily_return - index_daily_return: the day's excess over the benchmark."),
    "long": Term(
        "level",
        "The strategy's net value based on the first day: (1 + cumsum(daily_return)) / "
        "(1 + the first day's return); 1.0 on the first day, whatever it returned.",
        "The metrics' equity E = 1 + cumsum(daily_return) starts from the initial capital "
        "(1.0 before the first day): long = E / E on the first day."),
    "close_net_value": Term(
        "level",
        "close / close on the first day: the benchmark's net value based on the first day."),
    "max_drowdown": Term(
        "fraction",
        "long - the running maximum of long: how far the net value stands below its peak, "
        "as a difference (0 or negative; the spelling is the engine's).",
        "The metrics' drawdown is (E - peak) / peak, relative to the peak of E."),
    "extra_return": Term(
        "fraction",
        "The cumulative sum of extra_daily_return minus its first day's value: the excess "
        "summed from the second day (0 on the first day)."),
    "extra_max_drowdown": Term(
        "fraction",
        "(1 + extra_return) - its running maximum: how far the cumulative excess stands "
        "below its peak, as a difference (0 or negative)."),
}

BENCHMARK_SUMMARY_COLUMNS: dict[str, Term] = {
    "benchmark_name": Term("text", "The benchmark (one row per benchmark of the market)."),
    "benchmark_annual_return": Term(
        "fraction",
        "Mean of the benchmark's daily returns on the backtest's days x 252.",
        "For the primary benchmark, metrics benchmark_annual_return."),
    "excess_annual_return": Term(
        "fraction",
        "Mean of the daily (strategy - benchmark) returns x 252.",
        "For the primary benchmark, metrics excess_annual_return."),
    "excess_sharpe": Term(
        "ratio",
        "Sharpe ratio of the daily excess returns.",
        "For the primary benchmark, metrics information_ratio."),
    "excess_max_dd": Term(
        "fraction",
        "The lowest point of the cumulative excess below its running maximum, as a "
        "difference (0 or negative).",
        "For the primary benchmark, -extra_max_dd of the statistics; no metric measures it."),
}

YEARLY_COLUMNS: dict[str, Term] = {
    "strategy_return": Term(
        "fraction", "Sum of the year's daily returns.",
        "The monthly table's Year total."),
    "strategy_sharpe": Term("ratio", "Sharpe ratio of the year's daily returns."),
    "strategy_max_dd": Term(
        "fraction",
        "The deepest fall of the year's cumulative return below its running peak (the "
        "year's start the lowest peak), as a difference (positive).",
        "metrics max_drawdown is relative to the peak, over the whole run, and negative."),
    "strategy_calmar": Term(
        "ratio", "Mean daily return x 252 / strategy_max_dd (NaN without a drawdown)."),
    "excess_return": Term("fraction", "Sum of the year's daily excess returns."),
    "excess_sharpe": Term("ratio", "Sharpe ratio of the year's daily excess returns."),
    "excess_max_dd": Term(
        "fraction", "As strategy_max_dd, of the cumulative excess return (positive)."),
    "excess_calmar": Term(
        "ratio", "Mean daily excess return x 252 / excess_max_dd (NaN without a drawdown)."),
}


class Section(NamedTuple):
    """One table of the glossary: where its figures are found, and their terms."""

    title: str
    anchor: str
    where: str
    terms: dict[str, Term]


#: The sections of the glossary in the order the report and docs/metrics.md show them.
GLOSSARY: tuple[Section, ...] = (
    Section("Engine statistics", "stats", "result.stats, stats.json", ENGINE_STATS),
    Section("Daily total frame", "daily", "result.daily, <name>_daily.csv", DAILY_COLUMNS),
    Section("Benchmark summary", "summary", "result.benchmark_summary, benchmark_summary.csv",
            BENCHMARK_SUMMARY_COLUMNS),
    Section("Yearly table", "yearly", "result.yearly, yearly.csv", YEARLY_COLUMNS),
)
