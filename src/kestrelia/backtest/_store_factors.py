"""What a store keeps beside the backtest datasets, and how a market reads it back.

A build keeps the factor matrices a strategy reads (``_names.STORE_FACTORS`` whenever the
source has their field, and any numeric factor the user names), a benchmark series for
every index the source has daily rows of, and a component mask for every index with
members. Factors are written on the grid of the backtest datasets (close_price's dates and
codes), so one label check covers them all; the metadata records them under ``meta``:

    factors          {name: {"key": dataset key, "field": source field or None, "dtype": ...}}
    factors_absent   {name: source field} of the store's own factors the source lacked
    benchmark_codes  {benchmark name: index code} of every benchmark series

An update refreshes exactly what the build recorded; a store written before any of this
records nothing, so its update writes what it always did.

The adjusted close is the store's own: a backward total-return index over the backtest
datasets, equal to the close on a stock's first stored day and then
``adj[t] = adj[t-1] x (split[t] x close[t] + dividend[t]) / last close``, with the split and
the dividend a holder gets in the backtest. An update continues it from the stored value.
"""

from __future__ import annotations

import bisect
import hashlib
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from kestrelia import _names
from kestrelia.errors import InputError, StoreError

META_FACTORS = "factors"
META_ABSENT = "factors_absent"
META_BENCHMARKS = "benchmark_codes"
CLOSE_KEY = "close_price"
SPLIT_KEY = "rq_get_split"
DIVIDEND_KEY = "rq_get_dividend"
ALL = "all"

_UNSAFE = re.compile(r"[^0-9A-Za-z._-]")
# Source fields the builder's payload already holds unchanged, under these dataset keys:
# taken from there rather than read again.
_IN_PAYLOAD = {_names.OPEN: "open_price", _names.INDUSTRY: "industry_matrix"}


def factor_dataset_key(name: str) -> str:
    """The dataset key of a factor: "factor_" and its name, made safe for a file name (with a
    digest of the name when that changed it, so that two names never share a key)."""
    if name == "close":
        return CLOSE_KEY  # the close is a backtest dataset already: never kept twice
    safe = _UNSAFE.sub("_", name).replace("..", "__")
    if safe != name:
        safe = f"{safe}_{hashlib.sha1(name.encode('utf-8')).hexdigest()[:8]}"
    return f"factor_{safe}"


# Storage dtypes the store cannot tell from a factor's key alone.
FACTOR_DTYPES = {factor_dataset_key(f.name): f.dtype for f in _names.STORE_FACTORS
                 if f.dtype != "float64"}


# ---- the adjusted close -----------------------------------------------------------------------


def _previous_valid(values: np.ndarray, seed: np.ndarray) -> np.ndarray:
    """Row t: the last finite value of ``values`` strictly before t (``seed`` before the
    first row, NaN where there is none)."""
    stacked = np.vstack([seed[None, :], values[:-1]]) if len(values) else values
    index = np.where(np.isfinite(stacked), np.arange(len(stacked))[:, None], 0)
    np.maximum.accumulate(index, axis=0, out=index)
    return np.take_along_axis(stacked, index, axis=0)


def adjusted_close(close: np.ndarray, split: np.ndarray, dividend: np.ndarray,
                   last_close: np.ndarray | None = None,
                   last_adj: np.ndarray | None = None) -> np.ndarray:
    """The backward total-return index of date x stock arrays on one grid (NaN where there
    is no close). ``last_close`` and ``last_adj``: each stock's last close before the first
    row and the index there, to continue from (NaN: the stock starts here).

    The product runs left to right down each column from the stored value, the very
    operations in the very order of the day-by-day recursion, so a store updated day by
    day holds the same bits as one built at once."""
    n = close.shape[1]
    last_close = np.full(n, np.nan) if last_close is None else last_close
    last_adj = np.full(n, np.nan) if last_adj is None else last_adj
    history = np.isfinite(last_close) & np.isfinite(last_adj)
    valid = np.isfinite(close)
    previous = _previous_valid(close, np.where(history, last_close, np.nan))
    with np.errstate(invalid="ignore", divide="ignore"):
        growth = (np.where(np.isfinite(split), split, 1.0) * close
                  + np.where(np.isfinite(dividend), dividend, 0.0)) / previous
    first = valid & np.isnan(previous)
    steps = np.where(first, close, np.where(valid, growth, 1.0))
    start = np.where(history, last_adj, 1.0)
    adj = np.cumprod(np.vstack([start[None, :], steps]), axis=0)[1:]
    return np.where(valid, adj, np.nan)


def _last_valid_rows(values: np.ndarray) -> np.ndarray:
    """Per column, the last row holding a finite value (-1 for none), reading from the end
    in growing blocks: a daily update reads a few rows, not the whole history."""
    rows, n = values.shape
    found = np.full(n, -1, dtype=np.int64)
    todo = np.arange(n)
    stop, block = rows, 16
    while len(todo) and stop > 0:
        start = max(0, stop - block)
        part = np.isfinite(np.asarray(values[start:stop])[:, todo])
        has = part.any(axis=0)
        last = stop - 1 - np.argmax(part[::-1], axis=0)
        found[todo[has]] = last[has]
        todo = todo[~has]
        stop, block = start, block * 4
    return found


# ---- what a build keeps --------------------------------------------------------------------


def _on_grid(matrix: pd.DataFrame, grid: pd.DataFrame, dtype: str) -> pd.DataFrame:
    values = matrix.reindex(index=grid.index, columns=grid.columns)
    if dtype == "bool":
        flags = values.to_numpy(dtype=np.float64, na_value=np.nan)
        with np.errstate(invalid="ignore"):
            return pd.DataFrame(flags > 0, index=grid.index, columns=grid.columns)
    return values


def _listed(client: Any, what: str) -> list[str] | None:
    lister = getattr(client, what, None)
    return list(lister()) if callable(lister) else None


def _chosen_factors(client: Any, requested: Any) -> dict[str, str | None]:
    """Factor name -> source field (None: derived) of a build: the store's own factors,
    then those the user names (``"all"``: every factor of the source beyond the builder's,
    the components and the store's own)."""
    chosen: dict[str, str | None] = {f.name: f.field for f in _names.STORE_FACTORS}
    if requested is None:
        return chosen
    names = [requested] if isinstance(requested, str) else list(requested)
    available = _listed(client, "factor_names")
    if ALL in names:
        if available is None:
            raise InputError(f"factors={ALL!r} needs a source that lists its factors; name "
                             "them instead")
        taken = set(_names.BUILD_INPUT_NAMES) | {f for f in chosen.values() if f}
        names = [n for n in names if n != ALL] + [
            n for n in available if n not in taken and _names.component_index(n) is None]
    for name in names:
        if not isinstance(name, str) or not name:
            raise InputError(f"factor names must be non-empty text, got {name!r}")
        own = _names.STORE_FACTOR_BY_NAME.get(name)
        if own is not None and own.field != name:
            raise InputError(f"factor {name!r}: the store's own {name} "
                             f"({own.meaning}) has that name")
        if available is not None and name not in available:
            raise InputError(f"the source has no factor {name!r}"
                             + _nearest(name, available))
        chosen.setdefault(name, name)
    return chosen


def _nearest(name: str, available: list[str]) -> str:
    import difflib

    close = difflib.get_close_matches(name, available, n=3)
    return f" (did you mean {', '.join(map(repr, close))}?)" if close else ""


def _component_names(client: Any) -> list[str]:
    names = _listed(client, "factor_names") or []
    return [n for n in names if _names.component_index(n) is not None
            and n not in _names.COMPONENT_FACTOR_NAMES]


def _extra_benchmarks(builder: Any, client: Any, codes: Mapping[str, str], start: str,
                      end: str) -> dict[str, pd.Series]:
    """The daily-return series of indexes beyond the builder's three, made by the builder's
    own formatter, so that every benchmark means the same."""
    if not codes:
        return {}
    rows = client.get_index_daily(ukeys=list(codes.values()), start_date=start, end_date=end)
    if rows is None or len(rows) == 0:
        return {name: pd.Series([], index=pd.Index([], dtype="str"), dtype="float64",
                                name="index_daily_return") for name in codes}
    return {name: builder._format_benchmark_daily_return(rows, name, code)
            for name, code in codes.items()}


def _add_components(data: dict[str, Any], meta: dict[str, Any], builder: Any,
                    names: list[str], start: str | None) -> None:
    from kestrelia.backtest._store import component_dataset_key

    if not names:
        return
    masks = builder._component_matrices(names)
    for name, mask in masks.items():
        if start is not None:
            mask = mask.loc[mask.index.astype(str) >= start]
        data[component_dataset_key(name)] = mask
    meta["component_names"] = list(dict.fromkeys([*meta.get("component_names", []), *masks]))
    meta["component_dataset_keys"] = {**meta.get("component_dataset_keys", {}),
                                      **{n: component_dataset_key(n) for n in masks}}


def extend_build(payload: dict[str, Any], builder: Any, client: Any, requested: Any) -> None:
    """Adds the factors, the further benchmarks and the further components to a build's
    payload, and records them in its meta."""
    data, meta = payload["data"], payload["meta"]
    start, end = builder.default_start, builder.end_date
    own = list(_names.BENCHMARK_INDEX_CODES.values())
    names = _names.short_codes([*own, *(_listed(client, "index_codes") or [])])
    extra = {name: code for code, name in names.items() if code not in own}
    data["benchmark_dict"] = {**data["benchmark_dict"],
                              **_extra_benchmarks(builder, client, extra, start, end)}
    meta[META_BENCHMARKS] = {name: code for code, name in names.items()}
    _add_components(data, meta, builder, _component_names(client), None)

    grid = data[CLOSE_KEY]
    kept: dict[str, dict[str, Any]] = {}
    absent: dict[str, str] = {}
    for name, source in _chosen_factors(client, requested).items():
        known = _names.STORE_FACTOR_BY_NAME.get(name)
        dtype = known.dtype if known is not None else "float64"
        key = factor_dataset_key(name)
        if source is None:
            data[key] = _adjusted(data, grid)
        elif key != CLOSE_KEY:
            matrix = _read(builder, data, source)
            if len(matrix) == 0:
                if known is None:
                    raise InputError(f"the source has no value of the factor {name!r} between "
                                     f"{start} and {end}")
                absent[name] = source
                continue
            data[key] = _on_grid(matrix, grid, dtype)
        kept[name] = {"key": key, "field": source, "dtype": dtype}
    meta[META_FACTORS] = kept
    meta[META_ABSENT] = absent


def _read(builder: Any, data: Mapping[str, Any], source: str) -> pd.DataFrame:
    """The matrix of a source field over the builder's window."""
    held = data.get(_IN_PAYLOAD.get(source, ""))
    if isinstance(held, pd.DataFrame) and len(held):
        return held
    matrix: pd.DataFrame = builder._read_normal_factor_matrix(source)
    return matrix


def _adjusted(data: Mapping[str, pd.DataFrame], grid: pd.DataFrame,
              last_close: np.ndarray | None = None,
              last_adj: np.ndarray | None = None) -> pd.DataFrame:
    def values(key: str) -> np.ndarray:
        return data[key].reindex(index=grid.index, columns=grid.columns).to_numpy(
            dtype=np.float64, na_value=np.nan)

    adj = adjusted_close(values(CLOSE_KEY), values(SPLIT_KEY), values(DIVIDEND_KEY),
                         last_close, last_adj)
    return pd.DataFrame(adj, index=grid.index, columns=grid.columns)


# ---- what an update refreshes ----------------------------------------------------------------


def extend_update(payload: dict[str, Any], metadata: Mapping[str, Any], store: Any,
                  builder_class: Any, client: Any) -> None:
    """Adds to an update's payload (already cut to its write window) the new rows of what
    the build recorded: factors, further benchmarks and further components."""
    from kestrelia.backtest._store import _first_date

    old = metadata.get("meta", {})
    data, meta = payload["data"], payload["meta"]
    start, end = meta["write_start_date"], meta["write_end_date"]
    read_start = meta["read_start_date"]
    own = set(_names.BENCHMARK_INDEX_CODES)
    codes = dict(old.get(META_BENCHMARKS) or {})
    if codes:
        # From the look-back day, as the builder reads its own: a return from closes needs
        # the close before.
        reader = builder_class(start_date=read_start, end_date=end)
        series = _extra_benchmarks(reader, client,
                                   {n: c for n, c in codes.items() if n not in own},
                                   read_start, end)
        data["benchmark_dict"] = {**data["benchmark_dict"], **{
            n: s.loc[s.index.astype(str) >= start] for n, s in series.items()}}
        meta[META_BENCHMARKS] = codes
    builder = builder_class(start_date=start, end_date=end)
    extra = [n for n in old.get("component_names", []) if n not in _names.COMPONENT_FACTOR_NAMES]
    _add_components(data, meta, builder, extra, start)

    kept = old.get(META_FACTORS)
    if not kept:
        return
    # A kept factor the source no longer has would be written as NaN over the window,
    # replacing the stored values without a word.
    available = _listed(client, "factor_names")
    if available is not None:
        lost = [name for name, item in kept.items()
                if item["field"] is not None and item["key"] != CLOSE_KEY
                and item["field"] not in available]
        if lost:
            raise InputError(
                f"the source has no {kept[lost[0]]['field']!r} factor, which the store keeps "
                f"as {lost[0]!r}: the update would blank it from {start} to {end} (update "
                "from the source the store was built from, or build the store again)")
    grid = data[CLOSE_KEY]
    cut = _first_date(data)
    for item in kept.values():
        key, source = item["key"], item["field"]
        if key == CLOSE_KEY:
            continue
        if source is None:
            data[key] = _adjusted(data, grid, *_adjusted_state(store, metadata, key, grid, cut))
        else:
            data[key] = _on_grid(_read(builder, data, source), grid, item["dtype"])
    meta[META_FACTORS] = dict(kept)
    meta[META_ABSENT] = dict(old.get(META_ABSENT) or {})


def _adjusted_state(store: Any, metadata: Mapping[str, Any], key: str, grid: pd.DataFrame,
                    cut: str | None) -> tuple[np.ndarray, np.ndarray]:
    """Each grid stock's last stored close before ``cut`` and the adjusted close there."""
    datasets = metadata["datasets"]
    close_entry, adj_entry = datasets[CLOSE_KEY], datasets[key]
    keep = bisect.bisect_left(close_entry["dates"], cut) if cut else len(close_entry["dates"])
    close = store._matrix_frame(close_entry, 0, keep, mmap=True, key=CLOSE_KEY)
    adj = store._matrix_frame(adj_entry, 0, keep, mmap=True, key=key)
    if not close.columns.equals(adj.columns) or len(close) != len(adj):
        raise StoreError(f"dataset {key} does not share close_price's dates and codes (run "
                         "'store verify')")
    rows = _last_valid_rows(close.to_numpy())
    stocks = np.flatnonzero(rows >= 0)
    last_close, last_adj = (np.full(len(close.columns), np.nan) for _ in range(2))
    last_close[stocks] = close.to_numpy()[rows[stocks], stocks]
    last_adj[stocks] = adj.to_numpy()[rows[stocks], stocks]
    position = close.columns.get_indexer(grid.columns)
    known = position >= 0
    out_close, out_adj = (np.full(len(grid.columns), np.nan) for _ in range(2))
    out_close[known], out_adj[known] = last_close[position[known]], last_adj[position[known]]
    return out_close, out_adj


# ---- reading back --------------------------------------------------------------------------


@dataclass(frozen=True)
class StoredFactors:
    """Where a store market reads its factors and component masks on first use: one state
    of one store. A read refuses a store rewritten since (its ``updated_at`` stamp changed),
    rather than pair new rows with the market's dates."""

    path: Path
    stamp: Any
    keys: Mapping[str, str]  # factor -> dataset key, of those read on first use
    absent: Mapping[str, str | None]  # factor -> the source field it needs
    components: Mapping[str, str]  # index name -> component dataset key
    mmap: bool = True
    recorded: bool = True  # False for a store written before stores kept factors
    lazy: bool = True  # False: the market holds only the factors loaded with it

    def available(self) -> list[str]:
        """The factors a market reads through this on first use."""
        return list(self.keys) if self.lazy else []

    def missing(self, name: str) -> str:
        """Why ``name`` cannot be read through this."""
        if name in self.keys and not self.lazy:
            return (f"the factor {name!r} was not loaded: Store.market(factors=[...]) loads "
                    "only the factors it names (leave factors out to read any on first use)")
        return _missing_text(name, self.path, self.keys, self.absent, self.recorded)

    def read(self, key: str, what: str, window: tuple[str | None, str | None]) -> pd.DataFrame:
        from kestrelia.backtest import _prepare

        native = _prepare.BinaryPreparedDataStore(str(self.path))
        for attempt in range(3):
            metadata = native.load_metadata()
            self._check_stamp(metadata, what)
            datasets = metadata.get("datasets", {})
            entry, close = datasets.get(key), datasets.get(CLOSE_KEY)
            if not isinstance(entry, dict) or not isinstance(close, dict):
                raise StoreError(f"{self.path}: dataset {key} ({what}) is missing (run "
                                 "'store verify')")
            if not key.startswith("component_") and any(
                    entry.get(f) != close.get(f) for f in ("dates", "columns")):
                raise StoreError(f"{self.path}: dataset {key} ({what}) does not share "
                                 "close_price's dates and codes (run 'store verify')")
            try:
                frame: pd.DataFrame = native._load_datasets(metadata, *window, [key],
                                                            self.mmap)[key]
                return frame
            except StoreError:
                # A writer may have committed, and removed the file, since the metadata read.
                self._check_stamp(native.load_metadata(), what)
                if attempt == 2:
                    raise
        raise AssertionError("unreachable")

    def _check_stamp(self, metadata: Mapping[str, Any], what: str) -> None:
        if metadata.get("updated_at") != self.stamp:
            raise StoreError(
                f"the store {self.path} was rewritten after this market was loaded (its "
                f"state of {self.stamp} is now {metadata.get('updated_at')}), so {what} "
                "would not match the market's days; load the market again")


def factor_plan(metadata: Mapping[str, Any], path: Path, mmap: bool,
                wanted: Iterable[str] | None) -> tuple[dict[str, str], StoredFactors]:
    """The factors a store market loads at once (name -> dataset key) and the reader of the
    rest. ``wanted``: None reads every factor on first use; names (or ``"all"``) load those
    at once, and the market then holds only them."""
    meta = metadata.get("meta", {})
    kept = meta.get(META_FACTORS)
    recorded = isinstance(kept, dict)
    keys = {name: item["key"] for name, item in (kept or {}).items()
            if isinstance(item, dict) and isinstance(item.get("key"), str)}
    absent: dict[str, str | None] = dict(meta.get(META_ABSENT) or {})
    if not recorded:
        absent = {f.name: f.field for f in _names.STORE_FACTORS if f.name != "close"}
    component_keys = dict(meta.get("component_dataset_keys") or {})
    datasets = metadata.get("datasets", {})
    held = {n: k for n, k in component_keys.items() if k in datasets}
    codes = _names.short_codes(_names.component_index(n) or n for n in held)
    components = {codes[_names.component_index(n) or n]: k for n, k in held.items()}
    # The close is the market's own close_price: handed out with it, never mapped twice.
    eager = {name: key for name, key in keys.items() if key == CLOSE_KEY and wanted is None}
    if wanted is not None:
        names = [wanted] if isinstance(wanted, str) else list(wanted)
        if ALL in names:
            names = [n for n in names if n != ALL] + list(keys)
        for name in dict.fromkeys(names):
            if name not in keys:
                raise InputError(_missing_text(name, path, keys, absent, recorded))
            eager[name] = keys[name]
    source = StoredFactors(path, metadata.get("updated_at"), keys, absent, components, mmap,
                           recorded, lazy=wanted is None)
    return eager, source


def _missing_text(name: str, path: Path | None, keys: Mapping[str, str],
                  absent: Mapping[str, str | None], recorded: bool) -> str:
    where = f"the store {path}" if path is not None else "this market"
    if not recorded:
        return (f"{where} was written before stores kept factors, so it holds no {name!r}; "
                "build it again to keep them")
    if name in absent:
        return (f"{where} holds no {name!r}: its source had no {absent[name]!r} factor when "
                f"the store was built (import a table with a {name} column)")
    known = _names.STORE_FACTOR_BY_NAME.get(name)
    need = f"; a store keeps it when its source has the {known.field!r} factor" \
        if known is not None and known.field else ""
    have = ", ".join(keys) or "none"
    return f"{where} holds no factor {name!r} (it has: {have}){need}"
