"""What a sweep produced: the table of statistics, the daily returns, the failures, and
the chart and files made of them."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from kestrelia.backtest._output import write_files

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["LEGEND_LIMIT", "PARTIAL_NOTE", "SWEEP_FILES", "Outcome", "SweepResult", "collect"]

LEGEND_LIMIT = 50
#: The files ``SweepResult.save`` writes; an interrupted sweep's also ``PARTIAL_NOTE``.
SWEEP_FILES = ("stats.csv", "stats.parquet", "returns.csv", "returns.parquet", "failed.csv",
               "sweep.png")
PARTIAL_NOTE = "partial.txt"

#: What one strategy that ran gives: (figures, returns, execution summary or None).
Outcome = tuple[pd.Series, pd.Series, Any]


@dataclass
class SweepResult:
    """What a sweep produced.

    Attributes
    ----------
    stats : pandas.DataFrame
        One row per strategy that ran (in the order given): its metrics under their own
        names (``BacktestResult.metrics``: fractions of the fixed capital, the figures
        ``run`` and the report show), the engine's statistics prefixed ``engine_``
        (``engine_annual_return`` is the engine's, in its own units), and the execution
        summary, prefixed ``execution_``, where it was recorded.
    returns : pandas.DataFrame
        Daily returns, dates x strategies (NaN where a strategy has no return that day).
    failed : dict[str, str]
        Strategy name -> one-line error, for every strategy that could not run.
    unfinished : list[str]
        The strategies an interrupted sweep did not finish (empty for a whole sweep): the
        result is then partial, and says so when printed, drawn and saved.

    Examples
    --------
    >>> from kestrelia.backtest._examples import example_market
    >>> from kestrelia.backtest.sweeps import sweep
    >>> market = example_market()
    >>> result = sweep({"half": market.close_price * 0 + 0.5}, market, progress=False)
    >>> result
    SweepResult(1 strategies, 2 days, 0 failed)
    >>> result.net_values().columns.tolist()
    ['half']
    """

    stats: pd.DataFrame
    returns: pd.DataFrame
    failed: dict[str, str] = field(default_factory=dict)
    unfinished: list[str] = field(default_factory=list)

    def __repr__(self) -> str:
        text = (f"SweepResult({len(self.stats)} strategies, {len(self.returns)} days, "
                f"{len(self.failed)} failed")
        if self.unfinished:
            text += f", partial: {len(self.unfinished)} not finished"
        return text + ")"

    def partial_note(self) -> str:
        """What a partial result lacks, in one line; empty for a whole sweep."""
        if not self.unfinished:
            return ""
        finished = len(self.stats) + len(self.failed)
        total = finished + len(self.unfinished)
        shown = ", ".join(self.unfinished[:8]) + (" ..." if len(self.unfinished) > 8 else "")
        return (f"partial: the sweep was interrupted; {finished} of {total} strategies "
                f"finished and only they are in these results (not finished: {shown})")

    def net_values(self) -> pd.DataFrame:
        """Net value of each strategy (``1 + cumsum(returns)``, fixed capital), best first."""
        net = 1.0 + self.returns.fillna(0.0).cumsum()
        if net.empty:
            return net
        order = net.iloc[-1].sort_values(ascending=False, kind="stable").index
        return net[order]

    def figure(self, top: int = 20) -> Figure:
        """The net values of the strategies on one chart, best first.

        Up to 50 strategies each get a legend entry; beyond that the best ``top`` do and
        the others are drawn as thin grey lines. No file is written and pyplot's global
        state is not touched.
        """
        from matplotlib.figure import Figure

        net = self.net_values()
        fig = Figure(figsize=(12, 6.5), dpi=100, layout="constrained")
        ax = fig.add_subplot()
        index = _as_dates(net.index)
        named = net.columns if len(net.columns) <= LEGEND_LIMIT else net.columns[:top]
        rest = [c for c in net.columns if c not in set(named)]
        for column in rest:
            ax.plot(index, net[column].to_numpy(), color="0.75", linewidth=0.6, zorder=1)
        colors = _palette(len(named))
        handles, labels = [], []
        for column, color in zip(named, colors, strict=True):
            values = net[column].to_numpy()
            handles += ax.plot(index, values, color=color, linewidth=1.4, zorder=2,
                               marker="o" if len(values) == 1 else None)
            labels.append(f"{column} ({values[-1] - 1:+.1%})")
        ax.axhline(1.0, color="0.4", linewidth=0.8, linestyle="--", zorder=0)
        title = f"Net value of {len(net.columns)} strategies (fixed capital), best first"
        if rest:
            title += f"; {len(rest)} more in grey"
        ax.set_title(title)
        ax.set_ylabel("Net value")
        ax.grid(alpha=0.3)
        # Strategy names are the user's text: every one is shown as it is, never read as
        # math ("$...$") and never hidden from the legend (a label starting with "_" would
        # be, were the legend to collect the labels itself).
        if len(named):
            ncol = 1 if len(named) <= 15 else 2 if len(named) <= 34 else 3
            legend = ax.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.01, 1.0),
                               fontsize=7 if ncol > 1 else 8, ncol=ncol, frameon=False)
            for text in legend.get_texts():
                text.set_parse_math(False)
        notes = []
        if self.failed:
            notes.append(f"{len(self.failed)} failed: " + ", ".join(list(self.failed)[:8])
                         + (" ..." if len(self.failed) > 8 else ""))
        if self.unfinished:
            notes.append(self.partial_note())
        if notes:
            fig.text(0.01, 0.005, "\n".join(notes), fontsize=8, color="firebrick",
                     parse_math=False)
        return fig

    def save(self, directory: str | os.PathLike[str], *, force: bool = False) -> list[Path]:
        """Writes ``stats.csv``/``.parquet``, ``returns.csv``/``.parquet``, ``failed.csv``
        and ``sweep.png`` into ``directory`` (and, for a partial result, ``partial.txt``
        saying so); existing files only with ``force``. A failure half-way leaves none of
        them."""
        stats = self.stats.rename_axis("strategy")
        returns = self.returns.rename_axis("date")
        failed = pd.DataFrame({"strategy": list(self.failed),
                               "error": list(self.failed.values())}, dtype=object)
        figure = self.figure()
        tables: list[Callable[[Path], object]] = [
            stats.to_csv, stats.to_parquet, returns.to_csv, returns.to_parquet,
            lambda p: failed.to_csv(p, index=False), figure.savefig]
        writers = dict(zip(SWEEP_FILES, tables))
        if self.unfinished:
            note = self.partial_note() + "\n"
            writers[PARTIAL_NOTE] = lambda p: p.write_text(note, encoding="utf-8")
        # A whole sweep written over a partial one takes its note away with it.
        return write_files(directory, writers, force=force, remove=[PARTIAL_NOTE])


def _palette(n: int) -> list[tuple[float, float, float, float]]:
    from matplotlib import colormaps

    cmap = colormaps["tab20" if n > 10 else "tab10"]
    return [cmap(i % cmap.N) for i in range(n)]


def _as_dates(index: pd.Index) -> pd.Index:
    if isinstance(index, pd.DatetimeIndex):
        return index
    try:
        return pd.DatetimeIndex(pd.to_datetime(index.astype(str), format="%Y%m%d"))
    except (ValueError, TypeError):
        return index


def collect(names: list[str], outcomes: Mapping[str, Outcome | str]) -> SweepResult:
    stats_rows: dict[str, pd.Series] = {}
    returns: dict[str, pd.Series] = {}
    failed: dict[str, str] = {}
    unfinished: list[str] = []
    for name in names:
        outcome = outcomes.get(name)
        if outcome is None:
            unfinished.append(name)
            continue
        if isinstance(outcome, str):
            failed[name] = outcome
            continue
        stats, daily, summary = outcome
        row = pd.Series(stats, dtype=object) if not isinstance(stats, pd.Series) else stats
        if summary is not None:
            row = pd.concat([row, pd.Series(summary).add_prefix("execution_")])
        stats_rows[name] = row
        returns[name] = daily
    stats_frame = pd.DataFrame(stats_rows).T if stats_rows else pd.DataFrame()
    stats_frame = stats_frame.infer_objects()
    if returns:
        returns_frame = pd.concat(returns, axis=1).sort_index()
    else:
        returns_frame = pd.DataFrame(dtype=np.float64)
    return SweepResult(stats=stats_frame, returns=returns_frame, failed=failed,
                       unfinished=unfinished)
