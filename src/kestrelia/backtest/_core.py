"""Host stand-in: the host toolkit's module of backtest helpers, which the native modules
read by name.

In the host, these helpers also serve its factor-group backtest (a backtest of stock groups
formed by a factor), which is the host's and not part of this repository; the
``_pelorin`` docstring still names it, as the contract words it. Here their users are the
single-portfolio engine: ``_pelorin`` binds all three at import, ``_engine.run`` calls
``safe_sharpe``, and ``BacktestResult.yearly`` uses ``_with_datetime_index``.

``_build_market_arrays`` aligns the market matrices to the simulated days and stocks,
``_with_datetime_index`` gives a result table a datetime index for charts and weekly
sampling, and ``safe_sharpe`` is the annualised Sharpe ratio used by every statistic.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

_FLOAT_ARRAYS = (
    ("split_arr", "split_factor"),
    ("dividend_arr", "dividend_factor"),
    ("close_arr", "close_price"),
    ("prev_close_arr", "prev_close"),
    ("buy_price_arr", "buy_price"),
    ("sell_price_arr", "sell_price"),
)


def _positions(labels: pd.Index, wanted: pd.Index) -> slice | np.ndarray | None:
    """Where ``wanted`` sits in ``labels``: a slice for one contiguous run, an integer
    array otherwise, or None when a label is missing (cells must then be filled)."""
    if labels.equals(wanted):
        return slice(None)
    if not labels.is_unique:
        return None
    positions = labels.get_indexer(wanted)
    if (positions < 0).any():
        return None
    if len(positions) == 0:
        return positions
    first, last = int(positions[0]), int(positions[-1])
    if last - first == len(positions) - 1 and (np.diff(positions) == 1).all():
        return slice(first, last + 1)
    return positions


def _select(values: np.ndarray, rows: slice | np.ndarray, cols: slice | np.ndarray) -> np.ndarray:
    """values[rows][:, cols]: a view for contiguous runs of both, else one native copy in
    the source's layout (a column-major block stays column-major), made without the GIL."""
    if isinstance(cols, slice):
        values = values[:, cols]
    if isinstance(rows, slice):
        values = values[rows]
    if isinstance(rows, slice) and isinstance(cols, slice):
        return values
    import kestrelia.backtest._engine as _engine

    return _engine.gather(values, None if isinstance(rows, slice) else rows,
                          None if isinstance(cols, slice) else cols)


def _aligned(
    frame: pd.DataFrame, rows: slice | np.ndarray | None, cols: slice | np.ndarray | None, dtype
) -> np.ndarray | None:
    """The frame's values at ``rows`` x ``cols`` when every column already has ``dtype``
    (a view where possible), else None. A frame whose columns all share one dtype hands
    over its values in that dtype without a copy; any other mix comes out as another dtype
    (object for booleans among numbers), so the check needs no per-column dtype table."""
    if rows is None or cols is None or frame.shape[1] == 0:
        return None
    values = frame.to_numpy(copy=False)
    if values.dtype != np.dtype(dtype):
        return None
    return _select(values, rows, cols)


class _Positions:
    """_positions of each frame's labels, worked out once per distinct label object: the
    market's matrices usually share their index and columns."""

    def __init__(self, wanted: pd.Index):
        self.wanted = wanted
        self.found: dict[int, tuple[pd.Index, slice | np.ndarray | None]] = {}

    def __call__(self, labels: pd.Index) -> slice | np.ndarray | None:
        hit = self.found.get(id(labels))
        if hit is not None and hit[0] is labels:
            return hit[1]
        where = _positions(labels, self.wanted)
        self.found[id(labels)] = (labels, where)
        return where


def _float_array(frame: pd.DataFrame, days: _Positions, stocks: _Positions) -> np.ndarray:
    values = _aligned(frame, days(frame.index), stocks(frame.columns), np.float64)
    if values is not None:
        return values
    return frame.reindex(index=days.wanted, columns=stocks.wanted).to_numpy(dtype=np.float64)


def _mask_array(frame: pd.DataFrame, days: _Positions, stocks: _Positions) -> np.ndarray:
    values = _aligned(frame, days(frame.index), stocks(frame.columns), np.bool_)
    if values is not None:
        return values
    aligned = frame.reindex(index=days.wanted, columns=stocks.wanted)
    # Only a cell that is True allows the trade; missing rows, columns and NaN do not.
    return aligned.isin([True]).to_numpy(dtype=bool)


def _build_market_arrays(
    index,
    columns,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
) -> dict[str, np.ndarray]:
    """Align the eight market matrices to ``index`` (days) x ``columns`` (stocks).

    Prices and factors come back as float64 with NaN where missing, the two masks as bool
    that is True only where the input cell is True. A matrix that already has the wanted
    labels (or holds them as one contiguous block) is returned as a view, without a copy.
    """
    # The caller's own Index objects are kept, so that labels taken from the same frames
    # are recognised as such without comparing them.
    days = _Positions(index if isinstance(index, pd.Index) else pd.Index(index))
    stocks = _Positions(columns if isinstance(columns, pd.Index) else pd.Index(columns))
    frames = {
        "split_factor": split_factor,
        "dividend_factor": dividend_factor,
        "close_price": close_price,
        "prev_close": prev_close,
        "buy_price": buy_price,
        "sell_price": sell_price,
    }
    jobs = {key: (_float_array, frames[name]) for key, name in _FLOAT_ARRAYS}
    jobs["can_buy_arr"] = (_mask_array, can_buy_stock)
    jobs["cant_sell_arr"] = (_mask_array, cant_sell_stock)
    # The positions first, in this thread (their cache is not shared between threads).
    for _, frame in jobs.values():
        days(frame.index)
        stocks(frame.columns)
    arrays = _run_jobs({key: (lambda job=job: job[0](job[1], days, stocks))
                        for key, job in jobs.items()},
                       sum(frame.size for _, frame in jobs.values()))
    return {
        "prev_close_arr": arrays["prev_close_arr"],
        "can_buy_arr": arrays["can_buy_arr"],
        "cant_sell_arr": arrays["cant_sell_arr"],
        "close_arr": arrays["close_arr"],
        "buy_price_arr": arrays["buy_price_arr"],
        "sell_price_arr": arrays["sell_price_arr"],
        "split_arr": arrays["split_arr"],
        "dividend_arr": arrays["dividend_arr"],
    }


# Below this many cells in all, the eight matrices are aligned one after another.
_PARALLEL_CELLS = 1 << 23


def _run_jobs(jobs: dict, cells: int) -> dict:
    """Each job's result by key. A gather is bound by memory and by the page faults of its
    new array, both of which a second core adds to: large markets are aligned on two
    threads (the gathers release the GIL), each matrix whole by one of them."""
    import os

    workers = min(2, os.cpu_count() or 1)
    if cells < _PARALLEL_CELLS or workers < 2:
        return {key: job() for key, job in jobs.items()}
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(workers, thread_name_prefix="kestrelia-align") as pool:
        futures = {key: pool.submit(job) for key, job in jobs.items()}
        return {key: future.result() for key, future in futures.items()}


def _yyyymmdd_labels(index: pd.Index) -> pd.Index | None:
    """The labels as 8-digit text when every one of them is a YYYYMMDD date."""
    if len(index) == 0:
        return None
    if index.dtype.kind in "iu":
        text = index.astype(str)
    elif all(isinstance(value, str) for value in index):
        text = pd.Index(index, dtype=object)
    else:
        return None
    if text.str.fullmatch(r"\d{8}").all():
        return text
    return None


def _with_datetime_index(df: pd.DataFrame) -> pd.DataFrame:
    """The same rows and columns with a DatetimeIndex; ``df`` itself is not modified.

    8-digit YYYYMMDD labels (text or integers) are parsed with "%Y%m%d"; anything else
    goes through ``pd.to_datetime``.
    """
    out = df.copy(deep=False)
    index = df.index
    if isinstance(index, pd.DatetimeIndex):
        return out
    text = _yyyymmdd_labels(index)
    if text is not None:
        parsed = pd.to_datetime(text, format="%Y%m%d")
    else:
        parsed = pd.to_datetime(index)
    out.index = pd.DatetimeIndex(parsed, name=index.name)
    return out


def safe_sharpe(series, periods: int = 252) -> float:
    """Annualised Sharpe ratio: mean / std (ddof=1) x sqrt(periods) over the finite values.

    NaN when fewer than two finite values remain or the standard deviation is 0 or not
    finite. Constant values count as a zero deviation even when floating-point rounding
    of their mean leaves a residue of 1e-19 (which would give a ratio of 1e16).
    """
    values = pd.to_numeric(pd.Series(series), errors="coerce").to_numpy(dtype=float)
    finite = values[np.isfinite(values)]
    if finite.size < 2 or finite.min() == finite.max():
        return float("nan")
    std = float(finite.std(ddof=1))
    if not math.isfinite(std) or std == 0.0:
        return float("nan")
    return float(finite.mean() / std * math.sqrt(periods))
