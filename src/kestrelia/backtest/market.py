"""The market a backtest trades in: the eight date x stock matrices, the benchmarks, and
the factors and index components a strategy reads."""

from __future__ import annotations

import os
import threading
from collections.abc import Mapping
from pathlib import Path
from typing import Any, cast

import numpy as np
import pandas as pd

from kestrelia import _dates, _labels, _names
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

    Every matrix carries the same trading dates (a tz-naive ``DatetimeIndex`` named
    ``date``) and the same six-digit stock codes over the caller's own arrays, so pandas
    tools work on them as they stand (``market.close_price.resample("ME").last()``). A
    market cannot be changed once made: its attributes cannot be rebound, and the one a
    sweep hands a strategy also refuses writes into its arrays.

    Parameters
    ----------
    can_buy_stock, cant_sell_stock : pandas.DataFrame
        Boolean masks (dates x stock codes): where a stock may be bought, and where it
        cannot be sold.
    split_factor, dividend_factor : pandas.DataFrame
        Split factors (shares after / before; NaN means 1) and cash dividends per share
        (NaN means 0).
    close_price, prev_close, buy_price, sell_price : pandas.DataFrame
        Prices: the close, the previous close, and the VWAP prices at which buys and sells
        fill; NaN where a stock has none. ``close_price`` sets the dates and stocks, and
        every other matrix must have exactly its labels.
    benchmarks : dict of str to pandas.Series, optional
        Daily returns (ratios) of benchmark indexes by short name such as ``"000852"``.
    factors : dict of str to pandas.DataFrame, optional
        Further matrices a strategy reads (numeric or boolean, with ``close_price``'s
        labels), by name: :meth:`factor` returns them, and the common names also as
        attributes (``adj_close``, ``volume``, ``market_value``, ``is_st``, ...). A market
        loaded from a store reads the store's factors itself.

    Dates may be given as a ``DatetimeIndex``, date objects, ISO or ``YYYYMMDD`` text or
    8-digit integers; time-zone-aware timestamps are converted to Shanghai time first (a
    Shanghai midnight stored in UTC keeps its day). Codes may be six digits, integers or
    carry an exchange (``000001.SZ``, ``sh600000``).

    Raises
    ------
    InputError
        When a matrix is not a DataFrame, its dates are not unambiguous, sorted ascending
        and unique, a column is not a stock code or two name the same one, a matrix's
        labels differ from ``close_price``'s, a mask is not boolean or a value is not
        numeric, or a value would make the numbers wrong: a price that is infinite, zero or
        negative, a split factor that is not finite and positive, a dividend that is
        infinite or negative. The message names the matrix and the first offending label.

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
    Market(2 dates 2024-01-02 to 2024-01-03, 2 stocks, benchmarks: none)
    """

    #: The store folder this market was loaded from (None when built from frames), and the
    #: window loaded: other processes map the same store rather than receive the matrices.
    store_path: Path | None = None
    store_window: tuple[str | None, str | None] = (None, None)

    can_buy_stock: pd.DataFrame
    cant_sell_stock: pd.DataFrame
    split_factor: pd.DataFrame
    dividend_factor: pd.DataFrame
    close_price: pd.DataFrame
    prev_close: pd.DataFrame
    buy_price: pd.DataFrame
    sell_price: pd.DataFrame
    _benchmarks: dict[str, pd.Series]
    # Factors and component masks read so far (a store market reads them on first use),
    # where they are read from (None: the market holds all it has), and whether the market
    # hands out read-only arrays.
    _factors: dict[str, pd.DataFrame]
    _components: dict[str, pd.DataFrame]
    _stored: Any
    _read_only: bool

    def __init__(self, *, can_buy_stock: pd.DataFrame, cant_sell_stock: pd.DataFrame,
                 split_factor: pd.DataFrame, dividend_factor: pd.DataFrame,
                 close_price: pd.DataFrame, prev_close: pd.DataFrame,
                 buy_price: pd.DataFrame, sell_price: pd.DataFrame,
                 benchmarks: Mapping[str, pd.Series] | None = None,
                 factors: Mapping[str, pd.DataFrame] | None = None) -> None:
        given = {"can_buy_stock": can_buy_stock, "cant_sell_stock": cant_sell_stock,
                 "split_factor": split_factor, "dividend_factor": dividend_factor,
                 "close_price": close_price, "prev_close": prev_close,
                 "buy_price": buy_price, "sell_price": sell_price}
        parts = _checked(given, benchmarks, values=True)
        self._set(parts, _checked_factors(given, factors, parts[0]["close_price"]))

    def _set(self, parts: tuple[dict[str, pd.DataFrame], dict[str, pd.Series]],
             factors: dict[str, pd.DataFrame] | None = None, stored: Any = None,
             read_only: bool = False) -> None:
        matrices, benchmarks = parts
        for name, frame in matrices.items():
            object.__setattr__(self, name, frame)
        object.__setattr__(self, "_benchmarks", benchmarks)
        object.__setattr__(self, "_factors", dict(factors or {}))
        object.__setattr__(self, "_components", {})
        object.__setattr__(self, "_stored", stored)
        object.__setattr__(self, "_read_only", read_only)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"a Market cannot be changed (setting {name!r}); make a new one "
                             "from changed frames instead")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"a Market cannot be changed (deleting {name!r})")

    @classmethod
    def _trusted(cls, matrices: dict[str, pd.DataFrame], benchmarks: Mapping[str, pd.Series],
                 store_path: Path | None = None,
                 store_window: tuple[str | None, str | None] = (None, None),
                 factors: Mapping[str, pd.DataFrame] | None = None,
                 stored: Any = None) -> Market:
        """A market of frames whose values were checked where they were made (a store's,
        or another market's): the labels are checked and read, the values not scanned.
        ``stored`` reads further factors on first use (see ``_store_factors``)."""
        market = cls.__new__(cls)
        parts = _checked(matrices, benchmarks, values=False)
        market._set(parts, _checked_factors(matrices, factors, parts[0]["close_price"]), stored)
        object.__setattr__(market, "store_path", store_path)
        object.__setattr__(market, "store_window", store_window)
        return market

    def _derived(self, matrices: dict[str, pd.DataFrame], benchmarks: Mapping[str, pd.Series],
                 factors: dict[str, pd.DataFrame],
                 window: tuple[str | None, str | None] | None = None) -> Market:
        """A market over frames taken from this one's (same labels, already read)."""
        market = type(self).__new__(type(self))
        market._set((matrices, dict(benchmarks)), factors, self._stored, self._read_only)
        object.__setattr__(market, "store_path", self.store_path)
        object.__setattr__(market, "store_window", self.store_window if window is None
                           else window)
        return market

    def read_only(self) -> Market:
        """The same market over arrays that refuse writes, as new frame objects: what a
        strategy of a sweep is handed, so that it cannot change the market of the others
        (nor this one).

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> frozen = example_market().read_only()
        >>> frozen.close_price.iloc[0, 0] = 1.0
        Traceback (most recent call last):
        ...
        ValueError: assignment destination is read-only
        """
        # The labels are copied too (they are small), so that no strategy can reach the
        # index objects the others and the caller share.
        dates, codes = _own_labels(self.dates), _own_labels(self.codes)
        matrices = {name: _read_only_frame(frame, dates, codes)
                    for name, frame in self.matrices().items()}
        benchmarks = {key: _read_only_series(s, _own_labels(s.index))
                      for key, s in self.benchmarks.items()}
        factors = {name: _read_only_frame(frame, dates, codes)
                   for name, frame in self._factors.items()}
        market = self._derived(matrices, benchmarks, factors)
        object.__setattr__(market, "_read_only", True)
        return market

    @property
    def benchmarks(self) -> dict[str, pd.Series]:
        """Daily returns of the benchmark indexes by short name (a new dict each time: the
        market's own cannot be changed through it).

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> example_market().benchmarks
        {}
        """
        return dict(self._benchmarks)

    def with_benchmarks(self, benchmarks: Mapping[str, pd.Series]) -> Market:
        """The same market (the same arrays) with other benchmark series.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> example_market().with_benchmarks({}).benchmarks
        {}
        """
        return self._derived(self.matrices(), _checked_benchmarks(benchmarks),
                             dict(self._factors))

    @classmethod
    def from_store(cls, path: str | os.PathLike[str], start: Any = None, end: Any = None,
                   mmap: bool = True) -> Market:
        """Load the market of a prepared-data store: the same as
        ``Store(path).market(start, end, mmap=mmap)``.

        Both read the store through one loader, ``kestrelia.backtest._store_market``,
        which sits below this module and ``store.py`` alike: ``Store`` makes markets, so
        it imports this module, and this one therefore never imports ``store.py``.

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
        from kestrelia.backtest._store_market import load_market

        return Market._trusted(*load_market(Path(path).expanduser(), start, end, mmap=mmap))

    def matrices(self) -> dict[str, pd.DataFrame]:
        """The eight matrices by the engine's parameter names, in the engine's order.

        Returns
        -------
        dict of str to pandas.DataFrame

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> list(example_market().matrices())[:2]
        ['can_buy_stock', 'cant_sell_stock']
        """
        return {name: getattr(self, name) for name in MATRIX_NAMES}

    @property
    def dates(self) -> pd.DatetimeIndex:
        """The trading dates (the close prices' index), tz-naive midnights.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> [str(d.date()) for d in example_market().dates]
        ['2024-01-02', '2024-01-03', '2024-01-04']
        """
        index = self.close_price.index
        assert isinstance(index, pd.DatetimeIndex)  # as every Market is made
        return index

    @property
    def codes(self) -> pd.Index:
        """The stock codes (the close prices' columns), six digits each.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> list(example_market().codes)
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
        >>> from kestrelia.backtest._examples import example_market
        >>> len(example_market().slice("2024-01-03").dates)
        2
        """
        lo, hi = _bound(start, "start"), _bound(end, "end")
        if lo is not None and hi is not None and lo > hi:
            raise InputError(f"start {start!r} is after end {end!r}")

        def cut(obj: Any) -> Any:
            return obj.loc[lo:hi]

        window = self.store_window
        if self.store_path is not None:
            first, last = (None if b is None else b.strftime("%Y%m%d") for b in (lo, hi))
            window = (max(filter(None, (window[0], first))) if window[0] or first else None,
                      min(filter(None, (window[1], last))) if window[1] or last else None)
        return self._derived({name: cut(m) for name, m in self.matrices().items()},
                             {k: cut(s) for k, s in self.benchmarks.items()},
                             {k: cut(f) for k, f in self._factors.items()}, window)

    # ---- factors and index components ---------------------------------------------------

    @property
    def factors(self) -> list[str]:
        """The names of the factors :meth:`factor` returns (a store market's are read on
        first use).

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> example_market().factors
        []
        """
        stored = self._stored.available() if self._stored is not None else []
        return list(dict.fromkeys([*stored, *self._factors]))

    def factor(self, name: str) -> pd.DataFrame:
        """The factor ``name`` as a DataFrame on the market's dates and codes, over the
        stored (or given) array without a copy.

        Raises
        ------
        InputError
            When the market has no such factor; the message names what it would need (the
            source field a store reads it from).
        StoreError
            When the store was rewritten after this market was loaded from it.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> example_market().factor("volume")
        Traceback (most recent call last):
        ...
        kestrelia.errors.InputError: this market holds no factor 'volume' (it has: none); a store keeps it when its source has the 'volume' factor
        """
        frame = self._factors.get(name)
        if frame is not None:
            return frame
        stored = self._stored
        if stored is None or name not in stored.available():
            raise InputError(stored.missing(name) if stored is not None
                             else _missing_factor(name, self._factors))
        with _READ_LOCK:
            frame = self._factors.get(name)
            if frame is None:
                frame = self._own(stored.read(stored.keys[name], f"the factor {name!r}",
                                              self.store_window), f"factor {name!r}")
                self._factors[name] = frame
        return frame

    def _own(self, frame: pd.DataFrame, what: str) -> pd.DataFrame:
        """A stored matrix of the market's grid, under the market's labels."""
        if frame.shape != self.close_price.shape:
            raise InputError(f"{what}: the store holds {frame.shape[0]} days x "
                             f"{frame.shape[1]} stocks for this market of "
                             f"{self.close_price.shape[0]} x {self.close_price.shape[1]}")
        view = (_read_only_frame(frame, self.dates, self.codes) if self._read_only
                else frame.copy(deep=False))
        view.index, view.columns = self.dates, self.codes
        return view

    @property
    def adj_close(self) -> pd.DataFrame:
        """Backward total-return index: the close on a stock's first stored day, then each
        day's close with splits and dividends reinvested (``adj_close.pct_change()`` is the
        holder's return)."""
        return self.factor("adj_close")

    @property
    def open_price(self) -> pd.DataFrame:
        """Opening prices (the factor ``open``)."""
        return self.factor("open")

    @property
    def volume(self) -> pd.DataFrame:
        """Traded volume, in the source's units."""
        return self.factor("volume")

    @property
    def amount(self) -> pd.DataFrame:
        """Traded value, in the source's units."""
        return self.factor("amount")

    @property
    def market_value(self) -> pd.DataFrame:
        """Total market value."""
        return self.factor("market_value")

    @property
    def float_market_value(self) -> pd.DataFrame:
        """Free-float market value."""
        return self.factor("float_market_value")

    @property
    def industry(self) -> pd.DataFrame:
        """Industry numbers."""
        return self.factor("industry")

    @property
    def is_st(self) -> pd.DataFrame:
        """True on the days a stock is under special treatment (boolean)."""
        return self.factor("is_st")

    @property
    def listed_days(self) -> pd.DataFrame:
        """Trading days since listing, 1 on the first day."""
        return self.factor("listed_days")

    @property
    def component_codes(self) -> list[str]:
        """The indexes :meth:`components` has members of.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> example_market().component_codes
        []
        """
        return list(self._stored.components) if self._stored is not None else []

    def components(self, code: str) -> pd.DataFrame:
        """The members of index ``code`` (``"000300"``) on each of the market's days, as a
        boolean DataFrame on the market's dates and codes.

        Raises
        ------
        InputError
            When the market has no members of that index.

        Examples
        --------
        >>> from kestrelia.backtest._examples import example_market
        >>> example_market().components("000300")
        Traceback (most recent call last):
        ...
        kestrelia.errors.InputError: this market holds no members of the index '000300' (it has none)
        """
        frame = self._components.get(code)
        if frame is not None:
            return frame
        if code not in self.component_codes:
            raise InputError(f"this market holds no members of the index {code!r} (it has "
                             f"{', '.join(self.component_codes) or 'none'})")
        with _READ_LOCK:
            mask = self._stored.read(self._stored.components[code],
                                     f"the members of {code}", self.store_window)
            days = pd.Index(self.dates.strftime("%Y%m%d"))
            members = mask.reindex(index=days, columns=self.codes).notna()
            members.index, members.columns = self.dates, self.codes
            frame = (_read_only_frame(members, self.dates, self.codes) if self._read_only
                     else members)
            self._components[code] = frame
        return frame

    def __repr__(self) -> str:
        dates = self.dates
        span = f"{len(dates)} dates"
        if len(dates):
            span += f" {dates[0].date()} to {dates[-1].date()}"
        names = ", ".join(self.benchmarks) or "none"
        return f"Market({span}, {len(self.codes)} stocks, benchmarks: {names})"

    def __reduce__(self) -> tuple[Any, ...]:
        # Immutable objects pickle by their parts (a cluster's workers get markets so).
        return (_rebuild, (self.matrices(), dict(self.benchmarks), self.store_path,
                           self.store_window, dict(self._factors), self._stored))


# Lazy reads of one market from several threads (a sweep's strategies) read each factor once.
_READ_LOCK = threading.RLock()


def _rebuild(matrices: dict[str, pd.DataFrame], benchmarks: dict[str, pd.Series],
             store_path: Path | None, window: tuple[str | None, str | None],
             factors: dict[str, pd.DataFrame] | None = None, stored: Any = None) -> Market:
    return Market._trusted(matrices, benchmarks, store_path, window, factors=factors,
                           stored=stored)


def _missing_factor(name: str, held: Mapping[str, pd.DataFrame]) -> str:
    known = _names.STORE_FACTOR_BY_NAME.get(name)
    need = (f"; a store keeps it when its source has the {known.field!r} factor"
            if known is not None and known.field else
            "; a store derives it from its closes, splits and dividends"
            if known is not None else "")
    return (f"this market holds no factor {name!r} (it has: {', '.join(held) or 'none'})"
            f"{need}")


def _checked_factors(given: Mapping[str, pd.DataFrame],
                     factors: Mapping[str, pd.DataFrame] | None,
                     close: pd.DataFrame) -> dict[str, pd.DataFrame]:
    """The factor frames with the market's labels, refused unless numeric or boolean with
    exactly close_price's labels. ``close``: the market's close, already relabelled."""
    if not factors:
        return {}
    if not isinstance(factors, Mapping):
        raise InputError(f"factors must be a mapping of name -> DataFrame, got "
                         f"{type(factors).__name__}")
    raw = given["close_price"]
    checked = {}
    for name, frame in dict(factors).items():
        if not isinstance(name, str) or not name:
            raise InputError(f"factor names must be non-empty text, got {name!r}")
        what = f"factor {name!r}"
        frame = _validate.frame(frame, what)
        if not all(pd.api.types.is_bool_dtype(d) for d in set(frame.dtypes)):
            _validate.numeric(frame, what)
        _labels_of(frame, what, cast(pd.DatetimeIndex, close.index), close.columns, raw)
        view = frame.copy(deep=False)
        view.index, view.columns = close.index, close.columns
        checked[name] = view
    return checked


def _bound(value: Any, what: str) -> pd.Timestamp | None:
    if value is None:
        return None
    text = _dates.parse_date(_labels.exchange_day(value))
    if text is None:
        raise InputError(f"{what} {value!r} is not an unambiguous date ({_dates.ACCEPTED})")
    return pd.Timestamp(text)


# Value rules of the market's numbers (what the engine cannot price with), by matrix.
_VALUE_RULES = {
    "split_factor": "positive",
    "dividend_factor": "non_negative",
    "close_price": "positive",
    "prev_close": "positive",
    "buy_price": "positive",
    "sell_price": "positive",
}
_RULE_TEXT = {"positive": "not a finite number above 0",
              "non_negative": "not a finite number of 0 or more"}


def _labels_of(frame: pd.DataFrame, name: str, dates: pd.DatetimeIndex, codes: pd.Index,
               reference: pd.DataFrame) -> None:
    """Refuses a matrix whose dates or codes are not exactly close_price's."""
    for axis, labels, ref, read, what in (
            ("dates", frame.index, reference.index, dates, "dates"),
            ("codes", frame.columns, reference.columns, codes, "stock codes")):
        if labels is ref or labels.equals(ref):
            continue
        theirs = (_labels.trading_dates(labels, name) if axis == "dates"
                  else _labels.stock_codes(labels, name))
        if theirs.equals(read):
            continue
        n = min(len(theirs), len(read))
        differ = np.flatnonzero(np.asarray(theirs[:n]) != np.asarray(read[:n]))
        at = int(differ[0]) if len(differ) else n
        label = labels[at] if at < len(labels) else "(none)"
        expected = ref[at] if at < len(ref) else "(none)"
        raise InputError(f"{name}: its {what} differ from close_price's: {label!r} where "
                         f"close_price has {expected!r} (position {at})")


def _check_values(frame: pd.DataFrame, name: str, rule: str) -> None:
    import kestrelia.backtest._engine as _engine

    values = frame.to_numpy(dtype=np.float64, copy=False)
    at = _engine.first_bad_value(values, rule)
    if at is not None:
        row, col = at
        raise InputError(f"{name}: the value {float(values[row, col])!r} at "
                         f"({frame.index[row]!r}, {frame.columns[col]!r}) is {_RULE_TEXT[rule]}")


def _checked(given: Mapping[str, Any], benchmarks: Mapping[str, pd.Series] | None, *,
             values: bool) -> tuple[dict[str, pd.DataFrame], dict[str, pd.Series]]:
    for name in MATRIX_NAMES:
        matrix = _validate.frame(given[name], name)
        if name in MASK_NAMES:
            _validate.boolean(matrix, name)
        else:
            _validate.numeric(matrix, name)
    close = given["close_price"]
    dates = _labels.trading_dates(close.index, "close_price")
    _validate.sorted_unique_index(dates, "close_price")
    codes = _labels.stock_codes(close.columns, "close_price")
    matrices: dict[str, pd.DataFrame] = {}
    for name in MATRIX_NAMES:
        frame = given[name]
        if name != "close_price":
            _labels_of(frame, name, dates, codes, close)
        frame = _numpy_backed(frame, name)
        if values and name in _VALUE_RULES:
            _check_values(frame, name, _VALUE_RULES[name])
        # A new frame object over the same arrays, with the read labels.
        view = frame.copy(deep=False)
        view.index = dates
        view.columns = codes
        matrices[name] = view
    return matrices, _checked_benchmarks(benchmarks)


def _checked_benchmarks(benchmarks: Mapping[str, pd.Series] | None) -> dict[str, pd.Series]:
    checked: dict[str, pd.Series] = {}
    for key, series in dict(benchmarks or {}).items():
        what = f"benchmark {key!r}"
        if not isinstance(key, str):
            raise InputError(f"benchmark names must be text, got {key!r}")
        if not isinstance(series, pd.Series):
            raise InputError(f"{what} must be a pandas Series, got {type(series).__name__}")
        if not _validate.real_number_dtype(series.dtype):
            raise InputError(f"{what} is {series.dtype}, not numeric")
        days = _labels.trading_dates(series.index, what)
        _validate.sorted_unique_index(days, what)
        if not isinstance(series.dtype, np.dtype):
            series = pd.Series(series.to_numpy(dtype=np.float64, na_value=np.nan),
                               index=series.index, name=series.name)
        infinite = np.isinf(series.to_numpy(dtype=np.float64))
        if infinite.any():
            at = int(np.argmax(infinite))
            raise InputError(f"{what}: the return {float(series.iloc[at])!r} on "
                             f"{days[at].date()} is not finite (NaN marks a day without one)")
        dated = series.copy(deep=False)
        dated.index = days
        checked[key] = dated
    return checked


def _numpy_backed(frame: pd.DataFrame, name: str) -> pd.DataFrame:
    """The frame itself when every column is a NumPy column; else (pandas' nullable or
    pyarrow columns, as read_parquet(dtype_backend=...) gives) a NumPy copy, in which a
    missing price is NaN and a missing mask cell is False: only a cell that is True allows
    a trade, and only one that is True forbids a sale (as the engine's alignment reads
    missing cells)."""
    if all(isinstance(dtype, np.dtype) for dtype in set(frame.dtypes)):
        return frame
    if name in MASK_NAMES:
        values = frame.to_numpy(dtype=bool, na_value=False)
    else:
        values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    return pd.DataFrame(np.asfortranarray(values), index=frame.index, columns=frame.columns,
                        copy=False)


def _unwritable(values: np.ndarray) -> np.ndarray:
    """The same memory through a read-only buffer: unlike a view with its flag cleared,
    it cannot be made writable again."""
    buffer: Any = values  # NumPy arrays export the buffer protocol
    return np.asarray(memoryview(buffer).toreadonly())


def _read_only_frame(frame: pd.DataFrame, index: pd.Index, columns: pd.Index) -> pd.DataFrame:
    return pd.DataFrame(_unwritable(frame.to_numpy(copy=False)), index=index, columns=columns,
                        copy=False)


def _read_only_series(series: pd.Series, index: pd.Index) -> pd.Series:
    return pd.Series(_unwritable(series.to_numpy(copy=False)), index=index, name=series.name,
                     copy=False)


def _own_labels(labels: pd.Index) -> pd.Index:
    """A copy of a label index over values nothing else holds (labels are small)."""
    copied: pd.Index = pd.Index(labels.to_numpy(copy=True), name=labels.name, dtype=labels.dtype)
    return copied


