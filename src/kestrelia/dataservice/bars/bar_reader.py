"""The first pass of an import: every batch of the daily-bar files turned into numbers, the
rows that cannot be used counted by reason, the usable ones spilled by year."""

from __future__ import annotations

from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from kestrelia.dataservice.bars import codes as codes_mod
from kestrelia.dataservice.bars import rules
from kestrelia.dataservice.bars.columns import (
    FLAG_COLUMNS,
    NON_NEGATIVE_COLUMNS,
    PRICE_CHOICES,
    PRICE_COLUMNS,
    Layout,
)
from kestrelia.dataservice.bars.reading import (
    DATE_HINT,
    Encoder,
    MalformedRows,
    Rejects,
    date_type_days,
    is_boolean,
    is_date_type,
    iter_batches,
    numbers,
)
from kestrelia.dataservice.bars.spill import Spill

UNREADABLE_DATE = "unreadable or missing date"
TEXT_NOT_NUMBER = "text that is not a plain ASCII number"
# A price of 0 on a row that trades is an error in the table, not a suspension.
ZERO_CHECKED = ("close", "open", "high", "low")


class BarReader:
    """First pass: batches -> numbers, rejected rows, spilled by year."""

    def __init__(self, layout: Layout, rejects: Rejects, prices: dict[str, str],
                 date_format: str | None):
        self.layout = layout
        self.rejects = rejects
        self.codes = Encoder(codes_mod.stock_code, ids=True)
        self.flags = Encoder(codes_mod.flag, ids=False)
        self.industries = Encoder(lambda v: None if v is None else str(v).strip() or None,
                                  ids=True)
        self.rows_read = 0
        self.dates: set[int] = set()
        self.first_day = np.zeros(0, dtype=np.int64)
        self.last_day = np.zeros(0, dtype=np.int64)
        self.files: list[str] = []
        self.date_encoder = Encoder(partial(codes_mod.date_days, date_format=date_format),
                                    ids=False)
        self.date_hint = None if date_format else DATE_HINT
        chosen = [c for c in prices.values() if c not in PRICE_CHOICES]
        self.prices = set(PRICE_COLUMNS) | set(chosen)
        self.zero_checked = [c for c in (*ZERO_CHECKED, *chosen) if c in layout.values]
        self.zero_checked = list(dict.fromkeys(self.zero_checked))
        self.vwap = "vwap" in prices.values()
        self.lone: np.ndarray = np.zeros(0, dtype=np.int64)

    def _day_numbers(self, column: pa.Array) -> np.ndarray:
        if is_date_type(column.type):
            return date_type_days(column)
        return self.date_encoder.encode(column)

    def _values(self, name: str, column: pa.Array) -> tuple[np.ndarray, np.ndarray, str]:
        """The column's numbers, the rows whose value cannot be read, and why."""
        if name in FLAG_COLUMNS:
            values = self.flags.encode(column)
            empty = column.is_null(nan_is_null=True).to_numpy(zero_copy_only=False)
            unreadable = np.isnan(values) & ~empty
            values[empty] = 0.0
            return values, unreadable, "not a yes/no value"
        if is_boolean(column):
            # True and False are no prices, volumes or industries: the table's columns are
            # mixed up, and 1/0 read from them would be used without a word.
            valid = column.is_valid().to_numpy(zero_copy_only=False)
            return np.full(len(column), np.nan), valid, "boolean column where a number is needed"
        if name == "industry":
            values, text = numbers(column)
            if not text.any():
                return values, text, TEXT_NOT_NUMBER
            # Industry names: numbered 1, 2, ... in order of first appearance.
            return (self.industries.encode(column) + 1.0, np.zeros(len(column), dtype=bool),
                    TEXT_NOT_NUMBER)
        values, text = numbers(column)
        return values, text, TEXT_NOT_NUMBER

    def read_file(self, path: Path, spill: Spill) -> None:
        layout = self.layout
        types = layout.per_file[path]
        file_id = len(self.files)
        self.files.append(str(path))
        present = {name: source for name, source in layout.sources.items() if source in types}
        present.update({name: name for name in layout.extras if name in types})
        read = list(dict.fromkeys(present.values()))
        malformed = MalformedRows(path, self.rejects)
        for batch, rows in iter_batches(path, read, malformed):
            n = batch.num_rows
            self.rows_read += n
            column = {name: batch.column(source) for name, source in present.items()}

            def example(mask: np.ndarray, name: str, _rows: np.ndarray = rows,
                        _column: dict[str, Any] = column) -> list[str]:
                picks = np.flatnonzero(mask)[:3]
                return [f"{path.name} row {_rows[i]}: {layout.source(name)}="
                        f"{_column[name][int(i)].as_py()!r}" for i in picks]

            ok = np.ones(n, dtype=bool)
            # A strict import stops at the batch's first bad row, whichever check finds it.
            first: list[tuple[int, str, str, str | None]] = []

            def reject(reason: str, bad: np.ndarray, name: str, hint: str | None = None,
                       _ok: np.ndarray = ok, _first: list[Any] = first) -> None:
                """Counts the rows of ``bad`` (still usable until now) and drops them."""
                if not bad.any():
                    return
                if self.rejects.strict:
                    at = int(np.flatnonzero(bad)[0])
                    only = np.zeros(len(bad), dtype=bool)
                    only[at] = True
                    _first.append((at, reason, example(only, name)[0], hint))
                else:
                    self.rejects.add(reason, int(bad.sum()), example(bad, name), hint)
                _ok[bad] = False

            days = self._day_numbers(column["date"])
            reject(UNREADABLE_DATE, np.isnan(days), "date", self.date_hint)
            code_ids = self.codes.encode(column["code"])
            reject("unreadable stock code", ok & np.isnan(code_ids), "code")
            values = {}
            for name in layout.values:
                if name not in column:
                    values[name] = np.full(n, np.nan)
                    continue
                values[name], unreadable, reason = self._values(name, column[name])
                reject(reason, ok & unreadable, name)
                if name not in FLAG_COLUMNS:
                    reject("non-finite price" if name in self.prices else "non-finite number",
                           ok & np.isinf(values[name]), name)
                if name in PRICE_COLUMNS or name in NON_NEGATIVE_COLUMNS:
                    reject("negative price" if name in PRICE_COLUMNS
                           else "negative volume, amount, dividend or market value",
                           ok & (values[name] < 0), name)
                elif name == "split_ratio":
                    reject("split ratio not above 0", ok & (values[name] <= 0), name)
            self._zero_prices(values, ok, reject)
            if first:
                _, reason, shown, hint = min(first)
                self.rejects.add(reason, 1, [shown], hint)
            if not ok.any():
                continue
            day = days[ok].astype(np.int64)
            code = code_ids[ok].astype(np.int64)
            self._track(day, code)
            arrays = {"d": pa.array(day.astype(np.int32)), "c": pa.array(code.astype(np.int32)),
                      "f": pa.array(np.full(len(day), file_id, dtype=np.int32)),
                      "r": pa.array(rows[ok])}
            arrays.update({name: pa.array(values[name][ok]) for name in layout.values})
            part = pa.RecordBatch.from_pydict(arrays)
            years = day.astype("datetime64[D]").astype("datetime64[Y]").astype(np.int64) + 1970
            for year in np.unique(years):
                pick = np.flatnonzero(years == year)
                spill.write(int(year), part.take(pa.array(pick)))
        self.rows_read += malformed.count

    def _zero_prices(self, values: dict[str, np.ndarray], ok: np.ndarray,
                     reject: Callable[..., None]) -> None:
        """Rejects a price of 0 on a row that trades. A suspended row (flagged, or with a
        volume of 0) carries no prices, and some tables fill them with zeros; a row without
        a close is a suspension already."""
        quiet = np.zeros(len(ok), dtype=bool)
        if "suspended" in values:
            quiet |= values["suspended"] > 0
        if "volume" in values:
            quiet |= values["volume"] == 0
        close = values["close"]
        for name in self.zero_checked:
            trading = ok & ~quiet & (name == "close" or np.isfinite(close))
            reject("zero price", trading & (values[name] == 0), name)
        if self.vwap and "amount" in values and "volume" in values:
            # amount / volume is the trade price: an amount of 0 makes it 0.
            reject("zero price", ok & ~quiet & np.isfinite(close) & (values["amount"] == 0),
                   "amount")

    def _track(self, day: np.ndarray, code: np.ndarray) -> None:
        self.dates.update(np.unique(day).tolist())
        count = len(self.codes.keys)
        if len(self.first_day) < count:
            grow = count - len(self.first_day)
            self.first_day = np.concatenate([self.first_day, np.full(grow, np.iinfo(np.int64).max)])
            self.last_day = np.concatenate([self.last_day, np.full(grow, np.iinfo(np.int64).min)])
        np.minimum.at(self.first_day, code, day)
        np.maximum.at(self.last_day, code, day)

    def spans(self) -> tuple[np.ndarray, np.ndarray]:
        """First and last day of each code id (first > last for a code without rows)."""
        count = len(self.codes.keys)
        grow = count - len(self.first_day)
        return (np.r_[self.first_day, np.full(grow, np.iinfo(np.int64).max)],
                np.r_[self.last_day, np.full(grow, np.iinfo(np.int64).min)])

    def drop_lone_dates(self, spill: Spill) -> None:
        """Rejects the rows of lone dates (see ``rules.lone_dates``) and takes those dates
        out of the calendar and out of each stock's first and last day."""
        lone = rules.lone_dates(np.array(sorted(self.dates), dtype=np.int64))
        if not len(lone):
            return
        self.lone = lone
        self.dates.difference_update(lone.tolist())
        count, examples, touched = 0, list[str](), list[np.ndarray]()
        for year in sorted(spill.paths):
            table = spill.read(year)
            d = table.column("d").to_numpy()
            bad = np.flatnonzero(np.isin(d, lone))
            if not len(bad):
                continue
            c, f, r = (table.column(k).to_numpy() for k in ("c", "f", "r"))
            count += len(bad)
            examples += [f"{Path(self.files[f[i]]).name} row {r[i]}: {self.codes.keys[c[i]]} on "
                         f"{codes_mod.days_to_date(d[i])}" for i in bad[: 3 - len(examples)]]
            touched.append(np.unique(c[bad]))
        self.rejects.add(f"date more than {rules.LONE_DATE_GAP} days from the table's other "
                         "dates", count, examples)
        # The stocks that traded on a lone date: first and last day from their other rows.
        stocks = np.unique(np.concatenate(touched))
        self.first_day[stocks] = np.iinfo(np.int64).max
        self.last_day[stocks] = np.iinfo(np.int64).min
        for year in sorted(spill.paths):
            table = spill.read(year)
            d, c = table.column("d").to_numpy(), table.column("c").to_numpy()
            pick = np.isin(c, stocks) & ~np.isin(d, lone)
            np.minimum.at(self.first_day, c[pick], d[pick].astype(np.int64))
            np.maximum.at(self.last_day, c[pick], d[pick].astype(np.int64))
