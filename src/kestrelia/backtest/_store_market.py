"""Reading a prepared-data store's market: the one loader behind ``Store.market`` and
``Market.from_store``.

``Store`` (store.py) builds, updates and inspects stores and hands out ``Market`` objects,
so it imports market.py; ``Market.from_store`` is a shortcut for the same load. Both call
:func:`load_market` here, which sits below the two and returns the parts a ``Market`` is
made of, so that market.py needs nothing of store.py. The opening of a store folder and
the reading of its metadata live here too, as ``Store``'s other methods share them.
"""

from __future__ import annotations

import itertools
import pickle
from pathlib import Path
from typing import Any, NamedTuple

import pandas as pd

from kestrelia import _dates, _labels
from kestrelia.errors import InputError, KestreliaError, StoreError

__all__ = ["MARKET_DATASETS", "MarketParts", "load_market", "open_existing", "read_metadata"]

# Store dataset -> market matrix of the same meaning.
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


# A reader retries when a writer replaced the files it was about to map.
_LOAD_ATTEMPTS = 3


class MarketParts(NamedTuple):
    """What ``Market._trusted`` makes a market of, in its parameters' order: the
    matrices, benchmarks, store folder and window, the factors loaded now, and the reader of
    the others (see ``_store_factors``)."""

    matrices: dict[str, pd.DataFrame]
    benchmarks: dict[str, pd.Series]
    store_path: Path
    store_window: tuple[str | None, str | None]
    factors: dict[str, pd.DataFrame]
    stored: Any


def date_text(value: Any, what: str) -> str:
    """``value`` as ``YYYYMMDD`` text, or ``InputError`` naming ``what``."""
    text = _dates.parse_date(_labels.exchange_day(value))
    if text is None:
        raise InputError(f"{what} {value!r} is not an unambiguous date ({_dates.ACCEPTED})")
    return text


def native_store(path: Path, lock_timeout: float | None) -> Any:
    """The host's store object for the folder ``path``; nothing is read yet."""
    import kestrelia.backtest._prepare as _prepare
    from kestrelia.backtest import _store_factors

    native = _prepare.BinaryPreparedDataStore(str(path))
    native.lock_timeout = lock_timeout
    # The factors that are not stored as float64, so that writes and verify know them.
    native.matrix_dtype = {**native.matrix_dtype, **_store_factors.FACTOR_DTYPES}
    return native


def open_existing(path: Path, lock_timeout: float | None = None) -> Any:
    """:func:`native_store` of a folder that holds a store, else ``StoreError``."""
    from kestrelia.backtest._store import METADATA_FILE

    if not (path / METADATA_FILE).is_file():
        raise StoreError(f"{path} is not a prepared-data store (no {METADATA_FILE} inside)")
    return native_store(path, lock_timeout)


def read_metadata(native: Any, path: Path) -> dict[str, Any]:
    """The store's metadata; a file that cannot be read is a ``StoreError`` naming ``path``."""
    try:
        metadata: dict[str, Any] = native.load_metadata()
    except KestreliaError:
        raise
    except (OSError, ValueError, pickle.UnpicklingError, EOFError) as exc:
        raise StoreError(f"cannot read the metadata of {path}: {exc}") from None
    return metadata


def load_market(path: Path, start: Any = None, end: Any = None, *, mmap: bool = True,
                lock_timeout: float | None = None,
                factors: str | list[str] | None = None) -> MarketParts:
    """The market datasets of the store at ``path`` between two dates (inclusive), with its
    benchmarks, the factors asked for (``factors``: None reads each on first use) and the
    reader of the rest; see ``Store.market`` for what is refused."""
    from kestrelia.backtest import _store_factors

    lo = None if start is None else date_text(start, "start")
    hi = None if end is None else date_text(end, "end")
    if lo is not None and hi is not None and lo > hi:
        raise InputError(f"start {lo} is after end {hi}")
    native = open_existing(path, lock_timeout)
    resolved = path.resolve()
    # One metadata state for everything the market maps, so that its stamp says which
    # state its factors must be read from later.
    for attempt in range(_LOAD_ATTEMPTS):
        metadata = read_metadata(native, path)
        datasets = metadata.get("datasets", {})
        missing = [key for key in MARKET_DATASETS if key not in datasets]
        if missing:
            raise StoreError(f"{path} lacks the datasets {', '.join(missing)}")
        eager, source = _store_factors.factor_plan(metadata, resolved, mmap, factors)
        check_market_labels(path, datasets, [*MARKET_DATASETS, *eager.values()])
        keys = list(dict.fromkeys([*MARKET_DATASETS, *eager.values()]))
        keys += ["benchmark_dict"] if "benchmark_dict" in datasets else []
        try:
            data = native._load_datasets(metadata, lo, hi, keys, mmap)
            break
        except StoreError:
            if attempt + 1 == _LOAD_ATTEMPTS or read_metadata(native, path) == metadata:
                raise
        except (OSError, ValueError, KeyError) as exc:
            raise StoreError(f"cannot load {path}: {exc}") from None
    matrices = {MARKET_DATASETS[key]: data[key] for key in MARKET_DATASETS}
    if len(matrices["close_price"]) == 0:
        raise InputError(f"the store has no trading days between {lo or 'its start'} "
                         f"and {hi or 'its end'}")
    # The store's values were checked when it was written (and `verify` rereads them), so
    # the market takes them without a scan. Where they came from goes with the market, so
    # that work sent to other processes can map the same store instead of carrying the
    # matrices.
    return MarketParts(matrices, dict(data.get("benchmark_dict", {})), resolved, (lo, hi),
                       {name: data[key] for name, key in eager.items()}, source)


def check_market_labels(path: Path, datasets: dict[str, Any], keys: list[str]) -> None:
    """The market's datasets pair their cells by position, so they must share one sorted
    list of dates and one of codes: a code list shifted by one in the metadata would
    otherwise give every stock its neighbour's prices, silently. Cheap (the lists are
    usually one shared object); ``verify`` also checks them against their checksums."""
    first = datasets["close_price"]
    for key in keys:
        entry = datasets.get(key)
        if not isinstance(entry, dict) or not isinstance(first, dict) or any(
                entry.get(field) != first.get(field) for field in ("dates", "columns")):
            raise StoreError(f"{path}: dataset {key} does not share close_price's "
                             "dates and codes, so its values would be read against other "
                             "days or stocks (run 'store verify')")
    for field in ("dates", "columns"):
        labels = first.get(field)
        try:
            ordered = isinstance(labels, list) and all(
                isinstance(a, str) and a < b for a, b in itertools.pairwise(labels))
        except TypeError:
            ordered = False
        if not ordered:
            raise StoreError(f"{path}: the {'codes' if field == 'columns' else field} "
                             "of its market datasets are not sorted, unique text labels "
                             "(run 'store verify')")
