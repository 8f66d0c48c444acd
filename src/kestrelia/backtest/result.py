"""The outcome of one backtest: returns, the daily total frame, statistics, tables and
charts, and a way to save them."""

from __future__ import annotations

import html
import io
import json
import math
import os
from collections.abc import Callable
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import pandas as pd

from kestrelia.backtest._output import (
    check_name_fits,
    execution_file_names,
    report_file_names,
    write_files,
)
from kestrelia.errors import InputError

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from kestrelia.backtest.costs import Costs
    from kestrelia.backtest.execution import Execution

__all__ = ["BacktestResult"]

# Headline statistics shown in notebooks: key, label, kind.
_HEADLINE = (
    ("annual_return", "Annual return", "points"),
    ("extra_annual_return", "Excess annual return", "points"),
    ("sharp", "Sharpe", "number"),
    ("extra_sharp", "Excess Sharpe", "number"),
    ("max_dd", "Max drawdown", "ratio"),
    ("extra_max_dd", "Excess max drawdown", "ratio"),
    ("win_rate", "Win rate", "ratio"),
    ("turnover", "Turnover", "ratio"),
)


def _plain(value: Any) -> Any:
    """A JSON value: finite floats stay, everything non-finite becomes None."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None if value is None else str(value)
    return number if math.isfinite(number) else None


class BacktestResult:
    """What :func:`backtest` produced.

    Attributes
    ----------
    name : str
        The strategy name (also the stem of the saved chart and daily files).
    parameters : dict
        The run's options: benchmark, rolling_window, capital, fee, rule_fee, lot_size.
    returns : pandas.Series
        The daily return of each backtest day: its profit over the initial capital, or
        with ``sizing="compound"`` over the equity its targets were sized from (NaN from
        ``ruined_on``, the first day that equity was not positive).
    costs : Costs
        The cost model the backtest charged.
    daily : pandas.DataFrame
        The engine's total frame: one row per day with ``daily_return``,
        ``index_daily_return``, ``close``, ``extra_daily_return``, ``long``,
        ``close_net_value``, ``max_drowdown``, ``extra_return`` and ``extra_max_drowdown``.
    stats : pandas.Series
        The engine's statistics (annual returns in percentage points, ratios otherwise).
    benchmark_summary : pandas.DataFrame
        The excess over every benchmark of the market, one row each.
    metrics : pandas.Series
        Risk and return metrics beside the engine's statistics, as plain fractions of the
        fixed capital (see ``kestrelia.backtest.metrics.METRIC_DEFINITIONS``).
    monthly : pandas.DataFrame
        Monthly returns, year x month, with a year total.
    execution : Execution or None
        What actually traded, when the backtest recorded it (``execution=True``).

    Examples
    --------
    >>> from kestrelia.backtest._examples import example_result
    >>> result = example_result()
    >>> result.name, len(result.returns)
    ('example', 2)
    """

    def __init__(self, *, name: str, parameters: dict[str, Any], engine: dict[str, Any],
                 benchmarks: dict[str, pd.Series], costs: Costs | None = None) -> None:
        from kestrelia.backtest.costs import Costs

        self.name = name
        self.parameters = dict(parameters)
        self.costs = costs if costs is not None else Costs(
            commission=float(parameters["fee"]), stamp_duty=float(parameters["rule_fee"]))
        self.compound = parameters.get("sizing") == "compound"
        self.daily: pd.DataFrame = engine["total"].rename_axis("date")
        self.returns: pd.Series = engine["daily_return"].rename("daily_return")
        #: The first day the compounding equity was no longer positive (None: never).
        self.ruined_on: pd.Timestamp | None = None
        if self.compound:
            self.returns, self.ruined_on = _compound_returns(engine, self.returns.index)
        self.stats: pd.Series = pd.Series(engine["stats"], dtype=float, name=name)
        self.benchmark_summary: pd.DataFrame = engine["benchmark_summary"]
        self.execution: Execution | None = None
        if engine.get("execution") is not None:
            from kestrelia.backtest.execution import Execution

            self.execution = Execution(engine["execution"], self.returns.index,
                                       capital=float(parameters["capital"]), costs=self.costs,
                                       name=name)
        self._engine = engine
        self._benchmarks = benchmarks

    def __repr__(self) -> str:
        days = self.returns
        span = f"{days.index[0]} to {days.index[-1]}" if len(days) else "no days"
        return (f"BacktestResult({self.name!r}, {len(days)} days {span}, annual return "
                f"{self.stats.get('annual_return', float('nan')):.2f} %)")

    def _benchmark_returns(self) -> pd.Series | None:
        """The primary benchmark's daily returns on the backtest's days, when one was used
        (a run against the flat benchmark has none)."""
        if str(self.parameters.get("benchmark")) not in self._benchmarks:
            return None
        series: pd.Series = self.daily["index_daily_return"]
        return series

    @cached_property
    def metrics(self) -> pd.Series:
        """Risk and return metrics of the daily returns, as plain fractions.

        Returns, volatility, Sharpe and Sortino ratios, drawdown depth, dates and length,
        Calmar ratio, skew, kurtosis, historical VaR and CVaR, best and worst day, profit
        factor and, against the primary benchmark, beta, alpha, tracking error, information
        ratio and correlation. The equity is ``1 + cumsum(returns)``: the fixed-capital
        model does not compound. One line per metric in
        ``kestrelia.backtest.metrics.METRIC_DEFINITIONS``.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> m = example_result().metrics
        >>> bool(m["total_return"] == example_result().returns.sum())
        True
        """
        from kestrelia.backtest.metrics import compute_metrics

        return compute_metrics(self.returns, self._benchmark_returns())

    @cached_property
    def monthly(self) -> pd.DataFrame:
        """Monthly returns (sum of the daily returns, fractions of capital): one row per
        year, one column per month and a year total.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> list(example_result().monthly.index)
        [2024]
        """
        from kestrelia.backtest.metrics import monthly_returns

        return monthly_returns(self.returns)

    def drawdowns(self, top: int = 5) -> pd.DataFrame:
        """The ``top`` deepest drawdown periods of the equity ``1 + cumsum(returns)``:
        peak, trough and recovery dates (NaT when not recovered), depth and length.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> list(example_result().drawdowns().columns)
        ['peak', 'trough', 'recovery', 'depth', 'days']
        """
        from kestrelia.backtest.metrics import drawdown_periods

        return drawdown_periods(self.returns, top=top)

    @property
    def yearly(self) -> pd.DataFrame:
        """Per calendar year the return, Sharpe ratio, maximum drawdown and Calmar ratio of
        the strategy and of its excess return (the table drawn on the performance chart).

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> list(example_result().yearly.index)
        [2024]
        """
        import kestrelia.backtest._pelorin as _pelorin
        from kestrelia.backtest import _core

        columns = ["daily_return", "index_daily_return", "extra_daily_return"]
        daily = _core._with_datetime_index(self._engine["total"])[columns].copy()
        yearly: pd.DataFrame = _pelorin._calc_yearly_performance_metrics(daily)
        return yearly

    def figures(self, kind: str = "large") -> dict[str, Figure]:
        """The performance and weekly net-value charts as matplotlib figures.

        The engine's renderers draw to image files; each chart is rendered by them
        (under the engine's chart lock) into memory and shown in a new figure of the same
        pixel size. No file is written and pyplot's state is not touched.

        Parameters
        ----------
        kind : {"large", "long"}, default "large"
            The wide landscape layout or the tall one.

        Returns
        -------
        dict of str to matplotlib.figure.Figure
            ``"main"`` and ``"weekly_net_value"``; a chart without data is left out.

        Raises
        ------
        InputError
            For an unknown ``kind``.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> sorted(example_result().figures())
        ['main', 'weekly_net_value']
        """
        import matplotlib.image
        from matplotlib.figure import Figure

        figures: dict[str, Figure] = {}
        for key, png in self._chart_pngs(kind).items():
            image = matplotlib.image.imread(io.BytesIO(png), format="png")
            height, width = image.shape[:2]
            dpi = 100
            figure = Figure(figsize=(width / dpi, height / dpi), dpi=dpi)
            axes = figure.add_axes((0.0, 0.0, 1.0, 1.0))
            axes.imshow(image)
            axes.set_axis_off()
            figures[key] = figure
        return figures

    def _chart_pngs(self, kind: str) -> dict[str, bytes]:
        """Both charts as PNG bytes, drawn by the engine's renderers under its chart lock;
        a chart without data is left out."""
        import kestrelia.backtest._pelorin as _pelorin

        _check_kind(kind)
        total, stats = self._engine["total"], dict(self._engine["stats"])
        # The renderers put the names into titles, legends and a table as they are, and
        # matplotlib would read "$...$" in them as math (failing on "$$"): escaped, every
        # dollar sign is drawn as itself.
        name, benchmark = _literal(self.name), _literal(str(self.parameters["benchmark"]))
        buffers = {"main": io.BytesIO(), "weekly_net_value": io.BytesIO()}
        # The renderers hand the path to savefig unchanged, and savefig also writes to a
        # file object: the image stays in memory.
        main, weekly = cast(Any, buffers["main"]), cast(Any, buffers["weekly_net_value"])
        with _pelorin._MATPLOTLIB_PLOT_LOCK:
            _pelorin._plot_strategy_performance_unlocked(
                total, stats, name, None, main, kind, benchmark,
                int(self.parameters["rolling_window"]))
            _pelorin._plot_weekly_net_value_unlocked(
                total, name, None, weekly, kind, benchmark)
        return {key: b.getvalue() for key, b in buffers.items() if b.getvalue()}

    def report_html(self, kind: str = "large", *,
                    charts: dict[str, bytes] | None = None) -> str:
        """One self-contained HTML page of this backtest: run parameters, headline
        statistics, the metrics with their definitions, the monthly and yearly tables, the
        benchmark summary, the drawdown periods and both charts (embedded; no script, no
        external resource, opens offline).

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> page = example_result().report_html()
        >>> page.startswith("<!DOCTYPE html>") and "Monthly returns" in page
        True
        """
        from kestrelia.backtest.report import render_report

        return render_report(**self._report_pieces(kind, charts))

    def _report_pieces(self, kind: str, charts: dict[str, bytes] | None,
                       execution_charts: list[tuple[str, bytes]] | None = None,
                       ) -> dict[str, Any]:
        from kestrelia.backtest.metrics import METRIC_DEFINITIONS

        pngs = self._chart_pngs(kind) if charts is None else charts
        captions = {"main": "Performance", "weekly_net_value": "Weekly net value"}
        days = self.returns
        span = f"{days.index[0]} to {days.index[-1]}, {len(days)} days" if len(days) else "no days"
        execution = self.execution
        return dict(
            title=f"{self.name}: backtest report", subtitle=span,
            parameters={"strategy": self.name, **self.parameters, **self._ruin_note()},
            stats=self._engine["stats"], metrics=self.metrics, definitions=METRIC_DEFINITIONS,
            monthly=self.monthly, yearly=self.yearly,
            benchmark_summary=self.benchmark_summary, drawdowns=self.drawdowns(),
            charts=[(captions.get(k, k), png) for k, png in pngs.items()],
            execution=None if execution is None else execution.summary,
            execution_charts=([] if execution is None else execution.chart_pngs()
                              if execution_charts is None else execution_charts),
        )

    def _ruin_note(self) -> dict[str, str]:
        if self.ruined_on is None:
            return {}
        return {"equity": f"not positive from {self.ruined_on.date()} on: every target from "
                          "then is zero and the returns are NaN"}

    def save(self, directory: str | os.PathLike[str], *, force: bool = False,
             kind: str = "large") -> list[Path]:
        """Write the report: both charts (PNG), ``stats.json``, the daily frame as CSV and
        Parquet, ``benchmark_summary.csv``, ``metrics.csv``, ``monthly.csv``, ``yearly.csv``
        and ``report.html`` (one self-contained page of all of it); with a recorded
        execution also ``trades.parquet``, ``positions.parquet``, ``exposure.csv``,
        ``attribution.csv`` and ``<name>_execution.png``.

        ``stats.json`` is strict JSON: non-finite numbers are written as ``null``.

        Parameters
        ----------
        directory : str or path-like
            Folder to write into; created when missing.
        force : bool, default False
            Overwrite report files that are already there.
        kind : {"large", "long"}, default "large"
            The charts' layout.

        Returns
        -------
        list of pathlib.Path
            The files written.

        Raises
        ------
        InputError
            When a report file exists and ``force`` is false, for a name too long to be a
            file name with the suffixes the report adds, or for an unknown ``kind``; nothing
            is written then.

        Every file is drawn and written before any of them is put in place: a failure
        half-way leaves none of them (and files it was to replace as they were).

        Examples
        --------
        >>> import tempfile
        >>> from kestrelia.backtest._examples import example_result
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     [p.name for p in example_result().save(folder)]
        ['stats.json', 'example_daily.csv', 'example_daily.parquet', 'benchmark_summary.csv', 'metrics.csv', 'monthly.csv', 'yearly.csv', 'example.png', 'example_weekly_net_value.png', 'report.html']
        """
        from kestrelia.backtest.report import render_report

        _check_kind(kind)
        names = report_file_names(self.name)
        execution = self.execution
        if execution is not None:
            names[-1:-1] = execution.file_names()
        check_name_fits(self.name, names)
        out = Path(directory).expanduser()
        if out.exists() and not out.is_dir():
            raise InputError(f"{out} exists and is not a directory")
        # The files of this set it does not write (an execution record's, a chart without
        # data) are removed with it: an earlier run's would otherwise pass for this one's.
        stale = [n for n in report_file_names(self.name) + execution_file_names(self.name)
                 if n not in names]
        if not force:
            for name in [*names, *stale]:
                if (out / name).exists() or (out / name).is_symlink():
                    raise InputError(f"{out / name} already exists; pass force=True to "
                                     "overwrite it")
        document = {"strategy_name": self.name,
                    "parameters": {k: _plain(v) if isinstance(v, float) else v
                                   for k, v in self.parameters.items()},
                    "stats": {k: _plain(v) for k, v in self._engine["stats"].items()}}
        charts = self._chart_pngs(kind)
        execution_charts = [] if execution is None else execution.chart_pngs()
        page = render_report(**self._report_pieces(kind, charts, execution_charts))
        writers: dict[str, Callable[[Path], object]] = {
            names[0]: lambda p: p.write_text(json.dumps(document, indent=2, allow_nan=False)
                                             + "\n"),
            names[1]: self.daily.to_csv,
            names[2]: self.daily.to_parquet,
            names[3]: lambda p: self.benchmark_summary.to_csv(p, index=False),
            names[4]: self.metrics.rename("value").rename_axis("metric").to_csv,
            names[5]: self.monthly.to_csv,
            names[6]: self.yearly.to_csv,
        }
        # A chart without data is left out, as the renderers leave it out.
        for key, file_name in (("main", names[7]), ("weekly_net_value", names[8])):
            if key in charts:
                writers[file_name] = _bytes_writer(charts[key])
        if execution is not None:
            writers.update(execution._writers(execution_charts[0][1]))
        writers["report.html"] = lambda p: p.write_text(page, encoding="utf-8")
        return write_files(out, writers, force=force,
                           remove=[n for n in (*names, *stale) if n not in writers])

    def _repr_html_(self) -> str:
        """The headline statistics as an HTML table (Jupyter's rich display).

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> "Annual return" in example_result()._repr_html_()
        True
        """
        rows = []
        for key, label, kind in _HEADLINE:
            value = self.stats.get(key, float("nan"))
            if not math.isfinite(value):
                text = "--"
            elif kind == "points":
                text = f"{value:.2f}%"
            elif kind == "ratio":
                text = f"{value * 100:.2f}%"
            else:
                text = f"{value:.2f}"
            rows.append(f"<tr><th style='text-align:left'>{html.escape(label)}</th>"
                        f"<td style='text-align:right'>{text}</td></tr>")
        days = self.returns
        span = (f"{len(days)} days, {html.escape(str(days.index[0]))} to "
                f"{html.escape(str(days.index[-1]))}") if len(days) else "no days"
        return (f"<div><strong>{html.escape(self.name)}</strong> ({span})"
                f"<table>{''.join(rows)}</table></div>")


def _compound_returns(engine: dict[str, Any],
                      days: pd.Index) -> tuple[pd.Series, pd.Timestamp | None]:
    """Each return day's profit over the equity its targets were sized from, NaN from the
    first day that equity is not positive (nothing was sized then); and that day."""
    cash = engine["cash"].reindex(days)
    money = engine["money"].reindex(days)
    ruined = money.to_numpy() <= 0
    returns = (cash / money.where(~ruined)).rename("daily_return")
    first = days[int(ruined.argmax())] if ruined.any() else None
    return returns, first


def _literal(text: str) -> str:
    """``text`` as matplotlib draws it literally: every dollar sign escaped, so none starts
    math (an escaped dollar sign is drawn as a plain one)."""
    return text.replace("$", r"\$")


def _bytes_writer(data: bytes) -> Callable[[Path], object]:
    return lambda path: path.write_bytes(data)


def _check_kind(kind: str) -> None:
    if kind not in ("large", "long"):
        raise InputError(f"kind must be 'large' or 'long', got {kind!r}")
