"""The outcome of one backtest: returns, the daily total frame, statistics, tables and
charts, and a way to save them."""

from __future__ import annotations

import html
import io
import json
import math
import os
from collections.abc import Callable, Mapping
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

#: The trading days of the rolling figures the report draws.
ROLLING_WINDOW = 126

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
        The engine's own statistics, under its keys and in its units (annual returns in
        percentage points based on the first day, drawdowns as positive differences,
        holdings and turnover of the target weights): each key is defined in
        ``kestrelia.backtest.glossary.ENGINE_STATS`` and docs/metrics.md.
    benchmark_summary : pandas.DataFrame
        The excess over every benchmark of the market, one row each (the engine's).
    metrics : pandas.Series
        The headline figures, one definition each, as plain fractions of the fixed capital
        (see ``kestrelia.backtest.metrics.METRIC_DEFINITIONS``): what the command line,
        the report's first table and ``_repr_html_`` show.
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
                                       name=name, ruined_on=self.ruined_on)
        self._engine = engine
        self._benchmarks = benchmarks

    def __repr__(self) -> str:
        from kestrelia.backtest._display import metric_label, show

        days = self.returns
        span = (f"{days.index[0].date()} to {days.index[-1].date()}" if len(days)
                else "no days")
        annual = show(self.metrics.get("annual_return"), "pct")
        return (f"BacktestResult({self.name!r}, {len(days)} days {span}, "
                f"{metric_label('annual_return').lower()} {annual})")

    def _benchmark_returns(self) -> pd.Series | None:
        """The primary benchmark's daily returns on the backtest's days, NaN where it has
        none, when one was used (a run against the flat benchmark has none)."""
        series = self._benchmarks.get(str(self.parameters.get("benchmark")))
        if series is None:
            return None
        return series.reindex(self.returns.index)

    def _trading(self) -> tuple[pd.Series, pd.Series] | None:
        """Each backtest day's turnover (money bought and sold over twice the capital) and
        the stocks held at its end: from the execution record when it was kept, else from
        the plain walk, which counts the same with the same arithmetic."""
        if self.execution is not None:
            return self.execution.turnover / 2.0, self.execution.holdings
        traded, held = self._engine.get("traded"), self._engine.get("held")
        if traded is None or held is None:
            return None
        days = self.returns.index
        # Over the money each day was sized from: the capital, or the compounding equity.
        money = self._engine["money"].reindex(days)
        return traded.reindex(days) / (2.0 * money), held.reindex(days)

    @cached_property
    def metrics(self) -> pd.Series:
        """Risk and return metrics of the daily returns, as plain fractions.

        Returns, volatility, Sharpe and Sortino ratios, drawdown depth, dates and length,
        Calmar ratio, skew, kurtosis, historical VaR and CVaR, best and worst day, profit
        factor, executed turnover and average holdings and, against the primary benchmark,
        its annual return, the excess annual return, beta, alpha, tracking error,
        information ratio and correlation. The equity is ``1 + cumsum(returns)``: the
        fixed-capital model does not compound; with ``sizing="compound"`` it is
        ``cumprod(1 + returns)`` and the total and annual return compound. One line per
        metric in ``kestrelia.backtest.metrics.METRIC_DEFINITIONS`` (and
        ``COMPOUNDED_DEFINITIONS``).

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> m = example_result().metrics
        >>> bool(m["total_return"] == example_result().returns.sum())
        True
        """
        from kestrelia.backtest.metrics import compute_metrics

        trading = self._trading()
        if trading is None:
            return compute_metrics(self.returns, self._benchmark_returns(),
                                   compound=self.compound)
        return compute_metrics(self.returns, self._benchmark_returns(), turnover=trading[0],
                               holdings=trading[1], compound=self.compound)

    def rolling(self, window: int = 126) -> pd.DataFrame:
        """Annualised return, volatility and Sharpe ratio over the last ``window`` trading
        days and, against the primary benchmark, beta and correlation: one row per day, NaN
        until the window is full. Each is the metric of the same name computed on the
        window's days (``kestrelia.backtest.metrics.ROLLING_DEFINITIONS``).

        Raises
        ------
        InputError
            For a window that is not a whole number of at least 2 days.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> list(example_result().rolling(2).columns)
        ['annual_return', 'volatility', 'sharpe']
        """
        from kestrelia.backtest.metrics import rolling_metrics

        return rolling_metrics(self.returns, self._benchmark_returns(), window)

    @cached_property
    def monthly(self) -> pd.DataFrame:
        """Monthly returns (sum of the daily returns, fractions of capital; compounded with
        ``sizing="compound"``): one row per year, one column per month and a year total.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> list(example_result().monthly.index)
        [2024]
        """
        from kestrelia.backtest.metrics import monthly_returns

        return monthly_returns(self.returns, compound=self.compound)

    def drawdowns(self, top: int = 5) -> pd.DataFrame:
        """The ``top`` deepest drawdown periods of the equity ``1 + cumsum(returns)`` (or
        ``cumprod(1 + returns)`` with ``sizing="compound"``): peak, trough and recovery
        dates (NaT when not recovered), depth and length.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> list(example_result().drawdowns().columns)
        ['peak', 'trough', 'recovery', 'depth', 'days']
        """
        from kestrelia.backtest.metrics import drawdown_periods

        return drawdown_periods(self.returns, top=top, compound=self.compound)

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

    def figures(self, kind: str = "large", *, window: int = ROLLING_WINDOW) -> dict[str, Figure]:
        """The performance and weekly net-value charts, and the chart of the rolling
        figures, as matplotlib figures.

        The engine's renderers draw to image files; each of its charts is rendered by them
        (under the engine's chart lock) into memory and shown in a new figure of the same
        pixel size. No file is written and pyplot's state is not touched.

        Parameters
        ----------
        kind : {"large", "long"}, default "large"
            The wide landscape layout or the tall one of the engine's charts.
        window : int, default 126
            The trading days of the rolling figures (``rolling(window)``).

        Returns
        -------
        dict of str to matplotlib.figure.Figure
            ``"main"``, ``"weekly_net_value"`` and ``"rolling"``; a chart without data is
            left out (the rolling one when the run is shorter than the window).

        Raises
        ------
        InputError
            For an unknown ``kind`` or a bad ``window``.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> sorted(example_result().figures())
        ['main', 'weekly_net_value']
        >>> sorted(example_result().figures(window=2))
        ['main', 'rolling', 'weekly_net_value']
        """
        import matplotlib.image
        from matplotlib.figure import Figure

        from kestrelia.backtest.report.rolling import rolling_figure

        _check_kind(kind)
        rolling = rolling_figure(self.rolling(window), self.name, window)
        figures: dict[str, Figure] = {}
        for key, png in self._render(self._engine_jobs(kind), away=("main",)).items():
            image = matplotlib.image.imread(io.BytesIO(png), format="png")
            height, width = image.shape[:2]
            dpi = 100
            figure = Figure(figsize=(width / dpi, height / dpi), dpi=dpi)
            axes = figure.add_axes((0.0, 0.0, 1.0, 1.0))
            axes.imshow(image)
            axes.set_axis_off()
            figures[key] = figure
        if rolling is not None:
            figures["rolling"] = rolling
        return figures

    def _chart_pngs(self, kind: str) -> dict[str, bytes]:
        """Both engine charts as PNG bytes; a chart without data is left out."""
        _check_kind(kind)
        return self._render(self._engine_jobs(kind), away=("main",))

    def _engine_jobs(self, kind: str) -> dict[str, Callable[[], bytes]]:
        return {"main": lambda: self._engine_png("main", kind),
                "weekly_net_value": lambda: self._engine_png("weekly_net_value", kind)}

    def _chart_jobs(self, kind: str, window: int = ROLLING_WINDOW,
                    ) -> dict[str, Callable[[], bytes]]:
        """Every chart of the report, by key, as a function drawing its PNG (empty bytes
        for a chart without data)."""
        jobs = self._engine_jobs(kind)
        jobs["rolling"] = lambda: self._rolling_png(window)
        execution = self.execution
        if execution is not None:
            jobs["execution"] = execution.chart_png
        return jobs

    def _engine_png(self, key: str, kind: str) -> bytes:
        """One of the engine's charts as PNG bytes, drawn by its renderer under its chart
        lock (empty when the chart has no data)."""
        import kestrelia.backtest._pelorin as _pelorin

        total = self._engine["total"]
        # The renderers put the names into titles, legends and a table as they are, and
        # matplotlib would read "$...$" in them as math (failing on "$$"): escaped, every
        # dollar sign is drawn as itself.
        name, benchmark = _literal(self.name), _literal(str(self.parameters["benchmark"]))
        # The renderers hand the path to savefig unchanged, and savefig also writes to a
        # file object: the image stays in memory.
        buffer = io.BytesIO()
        target = cast(Any, buffer)
        with _pelorin._MATPLOTLIB_PLOT_LOCK:
            if key == "main":
                _pelorin._plot_strategy_performance_unlocked(
                    total, dict(self._engine["stats"]), name, None, target, kind, benchmark,
                    int(self.parameters["rolling_window"]))
            else:
                _pelorin._plot_weekly_net_value_unlocked(total, name, None, target, kind,
                                                         benchmark)
        return buffer.getvalue()

    def _rolling_png(self, window: int) -> bytes:
        from kestrelia.backtest.report.rolling import png_bytes, rolling_figure

        figure = rolling_figure(self.rolling(window), self.name, window)
        return b"" if figure is None else png_bytes(figure)

    @staticmethod
    def _render(jobs: dict[str, Callable[[], bytes]], away: tuple[str, ...]) -> dict[str, bytes]:
        """Runs the chart ``jobs``, those named in ``away`` in a forked child beside the
        others (``kestrelia.backtest._forked``); charts without data are left out."""
        from kestrelia.backtest._forked import Beside

        with Beside({k: jobs[k] for k in away if k in jobs}) as beside:
            pngs = {k: job() for k, job in jobs.items() if k not in away}
            pngs.update(beside.result())
        return {k: pngs[k] for k in jobs if pngs.get(k)}

    def report_html(self, kind: str = "large", *,
                    charts: dict[str, bytes] | None = None) -> str:
        """One self-contained HTML page of this backtest: the headline (the metrics), run
        parameters, the metrics with their definitions, the monthly table, the drawdown
        periods, the charts (the engine's two and the rolling figures, embedded), what
        traded, then the engine's own statistics, yearly table and benchmark summary with
        a glossary of the engine's figures (no script, no external resource, opens
        offline).

        ``charts`` are PNG bytes by key (``"main"``, ``"weekly_net_value"``,
        ``"rolling"``, ``"execution"``) already drawn; the others are drawn.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> page = example_result().report_html()
        >>> page.startswith("<!DOCTYPE html>") and "Monthly returns" in page
        True
        """
        from kestrelia.backtest.report import render_report

        _check_kind(kind)
        given = dict(charts or {})
        jobs = {k: job for k, job in self._chart_jobs(kind).items() if k not in given}
        given.update(self._render(jobs, away=tuple(_away(jobs, self.execution is not None))))
        return render_report(**self._report_pieces(given))

    def _report_pieces(self, pngs: dict[str, bytes]) -> dict[str, Any]:
        from kestrelia.backtest.glossary import GLOSSARY
        from kestrelia.backtest.metrics import COMPOUNDED_DEFINITIONS, METRIC_DEFINITIONS

        captions = {
            "main": "Performance, drawn by the engine: its cards and tables show the engine's "
                    "statistics (see the glossary)",
            "weekly_net_value": "Weekly net value, drawn by the engine (net values based on "
                                "the first day)",
            "rolling": f"Rolling {ROLLING_WINDOW}-day figures, as the metrics define them",
        }
        days = self.returns
        span = (f"{days.index[0].date()} to {days.index[-1].date()}, {len(days)} days"
                if len(days) else "no days")
        execution = self.execution
        definitions = {**METRIC_DEFINITIONS, **(COMPOUNDED_DEFINITIONS if self.compound else {})}
        return dict(
            title=f"{self.name}: backtest report", subtitle=span,
            parameters={"strategy": self.name, **self.parameters, **self._ruin_note()},
            compound=self.compound,
            stats=self._engine["stats"], metrics=self.metrics, definitions=definitions,
            monthly=self.monthly, yearly=self.yearly,
            benchmark_summary=self.benchmark_summary, drawdowns=self.drawdowns(),
            charts=[(captions[k], pngs[k]) for k in captions if pngs.get(k)],
            execution=None if execution is None else execution.summary,
            execution_charts=([("What actually traded", pngs["execution"])]
                              if execution is not None and pngs.get("execution") else []),
            glossary=GLOSSARY,
        )

    def _ruin_note(self) -> dict[str, str]:
        if self.ruined_on is None:
            return {}
        return {"equity": f"not positive from {self.ruined_on.date()} on: every target from "
                          "then is zero and the returns are NaN"}

    def save(self, directory: str | os.PathLike[str], *, force: bool = False,
             kind: str = "large") -> list[Path]:
        """Write the report: ``stats.json``, the daily frame as CSV and Parquet,
        ``benchmark_summary.csv``, ``metrics.csv``, ``monthly.csv``, ``yearly.csv``, both
        engine charts (PNG) and ``report.html`` (one self-contained page of all of it, the
        chart of the rolling figures included); with a recorded execution also
        ``trades.parquet``, ``positions.parquet``, ``exposure.csv``, ``attribution.csv``
        and ``<name>_execution.png``. Files of the same set from an earlier save that this
        one does not write (an execution record's) are removed.

        ``stats.json`` is strict JSON: non-finite numbers are written as ``null``; its
        ``files`` lists the files of the set. A file that no save wrote is never removed.

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
            The files written: the tables, then the charts, then the page.

        Raises
        ------
        InputError
            When a report file exists and ``force`` is false, for a name too long to be a
            file name with the suffixes the report adds, or for an unknown ``kind``; nothing
            is written then.

        Every file is drawn and written before any of them is put in place: a failure
        half-way leaves none of them (and files it was to replace as they were), and a
        process killed while putting them in place leaves every file present, the set
        finished by the next save into the folder. Each chart is drawn once, some of them in
        a forked process beside this one where that is safe (``kestrelia.backtest._forked``).

        Examples
        --------
        >>> import tempfile
        >>> from kestrelia.backtest._examples import example_result
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     [p.name for p in example_result().save(folder)]
        ['stats.json', 'example_daily.csv', 'example_daily.parquet', 'benchmark_summary.csv', 'metrics.csv', 'monthly.csv', 'yearly.csv', 'example.png', 'example_weekly_net_value.png', 'report.html']
        """
        from kestrelia.backtest._forked import Beside
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
        # The files of this set it does not write (an earlier run's execution record) are
        # removed with it: they would otherwise pass for this run's. Only those an earlier
        # save wrote: a file of the same name that no save wrote is not ours to delete.
        earlier = _earlier_set(out, self.name)
        stale = [n for n in report_file_names(self.name) + execution_file_names(self.name)
                 if n not in names and n in earlier]
        if not force:
            for name in [*names, *stale]:
                if (out / name).exists() or (out / name).is_symlink():
                    raise InputError(f"{out / name} already exists; pass force=True to "
                                     "overwrite it")
        document = {"strategy_name": self.name, "files": names,
                    "parameters": {k: _plain(v) if isinstance(v, float) else v
                                   for k, v in self.parameters.items()},
                    "stats": {k: _plain(v) for k, v in self._engine["stats"].items()}}
        jobs = self._chart_jobs(kind)
        # The charts a child draws are drawn while this process draws the others and
        # writes the tables; they are waited for only when the first chart is written.
        away = _away(jobs, execution is not None)
        with Beside({k: jobs[k] for k in away}) as beside:
            drawn = {k: job() for k, job in jobs.items() if k not in away}
            pngs: dict[str, bytes] = {}

            def charts() -> dict[str, bytes]:
                if not pngs:
                    pngs.update({**drawn, **beside.result()})
                return pngs

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
            if execution is not None:
                writers.update(execution._table_writers())
            # A chart without data writes no file, as the renderers leave it out.
            for key, file_name in (("main", names[7]), ("weekly_net_value", names[8]),
                                   ("execution", f"{self.name}_execution.png")):
                if key in jobs:
                    writers[file_name] = _chart_writer(charts, key)
            writers["report.html"] = lambda p: p.write_text(
                render_report(**self._report_pieces(charts())), encoding="utf-8")
            return write_files(out, writers, force=force,
                               remove=[n for n in (*names, *stale) if n not in writers])

    def _repr_html_(self) -> str:
        """The headline metrics as an HTML table (Jupyter's rich display), labelled and
        shown as the command line and the report show them.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> "Annual return" in example_result()._repr_html_()
        True
        """
        from kestrelia.backtest._display import headline_rows

        rows = "".join(f"<tr><th style='text-align:left'>{html.escape(label)}</th>"
                       f"<td style='text-align:right'>{html.escape(text)}</td></tr>"
                       for _, label, text in headline_rows(self.metrics))
        days = self.returns
        span = (f"{len(days)} days, {html.escape(str(days.index[0].date()))} to "
                f"{html.escape(str(days.index[-1].date()))}") if len(days) else "no days"
        return (f"<div><strong>{html.escape(self.name)}</strong> ({span})"
                f"<table>{rows}</table></div>")


# Seconds each chart takes to draw, and the tables this process writes meanwhile, on 10
# years of a full market (bench/charts.py): what balances the two processes. They grow alike
# with the number of days, so their proportions serve for any run.
_COSTS = {"main": 0.96, "weekly_net_value": 0.48, "execution": 0.27, "rolling": 0.2}
_TABLES, _EXECUTION_TABLES = 0.15, 1.9


def _away(jobs: Mapping[str, object], execution: bool) -> list[str]:
    """The charts a child draws: the most costly first, each to whichever side has less
    to do, this process starting with the tables it writes."""
    here, there, away = _TABLES + (_EXECUTION_TABLES if execution else 0.0), 0.0, []
    for key in sorted(jobs, key=lambda k: -_COSTS.get(k, 1.0)):
        if there <= here:
            there += _COSTS.get(key, 1.0)
            away.append(key)
        else:
            here += _COSTS.get(key, 1.0)
    return away


def _earlier_set(out: Path, name: str) -> set[str]:
    """The files of the report saved in ``out`` before, as its ``stats.json`` lists them; of
    a report saved before they were listed, the execution record of the strategy ``name``
    when its chart is there (the sign that the tables beside it are that record)."""
    try:
        document = json.loads((out / "stats.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return set()
    if not isinstance(document, dict):
        return set()
    files = document.get("files")
    if isinstance(files, list):
        return {f for f in files if isinstance(f, str)}
    if document.get("strategy_name") == name and (out / f"{name}_execution.png").is_file():
        return set(execution_file_names(name))
    return set()


def _chart_writer(charts: Callable[[], dict[str, bytes]], key: str) -> Callable[[Path], None]:
    def write(path: Path) -> None:
        png = charts()[key]
        if png:
            path.write_bytes(png)

    return write


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


def _check_kind(kind: str) -> None:
    if kind not in ("large", "long"):
        raise InputError(f"kind must be 'large' or 'long', got {kind!r}")
