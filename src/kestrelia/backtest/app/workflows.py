"""The steps the command-line tool chains together: build and update a store from a data
service folder, load a market from a store, backtest a weight matrix and write a report.

Everything here calls the engine's public pieces (``GroupPreparedDataBuilder``,
``BinaryPreparedDataStore``, ``build_incremental_write_window``,
``run_strategy_backtest_core``); it adds checks that turn bad input into one clear
message (``UserError``) and keeps the user's files safe.
"""

from __future__ import annotations

import json
import math
import shutil
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from kestrelia import singleton
from kestrelia.backtest import _pelorin, _prepare
from kestrelia.backtest._store import METADATA_FILE, normalize_yyyymmdd
from kestrelia.dataservice import LocalFactorService

# Store dataset -> backtest market matrix of the same meaning.
MARKET_DATASETS = {
    "can_buy_stock": "can_buy_stock",
    "cant_sell_stock": "cant_sell_stock",
    "rq_get_split": "split_factor",
    "rq_get_dividend": "dividend_factor",
    "close_price": "close_price",
    "prev_close": "prev_close",
    "buy_price": "buy_price",
    "sell_price": "sell_price",
}


class UserError(Exception):
    """Bad input from the user: reported as one line, never as a traceback."""


# ---- paths -----------------------------------------------------------------------------


def fresh_dir(path: Path, force: bool, what: str) -> Path:
    """An empty directory to write into; an existing non-empty one only with force."""
    path = Path(path).expanduser()
    if path.exists() and not path.is_dir():
        raise UserError(f"{what} {path} exists and is not a directory")
    if path.exists() and any(path.iterdir()):
        if not force:
            raise UserError(f"{what} {path} already exists and is not empty; use --force to replace it")
        shutil.rmtree(path)
    path.mkdir(parents=True, exist_ok=True)
    return path


def output_file(path: Path, force: bool) -> Path:
    if path.exists() and not force:
        raise UserError(f"{path} already exists; use --force to overwrite it")
    return path


def date_arg(value: str, name: str) -> str:
    try:
        text = normalize_yyyymmdd(value)
    except (ValueError, TypeError):
        text = None
    if text is None:
        raise UserError(f"{name}: {value!r} is not a date (use YYYYMMDD or YYYY-MM-DD)")
    return text


# ---- the data service and the store ----------------------------------------------------


def use_source(source: Path) -> LocalFactorService:
    """Registers the factor folder ``source`` as the process's data service."""
    source = Path(source).expanduser()
    if not (source / "factors").is_dir():
        raise UserError(f"{source} is not a factor folder (no factors/ directory inside)")
    service = LocalFactorService(source)
    singleton.set_instance(service)
    return service


def open_store(store: Path, must_exist: bool = True) -> _prepare.BinaryPreparedDataStore:
    store = Path(store).expanduser()
    if must_exist and not (store / METADATA_FILE).is_file():
        raise UserError(f"{store} is not a prepared-data store (no {METADATA_FILE} inside)")
    return _prepare.BinaryPreparedDataStore(str(store))


def build_store(source: Path, store: Path, start: str, end: str, force: bool) -> dict:
    """A full build of [start, end] from ``source``, written as a new store."""
    use_source(source)
    store_dir = Path(store).expanduser()
    if (store_dir / METADATA_FILE).exists() and not force:
        raise UserError(f"{store_dir} already holds a store; use --force to replace it")
    payload = _prepare.GroupPreparedDataBuilder(start_date=start, end_date=end).build()
    if len(payload["data"]["close_price"]) == 0:
        raise UserError(f"the source has no prices between {start} and {end}")
    store_dir.mkdir(parents=True, exist_ok=True)
    open_store(store_dir, must_exist=False).write(payload)
    return payload


def store_dates(store: _prepare.BinaryPreparedDataStore) -> list[str]:
    entry = store.load_metadata().get("datasets", {}).get("close_price")
    if not entry:
        raise UserError(f"{store.store_dir} holds no close_price dataset")
    return list(entry["dates"])


def update_store(source: Path, store: Path, start: str, end: str) -> dict:
    """Rebuilds [start, end] (with one stored day of look-back) and writes it over the tail."""
    use_source(source)
    target = open_store(store)
    payload = _prepare.build_incremental_write_window(store_dates(target), start, end)
    if all(len(v) == 0 for k, v in payload["data"].items() if isinstance(v, pd.DataFrame)):
        raise UserError(f"the source has no prices between {start} and {end}")
    target.update_tail(payload)
    return payload


def store_summary(store: Path) -> dict:
    target = open_store(store)
    metadata = target.load_metadata()
    datasets = metadata.get("datasets", {})
    rows = []
    for key, entry in datasets.items():
        if entry.get("kind") == "series_dict":
            rows.append((key, f"{len(entry['series'])} series", "float64"))
        else:
            rows.append((key, f"{len(entry['dates'])} x {len(entry['columns'])}",
                         entry.get("dtype", "?")))
    dates = store_dates(target)
    meta = metadata.get("meta", {})
    # A quick look at every file (present, header and size as recorded); reading every
    # byte against its checksum is left to `store verify`.
    quick = target.verify_report(checksums=False)
    if quick["problems"]:
        files = (f"{len(quick['problems'])} problem(s) in {quick['files']} files, e.g. "
                 f"{quick['problems'][0]}; run 'store verify' for all")
    else:
        files = (f"{quick['files']} present, headers and sizes as recorded; contents not "
                 "checked (run 'store verify')")
    return {
        "store": str(target.store_dir),
        "first_date": dates[0] if dates else None,
        "last_date": dates[-1] if dates else None,
        "trading_days": len(dates),
        "datasets": rows,
        "component_names": list(meta.get("component_names", [])),
        "updated_at": metadata.get("updated_at"),
        "files": files,
    }


# ---- market and backtest ---------------------------------------------------------------


@dataclass
class Market:
    matrices: dict[str, pd.DataFrame]
    benchmarks: dict[str, pd.Series]
    components: dict[str, pd.DataFrame]


def load_market(store: Path, start: str | None = None, end: str | None = None) -> Market:
    target = open_store(store)
    metadata = target.load_metadata()
    datasets = metadata.get("datasets", {})
    missing = [key for key in MARKET_DATASETS if key not in datasets]
    if missing:
        raise UserError(f"{target.store_dir} lacks the datasets {', '.join(missing)}")
    keys = list(MARKET_DATASETS) + ["benchmark_dict"]
    component_keys = dict(metadata.get("meta", {}).get("component_dataset_keys", {}))
    keys += [k for k in component_keys.values() if k in datasets]
    data = target.load(start_date=start, end_date=end, keys=keys)["data"]
    matrices = {MARKET_DATASETS[key]: data[key] for key in MARKET_DATASETS}
    if len(matrices["close_price"]) == 0:
        raise UserError(f"the store has no trading days between {start or 'its start'} "
                        f"and {end or 'its end'}")
    components = {name: data[key] for name, key in component_keys.items() if key in data}
    return Market(matrices, dict(data.get("benchmark_dict", {})), components)


def total_frame(daily_return: pd.Series, benchmarks: dict, primary: str) -> pd.DataFrame:
    """The per-day result table of a run: its daily returns joined with the primary
    benchmark the way the engine joins them, passed through the engine's own frame."""
    df = pd.DataFrame({"daily_return": daily_return})
    if primary in benchmarks:
        bm = benchmarks[primary].astype(float).replace([np.inf, -np.inf], np.nan).fillna(0.0)
        bm = bm.loc[(bm.index >= df.index.min()) & (bm.index <= df.index.max())]
        bench = pd.DataFrame({"close": bm.cumsum().add(1.0), "index_daily_return": bm})
        joined = pd.concat([df, bench], axis=1, join="inner")
    else:
        joined = df.assign(index_daily_return=0.0, close=1.0)
    return _pelorin._build_total_backtesting_frame(joined)


def read_weights(path: Path) -> pd.DataFrame:
    """A weight matrix from Parquet or CSV: dates in the first column or the index, one
    column per 6-digit stock code."""
    path = Path(path).expanduser()
    if not path.is_file():
        raise UserError(f"weights file {path} does not exist")
    suffix = path.suffix.lower()
    try:
        if suffix == ".parquet":
            frame = pd.read_parquet(path)
            if isinstance(frame.index, pd.RangeIndex) and len(frame.columns):
                frame = frame.set_index(frame.columns[0])
        elif suffix in (".csv", ".txt"):
            frame = pd.read_csv(path, index_col=0, dtype={0: str})
        else:
            raise UserError(f"weights file {path}: use .parquet or .csv")
    except UserError:
        raise
    except Exception as exc:  # the reader's own message names the problem
        raise UserError(f"cannot read weights file {path}: {exc}") from None
    dates = [_date_or_none(v) for v in frame.index]
    bad = [v for v, d in zip(frame.index, dates) if d is None]
    if bad:
        raise UserError(f"weights file {path}: {bad[0]!r} in the date column is not a date")
    codes = [_stock_code(c) for c in frame.columns]
    if any(c is None for c in codes):
        first = next(c for c, k in zip(frame.columns, codes) if k is None)
        raise UserError(f"weights file {path}: column {first!r} is not a 6-digit stock code")
    try:
        values = frame.apply(pd.to_numeric, errors="raise").to_numpy(dtype=float)
    except (ValueError, TypeError) as exc:
        raise UserError(f"weights file {path}: weights must be numbers ({exc})") from None
    weights = pd.DataFrame(values, index=pd.Index(dates, dtype="str"), columns=pd.Index(codes, dtype="str"))
    if not weights.index.is_unique:
        raise UserError(f"weights file {path}: a date appears twice")
    if not weights.columns.is_unique:
        raise UserError(f"weights file {path}: a stock code appears twice")
    return weights.sort_index()


def _date_or_none(value) -> str | None:
    try:
        return normalize_yyyymmdd(_safe(value))
    except (ValueError, TypeError):
        return None


def _safe(value):
    if isinstance(value, float) and math.isfinite(value) and value.is_integer():
        return int(value)
    return value


def _stock_code(value) -> str | None:
    text = str(_safe(value)).strip()
    if text.isdigit() and len(text) <= 6:
        return text.zfill(6)
    if len(text) > 6 and text[:6].isdigit() and text[6] == ".":
        return text[:6]
    return None


def backtest_window(weights: pd.DataFrame, store: Path, start: str | None,
                    end: str | None) -> tuple[str, str]:
    """The dates to load: the weights' range within [start, end], checked against the
    store's dates."""
    if len(weights) == 0:
        raise UserError("the weights file holds no rows")
    first = max(weights.index[0], start) if start else weights.index[0]
    last = min(weights.index[-1], end) if end else weights.index[-1]
    stored = store_dates(open_store(store))
    wanted = weights.index[(weights.index >= first) & (weights.index <= last)]
    if len(wanted.intersection(pd.Index(stored))) == 0:
        raise UserError(
            f"the weights ({weights.index[0]} to {weights.index[-1]}) share no date with the "
            f"store ({stored[0]} to {stored[-1]})"
            + (f" within {start or 'the start'} to {end or 'the end'}" if start or end else ""))
    return first, last


def check_overlap(weights: pd.DataFrame, market: Market) -> None:
    close = market.matrices["close_price"]
    if len(weights.columns.intersection(close.columns)) == 0:
        raise UserError("the weights share no stock code with the store")


def write_report(result, total: pd.DataFrame, out: Path, name: str) -> list[Path]:
    """stats.json, the daily total frame (CSV and Parquet) and the benchmark summary."""
    out.mkdir(parents=True, exist_ok=True)
    stats = {k: (None if v is None or (isinstance(v, float) and math.isnan(v)) else float(v))
             for k, v in result.stats.items()}
    files = [out / "stats.json", out / f"{name}_daily.csv", out / f"{name}_daily.parquet",
             out / "benchmark_summary.csv"]
    files[0].write_text(json.dumps({"strategy_name": result.strategy_name, "stats": stats},
                                   indent=2) + "\n")
    daily = total.rename_axis("date")
    daily.to_csv(files[1])
    daily.to_parquet(files[2])
    result.benchmark_summary.to_csv(files[3], index=False)
    return files
