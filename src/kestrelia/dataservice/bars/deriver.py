"""The second pass of an import: one year of spilled rows at a time becomes date x stock
grids, from which every factor the table lacks is derived (with the rules of ``rules.py``)
and written. Each stock's last close, adjustment factor, trading-day count and pending
ex-date events carry over into the next year."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from kestrelia import _names
from kestrelia.dataservice.bars import codes as codes_mod
from kestrelia.dataservice.bars import rules
from kestrelia.dataservice.bars.bar_reader import BarReader
from kestrelia.dataservice.bars.columns import Layout
from kestrelia.dataservice.bars.factor_writer import FactorWriter
from kestrelia.dataservice.bars.reading import Rejects
from kestrelia.dataservice.service import exchange_ukey
from kestrelia.errors import InputError

# Table columns kept as the factor of the same name: as given, or only where above 0 (a
# price of 0 is a suspended row's filler, and a pre_close of 0 means none was given).
STORED_AS_GIVEN = (_names.VOLUME, _names.AMOUNT, _names.MARKET_VALUE, _names.FLOAT_MARKET_VALUE)
STORED_WHERE_POSITIVE = (_names.HIGH, _names.LOW, _names.PRE_CLOSE, _names.ADJ_FACTOR)
# A VWAP this close (relative) to the day's limit price is that price.
VWAP_AT_LIMIT = 1e-9


def _ffill(grid: np.ndarray, first: np.ndarray) -> np.ndarray:
    """Rows of ``[first; grid]`` with each NaN replaced by the last value above it."""
    stacked = np.vstack([first[None, :], grid])
    index = np.where(np.isnan(stacked), 0, np.arange(len(stacked))[:, None])
    np.maximum.accumulate(index, axis=0, out=index)
    return np.take_along_axis(stacked, index, axis=0)


class Deriver:
    """Second pass: a year of rows -> grids -> derived factors, with state across years."""

    def __init__(self, layout: Layout, reader: BarReader, choices: dict[str, str],
                 rejects: Rejects,
                 folder: Path):
        self.layout = layout
        self.rejects = rejects
        self.choices = choices
        self.files = reader.files
        self.calendar = np.array(sorted(reader.dates), dtype=np.int64)
        self.lone = reader.lone
        keys = reader.codes.keys
        first_day, last_day = reader.spans()
        # Codes whose every row was rejected have no place in the folder.
        used = np.flatnonzero(first_day <= last_day)
        order = used[np.argsort(np.array([keys[i] for i in used], dtype=object), kind="stable")]
        self.codes = [keys[i] for i in order]
        self.rank = np.full(len(keys), -1, dtype=np.int64)
        self.rank[order] = np.arange(len(order))
        self.ukeys = np.array([exchange_ukey(c) for c in self.codes], dtype=object)
        first = first_day[order]
        last = last_day[order]
        self.first_pos = np.searchsorted(self.calendar, first)
        self.last_pos = np.searchsorted(self.calendar, last)
        listing = np.where(first > self.calendar[0], first, -1)
        self.free_days = rules.free_listing_days(self.codes, listing)
        n = len(self.codes)
        self.last_close = np.full(n, np.nan)
        self.last_adj = np.full(n, np.nan)
        self.traded_days = np.zeros(n, dtype=np.int64)
        self.pending = (np.ones(n), np.zeros(n))
        self.writer = FactorWriter(folder, self.ukeys)
        self.merged = 0
        self.vwap_scale: float | None = None
        self.counts = {k: 0 for k in ("suspended flag", "zero volume", "missing price",
                                      "missing row", "limits derived", "no limit (listing days)",
                                      "splits", "dividends", "events moved to next trading day",
                                      "traded without buy price", "traded without sell price",
                                      "buy vwap set to the limit price",
                                      "sell vwap set to the limit price",
                                      "buy vwap beyond the limits, set to the limit",
                                      "sell vwap beyond the limits, set to the limit")}

    # -- one year ------------------------------------------------------------------------

    def _rows(self, table: pa.Table, days: np.ndarray
              ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Positions of the usable rows in the year's grid; conflicting duplicates
        rejected, identical ones merged."""
        n_codes = len(self.codes)
        d = np.searchsorted(days, table.column("d").to_numpy())
        c = self.rank[table.column("c").to_numpy()]
        cell = d.astype(np.int64) * n_codes + c
        order = np.argsort(cell, kind="stable")
        sorted_cell = cell[order]
        starts = np.flatnonzero(np.r_[True, sorted_cell[1:] != sorted_cell[:-1]])
        keep = order[starts]
        sizes = np.diff(np.r_[starts, len(order)])
        if (sizes > 1).any():
            values = np.column_stack([table.column(v).to_numpy() for v in self.layout.values]) \
                if self.layout.values else np.zeros((len(cell), 0))
            values = values[order]
            head = np.repeat(starts, sizes)
            same = ((values == values[head]) | (np.isnan(values) & np.isnan(values[head]))).all(axis=1)
            group_same = np.logical_and.reduceat(same, starts)
            conflict = ~group_same
            in_conflict = np.repeat(conflict, sizes)
            bad_rows = order[in_conflict]
            if len(bad_rows):
                f = table.column("f").to_numpy()
                r = table.column("r").to_numpy()
                examples = [f"{Path(self.files[f[i]]).name} row {r[i]}: "
                            f"{self.codes[c[i]]} on {codes_mod.days_to_date(days[d[i]])}"
                            for i in bad_rows[:3]]
                self.rejects.add("duplicate stock and day with different values",
                                 len(bad_rows), examples)
            self.merged += int((sizes[group_same] - 1).sum())
            keep = keep[group_same]
        return keep, d, c

    def year(self, table: pa.Table) -> None:
        if len(self.lone):
            table = table.filter(pa.array(~np.isin(table.column("d").to_numpy(), self.lone)))
        if table.num_rows == 0:
            return
        all_days = self.calendar
        day_numbers = table.column("d").to_numpy()
        lo = np.searchsorted(all_days, day_numbers.min())
        hi = np.searchsorted(all_days, day_numbers.max(), side="right")
        days = all_days[lo:hi]
        keep, d, c = self._rows(table, days)
        shape = (len(days), len(self.codes))
        flat = d[keep].astype(np.int64) * shape[1] + c[keep]
        present = np.zeros(shape, dtype=bool)
        present.ravel()[flat] = True
        grid = {}
        for name in self.layout.values:
            g = np.full(shape, np.nan)
            g.ravel()[flat] = table.column(name).to_numpy()[keep]
            grid[name] = g
        self._derive(grid, present, days, np.arange(lo, hi))

    def _derive(self, grid: dict[str, np.ndarray], present: np.ndarray, days: np.ndarray, pos: np.ndarray) -> None:
        have = grid.__contains__
        close = np.where(grid["close"] > 0, grid["close"], np.nan)
        flagged = present & (grid["suspended"] > 0) if have("suspended") else np.zeros_like(present)
        zero_volume = present & (grid["volume"] == 0) & ~flagged if have("volume") \
            else np.zeros_like(present)
        no_price = present & ~flagged & ~zero_volume & ~np.isfinite(close)
        traded = present & ~flagged & ~zero_volume & np.isfinite(close)
        in_life = (pos[:, None] >= self.first_pos[None, :]) & (pos[:, None] <= self.last_pos[None, :])
        suspended = in_life & ~traded
        counts = self.counts
        counts["suspended flag"] += int(flagged.sum())
        counts["zero volume"] += int(zero_volume.sum())
        counts["missing price"] += int(no_price.sum())
        counts["missing row"] += int((in_life & ~present).sum())

        traded_close = np.where(traded, close, np.nan)
        filled = _ffill(traded_close, self.last_close)
        prev_close = filled[:-1]
        self.last_close = filled[-1].copy()
        pre_close = np.where(grid["pre_close"] > 0, grid["pre_close"], np.nan) \
            if have("pre_close") else None

        # Splits and dividends.
        if have("split_ratio") or have("dividend"):
            ratio = np.where(grid["split_ratio"] != 1, grid["split_ratio"], np.nan) \
                if have("split_ratio") else np.full(close.shape, np.nan)
            dividend = np.where(grid["dividend"] > 0, grid["dividend"], np.nan) \
                if have("dividend") else np.full(close.shape, np.nan)
        elif have("adj_factor") or pre_close is not None:
            adj_ratio = None
            if have("adj_factor"):
                adj = np.where(traded & (grid["adj_factor"] > 0), grid["adj_factor"], np.nan)
                adj_filled = _ffill(adj, self.last_adj)
                self.last_adj = adj_filled[-1].copy()
                with np.errstate(invalid="ignore", divide="ignore"):
                    adj_ratio = np.where(traded, adj / adj_filled[:-1], np.nan)
            ratio, dividend = rules.infer_events(prev_close, pre_close, adj_ratio)
        else:
            ratio = dividend = np.full(close.shape, np.nan)
        moved = int(((np.isfinite(ratio) | np.isfinite(dividend)) & ~traded).sum())
        ratio, dividend = rules.carry_events(ratio, dividend, traded, self.pending)
        counts["events moved to next trading day"] += moved
        counts["splits"] += int(np.isfinite(ratio).sum())
        counts["dividends"] += int(np.isfinite(dividend).sum())

        # Price limits.
        number = self.traded_days + np.cumsum(traded, axis=0)
        self.traded_days = number[-1].copy() if len(number) else self.traded_days
        limits = {}
        for name in ("limit_up", "limit_down"):
            if have(name):
                limits[name] = np.where(traded & (grid[name] > 0), grid[name], np.nan)
        if len(limits) < 2:
            with np.errstate(invalid="ignore", divide="ignore"):
                carried = np.where(np.isfinite(ratio), prev_close / ratio, prev_close) \
                    - np.nan_to_num(dividend)
            reference = np.where(np.isfinite(pre_close), pre_close, carried) \
                if pre_close is not None else carried
            st = np.nan_to_num(grid["is_st"]) if have("is_st") else np.zeros(close.shape)
            rates = rules.limit_rates(self.codes, days, st)
            free = traded & (number <= self.free_days[None, :])
            rates[free] = 0
            up, down = rules.limit_prices(np.where(traded, reference, np.nan), rates)
            limits.setdefault("limit_up", up)
            limits.setdefault("limit_down", down)
            counts["limits derived"] += int(np.isfinite(up).sum())
            counts["no limit (listing days)"] += int(free.sum())

        # Trade prices.
        prices = {}
        for side, factor in (("buy", _names.BUY_PRICE), ("sell", _names.SELL_PRICE)):
            price = self._price(self.choices[side], grid, close, traded)
            if self.choices[side] == "vwap":
                price = self._at_limits(price, limits, side)
            counts[f"traded without {side} price"] += int((traded & ~np.isfinite(price)).sum())
            prices[factor] = price

        industry = grid["industry"] if have("industry") else np.where(present, 0.0, np.nan)
        self.writer.flush()
        write = self.writer.write
        on_traded, on_present = np.nonzero(traded), np.nonzero(present)
        write(_names.CLOSE, traded_close, days, on_traded)
        write(_names.OPEN, np.where(traded & (grid["open"] > 0), grid["open"], np.nan), days, on_traded)
        write(_names.LIMIT_UP, limits["limit_up"], days, on_traded)
        write(_names.LIMIT_DOWN, limits["limit_down"], days, on_traded)
        for factor, price in prices.items():
            write(factor, price, days, on_traded)
        write(_names.SPLIT, ratio * 10.0, days)
        # Per ten shares; rounded to 1e-6 so that a per-share amount read back from text
        # gives the same number as the per-ten-shares amount it came from.
        write(_names.DIVIDEND, np.round(dividend * 10.0, 6), days)
        write(_names.SUSPENDED, np.where(traded, 1.0, np.where(suspended, 0.0, np.nan)), days)
        write(_names.INDUSTRY, industry, days, on_present)
        for name in STORED_AS_GIVEN:
            if have(name):
                write(name, grid[name], days, on_present)
        for name in STORED_WHERE_POSITIVE:
            if have(name):
                write(name, np.where(grid[name] > 0, grid[name], np.nan), days, on_present)
        if have("is_st"):
            write(_names.ST_FLAG, grid["is_st"], days, on_present)
        # Calendar days of the table from each stock's first row, over suspensions too.
        write(_names.LISTED_DAYS, np.where(in_life, pos[:, None] - self.first_pos[None, :] + 1.0,
                                           np.nan), days)
        for name in self.layout.extras:
            write(name, grid[name], days, on_present)

    def _at_limits(self, price: np.ndarray, limits: dict[str, np.ndarray], side: str) -> np.ndarray:
        """``price`` with each VWAP that is the day's limit price up to rounding set to that
        price. amount / volume of a day locked at 9.76 comes out as 9.760000000000002, and
        the store compares the trade price with the limit exactly: the locked day would
        become tradable."""
        for limit in (limits["limit_up"], limits["limit_down"]):
            with np.errstate(invalid="ignore"):
                near = (np.abs(price - limit) <= VWAP_AT_LIMIT * np.abs(limit)) & (price != limit)
            self.counts[f"{side} vwap set to the limit price"] += int(near.sum())
            price = np.where(near, limit, price)
        # Nothing trades beyond the limits: a VWAP there is a row whose amount or volume is
        # in other units than the table's (ten times the close, say), and read as it is it
        # would be a tradable price above the limit-up. It is the limit price.
        with np.errstate(invalid="ignore"):
            above = price > limits["limit_up"]
            below = price < limits["limit_down"]
        self.counts[f"{side} vwap beyond the limits, set to the limit"] += int((above | below).sum())
        price = np.where(above, limits["limit_up"], np.where(below, limits["limit_down"], price))
        return price

    def _price(self, choice: str, grid: dict[str, np.ndarray], close: np.ndarray, traded: np.ndarray) -> np.ndarray:
        if choice == "close":
            price = close
        elif choice == "vwap":
            if self.vwap_scale is None:
                scale = rules.vwap_scale(grid["amount"][traded], grid["volume"][traded],
                                         close[traded])
                if scale is None:
                    with np.errstate(invalid="ignore", divide="ignore"):
                        typical = np.nanmedian(grid["amount"][traded] / grid["volume"][traded]
                                               / close[traded])
                    raise InputError(
                        f"amount / volume is no price: it is typically {typical:.4g} times the "
                        "close; check the units of amount and volume, or choose "
                        "--buy-price/--sell-price open")
                self.vwap_scale = scale
            with np.errstate(invalid="ignore", divide="ignore"):
                price = grid["amount"] / grid["volume"] * self.vwap_scale
        else:
            price = grid[choice]
        return np.where(traded & (price > 0), price, np.nan)

    def finish(self) -> dict[str, Any]:
        self.writer.close()
        derived: dict[str, Any] = dict(self.counts)
        derived["buy price"] = self.choices["buy"]
        derived["sell price"] = self.choices["sell"]
        if self.vwap_scale is not None:
            derived["vwap scale"] = self.vwap_scale
        derived["limits"] = ("from the table" if {"limit_up", "limit_down"} <= set(self.layout.sources)
                             else "from the board, the date and the reference price")
        derived["splits and dividends"] = (
            "from the table" if {"split_ratio", "dividend"} & set(self.layout.sources)
            else "from adj_factor changes" if "adj_factor" in self.layout.sources
            else "from pre_close against the previous close" if "pre_close" in self.layout.sources
            else "none (no column to read them from)")
        derived["industry"] = ("from the table" if "industry" in self.layout.sources
                               else "none given: every stock in industry 0")
        return derived
