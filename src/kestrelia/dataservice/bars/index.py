"""Index bars (benchmark series) and index members (component masks) of an import.

Without index bars the folder still answers the builder's benchmark request, with rows
that hold no return, so the store's benchmark series are empty; without members each
component the builder asks for is written with no member (a mask that is empty
everywhere). The summary says which of the two happened.
"""

from __future__ import annotations

from functools import partial
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from kestrelia import _names
from kestrelia.dataservice.bars import codes as codes_mod
from kestrelia.dataservice.bars.columns import INDEX_BAR_COLUMNS, INDEX_MEMBER_COLUMNS
from kestrelia.dataservice.bars.reading import (
    INDEX_DATE_HINT,
    Encoder,
    MalformedRows,
    Rejects,
    TablePaths,
    date_type_days,
    file_columns,
    is_boolean,
    is_date_type,
    iter_batches,
    numbers,
    table_files,
)
from kestrelia.dataservice.service import (
    _ROW_GROUP_ROWS,
    INDEX_FILE,
    _factor_file,
    exchange_ukey,
)
from kestrelia.errors import InputError


def _read_long(paths: TablePaths, mapping: dict[str, str], wanted: tuple[str, ...],
               required: tuple[str, ...], what: str, rejects: Rejects, index_codes: Encoder,
               stock_codes: Encoder | None, date_format: str | None) -> dict[str, np.ndarray]:
    """Rows of a small long table as arrays: days, index ids, stock ids and numbers."""
    files = table_files(paths, what)
    parts: dict[str, list[np.ndarray]] = {k: [] for k in ("day", "index", "code", "value")}
    value_name = wanted[-1]
    dates = Encoder(partial(codes_mod.date_days, date_format=date_format), ids=False)
    for path in files:
        names = file_columns(path)
        sources = {k: mapping.get(k, k) for k in wanted if mapping.get(k, k) in names}
        missing = [k for k in required if k not in sources]
        if missing:
            raise InputError(f"{what} {path} lacks the column {mapping.get(missing[0], missing[0])!r} "
                             f"({missing[0]}); it has {', '.join(names)} (map names with "
                             f"--index-columns {missing[0]}=NAME)")
        malformed = MalformedRows(path, rejects, what)
        for batch, rows in iter_batches(path, list(dict.fromkeys(sources.values())), malformed):
            n = batch.num_rows
            col = {k: batch.column(s) for k, s in sources.items()}
            day = date_type_days(col["date"]) if is_date_type(col["date"].type) \
                else dates.encode(col["date"])
            index = index_codes.encode(col["index_code"])
            code = stock_codes.encode(col["code"]) if stock_codes is not None else np.zeros(n)
            checks = [(f"{what}: unreadable or missing date", np.isnan(day), "date"),
                      (f"{what}: unreadable index code", np.isnan(index), "index_code"),
                      (f"{what}: unreadable stock code", np.isnan(code), "code")]
            numbers_of = {}
            for name in ("close", value_name):
                if name not in col or name in numbers_of:
                    continue
                if is_boolean(col[name]):
                    valid = col[name].is_valid().to_numpy(zero_copy_only=False)
                    checks.append((f"{what}: boolean column where a number is needed", valid,
                                   name))
                    numbers_of[name] = np.full(n, np.nan)
                    continue
                numbers_of[name], unreadable = numbers(col[name])
                checks += [(f"{what}: text that is not a plain ASCII number", unreadable, name),
                           (f"{what}: non-finite number", np.isinf(numbers_of[name]), name)]
                if name == "close":
                    checks.append((f"{what}: close not above 0", numbers_of[name] <= 0, name))
                elif name == "daily_return":
                    # A close above 0 cannot fall by 100 % or more in a day.
                    checks.append((f"{what}: daily return not above -100 %",
                                   numbers_of[name] <= -1, name))
            ok = np.ones(n, dtype=bool)
            for reason, bad, name in checks:
                bad = ok & bad
                if bad.any():
                    picks = np.flatnonzero(bad)[:3]
                    rejects.add(reason, int(bad.sum()),
                                [f"{path.name} row {rows[i]}: {sources[name]}="
                                 f"{col[name][int(i)].as_py()!r}" for i in picks],
                                None if date_format or name != "date" else INDEX_DATE_HINT)
                    ok &= ~bad
            value = numbers_of.get(value_name, np.full(n, np.nan))
            extra = numbers_of.get("close") if value_name != "close" else None
            parts["day"].append(day[ok].astype(np.int64))
            parts["index"].append(index[ok].astype(np.int64))
            parts["code"].append(code[ok].astype(np.int64))
            parts["value"].append(value[ok] if extra is None else np.column_stack([extra[ok], value[ok]]))
    return {k: np.concatenate(v) if v else np.zeros(0) for k, v in parts.items()}


def _index_bars(paths: TablePaths, mapping: dict[str, str], rejects: Rejects,
                date_format: str | None) -> pa.Table:
    codes = Encoder(codes_mod.index_ukey, ids=True)
    rows = _read_long(paths, mapping, INDEX_BAR_COLUMNS,
                      ("date", "index_code", "close"), "index bars", rejects, codes, None,
                      date_format)
    values = rows["value"].reshape(-1, 2) if len(rows["day"]) else np.zeros((0, 2))
    order = np.lexsort((rows["day"], rows["index"]))
    day, index = rows["day"][order], rows["index"][order]
    close, given = values[order, 0], values[order, 1]
    same = np.r_[False, (day[1:] == day[:-1]) & (index[1:] == index[:-1])]
    if same.any():
        rejects.add("index bars: a second row for one index and day", int(same.sum()),
                    [f"{codes.keys[index[i]]} on {codes_mod.days_to_date(day[i])}"
                     for i in np.flatnonzero(same)[:3]])
        day, index, close, given = day[~same], index[~same], close[~same], given[~same]
    # The return from the previous row of the same index where the table gives none.
    previous = np.r_[np.nan, close[:-1]]
    previous[np.r_[True, index[1:] != index[:-1]]] = np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        derived = close / previous - 1.0
    daily_return = np.where(np.isfinite(given), given, derived)
    ukeys = np.array(codes.keys, dtype=object)
    table = pa.table({
        "ukey": pa.array(ukeys[index] if len(index) else [], pa.string()),
        "date": pa.array(day.astype(np.int32), pa.int32()).cast(pa.date32()),
        "close": pa.array(close, pa.float64()),
        "daily_return": pa.array(daily_return, pa.float64()),
    })
    return table.sort_by([("date", "ascending"), ("ukey", "ascending")])


def write_index_data(folder: Path, index_bars: TablePaths | None,
                     index_members: TablePaths | None, mapping: dict[str, str],
                     calendar: np.ndarray, stock_ukeys: np.ndarray,
                     rejects: Rejects, date_format: str | None = None) -> dict[str, Any]:
    """Writes ``index_daily.parquet`` and the component factors; returns what was written."""
    components = list(_names.COMPONENT_FACTOR_NAMES)
    benchmarks = list(_names.BENCHMARK_INDEX_CODES.values())
    summary: dict[str, Any] = {}
    if index_bars is not None:
        table = _index_bars(index_bars, mapping, rejects, date_format)
        codes = sorted(set(table.column("ukey").to_pylist()))
        summary["index bars"] = {"rows": table.num_rows, "indexes": codes}
    else:
        table, codes = None, []
        summary["index bars"] = None
    missing = [c for c in benchmarks if c not in codes]
    if missing:
        # Rows without a return: the builder finds its benchmarks and keeps no day of them.
        day = np.tile(calendar, len(missing))
        empty = pa.table({
            "ukey": pa.array(np.repeat(missing, len(calendar)), pa.string()),
            "date": pa.array(day.astype(np.int32), pa.int32()).cast(pa.date32()),
            "close": pa.array(np.full(len(day), np.nan)),
            "daily_return": pa.array(np.full(len(day), np.nan)),
        })
        table = empty if table is None else pa.concat_tables([table, empty])
    assert table is not None
    table = table.sort_by([("date", "ascending"), ("ukey", "ascending")])
    summary["benchmarks without bars"] = missing
    summary["indexes"] = list(dict.fromkeys([*benchmarks, *codes]))
    pq.write_table(table, folder / INDEX_FILE, row_group_size=_ROW_GROUP_ROWS)

    written: dict[str, int] = {}
    merged = 0
    if index_members is not None:
        index_codes = Encoder(codes_mod.index_ukey, ids=True)
        stock_codes = Encoder(codes_mod.stock_code, ids=True)
        rows = _read_long(index_members, mapping, INDEX_MEMBER_COLUMNS,
                          ("date", "index_code", "code"), "index members", rejects,
                          index_codes, stock_codes, date_format)
        weight = rows["value"]
        value = np.where(np.isfinite(weight), weight, 1.0)
        member_ukeys = np.array([exchange_ukey(c) for c in stock_codes.keys] or [""], dtype=object)
        rank = np.argsort(np.argsort(member_ukeys, kind="stable"), kind="stable")
        for i, index_ukey in enumerate(index_codes.keys):
            pick = np.flatnonzero(rows["index"] == i)
            if not len(pick):
                continue  # every row of it rejected: an index without members
            order = np.lexsort((rank[rows["code"][pick]], rows["day"][pick]))
            pick = pick[order]
            day, code = rows["day"][pick], rows["code"][pick]
            repeat = np.r_[False, (day[1:] == day[:-1]) & (code[1:] == code[:-1])]
            merged += int(repeat.sum())  # a member listed twice on one day counts once
            pick, day, code = pick[~repeat], day[~repeat], code[~repeat]
            name = _names.component_factor_name(index_ukey)
            pq.write_table(pa.table({
                "ukey": pa.array(member_ukeys[code], pa.string()),
                "date": pa.array(day.astype(np.int32), pa.int32()).cast(pa.date32()),
                "value": pa.array(value[pick], pa.float64()),
            }), _factor_file(folder, name), row_group_size=_ROW_GROUP_ROWS)
            written[name] = len(pick)
    empty = [name for name in components if name not in written]
    for name in empty:
        # One stock with 0 (not a member) on every date: the builder finds the factor and
        # its mask holds no member.
        pq.write_table(pa.table({
            "ukey": pa.array([stock_ukeys[0]] * len(calendar), pa.string()),
            "date": pa.array(calendar.astype(np.int32), pa.int32()).cast(pa.date32()),
            "value": pa.array(np.zeros(len(calendar))),
        }), _factor_file(folder, name), row_group_size=_ROW_GROUP_ROWS)
    summary["components"] = written
    summary["repeated member rows merged"] = merged
    summary["components without members"] = empty
    return summary


__all__ = ["write_index_data"]
