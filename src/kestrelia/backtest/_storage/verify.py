"""The integrity check of a whole store: every dataset's file, header, size and checksum,
its labels against their checksum, the labels the backtest datasets share, and the files
no metadata names."""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from kestrelia.backtest._storage import metadata_pickle, npy
from kestrelia.backtest._storage.entries import (
    BACKTEST_DATASETS,
    is_matrix,
    is_series_dict,
    labels_digest,
    named_files,
)
from kestrelia.backtest._storage.lock import writer_lock
from kestrelia.errors import StoreError, StoreLockedError

_DATE = re.compile(r"[0-9]{8}")
# What durable_write names a file before its rename: left behind only by a killed writer.
_TEMPORARY = re.compile(r"\..+\.[0-9a-f]{8}\.tmp")


def _files(key: str, entry: Any) -> list[tuple[str, Mapping[str, Any], str, tuple[int, ...], bool | None]]:
    """(label, entry, dtype, shape, fortran) of each file a dataset entry names."""
    if not isinstance(entry, dict):
        raise StoreError(f"dataset {key}: the metadata entry is not a dict")
    try:
        if is_series_dict(entry):
            return [(f"dataset {key}[{name!r}]", s, "float64", (len(s["dates"]),), None)
                    for name, s in entry["series"].items()]
        shape = (len(entry["dates"]), len(entry["columns"]))
        if "shape" in entry and tuple(entry["shape"]) != shape:
            raise StoreError(f"dataset {key}: the metadata's shape {tuple(entry['shape'])} "
                             f"disagrees with its {shape[0]} dates and {shape[1]} codes")
        return [(f"dataset {key}", entry, str(entry.get("dtype", "float64")), shape, True)]
    except (KeyError, TypeError, AttributeError) as exc:
        raise StoreError(f"dataset {key}: damaged metadata entry ({exc!r} missing or wrong)")\
            from None


def _label_problem(what: str, kind: str, labels: Any, ordered: bool, cache: dict[Any, Any]) -> str | None:
    """Why ``labels`` (the ``kind`` of ``what``: "dates" or "codes") are unusable, or None.
    Dates are always sorted (loads find rows by binary search); codes must be unique, and
    sorted where ``ordered``. Datasets usually share one list object (the writer shares
    equal lists), so a sound list is checked once; ``cache`` lives as long as the metadata
    holding the lists, which keeps their ids unique."""
    key = ("sound", id(labels), kind, ordered)
    if key in cache:
        return None
    problem = _first_label_problem(what, kind, labels, ordered)
    if problem is None:
        cache[key] = True
    return problem


def _first_label_problem(what: str, kind: str, labels: Any, ordered: bool) -> str | None:
    if not isinstance(labels, list):
        return f"{what}: its {kind} are not a list (the metadata holds {type(labels).__name__})"
    for i, label in enumerate(labels):
        if not isinstance(label, str):
            return (f"{what}: its {kind} are not text (position {i} holds "
                    f"{type(label).__name__} {label!r})")
        if kind == "dates" and not _DATE.fullmatch(label):
            return f"{what}: its dates are not YYYYMMDD text (position {i} holds {label!r})"
    if ordered or kind == "dates":
        for i in range(1, len(labels)):
            if not labels[i - 1] < labels[i]:
                return (f"{what}: its {kind} are not sorted and unique ({labels[i]!r} at "
                        f"position {i} follows {labels[i - 1]!r})")
    elif len(set(labels)) != len(labels):
        seen: set[str] = set()
        first = None
        for label in labels:
            if label in seen:
                first = label
                break
            seen.add(label)
        return f"{what}: its {kind} are not unique ({first!r} appears twice)"
    return None


def _digest(dates: list[str], columns: list[str] | None, cache: dict[Any, Any]) -> str:
    key = ("digest", id(dates), id(columns))
    if key not in cache:
        cache[key] = labels_digest(dates, columns)
    return str(cache[key])


def _check_labels(key: str, entry: Any, report: dict[str, Any], cache: dict[Any, Any],
                  grid: list[str]) -> bool:
    """Checks one dataset's labels: types, order and the checksum recorded at write time.
    False when they are unusable (the dataset's files are then not checked further)."""
    if not isinstance(entry, dict):
        return True  # _files names the damage
    if is_series_dict(entry):
        series = entry.get("series")
        parts: list[tuple[str, Any, Any]] = (
            [(f"dataset {key}[{name!r}]", s, None) for name, s in series.items()]
            if isinstance(series, dict) else [])
    else:
        parts = [(f"dataset {key}", entry, entry.get("columns"))]
    sound = True
    for what, part, columns in parts:
        if not isinstance(part, dict):
            continue
        problem = _label_problem(what, "dates", part.get("dates"), True, cache)
        if problem is None and columns is not None:
            problem = _label_problem(what, "codes", columns, key in grid, cache)
        if problem is not None:
            report["problems"].append(problem)
            sound = False
            continue
        recorded = part.get("labels_sha256")
        if recorded is None:
            report["without_label_checksum"].append(what.removeprefix("dataset "))
        elif _digest(part["dates"], columns, cache) != recorded:
            report["problems"].append(
                f"{what}: its dates or codes in the metadata do not match the checksum recorded "
                "when it was written (the labels changed; values would be read against the "
                "wrong days or stocks)")
            sound = False
        else:
            report["labels_checked"] += 1
    return sound


def _first_difference(a: list[str], b: list[str]) -> str:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"position {i}: {x!r} against {y!r}"
    return f"{len(a)} against {len(b)} labels"


def _grid_keys(metadata: Mapping[str, Any]) -> list[str]:
    """The datasets a market pairs cell by cell: the backtest datasets and the factors the
    metadata records (kept on the same grid)."""
    meta = metadata.get("meta")
    kept = meta.get("factors") if isinstance(meta, Mapping) else None
    factors = [item["key"] for item in kept.values()
               if isinstance(item, Mapping) and isinstance(item.get("key"), str)] \
        if isinstance(kept, Mapping) else []
    return list(dict.fromkeys([*BACKTEST_DATASETS, *factors]))


def _check_shared_labels(datasets: Mapping[str, Any], usable: set[str],
                         report: dict[str, Any], grid: list[str]) -> None:
    """The backtest datasets and the factors must share close_price's dates and codes (or,
    without it, the first one's): a market pairs their cells by position."""
    keys = [k for k in grid if k in usable and is_matrix(datasets[k])]
    if len(keys) < 2:
        return
    first = datasets[keys[0]]
    for key in keys[1:]:
        for kind, field in (("dates", "dates"), ("codes", "columns")):
            if datasets[key][field] != first[field]:
                report["problems"].append(
                    f"dataset {key}: its {kind} differ from {keys[0]}'s "
                    f"({_first_difference(datasets[key][field], first[field])}); the backtest "
                    "datasets and the factors must share one date list and one code list")


def _same_dtype(expected: str, recorded: Any) -> bool:
    try:
        return bool(np.dtype(expected) == np.dtype(str(recorded)))
    except TypeError:  # not a dtype at all; check_file names the file's own
        return False


def _list_leftovers(store_dir: Path, named: set[str]) -> list[str]:
    leftovers = []
    with os.scandir(store_dir) as entries:
        for entry in entries:
            if _TEMPORARY.fullmatch(entry.name) or (
                    entry.name.endswith(".npy") and entry.name not in named):
                leftovers.append(entry.name)
    return sorted(leftovers)


def _leftovers(store: Any, report: dict[str, Any]) -> None:
    """Files no metadata names: temporary files and data files of writes that were killed
    before their commit. Listed under the writer lock, taken without waiting, so that the
    files of a write in progress are not mistaken for them."""
    try:
        with writer_lock(store.store_dir, timeout=0):
            report["leftovers"] = _list_leftovers(store.store_dir,
                                                  named_files(store.load_metadata()))
        return
    except StoreLockedError:
        report["leftovers_note"] = ("a write is in progress, so files not yet named by the "
                                    "metadata were not listed as leftovers")
        return
    except StoreError as exc:  # a lock file that is not the store's own: damage
        report["problems"].append(str(exc))
    except OSError:  # a store on a read-only medium: nothing can be in progress there
        pass
    try:
        report["leftovers"] = _list_leftovers(store.store_dir,
                                              named_files(store.load_metadata()))
    except (StoreError, OSError):
        pass


# Passes over a store whose metadata a commit replaced while it was being checked, before
# the last pass holds the writer lock.
_ATTEMPTS = 3


def _metadata_bytes(store: Any) -> bytes | None:
    try:
        return metadata_pickle.read_limited(store.metadata_path)
    except (OSError, StoreError):
        return None


def verify_store(store: Any, checksums: bool, required: Iterable[str] = ()) -> dict[str, Any]:
    """The report of ``store``'s integrity (see ``verify_report``); ``required`` are the
    datasets it must hold.

    Readers take no lock, so a writer may commit while the files are read and delete those
    it replaced: the check would report them missing. One state is what is reported: a
    pass that finds problems while the metadata changed under it is run again, and when
    commits keep coming the last pass holds the writer lock (waiting as a writer would)."""
    required = tuple(required)
    for _ in range(_ATTEMPTS):
        before = _metadata_bytes(store)
        report = _verify_once(store, checksums, required)
        if not report["problems"] or _metadata_bytes(store) == before:
            return report
    try:
        with writer_lock(store.store_dir, getattr(store, "lock_timeout", None)):
            return _verify_once(store, checksums, required)
    except StoreLockedError:
        report["problems"].append(
            f"{store.store_dir}: the store was rewritten while it was checked, "
            f"{_ATTEMPTS} times; the problems above may be of a replaced version (run "
            "verify again when no write is running)")
    except StoreError as exc:  # a lock file that is not the store's own
        report["problems"].append(str(exc))
    except OSError:  # a store on a read-only medium: nothing can be writing there
        pass
    return report


def _verify_once(store: Any, checksums: bool, required: tuple[str, ...]) -> dict[str, Any]:
    report: dict[str, Any] = {"problems": [], "files": 0, "checksummed": 0,
                              "without_checksum": [], "labels_checked": 0,
                              "without_label_checksum": [], "leftovers": [],
                              "leftovers_note": None}
    problems: list[str] = report["problems"]
    unchecked: list[str] = report["without_checksum"]
    try:
        metadata = store.load_metadata()
    except StoreError as exc:
        problems.append(str(exc))
        return report
    if not metadata:
        problems.append(f"{store.metadata_path}: no metadata (not a store, or never written)")
    datasets = metadata.get("datasets", {})
    missing = [key for key in required if key not in datasets]
    if metadata and missing:
        problems.append(f"{store.metadata_path}: the store lacks the datasets "
                        f"{', '.join(missing)}, which a backtest reads")
    usable: set[str] = set()
    cache: dict[tuple[Any, ...], Any] = {}
    grid = _grid_keys(metadata)
    for key, entry in datasets.items():
        if not _check_labels(key, entry, report, cache, grid):
            continue
        try:
            parts = _files(key, entry)
        except StoreError as exc:
            problems.append(str(exc))
            continue
        usable.add(key)
        expected = store.matrix_dtype.get(key)
        if expected is not None and is_matrix(entry) and not _same_dtype(
                expected, entry.get("dtype", "float64")):
            problems.append(f"dataset {key}: stored as {entry.get('dtype')}, the store "
                            f"keeps it as {expected}")
        for what, part, dtype, shape, fortran in parts:
            report["files"] += 1
            try:
                path = npy.dataset_path(store.store_dir, part.get("file"), what)
                npy.check_file(path, what, dtype, shape, fortran)
                if not checksums:
                    continue
                recorded = part.get("sha256")
                if recorded is None:
                    unchecked.append(what.removeprefix("dataset "))
                    continue
                report["checksummed"] += 1
                if npy.digest(path) != recorded:
                    problems.append(f"{what}: {path} does not match the checksum recorded "
                                    "when it was written (its content changed)")
            except StoreError as exc:
                problems.append(str(exc))
            except OSError as exc:
                problems.append(f"{what}: cannot read its file ({exc})")
    _check_shared_labels(datasets, usable, report, grid)
    _leftovers(store, report)
    return report
