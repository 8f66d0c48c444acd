"""``import_daily_bars``: long daily-bar tables -> a factor folder the builder reads.

Two passes keep memory bounded. The first streams every input batch, turns it into numbers
and sorts out unusable rows, and spills the usable ones by calendar year into Arrow files
in the folder being written. The second takes one year at a time (a date x stock grid of
about 250 x 5,300 cells per column), derives what the table lacks with the rules of
``rules.py``, carrying each stock's last close, adjustment factor, trading-day count and
pending ex-date events into the next year, and appends the year to one Parquet file per
factor. The folder is staged beside the target and renamed into place at the end.
"""

from __future__ import annotations

import json
import os
import shutil
import time
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from kestrelia import _dates
from kestrelia.dataservice.bars import codes as codes_mod
from kestrelia.dataservice.bars import rules
from kestrelia.dataservice.bars.columns import (
    FLAG_COLUMNS,
    NON_NEGATIVE_COLUMNS,
    PRICE_CHOICES,
    PRICE_COLUMNS,
    Layout,
    bar_layout,
    parse_column_map,
)
from kestrelia.dataservice.bars.index import write_index_data
from kestrelia.dataservice.bars.reading import (
    DATE_HINT,
    Encoder,
    MalformedRows,
    Rejects,
    TablePaths,
    is_boolean,
    iter_batches,
    numbers,
    table_files,
)
from kestrelia.dataservice.folder import staged_folder
from kestrelia.dataservice.service import _ROW_GROUP_ROWS, _factor_file, exchange_ukey
from kestrelia.errors import InputError

SUMMARY_FILE = "import_summary.json"
UNREADABLE_DATE = "unreadable or missing date"
TEXT_NOT_NUMBER = "text that is not a plain ASCII number"
SPILL_DIR = ".spill"
BUY_FACTOR = "tick_vwap_price_935_1005"
SELL_FACTOR = "tick_vwap_price_925_1000"
# Factors the builder reads; a table column of one of these names would be overwritten.
BUILDER_FACTORS = ("rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
                   BUY_FACTOR, SELL_FACTOR, "split_coefficient_to", "rq_get_dividend",
                   "rq_is_suspended")
_FACTOR_SCHEMA = pa.schema([("ukey", pa.string()), ("date", pa.date32()), ("value", pa.float64())])


def import_daily_bars(
    table: TablePaths,
    out: str | os.PathLike[str],
    *,
    columns: str | dict[str, Any] | None = None,
    buy_price: str | None = None,
    sell_price: str | None = None,
    index_bars: TablePaths | None = None,
    index_members: TablePaths | None = None,
    date_format: str | None = None,
    strict: bool = False,
    overwrite: bool = False,
) -> dict[str, Any]:
    """Imports daily-bar tables (CSV or Parquet files, or folders of them) into a factor
    folder at ``out`` that ``LocalFactorService`` serves and the builder reads; returns the
    import's summary (also written to ``out/import_summary.json``).

    ``columns`` maps standard column names to the table's (``"date=trade_date,code=ts_code"``
    or a dict). ``buy_price`` / ``sell_price``: ``"open"``, ``"close"``, ``"vwap"`` (amount /
    volume) or the name of a price column; by default ``"vwap"`` when the table has amount
    and volume, else ``"open"``. ``index_bars`` (date, index_code, close, optional
    daily_return) and ``index_members`` (date, index_code, code, optional weight) give the
    benchmarks and index components. Dates are read only in forms that cannot be read two
    ways (``YYYYMMDD``, ISO ``YYYY-MM-DD``, 8-digit numbers, date and timestamp columns);
    ``date_format`` (``strptime`` syntax, e.g. ``"%d/%m/%Y"``) reads the text dates of every
    table instead. Rows that cannot be used are counted by reason in the summary; with
    ``strict`` the first one raises ``InputError`` instead.
    """
    started = time.perf_counter()
    if date_format is not None:
        problem = _dates.format_problem(date_format) if isinstance(date_format, str) \
            else f"the date format must be text, not {type(date_format).__name__}"
        if problem:
            raise InputError(problem)
    mapping = parse_column_map(columns)
    files = table_files(table, "daily-bar table")
    _check_apart(out, [table, index_bars, index_members])
    choices: dict[str, str | None] = {}
    for side, value in (("buy", buy_price), ("sell", sell_price)):
        if value is not None and (not isinstance(value, str) or not value):
            raise InputError(f"{side}_price must be a column name or one of {PRICE_CHOICES}")
        choices[side] = value
    wanted = tuple(v for v in choices.values() if v is not None and v not in PRICE_CHOICES)
    layout = bar_layout(files, mapping, wanted)
    clash = [c for c in layout.extras if c in BUILDER_FACTORS]
    if clash:
        raise InputError(f"the table column {clash[0]!r} has the name of a factor the import "
                         "writes; rename it with --columns or drop it")
    has_vwap = "amount" in layout.sources and "volume" in layout.sources
    prices: dict[str, str] = {}
    for side, value in choices.items():
        if value is None:
            value = "vwap" if has_vwap else "open"
        elif value == "vwap" and not has_vwap:
            raise InputError(f"--{side}-price vwap needs the amount and volume columns")
        prices[side] = value
    rejects = Rejects(strict=bool(strict))
    with staged_folder(out, overwrite) as folder:
        spill = _Spill(folder / SPILL_DIR)
        reader = _BarReader(layout, rejects, prices, date_format)
        for path in files:
            reader.read_file(path, spill)
        spill.close()
        if not reader.dates:
            hint = "" if UNREADABLE_DATE not in rejects.counts or date_format \
                else "; " + DATE_HINT
            raise InputError("the daily-bar table holds no usable row"
                             + (f" ({rejects.total} rows rejected: "
                                + ", ".join(rejects.counts) + ")" if rejects.total else "")
                             + hint)
        reader.drop_lone_dates(spill)
        deriver = _Deriver(layout, reader, prices, rejects, folder)
        try:
            for year in sorted(spill.paths):
                deriver.year(spill.read(year))
        finally:
            derived = deriver.finish()
        shutil.rmtree(folder / SPILL_DIR)
        calendar = deriver.calendar
        index = write_index_data(folder, index_bars, index_members, mapping, calendar,
                                 deriver.ukeys, rejects, date_format)
        summary = {
            "folder": str(Path(out).expanduser()),
            "files": len(files),
            "rows_read": reader.rows_read,
            "rows_used": reader.rows_read - rejects.total - deriver.merged,
            "rows_rejected": rejects.total,
            "rejected": rejects.report(),
            "identical_duplicates_merged": deriver.merged,
            "date_format": date_format,
            "first_date": codes_mod.days_to_date(calendar[0]).isoformat(),
            "last_date": codes_mod.days_to_date(calendar[-1]).isoformat(),
            "dates": len(calendar),
            "codes": len(deriver.ukeys),
            "columns": dict(layout.sources),
            "extra_factors": list(layout.extras),
            "unused_columns": list(layout.unused),
            "factors": deriver.writer.rows,
            "derived": derived,
            "index": index,
            "seconds": round(time.perf_counter() - started, 3),
        }
        (folder / SUMMARY_FILE).write_text(json.dumps(summary, indent=2, ensure_ascii=False) + "\n")
    return summary


def _check_apart(out: str | os.PathLike[str], inputs: list[TablePaths | None]) -> None:
    """Refuses an output folder that is, holds or lies inside an input: replacing it would
    delete the user's tables, or a later import would read factor files as tables."""
    target = Path(out).expanduser().resolve()
    for given in inputs:
        if given is None:
            continue
        for item in [given] if isinstance(given, (str, os.PathLike)) else list(given):
            path = Path(item).expanduser().resolve()
            if path == target or target in path.parents or path in target.parents:
                raise InputError(f"the output folder {target} and the input {path} overlap; "
                                 "write the import to a folder of its own")


class _Spill:
    """Usable rows as numbers, one Arrow file per calendar year."""

    def __init__(self, folder: Path):
        self.folder = folder
        folder.mkdir()
        self.paths: dict[int, Path] = {}
        self.writers: dict[int, pa.ipc.RecordBatchFileWriter] = {}
        self.schema: pa.Schema | None = None

    def write(self, year: int, batch: pa.RecordBatch) -> None:
        if year not in self.writers:
            self.paths[year] = self.folder / f"{year}.arrow"
            self.writers[year] = pa.ipc.new_file(str(self.paths[year]), batch.schema)
        self.writers[year].write_batch(batch)

    def close(self) -> None:
        for writer in self.writers.values():
            writer.close()

    def read(self, year: int) -> pa.Table:
        with pa.memory_map(str(self.paths[year])) as source:
            return pa.ipc.open_file(source).read_all()


# A price of 0 on a row that trades is an error in the table, not a suspension.
ZERO_CHECKED = ("close", "open", "high", "low")


class _BarReader:
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
        kind = column.type
        if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
            days = pc.cast(column, pa.date32()).cast(pa.int32())
            result: np.ndarray = days.cast(pa.float64()).fill_null(np.nan).to_numpy(
                zero_copy_only=False)
            return result
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

    def read_file(self, path: Path, spill: _Spill) -> None:
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
                           else "negative volume, amount or dividend",
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

    def drop_lone_dates(self, spill: _Spill) -> None:
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


class _FactorWriter:
    """One Parquet file per factor, appended a year at a time in date then stock order.

    Writing runs on one worker thread (pyarrow encodes and compresses without the GIL), so
    a year's files are written while the next year is derived; ``flush`` waits for what
    was handed over before, which keeps at most one year in flight.
    """

    def __init__(self, folder: Path, ukeys: np.ndarray):
        self.folder = folder
        self.ukeys = pa.array(ukeys, pa.string())
        self.writers: dict[str, pq.ParquetWriter] = {}
        self.rows: dict[str, int] = {}
        self.pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="factor-writer")
        self.pending: list[Future[None]] = []

    def write(self, name: str, grid: np.ndarray, days: np.ndarray,
              within: tuple[np.ndarray, ...] | None = None) -> None:
        """Appends the finite cells of ``grid``; ``within``: the cells (row-major, as
        ``np.nonzero`` gives them) outside which the grid holds nothing, to search only
        those."""
        if within is None:
            rows, cols = np.nonzero(np.isfinite(grid))
        else:
            # Flat positions: one gather instead of a two-array fancy index.
            flat = within[0] * grid.shape[1] + within[1]
            keep = np.isfinite(grid.ravel().take(flat))
            rows, cols = within[0][keep], within[1][keep]
        self.rows[name] = self.rows.get(name, 0) + len(rows)
        if len(rows) == 0:
            return
        self.pending.append(self.pool.submit(self._append, name, rows, cols, grid[rows, cols],
                                             days))

    def _append(self, name: str, rows: np.ndarray, cols: np.ndarray, values: np.ndarray,
                days: np.ndarray) -> None:
        table = pa.table({
            "ukey": self.ukeys.take(pa.array(cols)),
            "date": pa.array(days[rows].astype(np.int32), pa.int32()).cast(pa.date32()),
            "value": pa.array(values, pa.float64()),
        }, schema=_FACTOR_SCHEMA)
        if name not in self.writers:
            # Statistics only for the dates the service filters on: less work per file.
            self.writers[name] = pq.ParquetWriter(_factor_file(self.folder, name), _FACTOR_SCHEMA,
                                                  write_statistics=["date"])
        self.writers[name].write_table(table, row_group_size=_ROW_GROUP_ROWS)

    def flush(self) -> None:
        pending, self.pending = self.pending, []
        for future in pending:
            future.result()

    def close(self) -> None:
        try:
            self.flush()
        finally:
            self.pool.shutdown(wait=True, cancel_futures=True)
            for writer in self.writers.values():
                writer.close()


def _ffill(grid: np.ndarray, first: np.ndarray) -> np.ndarray:
    """Rows of ``[first; grid]`` with each NaN replaced by the last value above it."""
    stacked = np.vstack([first[None, :], grid])
    index = np.where(np.isnan(stacked), 0, np.arange(len(stacked))[:, None])
    np.maximum.accumulate(index, axis=0, out=index)
    return np.take_along_axis(stacked, index, axis=0)


class _Deriver:
    """Second pass: a year of rows -> grids -> derived factors, with state across years."""

    def __init__(self, layout: Layout, reader: _BarReader, choices: dict[str, str],
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
        self.writer = _FactorWriter(folder, self.ukeys)
        self.merged = 0
        self.vwap_scale: float | None = None
        self.counts = {k: 0 for k in ("suspended flag", "zero volume", "missing price",
                                      "missing row", "limits derived", "no limit (listing days)",
                                      "splits", "dividends", "events moved to next trading day",
                                      "traded without buy price", "traded without sell price")}

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
        for side, factor in (("buy", BUY_FACTOR), ("sell", SELL_FACTOR)):
            price = self._price(self.choices[side], grid, close, traded)
            counts[f"traded without {side} price"] += int((traded & ~np.isfinite(price)).sum())
            prices[factor] = price

        industry = grid["industry"] if have("industry") else np.where(present, 0.0, np.nan)
        self.writer.flush()
        write = self.writer.write
        on_traded, on_present = np.nonzero(traded), np.nonzero(present)
        write("Close", traded_close, days, on_traded)
        write("Open", np.where(traded & (grid["open"] > 0), grid["open"], np.nan), days, on_traded)
        write("limit_up", limits["limit_up"], days, on_traded)
        write("limit_down", limits["limit_down"], days, on_traded)
        for factor, price in prices.items():
            write(factor, price, days, on_traded)
        write("split_coefficient_to", ratio * 10.0, days)
        # Per ten shares; rounded to 1e-6 so that a per-share amount read back from text
        # gives the same number as the per-ten-shares amount it came from.
        write("rq_get_dividend", np.round(dividend * 10.0, 6), days)
        write("rq_is_suspended", np.where(traded, 1.0, np.where(suspended, 0.0, np.nan)), days)
        write("rq_industry_exposure_new", industry, days, on_present)
        for name in self.layout.extras:
            write(name, grid[name], days, on_present)

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
