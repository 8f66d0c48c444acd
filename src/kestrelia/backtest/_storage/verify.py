"""The integrity check of a whole store: every dataset's file, header, size and checksum."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from kestrelia.backtest._storage import npy
from kestrelia.backtest._storage.entries import is_matrix, is_series_dict
from kestrelia.errors import StoreError


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


def verify_store(store: Any, checksums: bool) -> dict[str, Any]:
    problems: list[str] = []
    unchecked: list[str] = []
    files = checksummed = 0
    try:
        metadata = store.load_metadata()
    except StoreError as exc:
        return {"problems": [str(exc)], "files": 0, "checksummed": 0, "without_checksum": []}
    if not metadata:
        problems.append(f"{store.metadata_path}: no metadata (not a store, or never written)")
    datasets = metadata.get("datasets", {})
    for key, entry in datasets.items():
        try:
            parts = _files(key, entry)
        except StoreError as exc:
            problems.append(str(exc))
            continue
        expected = store.matrix_dtype.get(key)
        if expected is not None and is_matrix(entry) and np.dtype(expected) != np.dtype(
                str(entry.get("dtype", "float64"))):
            problems.append(f"dataset {key}: stored as {entry.get('dtype')}, the store "
                            f"keeps it as {expected}")
        for what, part, dtype, shape, fortran in parts:
            files += 1
            try:
                path = npy.dataset_path(store.store_dir, part.get("file"), what)
                npy.check_file(path, what, dtype, shape, fortran)
                if not checksums:
                    continue
                recorded = part.get("sha256")
                if recorded is None:
                    unchecked.append(what.removeprefix("dataset "))
                    continue
                checksummed += 1
                if npy.digest(path) != recorded:
                    problems.append(f"{what}: {path} does not match the checksum recorded "
                                    "when it was written (its content changed)")
            except StoreError as exc:
                problems.append(str(exc))
            except OSError as exc:
                problems.append(f"{what}: cannot read its file ({exc})")
    return {"problems": problems, "files": files, "checksummed": checksummed,
            "without_checksum": unchecked}
