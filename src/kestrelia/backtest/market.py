"""The market a backtest trades in: the eight date x stock matrices and the benchmarks."""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import pandas as pd

from kestrelia import _dates
from kestrelia.backtest import _validate
from kestrelia.errors import InputError

__all__ = ["MASK_NAMES", "MATRIX_NAMES", "PRICE_NAMES", "Market"]

MASK_NAMES = ("can_buy_stock", "cant_sell_stock")
PRICE_NAMES = ("split_factor", "dividend_factor", "close_price", "prev_close", "buy_price",
               "sell_price")
# The engine's order of its market parameters.
MATRIX_NAMES = ("can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor",
                "close_price", "prev_close", "buy_price", "sell_price")


class Market:
    """The market matrices of a backtest, checked once and never copied.

    Parameters
    ----------
    can_buy_stock, cant_sell_stock : pandas.DataFrame
        Boolean masks (dates x stock codes): where a stock may be bought, and where it
        cannot be sold.
    split_factor, dividend_factor : pandas.DataFrame
        Numeric split factors (NaN means 1) and cash dividends per share (NaN means 0).
    close_price, prev_close, buy_price, sell_price : pandas.DataFrame
        Numeric prices: the close, the previous close, and the VWAP prices at which buys
        and sells fill. ``close_price`` sets the backtest's dates and stocks.
    benchmarks : dict of str to pandas.Series, optional
        Daily returns (ratios) of benchmark indexes by short name such as ``"000852"``.

    Raises
    ------
    InputError
        When a matrix is not a DataFrame, its dates are not sorted ascending and unique,
        a column is not a unique six-digit stock code, a mask is not boolean or a price
        not numeric; the message names the matrix and the first offending label.

    Examples
    --------
    >>> import pandas as pd
    >>> dates, codes = ["20240102", "20240103"], ["000001", "600000"]
    >>> price = pd.DataFrame(10.0, index=dates, columns=codes)
    >>> mask = pd.DataFrame(True, index=dates, columns=codes)
    >>> market = Market(can_buy_stock=mask, cant_sell_stock=~mask, split_factor=price * 0 + 1,
    ...                 dividend_factor=price * 0, close_price=price, prev_close=price,
    ...                 buy_price=price, sell_price=price)
    >>> market
    Market(2 dates 20240102 to 20240103, 2 stocks, benchmarks: none)
    """

    #: The store folder this market was loaded from (None when built from frames), and the
    #: window loaded: other processes map the same store rather than receive the matrices.
    store_path: Path | None = None
    store_window: tuple[str | None, str | None] = (None, None)

    def __init__(self, *, can_buy_stock: pd.DataFrame, cant_sell_stock: pd.DataFrame,
                 split_factor: pd.DataFrame, dividend_factor: pd.DataFrame,
                 close_price: pd.DataFrame, prev_close: pd.DataFrame,
                 buy_price: pd.DataFrame, sell_price: pd.DataFrame,
                 benchmarks: Mapping[str, pd.Series] | None = None) -> None:
        given = {"can_buy_stock": can_buy_stock, "cant_sell_stock": cant_sell_stock,
                 "split_factor": split_factor, "dividend_factor": dividend_factor,
                 "close_price": close_price, "prev_close": prev_close,
                 "buy_price": buy_price, "sell_price": sell_price}
        for name, value in given.items():
            matrix = _validate.frame(value, name)
            _validate.sorted_unique_index(matrix.index, name)
            _validate.stock_codes(matrix.columns, name)
            if name in MASK_NAMES:
                _validate.boolean(matrix, name)
            else:
                _validate.numeric(matrix, name)
        checked: dict[str, pd.Series] = {}
        for key, series in dict(benchmarks or {}).items():
            what = f"benchmark {key!r}"
            if not isinstance(key, str):
                raise InputError(f"benchmark names must be text, got {key!r}")
            if not isinstance(series, pd.Series):
                raise InputError(f"{what} must be a pandas Series, got "
                                 f"{type(series).__name__}")
            _validate.sorted_unique_index(series.index, what)
            if pd.api.types.is_bool_dtype(series.dtype) or not pd.api.types.is_numeric_dtype(
                    series.dtype):
                raise InputError(f"{what} is {series.dtype}, not numeric")
            checked[key] = series
        self.can_buy_stock = can_buy_stock
        self.cant_sell_stock = cant_sell_stock
        self.split_factor = split_factor
        self.dividend_factor = dividend_factor
        self.close_price = close_price
        self.prev_close = prev_close
        self.buy_price = buy_price
        self.sell_price = sell_price
        self.benchmarks: dict[str, pd.Series] = checked

    @classmethod
    def from_store(cls, path: str | os.PathLike[str], start: Any = None, end: Any = None,
                   mmap: bool = True) -> Market:
        """Load the market of a prepared-data store.

        Parameters
        ----------
        path : str or path-like
            The store folder.
        start, end : date, optional
            First and last date to load (inclusive); the whole store when omitted.
        mmap : bool, default True
            Map the stored files read-only instead of reading them into memory.

        Returns
        -------
        Market

        Raises
        ------
        StoreError
            When the folder holds no store or the store lacks a market dataset.
        InputError
            When a date is not an unambiguous date.

        Examples
        --------
        >>> Market.from_store("no-such-store")  # doctest: +ELLIPSIS
        Traceback (most recent call last):
        ...
        kestrelia.errors.StoreError: no-such-store is not a prepared-data store ...
        """
        from kestrelia.backtest.store import Store

        return Store(path).market(start, end, mmap=mmap)

    def matrices(self) -> dict[str, pd.DataFrame]:
        """The eight matrices by the engine's parameter names, in the engine's order.

        Returns
        -------
        dict of str to pandas.DataFrame

        Examples
        --------
        >>> list(_example_market().matrices())[:2]
        ['can_buy_stock', 'cant_sell_stock']
        """
        return {name: getattr(self, name) for name in MATRIX_NAMES}

    @property
    def dates(self) -> pd.Index:
        """The trading dates (the close prices' index).

        Examples
        --------
        >>> list(_example_market().dates)
        ['20240102', '20240103', '20240104']
        """
        return self.close_price.index

    @property
    def codes(self) -> pd.Index:
        """The stock codes (the close prices' columns).

        Examples
        --------
        >>> list(_example_market().codes)
        ['000001', '600000']
        """
        return self.close_price.columns

    def slice(self, start: Any = None, end: Any = None) -> Market:
        """The market between two dates (inclusive), as views of these matrices.

        Parameters
        ----------
        start, end : date, optional
            ``YYYYMMDD`` or ISO text, an 8-digit integer or a timestamp; open when omitted.

        Returns
        -------
        Market

        Raises
        ------
        InputError
            When a bound is not an unambiguous date or ``start`` is after ``end``.

        Examples
        --------
        >>> list(_example_market().slice("2024-01-03").dates)
        ['20240103', '20240104']
        """
        lo, hi = self._bound(start, "start"), self._bound(end, "end")
        if lo is not None and hi is not None and lo > hi:
            raise InputError(f"start {start!r} is after end {end!r}")

        def cut(obj: Any) -> Any:
            return obj.loc[lo:hi]

        market = Market(**{name: cut(m) for name, m in self.matrices().items()},
                        benchmarks={k: cut(s) for k, s in self.benchmarks.items()})
        if self.store_path is not None:
            first, last = self.store_window
            market.store_path = self.store_path
            market.store_window = (max(filter(None, (first, lo))) if first or lo else None,
                                   min(filter(None, (last, hi))) if last or hi else None)
        return market

    def _bound(self, value: Any, what: str) -> Any:
        if value is None:
            return None
        text = _dates.parse_date(value)
        if text is None:
            raise InputError(f"{what} {value!r} is not an unambiguous date "
                             f"({_dates.ACCEPTED})")
        if pd.api.types.is_datetime64_any_dtype(self.dates.dtype):
            return pd.Timestamp(text)
        return text

    def __repr__(self) -> str:
        dates = self.dates
        span = f"{len(dates)} dates"
        if len(dates):
            span += f" {dates[0]} to {dates[-1]}"
        names = ", ".join(self.benchmarks) or "none"
        return f"Market({span}, {len(self.codes)} stocks, benchmarks: {names})"


def _example_market() -> Market:
    """A three-day, two-stock market for the examples."""
    dates, codes = ["20240102", "20240103", "20240104"], ["000001", "600000"]
    price = pd.DataFrame([[10.0, 8.0], [10.5, 7.9], [10.2, 8.1]], index=dates, columns=codes)
    mask = pd.DataFrame(True, index=dates, columns=codes)
    return Market(can_buy_stock=mask, cant_sell_stock=~mask, split_factor=price * 0 + 1,
                  dividend_factor=price * 0, close_price=price, prev_close=price.shift(1),
                  buy_price=price, sell_price=price)
