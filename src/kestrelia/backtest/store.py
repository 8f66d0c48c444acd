"""A prepared-data store on disk: build it from a data service, update its tail, inspect,
verify, and load a market from it."""

from __future__ import annotations

import bisect
import os
import re
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, overload

import pandas as pd

from kestrelia import _dates, _names, singleton
from kestrelia.backtest import _store_factors
from kestrelia.backtest._storage.entries import is_series_dict
from kestrelia.backtest._store_market import (
    MARKET_DATASETS,
    load_market,
    native_store,
    open_existing,
    read_metadata,
)
from kestrelia.backtest.market import Market
from kestrelia.errors import InputError, KestreliaError, StoreError

__all__ = ["MARKET_DATASETS", "Store"]

# The forward return the builder derives for a day reads the opens of the next two days.
_FORWARD_DAYS = 2

# The data-service client is process-wide: builds that swap it must not overlap.
_SERVICE_LOCK = threading.RLock()


@contextmanager
def _service(source: Any) -> Iterator[None]:
    """Registers ``source`` (a client, or a factor folder) as the data service for the
    duration of the block and restores the previous client afterwards."""
    if isinstance(source, (str, os.PathLike)):
        from kestrelia.dataservice import LocalFactorService

        try:
            source = LocalFactorService(source)
        except FileNotFoundError as exc:
            raise InputError(str(exc)) from None
    with _SERVICE_LOCK:
        previous = singleton.set_instance(source)
        try:
            yield
        finally:
            singleton.set_instance(previous)


@overload
def _window(start: Any, end: Any) -> tuple[str, str]: ...
@overload
def _window(start: Any, end: Any, *, open_ended: bool) -> tuple[str | None, str | None]: ...
def _window(start: Any, end: Any, *, open_ended: bool = False) -> tuple[str | None, str | None]:
    """``start`` and ``end`` as ``YYYYMMDD`` text, unambiguous dates in order; with
    ``open_ended`` either may be None (no bound)."""
    bounds: list[str | None] = []
    for value, what in ((start, "start"), (end, "end")):
        text = None if value is None and open_ended else _dates.parse_date(value)
        if text is None and not (value is None and open_ended):
            raise InputError(f"{what} {value!r} is not an unambiguous date ({_dates.ACCEPTED})")
        bounds.append(text)
    lo, hi = bounds
    if lo is not None and hi is not None and lo > hi:
        raise InputError(f"start {lo} is after end {hi}")
    return lo, hi


def _source_days(first: str, last: str, *, inclusive: bool = False) -> list[str]:
    """The registered source's trading days strictly between ``first`` and ``last`` (or
    from ``first`` to ``last`` when ``inclusive``): the days of its close prices, which is
    what makes a day a row of a built store."""
    import kestrelia.backtest._prepare as _prepare

    builder = _prepare.GroupPreparedDataBuilder(start_date=first, end_date=last)
    close = builder._read_normal_factor_matrix(_names.CLOSE)
    days = {_dates.normalize_yyyymmdd(label) for label in close.index}
    return sorted(day for day in days if day is not None and (
        first <= day <= last if inclusive else first < day < last))


def _row_days(frame: Any) -> set[str]:
    """The ``YYYYMMDD`` dates of a payload frame's rows (none for anything else)."""
    if not isinstance(frame, pd.DataFrame):
        return set()
    days = {_dates.normalize_yyyymmdd(label) for label in frame.index}
    return {day for day in days if day is not None}


def _dated(frame: pd.DataFrame, what: str) -> pd.DataFrame:
    """The frame over the same values with the market's labels: a ``DatetimeIndex`` named
    ``date`` (the store keeps ``YYYYMMDD`` text)."""
    from kestrelia import _labels

    view = frame.copy(deep=False)
    view.index = _labels.trading_dates(frame.index, what)
    return view


class Store:
    """A prepared-data store folder.

    Parameters
    ----------
    path : str or path-like
        The store folder; it need not exist before :meth:`build`.
    lock_timeout : float, optional
        Seconds a write waits for another process's write to finish before it fails with
        ``StoreError``; default ``KESTRELIA_STORE_LOCK_TIMEOUT`` or 5.

    Examples
    --------
    >>> store = Store("my-store")
    >>> store
    Store('my-store')
    """

    def __init__(self, path: str | os.PathLike[str], *, lock_timeout: float | None = None) -> None:
        self.path = Path(path).expanduser()
        if lock_timeout is not None and not (isinstance(lock_timeout, (int, float))
                                             and lock_timeout >= 0):
            raise InputError(f"lock_timeout must be zero or more seconds, got {lock_timeout!r}")
        self.lock_timeout = lock_timeout

    def __repr__(self) -> str:
        return f"Store({str(self.path)!r})"

    def _native(self) -> Any:
        return native_store(self.path, self.lock_timeout)

    def _existing(self) -> Any:
        return open_existing(self.path, self.lock_timeout)

    def _metadata(self, native: Any) -> dict[str, Any]:
        return read_metadata(native, self.path)

    def _dates(self, native: Any) -> list[str]:
        entry = self._metadata(native).get("datasets", {}).get("close_price")
        if not entry:
            raise StoreError(f"{self.path} holds no close_price dataset")
        dates = entry.get("dates") if isinstance(entry, dict) else None
        if not isinstance(dates, list) or not all(isinstance(d, str) for d in dates):
            raise StoreError(f"{self.path}: the dates of close_price in its metadata are not a "
                             "list of text (run 'store verify')")
        return list(dates)

    def _check_build_target(self, force: bool) -> None:
        """A build writes into a new or empty folder, or over a store (with ``force``);
        never into a folder of other files, which the store's clean-up could not tell from
        its own."""
        from kestrelia.backtest._storage.lock import LOCK_FILE
        from kestrelia.backtest._store import METADATA_FILE

        if not self.path.exists():
            if self.path.is_symlink():
                raise StoreError(f"{self.path} is a link to nothing; give a folder")
            return
        if not self.path.is_dir():
            raise StoreError(f"{self.path} is not a folder")
        if (self.path / METADATA_FILE).exists():
            if not force:
                raise StoreError(f"{self.path} already holds a store; pass force=True to "
                                 "replace it")
            return
        # The lock file alone is what an earlier build that failed before writing leaves.
        others = sorted(p.name for p in self.path.iterdir() if p.name != LOCK_FILE)
        if others:
            raise StoreError(
                f"{self.path} is not empty and holds no store (no {METADATA_FILE}; it holds "
                f"{others[0]!r}{f' and {len(others) - 1} more' if len(others) > 1 else ''}): "
                "a store is built only into a new or empty folder or over a store, so nothing "
                "was written (force replaces a store, never other files)")

    def build(self, source: Any, start: Any, end: Any, *, force: bool = False,
              factors: str | list[str] | None = None) -> None:
        """Build the store of ``[start, end]`` from a data service.

        Beside the backtest datasets the store keeps, on their dates and codes, the factors
        a strategy reads (the adjusted close, and the open, close, volume, amount, market
        values, industry, ST flag and trading days since listing whenever the source has
        them), a benchmark series for every index the source has daily rows of and a
        component mask for every index with members.

        Parameters
        ----------
        source : data-service client or path-like
            A client object, or a factor folder (a local client is made for it).
        start, end : date
            First and last date (inclusive), ``YYYYMMDD`` or ISO.
        force : bool, default False
            Replace a store that is already there. A folder that holds other files and no
            store is refused even so: the build never deletes what it did not write.
        factors : list of str or "all", optional
            Further numeric factors of the source to keep, by their names there (``"all"``:
            every one beyond the builder's own). :meth:`update` refreshes what the build
            kept.

        Raises
        ------
        StoreError
            When a store is already there and ``force`` is false, when the folder holds
            files but no store, or when the write fails.
        InputError
            For a bad date or window, a source that is no factor folder, a source without
            prices in the window, or a named factor the source lacks.

        Examples
        --------
        >>> Store("my-store").build("no-such-folder", "20240102", "20240131")
        Traceback (most recent call last):
        ...
        kestrelia.errors.InputError: no-such-folder is not a factor folder (no factors/)
        """
        import kestrelia.backtest._prepare as _prepare

        lo, hi = _window(start, end)
        self._check_build_target(force)
        with _service(source):
            builder = _prepare.GroupPreparedDataBuilder(start_date=lo, end_date=hi)
            try:
                payload = builder.build()
            except (KeyError, ValueError):
                # The builder stops at the first part it finds empty (the benchmark, say)
                # and names that part; the user's mistake is the window.
                if not _source_days(lo, hi, inclusive=True):
                    raise InputError(f"the source has no trading days between {lo} and "
                                     f"{hi}: nothing to build") from None
                _raise_missing_benchmark(sys.exc_info()[1], lo, hi)
                raise
            if len(payload["data"]["close_price"]) == 0:
                raise InputError(f"the source has no prices between {lo} and {hi}")
            _store_factors.extend_build(payload, builder, singleton.get_instance(), factors)
        try:
            native = self._native()
            self.path.mkdir(parents=True, exist_ok=True)
            with native._writer_lock():
                # Again under the lock: another process may have written here meanwhile.
                self._check_build_target(force)
                native.write(payload)
        except KestreliaError:
            raise
        except OSError as exc:
            raise StoreError(f"cannot write the store {self.path}: {exc}") from None

    def update(self, source: Any, start: Any, end: Any) -> None:
        """Rebuild ``[start, end]`` (with one stored day of look-back) and write it over
        the store, with the factors, benchmarks and components the build kept (the adjusted
        close continued from its stored value): the days after ``end`` that the store holds
        are kept.

        Parameters
        ----------
        source : data-service client or path-like
            A client object, or a factor folder.
        start, end : date
            First and last date to rewrite (inclusive).

        An update that reaches the store's last day or beyond replaces its tail and adds
        the new days. One of a window inside the store (after a source was corrected,
        say) rewrites that window and keeps every later day; the first later day is
        rebuilt too, as its previous close is the window's last close.

        The whole update holds the store's writer lock, from reading the store's dates to
        the commit: a concurrent update of another window waits (up to the lock timeout)
        rather than building on dates that are about to change.

        Raises
        ------
        StoreError
            When there is no store or the write fails.
        InputError
            For a bad date or window, a source without prices in it, or a window that
            starts after trading days of the source that the store lacks (the store would
            jump over them, and a backtest would take the jump for one day).

        Examples
        --------
        >>> Store("no-such-store").update("market", "20240102", "20240131")
        Traceback (most recent call last):
        ...
        kestrelia.errors.StoreError: no-such-store is not a prepared-data store (no metadata.pkl inside)
        """
        lo, hi = _window(start, end)
        native = self._existing()
        try:
            with native._writer_lock(), _service(source):
                self._update_locked(native, lo, hi)
        except KestreliaError:
            raise
        except OSError as exc:
            raise StoreError(f"cannot update the store {self.path}: {exc}") from None

    def _update_locked(self, native: Any, lo: str, hi: str) -> None:
        import kestrelia.backtest._prepare as _prepare

        dates = self._dates(native)
        if dates and lo > dates[-1]:
            skipped = _source_days(dates[-1], lo)
            if skipped:
                raise InputError(
                    f"the store ends on {dates[-1]} and the source has {len(skipped)} "
                    f"trading day(s) after it before the start {lo} ({skipped[0]} to "
                    f"{skipped[-1]}): update from {skipped[0]} or earlier, or the store "
                    "would jump over them")
        later = dates[bisect.bisect_right(dates, hi):]
        # A day's derived values reach its neighbours: the previous close is the day
        # before's close, the forward return reads the opens of the next two days. So a
        # window followed by stored days is built through two more of them than the one
        # written after it.
        build_end = later[min(len(later) - 1, _FORWARD_DAYS)] if later else hi
        # The window is written from its start even where the store has no day there (a
        # gap, or days before its first): the builder starts writing at the first of the
        # dates it is given that falls in the window.
        base = sorted({*dates, lo})
        try:
            payload = _prepare.build_incremental_write_window(base, lo, build_end)
        except KeyError as exc:
            _raise_missing_benchmark(exc, lo, build_end)
            raise
        if not any(lo <= day <= hi for value in payload["data"].values()
                   for day in _row_days(value)):
            raise InputError(f"the source has no prices between {lo} and {hi}")
        _store_factors.extend_update(payload, self._metadata(native), native,
                                     _prepare.GroupPreparedDataBuilder, singleton.get_instance())
        close_days = _row_days(payload["data"].get("close_price"))
        if not later:
            native.update_tail(payload)
            return
        # The first stored day after the window is written when the source has it (its
        # previous close changes with the window); the store keeps every day after that.
        last = later[0] if later[0] in close_days else hi
        meta = payload.setdefault("meta", {})
        meta.update(write_end_date=last, requested_write_end_date=hi, end_date=dates[-1])
        native.update_window(payload, last)

    def info(self) -> dict[str, Any]:
        """A summary of the store: dates, datasets, components and last update.

        Returns
        -------
        dict
            ``store``, ``first_date``, ``last_date``, ``trading_days``, ``datasets`` (rows
            of key, shape text and dtype), ``component_names``, ``updated_at``, ``files``
            (one line: a quick check of every file's presence, header and size),
            ``factors`` (the names kept, None for a store written before stores kept
            factors), ``factors_absent`` (the store's own factors its source lacked, with the
            field each needs), ``benchmarks`` and ``components`` (index names).

        Raises
        ------
        StoreError
            When there is no store or its metadata cannot be read.

        Examples
        --------
        >>> Store("no-such-store").info()
        Traceback (most recent call last):
        ...
        kestrelia.errors.StoreError: no-such-store is not a prepared-data store (no metadata.pkl inside)
        """
        native = self._existing()
        metadata = self._metadata(native)
        rows = []
        for key, entry in metadata.get("datasets", {}).items():
            # Damaged entries still get a row; the files line below says what is wrong.
            try:
                if is_series_dict(entry):
                    rows.append((key, f"{len(entry['series'])} series", "float64"))
                else:
                    rows.append((key, f"{len(entry['dates'])} x {len(entry['columns'])}",
                                 entry.get("dtype", "?")))
            except (TypeError, KeyError, AttributeError):
                rows.append((key, "? (damaged entry)", "?"))
        dates = self._dates(native)
        meta = metadata.get("meta", {})
        # A quick look at every file (present, header and size as recorded); reading every
        # byte against its checksum is left to verify().
        quick = native.verify_report(False, tuple(MARKET_DATASETS))
        if quick["problems"]:
            files = (f"{len(quick['problems'])} problem(s) in {quick['files']} files, e.g. "
                     f"{quick['problems'][0]}; run 'store verify' for all")
        else:
            files = (f"{quick['files']} present, headers and sizes as recorded; contents not "
                     "checked (run 'store verify')")
        kept = meta.get(_store_factors.META_FACTORS)
        benchmarks = metadata.get("datasets", {}).get("benchmark_dict")
        _, stored = _store_factors.factor_plan(metadata, self.path, True, None)
        return {
            "store": str(self.path),
            "first_date": dates[0] if dates else None,
            "last_date": dates[-1] if dates else None,
            "trading_days": len(dates),
            "datasets": rows,
            "component_names": list(meta.get("component_names", [])),
            "updated_at": metadata.get("updated_at"),
            "files": files,
            "factors": list(kept) if isinstance(kept, dict) else None,
            "factors_absent": dict(meta.get(_store_factors.META_ABSENT) or {}),
            "benchmarks": list(benchmarks["series"]) if isinstance(benchmarks, dict)
            and is_series_dict(benchmarks) else [],
            "components": list(stored.components),
        }

    def verify(self, checksums: bool = True) -> list[str]:
        """Check every dataset's file; one line per problem, empty when all is well.

        Each file must be a regular file inside the store with the dtype, shape and size
        the metadata records, and (with ``checksums``) the SHA-256 recorded when it was
        written. Stores written before checksums were recorded are checked in every other
        way; :meth:`verify_report` lists them.

        Parameters
        ----------
        checksums : bool, default True
            Read every file against its checksum (slower: every byte is read).

        Returns
        -------
        list of str

        Raises
        ------
        StoreError
            When there is no store.

        Examples
        --------
        >>> Store("no-such-store").verify()
        Traceback (most recent call last):
        ...
        kestrelia.errors.StoreError: no-such-store is not a prepared-data store (no metadata.pkl inside)
        """
        return list(self.verify_report(checksums)["problems"])

    def verify_report(self, checksums: bool = True) -> dict[str, Any]:
        """:meth:`verify` with counts: ``problems``, ``files``, ``checksummed`` and
        ``without_checksum`` (datasets written before checksums were recorded).

        Examples
        --------
        >>> Store("no-such-store").verify_report()
        Traceback (most recent call last):
        ...
        kestrelia.errors.StoreError: no-such-store is not a prepared-data store (no metadata.pkl inside)
        """
        report: dict[str, Any] = self._existing().verify_report(checksums,
                                                                 tuple(MARKET_DATASETS))
        return report

    def market(self, start: Any = None, end: Any = None, *, mmap: bool = True,
               factors: str | list[str] | None = None) -> Market:
        """The market between two dates (inclusive) as a :class:`Market`.

        Parameters
        ----------
        start, end : date, optional
            The window; the whole store when omitted.
        mmap : bool, default True
            Map the files read-only (no copies) instead of reading them.
        factors : list of str or "all", optional
            The factors to load now; the market then holds only these. By default none is
            loaded now and every stored factor (and component mask) is read on first use,
            from the store as it was when the market was made: a store rewritten since is
            refused with ``StoreError`` rather than mixed in.

        Returns
        -------
        Market

        Raises
        ------
        StoreError
            When there is no store or it lacks a market dataset.
        InputError
            For a bad date, a window without trading days, or a factor the store lacks.

        Examples
        --------
        >>> Store("no-such-store").market()
        Traceback (most recent call last):
        ...
        kestrelia.errors.StoreError: no-such-store is not a prepared-data store (no metadata.pkl inside)
        """
        return Market._trusted(*load_market(self.path, start, end, mmap=mmap,
                                            lock_timeout=self.lock_timeout, factors=factors))

    def components(self, start: Any = None, end: Any = None) -> dict[str, pd.DataFrame]:
        """The index-component masks the store holds, by component name, dated as the
        market is (a ``DatetimeIndex`` named ``date``).

        Parameters
        ----------
        start, end : date, optional
            The window; the whole store when omitted.

        Returns
        -------
        dict of str to pandas.DataFrame

        Examples
        --------
        >>> Store("no-such-store").components()
        Traceback (most recent call last):
        ...
        kestrelia.errors.StoreError: no-such-store is not a prepared-data store (no metadata.pkl inside)
        """
        lo, hi = _window(start, end, open_ended=True)
        native = self._existing()
        metadata = self._metadata(native)
        keys = dict(metadata.get("meta", {}).get("component_dataset_keys", {}))
        held = {name: key for name, key in keys.items()
                if key in metadata.get("datasets", {})}
        if not held:
            return {}
        try:
            data = native.load(start_date=lo, end_date=hi, keys=list(held.values()))["data"]
        except (OSError, ValueError, KeyError) as exc:
            raise StoreError(f"cannot load {self.path}: {exc}") from None
        return {name: _dated(data[key], name) for name, key in held.items()}


# The builder's own message (its text is the prepared-data contract's) when a benchmark
# index has no daily rows in the window.
_NO_BENCHMARK_ROWS = re.compile(r"基准日频数据为空: (?P<name>\S+) \((?P<code>[^)]+)\)")


def _raise_missing_benchmark(exc: BaseException | None, lo: str, hi: str) -> None:
    """An InputError in place of the builder's KeyError for a benchmark without rows."""
    found = _NO_BENCHMARK_ROWS.search(str(exc.args[0]) if exc and exc.args else "")
    if found:
        raise InputError(f"the source has no daily rows of the benchmark index "
                         f"{found['name']} ({found['code']}) between {lo} and {hi}: "
                         "index_daily.parquet is missing or lacks it") from None
