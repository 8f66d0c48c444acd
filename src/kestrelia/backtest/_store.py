"""Host stand-in: the host toolkit's on-disk store of prepared backtest data, and the
small helpers its builder shares.

The native ``_prepare`` module reads ``BinaryPreparedDataStoreBase``, ``clean_matrix``,
``component_dataset_key`` and ``normalize_yyyymmdd`` from here by name at import; its
``BinaryPreparedDataStore`` is that base class with the contract's methods on top. The
public ``kestrelia.backtest.Store`` (store.py) drives it; this module is the format and its
safety, not an API of the package.

A store is one folder:

    metadata.pkl            pickled dict: "version", "datasets", "meta", "updated_at"
    manifest.json           a readable summary of the same (no label lists)
    <key>.<token>.npy       one 2-D array per matrix dataset: dates x stocks, column-major,
                            so that each stock's history is contiguous on disk
    benchmark_dict.<name>.<token>.npy
                            one 1-D float64 array per benchmark series

Each dataset's entry in ``metadata["datasets"]`` names its file and keeps its labels: the
sorted ``YYYYMMDD`` dates and the stock codes (a matrix), or per benchmark series its dates.
``load`` finds the rows of a date range by binary search on those dates and maps the file
(or copies just those rows), so other rows are never read.

Nothing is lost by a failed write: every data file is written under a temporary name, made
durable and renamed to a name that no earlier version used, and only then is the metadata
replaced, in the same way, by a rename. Until that last rename the previous metadata,
which points at the previous files only, stays in force; a write that fails half-way leaves
the store readable and unchanged, and removes the files it wrote. Files of a replaced
version are deleted after the switch; a reader that mapped them keeps its mapping.

A write deletes only files the store itself named: those the previous metadata listed and
those it wrote itself. A folder may hold files that merely look like data files (the user's,
or those of a writer killed before its commit); they are never touched, and ``verify()``
lists the latter as leftovers.

One writer at a time: every write path holds the store's writer lock (an OS file lock on
``.writer.lock`` in the folder, see ``_storage.lock``); readers take no lock. Nothing read
from the folder is trusted: the metadata pickle is read by a restricted unpickler that runs
no code, file entries must name regular files inside the folder, and every file's header and
size are checked against the metadata before it is mapped. Each data file's SHA-256, and a
SHA-256 of each dataset's labels, are recorded when it is written, and ``verify()`` compares
them.
"""

from __future__ import annotations

import bisect
import hashlib
import json
import re
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import pandas as pd

from kestrelia._dates import normalize_yyyymmdd
from kestrelia.backtest._storage import metadata_pickle, npy
from kestrelia.backtest._storage.durable import durable_write as _durable_write
from kestrelia.backtest._storage.durable import replace_file
from kestrelia.backtest._storage.entries import (
    MATRIX,
    SERIES_DICT,
    DatasetEntry,
    MatrixEntry,
    SeriesDictEntry,
    SeriesEntry,
    entry_problem,
    is_matrix,
    is_series_dict,
    labels_digest,
    metadata_problem,
    named_files,
)
from kestrelia.backtest._storage.lock import writer_lock
from kestrelia.errors import StoreError

__all__ = [
    "BinaryPreparedDataStoreBase",
    "clean_matrix",
    "component_dataset_key",
    "normalize_yyyymmdd",
]

METADATA_FILE = "metadata.pkl"
MANIFEST_FILE = "manifest.json"
BENCHMARK_KEY = "benchmark_dict"

_SAFE_NAME = re.compile(r"[0-9A-Za-z_][0-9A-Za-z._-]*")
_UNSAFE_CHARS = re.compile(r"[^0-9A-Za-z._-]")


def _file_safe(text: str) -> str:
    """``text`` as part of a data file name: characters other than letters, digits, ".",
    "_" and "-" become "_", and so does ".." (a reader refuses any file name holding it)."""
    return _UNSAFE_CHARS.sub("_", text).replace("..", "__")
_DATA_FILE = re.compile(r".+\.[0-9a-f]{12}\.npy")
_LOAD_ATTEMPTS = 3


# --------------------------------------------------------------------------------------
# Helpers shared with the builder
# --------------------------------------------------------------------------------------


def component_dataset_key(name: str) -> str:
    """The dataset key of an index-component factor: "component_" followed by the name.

    The key is also part of a file name, so characters other than letters, digits, ".",
    "_" and "-" are replaced by "_", as is ".."; whenever that changes the name, a short digest of the
    original name is appended, so that different names never share a key. The prefix keeps
    component keys apart from the base dataset keys.
    """
    if not isinstance(name, str):
        raise TypeError(f"component name must be str, got {type(name).__name__}")
    if not name.strip():
        raise ValueError("component name must not be empty")
    safe = _file_safe(name)
    if safe != name:
        digest = hashlib.sha1(name.encode("utf-8")).hexdigest()[:8]
        safe = f"{safe}_{digest}"
    return f"component_{safe}"


def _text_labels(labels: pd.Index) -> pd.Index:
    # astype(str) keeps missing labels missing only with pandas' own string dtype; with an
    # object index it spells them "nan" or "None".
    text = labels.astype(str).rename(None)
    missing = labels.isna()
    return text.where(~missing) if missing.any() else text


def clean_matrix(matrix: pd.DataFrame) -> pd.DataFrame:
    """A freshly pivoted date x stock table as a clean factor matrix.

    Index and columns become text (missing labels stay missing) and are sorted ascending
    (stably, so duplicates keep their order), values become float64 (missing values NaN),
    the axis names are dropped. No row or column is removed.
    """
    frame = pd.DataFrame(matrix)
    values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    index = _text_labels(frame.index)
    columns = _text_labels(frame.columns)
    result = pd.DataFrame(values, index=index, columns=columns, copy=False)
    if not index.is_monotonic_increasing:
        result = result.sort_index(axis=0, kind="stable")
    if not columns.is_monotonic_increasing:
        result = result.sort_index(axis=1, kind="stable")
    return result


# --------------------------------------------------------------------------------------
# The store
# --------------------------------------------------------------------------------------


def _now() -> str:
    return pd.Timestamp.now().isoformat()


def _check_key(key: Any) -> str:
    # A key is part of its file's name, and readers refuse file names holding "..".
    if not isinstance(key, str) or not _SAFE_NAME.fullmatch(key) or ".." in key:
        raise ValueError(f"dataset key {key!r} cannot be stored (letters, digits, '.', '_', '-'; "
                         "no '..')")
    return key


def _date_labels(index: pd.Index, what: str) -> list[str]:
    cache: dict[Any, str | None] = {}
    labels = []
    for value in index:
        try:
            date = cache[value]
        except (KeyError, TypeError):
            date = normalize_yyyymmdd(value)
            try:
                cache[value] = date
            except TypeError:
                pass
        if date is None:
            raise ValueError(f"{what}: a row label is not a date: {value!r}")
        labels.append(date)
    if len(set(labels)) != len(labels):
        raise ValueError(f"{what}: duplicate dates in the index")
    return labels


@dataclass
class _WriteSession:
    """What one write (under the writer lock) may delete: the files the metadata it
    replaces named, and the files it writes itself; ``switched`` once its metadata is in
    force (from then on its own files are the store's)."""

    previous: set[str]
    written: list[str] = field(default_factory=list)
    switched: bool = False


class BinaryPreparedDataStoreBase:
    """A folder of memory-mappable ``.npy`` datasets with pickled metadata.

    ``matrix_dtype`` maps dataset keys to their storage dtype ("float64" or "bool");
    datasets of other keys are stored as ``default_dtype``. See the module docstring for
    the layout and the crash-safety rule.
    """

    #: Seconds a writer waits for another process's write to finish; None reads
    #: ``KESTRELIA_STORE_LOCK_TIMEOUT`` (default 5). Set per store object to change it.
    lock_timeout: float | None = None
    #: The write in progress (set only under the writer lock), see ``_write_session``.
    _session: _WriteSession | None = None

    def __init__(self, store_dir, matrix_dtype: dict, version: int, default_dtype: str):
        self.store_dir = Path(store_dir).expanduser()
        self.matrix_dtype = matrix_dtype
        self.version = version
        self.default_dtype = default_dtype
        self.metadata_path = self.store_dir / METADATA_FILE
        self.manifest_path = self.store_dir / MANIFEST_FILE

    def __repr__(self) -> str:
        return f"{type(self).__name__}({str(self.store_dir)!r})"

    # ---- metadata -------------------------------------------------------------------

    def load_metadata(self) -> dict:
        """The store's metadata (a new dict every call); {} for a store never written.

        The pickle is read by a restricted unpickler: an object other than plain
        containers, numbers, text and dates raises ``StoreError`` without running code, and
        so do metadata that is not a plain tree of bounded size or whose datasets or meta
        are not dicts.
        """
        try:
            metadata = metadata_pickle.load(self.metadata_path)
        except FileNotFoundError:
            return {}
        problem = metadata_problem(metadata)
        if problem is not None:
            raise StoreError(f"{self.metadata_path}: damaged metadata: {problem}")
        return metadata

    def _writer_lock(self):
        """The store's exclusive writer lock, as a context manager (re-entrant per thread)."""
        return writer_lock(self.store_dir, self.lock_timeout)

    def _replace_metadata(self, write: Callable[[BinaryIO], object]) -> None:
        """Replaces the metadata file with what ``write(file)`` writes: temporary file,
        fsync, rename, folder sync. The one way every writer replaces the metadata."""
        replace_file(self.metadata_path, write)

    @contextmanager
    def _write_session(self, previous: dict) -> Iterator[_WriteSession]:
        """One write that replaces the metadata ``previous``; runs under the writer lock.
        When it fails before its metadata is in force, the files it wrote are removed."""
        session = _WriteSession(previous=named_files(previous))
        self._session = session
        try:
            yield session
        except BaseException:
            if not session.switched:
                for name in session.written:
                    (self.store_dir / name).unlink(missing_ok=True)
            raise
        finally:
            self._session = None

    def _previous_metadata(self) -> dict:
        # A store replaced whole may have unreadable metadata; then nothing it named is
        # known, and its files are left for verify() to list.
        try:
            return self.load_metadata()
        except StoreError:
            return {}

    def _commit(self, metadata: dict) -> None:
        """Switches the store to `metadata` (one rename), then refreshes the manifest and
        removes the files no dataset refers to any more. Runs under the writer lock."""
        data = metadata_pickle.dumps(metadata, self.metadata_path)
        self._replace_metadata(lambda f: f.write(data))
        if self._session is not None:
            self._session.switched = True
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced(metadata)

    def _write_manifest(self, store_dir, metadata: dict) -> None:
        store_dir = Path(store_dir)
        datasets = {}
        for key, entry in metadata.get("datasets", {}).items():
            if not isinstance(entry, dict):
                continue
            if is_series_dict(entry):
                datasets[key] = {
                    "kind": SERIES_DICT,
                    "series": {
                        name: {"file": s["file"], "rows": len(s["dates"]),
                               "first_date": s["dates"][0] if s["dates"] else None,
                               "last_date": s["dates"][-1] if s["dates"] else None}
                        for name, s in entry["series"].items()
                    },
                }
            else:
                dates = entry.get("dates", [])
                datasets[key] = {
                    "kind": MATRIX,
                    "file": entry.get("file"),
                    "dtype": entry.get("dtype"),
                    "shape": list(entry.get("shape", ())),
                    "first_date": dates[0] if dates else None,
                    "last_date": dates[-1] if dates else None,
                }
        manifest = {
            "version": metadata.get("version"),
            "updated_at": metadata.get("updated_at"),
            "meta": metadata.get("meta", {}),
            "datasets": datasets,
        }
        text = json.dumps(manifest, ensure_ascii=False, indent=2, default=str)
        _durable_write(store_dir / MANIFEST_FILE, lambda f: f.write(text.encode("utf-8")))

    def _remove_unreferenced(self, metadata: dict) -> None:
        """Deletes the files the write in progress may delete (see ``_WriteSession``) that
        ``metadata`` no longer lists; nothing without a session. A name from the previous
        metadata is read from disk, so it must still look like a name the store gives."""
        session = self._session
        if session is None:
            return
        keep = named_files(metadata)
        for name in (session.previous | set(session.written)) - keep:
            if _DATA_FILE.fullmatch(name) and _SAFE_NAME.fullmatch(name) and ".." not in name:
                try:
                    (self.store_dir / name).unlink(missing_ok=True)
                except OSError:
                    pass  # the write is committed; verify() lists what could not go

    # ---- writing one dataset --------------------------------------------------------

    def _write_array(self, store_dir: Path, stem: str, array: np.ndarray) -> tuple[str, str]:
        """Writes one new data file; returns its name and its SHA-256."""
        store_dir.mkdir(parents=True, exist_ok=True)
        name = f"{stem}.{uuid.uuid4().hex[:12]}.npy"
        try:
            _durable_write(store_dir / name, lambda f: np.lib.format.write_array(f, array))
        except OSError as exc:
            # NumPy reports a short write (a full disk, a file-size limit) as "n requested
            # and m written", with no errno and no file.
            if exc.errno is None and "requested and" in str(exc):
                raise OSError(f"writing {name} stopped short ({exc} bytes): the disk is full "
                              "or a file-size limit was reached") from None
            raise
        if self._session is not None and Path(store_dir) == self.store_dir:
            self._session.written.append(name)
        return name, npy.digest(store_dir / name)

    def _write_matrix(self, store_dir, key: str, matrix: pd.DataFrame,
                      dtype: str) -> MatrixEntry:
        """Writes one date x stock matrix; returns its metadata entry."""
        _check_key(key)
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(f"dataset {key!r} must be a DataFrame, got {type(matrix).__name__}")
        dtype = np.dtype(dtype)
        if dtype not in (np.dtype(np.float64), np.dtype(np.bool_)):
            raise ValueError(f"dataset {key!r}: unsupported storage dtype {dtype}")
        dates = _date_labels(matrix.index, key)
        columns = [str(c) for c in matrix.columns]
        if len(set(columns)) != len(columns):
            raise ValueError(f"{key}: duplicate stock codes in the columns")
        order = np.argsort(np.asarray(dates, dtype=object), kind="stable")
        if (order != np.arange(len(dates))).any():
            matrix = matrix.iloc[order]
            dates = [dates[i] for i in order]
        if dtype == np.bool_:
            if all(d == np.bool_ for d in matrix.dtypes):
                values = matrix.to_numpy(dtype=bool)
            else:
                values = matrix.to_numpy(dtype=object, na_value=False).astype(bool)
        else:
            values = matrix.to_numpy(dtype=np.float64, na_value=np.nan)
        values = np.asfortranarray(values)
        name, sha256 = self._write_array(Path(store_dir), key, values)
        return {
            "kind": MATRIX,
            "file": name,
            "dtype": dtype.name,
            "shape": values.shape,
            "dates": dates,
            "columns": columns,
            "sha256": sha256,
            "labels_sha256": labels_digest(dates, columns),
        }

    def _write_series_dict(self, store_dir: Path, series_dict: dict) -> SeriesDictEntry:
        if not isinstance(series_dict, dict):
            raise TypeError("benchmark_dict must be a dict of Series")
        entries: dict[str, SeriesEntry] = {}
        for name, series in series_dict.items():
            if not isinstance(series, pd.Series):
                raise TypeError(f"benchmark {name!r} must be a Series")
            dates = _date_labels(series.index, f"benchmark {name}")
            order = np.argsort(np.asarray(dates, dtype=object), kind="stable")
            values = series.to_numpy(dtype=np.float64, na_value=np.nan)[order]
            dates = [dates[i] for i in order]
            stem = f"{BENCHMARK_KEY}.{_file_safe(str(name))}"
            file, sha256 = self._write_array(store_dir, stem, np.ascontiguousarray(values))
            entries[name] = {"file": file, "dates": dates, "name": _plain_label(series.name),
                             "sha256": sha256, "labels_sha256": labels_digest(dates)}
        return {"kind": SERIES_DICT, "series": entries}

    # ---- whole payloads -------------------------------------------------------------

    def _dtype_of(self, key: str, entry: dict | None = None) -> str:
        if key in self.matrix_dtype:
            return self.matrix_dtype[key]
        if entry is not None and "dtype" in entry:
            return entry["dtype"]
        return self.default_dtype

    @staticmethod
    def _payload_parts(payload: dict) -> tuple[dict, dict]:
        if not isinstance(payload, dict):
            raise TypeError(f"payload must be a dict, got {type(payload).__name__}")
        data = payload.get("data")
        if not isinstance(data, dict):
            raise TypeError("payload has no 'data' dict")
        meta = payload.get("meta") or {}
        if not isinstance(meta, dict):
            raise TypeError("payload 'meta' must be a dict")
        return data, meta

    def write(self, payload: dict) -> None:
        """Stores a whole payload ({"version", "meta", "data"}), replacing the store.

        Every DataFrame in ``data`` becomes a dataset, ``data["benchmark_dict"]`` is kept
        as its series; other entries are not stored.
        """
        data, meta = self._payload_parts(payload)
        with self._writer_lock():
            self._write_unlocked(data, meta, self._previous_metadata())

    def _write_unlocked(self, data: dict, meta: dict, previous: dict) -> None:
        with self._write_session(previous):
            datasets: dict[str, Any] = {}
            for key, value in data.items():
                if key == BENCHMARK_KEY:
                    datasets[key] = self._write_series_dict(self.store_dir, value)
                elif isinstance(value, pd.DataFrame):
                    datasets[key] = self._write_matrix(self.store_dir, key, value,
                                                       self._dtype_of(key))
            metadata = {
                "version": self.version,
                "datasets": _share_labels(datasets),
                "meta": dict(meta),
                "updated_at": _now(),
            }
            self._commit(metadata)

    def update_tail(self, payload: dict) -> None:
        """Replaces every dataset's rows from the payload's first date on.

        The first date is the earliest row date of any matrix or benchmark series in the
        payload. For each dataset of the payload the stored rows before that date are kept
        and the payload's rows follow; new dates and new stocks are added (cells that one
        side lacks are NaN, or False in a mask). Stored datasets that the payload does not
        hold are left as they are. A store never written is written whole.
        """
        data, meta = self._payload_parts(payload)
        # The metadata is read, changed and written back: all of it under the lock, or a
        # concurrent writer's commit in between would be lost.
        with self._writer_lock():
            self._update_tail_unlocked(data, meta)

    def update_window(self, payload: dict, last: str) -> None:
        """Replaces every dataset's rows from the payload's first date through ``last``
        and keeps the stored rows after ``last``: the rewrite of a window inside the store.

        As ``update_tail`` otherwise, except that the payload's rows after ``last`` are not
        written and a benchmark series the payload lacks is kept whole. The rows after
        ``last`` keep their dates and values; a stock the payload adds has missing cells
        there.
        """
        data, meta = self._payload_parts(payload)
        through = normalize_yyyymmdd(last)
        if through is None:
            raise ValueError(f"update_window: last {last!r} is not a date")
        with self._writer_lock():
            self._update_tail_unlocked(data, meta, through)

    def _update_tail_unlocked(self, data: dict, meta: dict, last: str | None = None) -> None:
        metadata = self.load_metadata()
        old = metadata.get("datasets", {})
        if not old:
            self._write_unlocked(data, meta, metadata)
            return
        cut = _first_date(data)
        if cut is None:
            raise ValueError("update_tail: the payload holds no dated rows")
        if last is not None and last < cut:
            raise ValueError(f"update_window: the payload starts on {cut}, after {last}")
        with self._write_session(metadata):
            self._update_tail_session(metadata, data, meta, cut, last)

    def _update_tail_session(self, metadata: dict, data: dict, meta: dict, cut: str,
                             last: str | None) -> None:
        old = metadata["datasets"]
        for key in data:
            if key in old:
                self._readable_entry(key, old[key])
        datasets = dict(old)
        for key, value in data.items():
            if key == BENCHMARK_KEY:
                datasets[key] = self._tail_series_dict(old.get(key), value, cut, last)
            elif isinstance(value, pd.DataFrame):
                entry = old.get(key)
                if entry is not None and is_matrix(entry):
                    value = self._tail_matrix(key, entry, value, cut, last)
                elif last is not None:
                    value = _rows_between(value, cut, last, key)
                dtype = self._dtype_of(key, entry)
                datasets[key] = self._write_matrix(self.store_dir, key, value, dtype)
        old_meta = metadata.get("meta", {})
        new_meta = {**old_meta, **meta}
        if "start_date" in old_meta:
            new_meta["start_date"] = old_meta["start_date"]
        if "component_names" in old_meta or "component_names" in meta:
            names = [*old_meta.get("component_names", []), *meta.get("component_names", [])]
            new_meta["component_names"] = list(dict.fromkeys(names))
            new_meta["component_dataset_keys"] = {
                **old_meta.get("component_dataset_keys", {}),
                **meta.get("component_dataset_keys", {}),
            }
        metadata = {
            **metadata,
            "version": self.version,
            "datasets": _share_labels(datasets),
            "meta": new_meta,
            "updated_at": _now(),
        }
        self._commit(metadata)

    def _tail_matrix(self, key: str, entry: MatrixEntry, new: pd.DataFrame, cut: str,
                     last: str | None = None) -> pd.DataFrame:
        dates = entry["dates"]
        keep = bisect.bisect_left(dates, cut)
        resume = len(dates) if last is None else bisect.bisect_right(dates, last)
        old = self._matrix_frame(entry, 0, keep, mmap=True, key=key)
        if len(old) == 0 and last is None:
            return new
        new = _rows_between(new, cut, last, key)
        tail = self._matrix_frame(entry, resume, len(dates), mmap=True, key=key)
        columns = old.columns.union(new.columns)
        # A cell that one side lacks is missing: NaN in a number matrix, False in a mask.
        fill = False if np.dtype(self._dtype_of(key, entry)) == np.bool_ else np.nan
        # Empty parts add nothing, and pandas 2 warns when one joins parts of other dtypes.
        parts = [part for part in (old, new, tail) if len(part)] or [new]
        return pd.concat([part.reindex(columns=columns, fill_value=fill) for part in parts],
                         axis=0)

    def _tail_series_dict(self, entry: DatasetEntry | None, new: dict, cut: str,
                          last: str | None = None) -> SeriesDictEntry:
        if not isinstance(new, dict):
            raise TypeError("benchmark_dict must be a dict of Series")
        merged = {}
        tails = {}
        old_series = entry["series"] if entry and is_series_dict(entry) else {}
        for name, s in old_series.items():
            if last is not None and name not in new:
                merged[name] = self._series(s, 0, len(s["dates"]), mmap=False)
                continue
            keep = bisect.bisect_left(s["dates"], cut)
            merged[name] = self._series(s, 0, keep, mmap=False)
            if last is not None:
                resume = bisect.bisect_right(s["dates"], last)
                tails[name] = self._series(s, resume, len(s["dates"]), mmap=False)
        for name, series in new.items():
            if not isinstance(series, pd.Series):
                raise TypeError(f"benchmark {name!r} must be a Series")
            series = series.copy()
            series.index = pd.Index(_date_labels(series.index, f"benchmark {name}"))
            window = series.index >= cut
            if last is not None:
                window &= series.index <= last
            series = series.loc[window]
            if name in merged:
                parts = [merged[name], series, *([tails[name]] if name in tails else [])]
                series = pd.concat(parts).rename(series.name)
            merged[name] = series
        return self._write_series_dict(self.store_dir, merged)

    # ---- reading --------------------------------------------------------------------

    def _open(self, entry: dict, what: str, shape: tuple[int, ...] | None,
              fortran: bool | None) -> np.ndarray:
        path = npy.dataset_path(self.store_dir, entry.get("file"), what)
        return npy.open_array(path, what, entry.get("dtype", "float64"), shape, fortran)

    def _matrix_frame(self, entry: MatrixEntry, start: int, stop: int, mmap: bool,
                      key: str = "dataset") -> pd.DataFrame:
        shape = (len(entry["dates"]), len(entry["columns"]))
        array = self._open(entry, f"dataset {key}", shape, True)
        rows = array[start:stop]
        if not mmap:
            rows = np.array(rows, order="F")
        index = pd.Index(entry["dates"][start:stop], dtype="str")
        columns = pd.Index(entry["columns"], dtype="str")
        return pd.DataFrame(rows, index=index, columns=columns, copy=False)

    def _series(self, entry: SeriesEntry, start: int, stop: int, mmap: bool,
                what: str = "benchmark series") -> pd.Series:
        array = self._open({**entry, "dtype": "float64"}, what, (len(entry["dates"]),), None)
        values = array[start:stop]
        if not mmap:
            values = np.array(values)
        index = pd.Index(entry["dates"][start:stop], dtype="str")
        return pd.Series(values, index=index, name=entry.get("name"), copy=False)

    def load(self, start_date=None, end_date=None, keys=None, mmap: bool = True) -> dict:
        """The datasets ``keys`` (all when None) between two inclusive dates.

        Returns ``{"version", "meta", "data"}``; ``data`` maps each key to its matrix (or,
        for "benchmark_dict", to the dict of series). With ``mmap`` the matrices are views
        of the mapped files (read-only, zero-copy); without it only the selected rows are
        read into memory. A key that the store does not hold raises ``KeyError``.
        """
        start = normalize_yyyymmdd(start_date)
        end = normalize_yyyymmdd(end_date)
        # Readers take no lock: a writer may commit (and delete the files it replaced)
        # between reading the metadata and opening a file. Then the new metadata is read
        # again, so a load always returns one committed state.
        for attempt in range(_LOAD_ATTEMPTS):
            metadata = self.load_metadata()
            try:
                data = self._load_datasets(metadata, start, end, keys, mmap)
                break
            except StoreError:
                if attempt + 1 == _LOAD_ATTEMPTS or self.load_metadata() == metadata:
                    raise
        return {
            "version": metadata.get("version", self.version),
            "meta": metadata.get("meta", {}),
            "data": data,
        }


    def _load_datasets(self, metadata: dict, start: str | None, end: str | None, keys,
                       mmap: bool) -> dict[str, Any]:
        datasets = metadata.get("datasets", {})
        if keys is None:
            keys = list(datasets)
        data: dict[str, Any] = {}
        for key in keys:
            if key not in datasets:
                raise KeyError(f"dataset {key!r} is not in the store {self.store_dir}")
            entry = self._readable_entry(key, datasets[key])
            try:
                if is_series_dict(entry):
                    data[key] = {
                        name: self._series(s, *_bounds(s["dates"], start, end), mmap=mmap,
                                           what=f"dataset {key}[{name!r}]")
                        for name, s in entry["series"].items()
                    }
                else:
                    data[key] = self._matrix_frame(entry, *_bounds(entry["dates"], start, end),
                                                   mmap, key)
            except (TypeError, ValueError) as exc:  # labels that are not sorted text
                raise StoreError(f"dataset {key}: damaged metadata entry in "
                                 f"{self.metadata_path} ({exc}; run verify)") from None
        return data

    def _readable_entry(self, key: str, entry: Any) -> Any:
        """``entry`` if a reader can index it, else ``StoreError`` naming the dataset."""
        problem = entry_problem(entry)
        if problem is not None:
            raise StoreError(f"dataset {key}: damaged metadata entry in {self.metadata_path} "
                             f"({problem})")
        return entry

    # ---- checking -------------------------------------------------------------------

    def verify(self, checksums: bool = True) -> list[str]:
        """Checks every dataset the metadata lists; returns one line per problem (an empty
        list for a sound store). See ``verify_report``."""
        return self.verify_report(checksums)["problems"]

    def verify_report(self, checksums: bool = True, required: tuple[str, ...] = ()) -> dict:
        """Checks every dataset the metadata lists: its file is a regular file inside the
        store, its dtype, shape and memory order match the metadata (and a known dataset's
        dtype matches the store's dtype map), it is not truncated, and with ``checksums``
        its SHA-256 matches the one recorded when it was written; and that the store holds
        the datasets ``required``. A commit that races the check does not count as damage:
        the check is repeated on the new state.

        Returns ``{"problems": [...], "files": n, "checksummed": n, "without_checksum":
        [dataset, ...]}``; datasets written before checksums were recorded are listed in
        ``without_checksum`` and checked in every other way.
        """
        from kestrelia.backtest._storage.verify import verify_store

        return verify_store(self, checksums, required)


def _bounds(dates: list[str], start: str | None, end: str | None) -> tuple[int, int]:
    lo = 0 if start is None else bisect.bisect_left(dates, start)
    hi = len(dates) if end is None else bisect.bisect_right(dates, end)
    return lo, max(lo, hi)


def _rows_between(frame: pd.DataFrame, first: str, last: str | None,
                  what: str) -> pd.DataFrame:
    """The rows of ``frame`` dated from ``first`` through ``last`` (or on), relabelled as
    the store labels them: ``YYYYMMDD`` dates, text codes."""
    frame = frame.copy()
    frame.index = pd.Index(_date_labels(frame.index, what))
    frame.columns = pd.Index([str(c) for c in frame.columns])
    rows = frame.index >= first
    if last is not None:
        rows &= frame.index <= last
    return frame.loc[rows]


def _first_date(data: dict) -> str | None:
    firsts = []
    for key, value in data.items():
        if key == BENCHMARK_KEY and isinstance(value, dict):
            items = [s.index for s in value.values() if isinstance(s, pd.Series)]
        elif isinstance(value, pd.DataFrame):
            items = [value.index]
        else:
            continue
        for index in items:
            labels = [normalize_yyyymmdd(v) for v in index]
            labels = [v for v in labels if v is not None]
            if labels:
                firsts.append(min(labels))
    return min(firsts) if firsts else None


def _plain_label(name: Any) -> Any:
    """A series name as a plain Python value the metadata may hold (NumPy scalars become
    Python scalars; anything else unusual becomes its text)."""
    if name is None or isinstance(name, (str, int, float, bool)):
        return name
    if isinstance(name, np.generic):
        return name.item()
    return str(name)


def _share_labels(datasets: dict) -> dict:
    """Lets equal label lists be one object, so the pickle stores each list once."""
    seen: dict[tuple, list] = {}

    def shared(labels: list) -> list:
        key = tuple(labels)
        return seen.setdefault(key, labels)

    for entry in datasets.values():
        if not isinstance(entry, dict):
            continue
        if is_series_dict(entry):
            for s in entry["series"].values():
                s["dates"] = shared(s["dates"])
        else:
            if "dates" in entry:
                entry["dates"] = shared(entry["dates"])
            if "columns" in entry:
                entry["columns"] = shared(entry["columns"])
    return datasets
