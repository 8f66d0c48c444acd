"""What actually traded: positions, trades, blocked orders, exposure and a profit
attribution, recorded by the same native day loop that computes the returns.

Every table comes from the simulation's own record (``backtest(..., execution=True)``):
nothing here re-simulates. Per-day tables cover the backtest's return days; the trades and
blocked orders cover every simulated day up to the last return day, so replaying the trades
from zero gives the positions.
"""

from __future__ import annotations

import io
import json
import os
from collections.abc import Callable
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from kestrelia.backtest._output import check_name_fits, execution_file_names, write_files

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from kestrelia.backtest.costs import Costs

__all__ = ["Execution"]

EXPOSURE_COLUMNS = ["target_weight", "lot_weight", "held_weight", "buy_blocked_weight",
                    "sell_blocked_weight", "rounding_weight", "no_price_weight"]
ATTRIBUTION_COLUMNS = ["buy", "hold", "sell", "dividend", "commission", "stamp_duty",
                       "transfer_fee"]


class Execution:
    """The simulation's record of one backtest.

    Attributes
    ----------
    trades : pandas.DataFrame
        One row per executed trade: ``date``, ``code``, ``side`` ("buy"/"sell"), ``shares``,
        ``price`` (the VWAP price the simulation used; a sell's price carries the day's split
        factor), ``amount``, and what it cost under the backtest's cost model:
        ``commission`` (at least the minimum per order), ``stamp_duty`` and
        ``transfer_fee``. A trade whose profit the day could not price (a sale without a
        previous close, a buy without a close) adds nothing to the day's return, costs
        included; its costs here are what the return paid: only what a minimum commission
        adds above the rate.
    blocked : pandas.DataFrame
        One row per stock and day where a wanted trade was not allowed: ``date``, ``code``,
        ``side``, ``shares`` (the untraded part), ``cause`` ("buy_blocked" where buying was
        not allowed, "sell_blocked" where selling was not allowed).
    exposure : pandas.DataFrame
        Per return day, gross (absolute) weights: the target, the lot-rounded target at the
        previous close, what was held at the close, what was blocked by cause, what lot
        rounding took away, and the weight dropped for a missing or non-positive previous
        close.
    attribution : pandas.DataFrame
        Per return day, the parts of the day's profit over capital (with compounding,
        over the equity the day was sized from): buying (close against the buy price),
        holding, selling (against the previous close), dividends, commission, stamp duty
        and transfer fee (costs negative); each row sums to the day's return.
    summary : pandas.Series
        Executed turnover (the daily mean of money bought and sold over twice the capital,
        as ``result.metrics["turnover"]``), average number of stocks held, totals of
        commission, stamp duty and transfer fee, and the share of the target weight blocked
        by each cause.

    Examples
    --------
    >>> from kestrelia.backtest._examples import example_result
    >>> execution = example_result(execution=True).execution
    >>> list(execution.trades.columns)
    ['date', 'code', 'side', 'shares', 'price', 'amount', 'commission', 'stamp_duty', 'transfer_fee']
    """

    def __init__(self, record: dict[str, Any], return_dates: pd.Index, *, capital: float,
                 costs: Costs, name: str = "strategy",
                 ruined_on: pd.Timestamp | None = None) -> None:
        self.name = name
        self.capital = float(capital)
        # With compounding, the first day sized from an equity that was no longer positive:
        # from it on the returns are NaN, and so is what is taken over that equity.
        self._ruined_on = ruined_on
        self.costs = costs
        self._dates = pd.Index(record["dates"])
        self._codes = pd.Index(record["codes"])
        self._return_dates = pd.Index(return_dates)
        # Simulated days up to the last return day (the day after the last weights is
        # simulated but not part of the backtest).
        last = self._return_dates[-1] if len(self._return_dates) else None
        self._n_days = int((self._dates <= last).sum()) if last is not None else 0
        days = pd.DataFrame(record["days"], index=self._dates, columns=record["day_columns"])
        self._days = days.iloc[: self._n_days]
        self._stocks = pd.DataFrame(record["stocks"], index=self._codes,
                                    columns=record["stock_columns"])
        self._record = record

    def __repr__(self) -> str:
        return (f"Execution({len(self.trades)} trades, {len(self.blocked)} blocked, "
                f"{len(self._return_dates)} days)")

    def _long(self, name: str) -> tuple[np.ndarray, np.ndarray]:
        """A long table's rows on the simulated days up to the last return day (the record
        holds them in day order, with each day's count), and each row's day."""
        per_day = np.asarray(self._record[f"{name}_per_day"])[: self._n_days]
        rows = self._record[name][: int(per_day.sum())]
        return rows, np.repeat(np.arange(len(per_day)), per_day)

    @cached_property
    def trades(self) -> pd.DataFrame:
        rows, day = self._long("trades")
        side = rows["side"]
        shares = rows["shares"].astype(float)
        price = rows["price"].astype(float)
        amount = shares * price
        # Each trade at its day's rates, as the day loop charged it.
        rates = {key: values[day] for key, values in
                 self.costs.rates_on(pd.DatetimeIndex(self._dates)).items()}
        on_amount = amount * rates["commission"]
        commission = on_amount
        if self.costs.min_commission > 0:
            commission = np.maximum(on_amount, self.costs.min_commission)
        stamp_duty = amount * np.where(side < 0, rates["stamp_duty"], rates["stamp_duty_buy"])
        transfer_fee = amount * rates["transfer_fee"]
        # Side +-2: a trade whose profit was not a number (a sale without a previous close,
        # a buy without a close), which the day's return took as 0, its costs with it; only
        # what a minimum commission adds on top of the rate was paid.
        unpriced = np.abs(side) == 2
        if unpriced.any():
            commission = np.where(unpriced, commission - on_amount, commission)
            stamp_duty = np.where(unpriced, 0.0, stamp_duty)
            transfer_fee = np.where(unpriced, 0.0, transfer_fee)
        # The columns are new arrays made here: the frame keeps them as they are rather
        # than copying millions of rows into one block.
        return pd.DataFrame({
            "date": self._dates.take(day), "code": self._codes.take(rows["stock"]),
            "side": _labels(side, "buy", "sell"),
            "shares": shares, "price": price, "amount": amount,
            "commission": commission, "stamp_duty": stamp_duty, "transfer_fee": transfer_fee,
        }, copy=False)

    @cached_property
    def blocked(self) -> pd.DataFrame:
        rows, day = self._long("blocked")
        side = rows["side"]
        return pd.DataFrame({
            "date": self._dates.take(day), "code": self._codes.take(rows["stock"]),
            "side": _labels(side, "buy", "sell"),
            "shares": rows["shares"].astype(float),
            "cause": _labels(side, "buy_blocked", "sell_blocked"),
        })

    @cached_property
    def exposure(self) -> pd.DataFrame:
        frame: pd.DataFrame = self._days.loc[self._return_dates, EXPOSURE_COLUMNS]
        return frame.rename_axis("date")

    def _unpriced(self) -> np.ndarray:
        """Which return days have no equity to take a day's parts over (from ruin on)."""
        if self._ruined_on is None:
            return np.zeros(len(self._return_dates), dtype=bool)
        return np.asarray(pd.DatetimeIndex(self._return_dates) >= self._ruined_on)

    @cached_property
    def attribution(self) -> pd.DataFrame:
        frame: pd.DataFrame = self._days.loc[self._return_dates, ATTRIBUTION_COLUMNS]
        unpriced = self._unpriced()
        if unpriced.any():
            # Each row sums to its day's return, NaN from ruin on as the return is.
            frame = frame.copy()
            frame.loc[unpriced] = np.nan
        return frame.rename_axis("date")

    @cached_property
    def turnover(self) -> pd.Series:
        """Money bought and sold each return day, over capital (with compounding, over
        the equity the day was sized from; both sides: the executed turnover of ``summary``
        and ``result.metrics`` is its mean over two)."""
        series: pd.Series = self._days.loc[self._return_dates, "traded_amount"]
        unpriced = self._unpriced()
        if unpriced.any():
            series = series.mask(unpriced)
        return series.rename("turnover")

    @cached_property
    def holdings(self) -> pd.Series:
        """The number of stocks held at the end of each return day."""
        series: pd.Series = self._days.loc[self._return_dates, "held_count"]
        return series.rename("holdings")

    @cached_property
    def positions(self) -> pd.DataFrame:
        """Shares held at the end of each return day (dates x codes), replayed from the
        trades and the splits: the simulation's own end-of-day positions. Built on first
        access."""
        rows, day = self._long("trades")
        stock = rows["stock"].astype(np.int64)
        signed = np.where(rows["side"] < 0, -1.0, 1.0) * rows["shares"].astype(float)
        # Column-major: each stock's history is contiguous for the running sum, the split
        # mending and the Parquet writer, which then reads every column without a copy.
        held = np.zeros((self._n_days, len(self._codes)), order="F")
        np.add.at(held, (day, stock), signed)
        np.cumsum(held, axis=0, out=held)
        self._apply_splits(held, day, stock, signed)
        at = self._dates[: self._n_days].get_indexer(self._return_dates)
        if len(at) and (at == np.arange(at[0], at[0] + len(at))).all():
            held = held[at[0] : at[0] + len(at)]  # the usual case: a view, no copy
        else:
            held = np.asfortranarray(held[at])
        frame = pd.DataFrame(held, index=self._return_dates, columns=self._codes, copy=False)
        return frame.rename_axis("date")

    def _apply_splits(self, held: np.ndarray, day: np.ndarray, stock: np.ndarray,
                      signed: np.ndarray) -> None:
        """On a split day the simulation ends holding the shares kept through the day times
        the factor plus the day's buys, in whole shares; the running sums of the trades are
        mended there and the difference carried to the later days. The trades are in (day,
        stock) order, a stock trading at most once a day."""
        events = self._record.get("share_events")
        if events is None or len(events) == 0:
            return
        events = events[events["day"] < self._n_days]
        width = len(self._codes)
        keys = day.astype(np.int64) * width + stock
        # Each event's trade that day, if any, found for all events at once.
        wanted = events["day"].astype(np.int64) * width + events["stock"]
        at = np.minimum(np.searchsorted(keys, wanted), max(len(keys) - 1, 0))
        found = (keys[at] == wanted) if len(keys) else np.zeros(len(wanted), dtype=bool)
        traded_that_day = np.where(found, signed[at] if len(keys) else 0.0, 0.0)
        for d, s, factor, traded in zip(events["day"].tolist(), events["stock"].tolist(),
                                        events["factor"].tolist(), traded_that_day.tolist()):
            before = held[d - 1, s] if d > 0 else 0.0
            bought, sold = max(traded, 0.0), max(-traded, 0.0)
            ended = float(np.rint((before - sold) * factor + bought))
            held[d:, s] += ended - held[d, s]

    def attribution_by_stock(self) -> pd.DataFrame:
        """Each code's total of every attribution part, over capital, over the simulated
        days up to the last return day; codes that never traded are left out.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_result
        >>> list(example_result(execution=True).execution.attribution_by_stock().columns)
        ['buy', 'hold', 'sell', 'dividend', 'commission', 'stamp_duty', 'transfer_fee', 'total']
        """
        totals = self._stocks[ATTRIBUTION_COLUMNS] / self.capital
        totals = totals.loc[(totals != 0).any(axis=1)]
        totals["total"] = totals.sum(axis=1)
        return totals.sort_values("total", kind="stable").rename_axis("code")

    @cached_property
    def summary(self) -> pd.Series:
        exposure, trades = self.exposure, self.trades
        target = exposure["target_weight"].sum()

        def share(column: str) -> float:
            return float(exposure[column].sum() / target) if target > 0 else float("nan")

        # Means over the days with a return, as the metrics of the same names take them.
        priced = ~self._unpriced()
        turnover, held = self.turnover[priced], self.holdings[priced]
        return pd.Series({
            # One side of the trading, as a turnover of the target weights counts it.
            "executed_turnover": (float(turnover.mean()) / 2.0 if len(turnover)
                                  else float("nan")),
            "average_holdings": float(held.mean()) if len(held) else float("nan"),
            "trades": float(len(trades)),
            "total_commission": float(trades["commission"].sum()),
            "total_stamp_duty": float(trades["stamp_duty"].sum()),
            "total_transfer_fee": float(trades["transfer_fee"].sum()),
            "buy_blocked_share": share("buy_blocked_weight"),
            "sell_blocked_share": share("sell_blocked_weight"),
            "rounding_share": share("rounding_weight"),
            "no_price_share": share("no_price_weight"),
        }, name=self.name)

    # ---- the chart and the files ---------------------------------------------------

    def figure(self) -> Figure:
        """Target against held exposure, blocked weight by cause, executed turnover, and
        cumulative commission and stamp duty, on one figure (pyplot is not touched)."""
        from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
        from matplotlib.figure import Figure
        from matplotlib.ticker import PercentFormatter

        exposure = self.exposure
        dates = _as_datetimes(exposure.index)
        single = len(dates) == 1
        marker = "o" if single else None
        fig = Figure(figsize=(14, 8), dpi=100)
        # Fixed margins rather than a layout engine, which draws the whole figure once more
        # to measure it: the panels and the room their labels need are known in advance.
        fig.subplots_adjust(left=0.055, right=0.99, top=0.915, bottom=0.055, wspace=0.16,
                            hspace=0.2)
        axes = fig.subplots(2, 2, sharex=True)
        # The name is the user's text: drawn as it is, never read as math.
        fig.suptitle(f"{self.name}: what actually traded", fontsize=14, fontweight="bold",
                     parse_math=False)

        ax = axes[0, 0]
        for column, label, color in (("target_weight", "Target", "#4c72b0"),
                                     ("lot_weight", "Lot-rounded target", "#8172b3"),
                                     ("held_weight", "Held at close", "#dd8452")):
            ax.plot(dates, exposure[column].to_numpy(), label=label, color=color,
                    linewidth=1.2, marker=marker)
        ax.set_title("Gross exposure: target against held")
        ax.yaxis.set_major_formatter(PercentFormatter(1.0))
        ax.legend(loc="best", fontsize=8, frameon=False)

        ax = axes[0, 1]
        parts = [("buy_blocked_weight", "Buy not allowed", "#c44e52"),
                 ("sell_blocked_weight", "Sell not allowed", "#937860"),
                 ("no_price_weight", "No previous close", "#8c8c8c")]
        if single:
            bottom = 0.0
            for column, label, color in parts:
                value = float(exposure[column].iloc[0])
                ax.bar(dates, [value], bottom=bottom, label=label, color=color, width=0.8)
                bottom += value
        else:
            ax.stackplot(dates, *[exposure[c].to_numpy() for c, _, _ in parts],
                         labels=[label for _, label, _ in parts],
                         colors=[color for _, _, color in parts], alpha=0.85)
        ax.set_title("Blocked weight by cause")
        ax.yaxis.set_major_formatter(PercentFormatter(1.0))
        ax.legend(loc="upper left", fontsize=8, frameon=False)

        ax = axes[1, 0]
        ax.plot(dates, self.turnover.to_numpy() / 2.0, color="#55a868", linewidth=1.0,
                marker=marker)
        ax.set_title("Executed daily turnover ((bought + sold) / (2 x capital))")
        ax.yaxis.set_major_formatter(PercentFormatter(1.0))

        ax = axes[1, 1]
        attribution = self.attribution
        ax.plot(dates, -attribution["commission"].cumsum().to_numpy(), label="Commission",
                color="#4c72b0", marker=marker)
        ax.plot(dates, -attribution["stamp_duty"].cumsum().to_numpy(), label="Stamp duty",
                color="#c44e52", marker=marker)
        if (attribution["transfer_fee"] != 0).any():
            ax.plot(dates, -attribution["transfer_fee"].cumsum().to_numpy(),
                    label="Transfer fee", color="#8172b3", marker=marker)
        ax.set_title("Cumulative costs (share of capital)")
        ax.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=2))
        ax.legend(loc="upper left", fontsize=8, frameon=False)

        for ax in axes.flat:
            ax.grid(alpha=0.3)
            locator = AutoDateLocator(minticks=3, maxticks=8)  # type: ignore[no-untyped-call]
            ax.xaxis.set_major_locator(locator)
            ax.xaxis.set_major_formatter(
                ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]
        return fig

    def chart_png(self) -> bytes:
        """The chart as PNG bytes."""
        from matplotlib.backends.backend_agg import FigureCanvasAgg

        fig = self.figure()
        FigureCanvasAgg(fig)
        buffer = io.BytesIO()
        fig.savefig(buffer, format="png")
        return buffer.getvalue()

    def chart_pngs(self) -> list[tuple[str, bytes]]:
        """(caption, PNG bytes) of the execution chart, for the HTML report."""
        return [("What actually traded", self.chart_png())]

    def file_names(self) -> list[str]:
        return execution_file_names(self.name)

    def _table_writers(self) -> dict[str, Callable[[Path], object]]:
        """File name -> the function writing it, for the four tables."""
        names = self.file_names()
        return {
            names[0]: self._write_trades,
            names[1]: self._write_positions,
            names[2]: self.exposure.to_csv,
            names[3]: self.attribution.to_csv,
        }

    def _write_trades(self, path: Path) -> None:
        """trades.parquet: the side as text, as it always was."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        trades = self.trades
        # Text made by Arrow from the side's two codes: pandas would first make two million
        # Python strings of it.
        side = pa.DictionaryArray.from_arrays(
            pa.array(trades["side"].cat.codes.to_numpy()), pa.array(["buy", "sell"]))
        table = pa.Table.from_pandas(trades.drop(columns="side"), preserve_index=False)
        table = table.add_column(trades.columns.get_loc("side"), "side", side.cast(pa.string()))
        # Only the columns that repeat few values are dictionary-encoded: on prices and
        # amounts the encoder would give up after trying.
        pq.write_table(table, path, use_dictionary=["date", "code", "side"])

    def _write_positions(self, path: Path) -> None:
        """positions.parquet, as ``positions.to_parquet`` writes it, without its cost of a
        quarter of a second to describe five thousand columns one by one for pandas: the
        description of the first column is repeated for the others, all float64."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        positions = self.positions
        model = pa.Table.from_pandas(positions.iloc[:0, :1])
        meta = json.loads(model.schema.metadata[b"pandas"])
        names = [str(code) for code in positions.columns]
        if (len(meta["columns"]) != 2 or model.schema.names != [*names[:1], "date"]
                or not all(positions.dtypes == np.float64)):
            positions.to_parquet(path)
            return
        column, index = meta["columns"]
        meta["columns"] = [{**column, "name": n, "field_name": n} for n in names] + [index]
        date = model.schema.field("date")
        schema = pa.schema([pa.field(n, pa.float64()) for n in names] + [date],
                           metadata={**model.schema.metadata, b"pandas": json.dumps(meta).encode()})
        values = positions.to_numpy()
        columns = [pa.array(values[:, j]) for j in range(values.shape[1])]
        columns.append(pa.array(positions.index.to_numpy(), type=date.type))
        pq.write_table(pa.Table.from_arrays(columns, schema=schema), path)

    def _writers(self) -> dict[str, Callable[[Path], object]]:
        """File name -> the function writing it, the chart included."""
        png = self.chart_png()
        return {**self._table_writers(), self.file_names()[4]: lambda p: p.write_bytes(png)}

    def save(self, directory: str | os.PathLike[str], *, force: bool = False) -> list[Path]:
        """Writes ``trades.parquet``, ``positions.parquet``, ``exposure.csv``,
        ``attribution.csv`` and ``<name>_execution.png``; existing files only with
        ``force``. A failure half-way leaves none of them."""
        check_name_fits(self.name, self.file_names())
        return write_files(directory, self._writers(), force=force)


def _labels(side: np.ndarray, buy: str, sell: str) -> pd.Categorical[str]:
    """A categorical of two labels from the sides (+1 buy, -1 sell)."""
    codes = (np.asarray(side) < 0).astype(np.int8)
    return pd.Categorical.from_codes(codes, categories=pd.Index([buy, sell]))


def _as_datetimes(index: pd.Index) -> pd.DatetimeIndex:
    if isinstance(index, pd.DatetimeIndex):
        return index
    try:
        return pd.DatetimeIndex(pd.to_datetime(index.astype(str), format="%Y%m%d"))
    except (ValueError, TypeError):
        return pd.DatetimeIndex(pd.to_datetime(index))
