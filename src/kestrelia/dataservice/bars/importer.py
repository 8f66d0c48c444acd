"""``import_daily_bars``: long daily-bar tables -> a factor folder the builder reads.

Two passes keep memory bounded. The first (``bar_reader.py``) streams every input batch,
turns it into numbers and sorts out unusable rows, and spills the usable ones by calendar
year into Arrow files in the folder being written (``spill.py``). The second
(``deriver.py``) takes one year at a time (a date x stock grid of about 250 x 5,300 cells
per column), derives what the table lacks and appends the year to one Parquet file per
factor (``factor_writer.py``). The folder is staged beside the target and renamed into place
at the end.
"""

from __future__ import annotations

import json
import os
import shutil
import time
from pathlib import Path
from typing import Any

from kestrelia import _dates, _names
from kestrelia.dataservice.bars import codes as codes_mod
from kestrelia.dataservice.bars.bar_reader import UNREADABLE_DATE, BarReader
from kestrelia.dataservice.bars.columns import (
    PRICE_CHOICES,
    TEXT_COLUMNS,
    bar_layout,
    parse_column_map,
)
from kestrelia.dataservice.bars.deriver import Deriver
from kestrelia.dataservice.bars.index import write_index_data
from kestrelia.dataservice.bars.reading import DATE_HINT, Rejects, TablePaths, table_files
from kestrelia.dataservice.bars.spill import SPILL_DIR, Spill
from kestrelia.dataservice.folder import SUMMARY_FILE, staged_folder
from kestrelia.errors import InputError

__all__ = ["SUMMARY_FILE", "UNREADABLE_DATE", "import_daily_bars"]

# Factors the import writes itself; a table column of one of these names would be overwritten.
WRITTEN_FACTORS = (*_names.BUILD_INPUT_NAMES, *_names.IMPORTED_FIELDS)


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
    index_columns: str | dict[str, Any] | None = None,
    index_date_format: str | None = None,
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
    benchmarks and index components; ``index_columns`` maps their standard names as
    ``columns`` does the daily bars'. Dates are read only in forms that cannot be read two
    ways (``YYYYMMDD``, ISO ``YYYY-MM-DD``, 8-digit numbers, date and timestamp columns);
    ``date_format`` (``strptime`` syntax, e.g. ``"%d/%m/%Y"``) reads the text dates of the
    daily bars instead, ``index_date_format`` those of the index tables. Rows that cannot be
    used are counted by reason in the summary; with ``strict`` the first one raises
    ``InputError`` instead.

    Every column read is written: the builder's factors, the table's volume, amount, market
    values, high, low, pre_close, adj_factor and ST flag under their standard names, the
    trading days since each stock's first row (``listed_days``), every other numeric column
    under its own name, every index's bars (a benchmark each) and members (its component
    factor). The summary's ``written`` lists them.
    """
    started = time.perf_counter()
    for value in (date_format, index_date_format):
        if value is not None:
            problem = _dates.format_problem(value) if isinstance(value, str) \
                else f"the date format must be text, not {type(value).__name__}"
            if problem:
                raise InputError(problem)
    mapping = parse_column_map(columns)
    index_mapping = parse_column_map(index_columns, index=True)
    files = table_files(table, "daily-bar table")
    _check_apart(out, [table, index_bars, index_members])
    choices: dict[str, str | None] = {}
    for side, value in (("buy", buy_price), ("sell", sell_price)):
        if value is not None and (not isinstance(value, str) or not value):
            raise InputError(f"{side}_price must be a column name or one of {PRICE_CHOICES}")
        choices[side] = value
    wanted = tuple(v for v in choices.values() if v is not None and v not in PRICE_CHOICES)
    layout = bar_layout(files, mapping, wanted)
    for side, value in choices.items():
        # A column the table maps to a standard one is read under the standard name.
        standard = next((n for n, s in layout.sources.items() if s == value), None)
        if value in PRICE_CHOICES or standard is None:
            continue
        if standard in TEXT_COLUMNS:
            raise InputError(f"the {side} price column {value!r} is the table's {standard} "
                             "column, not a price")
        choices[side] = standard
    clash = [c for c in layout.extras
             if c in WRITTEN_FACTORS or _names.component_index(c) is not None]
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
        spill = Spill(folder / SPILL_DIR)
        reader = BarReader(layout, rejects, prices, date_format)
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
        deriver = Deriver(layout, reader, prices, rejects, folder)
        try:
            for year in sorted(spill.paths):
                deriver.year(spill.read(year))
        finally:
            derived = deriver.finish()
        shutil.rmtree(folder / SPILL_DIR)
        calendar = deriver.calendar
        # The index tables' rejects are counted with the rest, their rows are not read here.
        bar_rejects = rejects.total
        index = write_index_data(folder, index_bars, index_members, index_mapping, calendar,
                                 deriver.ukeys, rejects, index_date_format)
        summary = {
            "folder": str(Path(out).expanduser()),
            "files": len(files),
            "rows_read": reader.rows_read,
            "rows_used": reader.rows_read - bar_rejects - deriver.merged,
            "rows_rejected": rejects.total,
            "rejected": rejects.report(),
            "identical_duplicates_merged": deriver.merged,
            "date_format": date_format,
            "index_date_format": index_date_format,
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
            "written": _written(deriver.writer.rows, index),
            "seconds": round(time.perf_counter() - started, 3),
        }
        (folder / SUMMARY_FILE).write_text(json.dumps(summary, indent=2, ensure_ascii=False) + "\n")
    return summary


def _written(factor_rows: dict[str, int], index: dict[str, Any]) -> dict[str, list[str]]:
    """What a store built from the folder finds in it: every factor file, every index
    with bars (each a benchmark, by the short code the store gives it) and every index with
    members (its component mask)."""
    components = [*index["components"], *index["components without members"]]
    indexes = index["indexes"]
    with_members = [_names.component_index(name) or name for name in index["components"]]
    return {
        # A factor without a row has no file (no split or dividend in the table, say).
        "factors": sorted([*(n for n, rows in factor_rows.items() if rows), *components]),
        "indexes": indexes,
        "benchmarks": list(_names.short_codes(indexes).values()),
        "components": [_names.short_codes(with_members)[code] for code in with_members],
    }


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
