"""The shape of the store's metadata: one entry per dataset in ``metadata["datasets"]``.

A matrix entry names one ``.npy`` file and keeps the matrix's labels; a series-dict entry
(the benchmarks) names one file per series. Entries written before ``kind`` was recorded
are matrices, and before checksums were recorded they have no ``sha256``. Metadata is read
from disk and may be damaged, so readers still check what they index.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Literal, NotRequired, TypedDict, TypeGuard

MATRIX: Literal["matrix"] = "matrix"
SERIES_DICT: Literal["series_dict"] = "series_dict"


class MatrixEntry(TypedDict):
    """One date x stock matrix, stored column-major."""

    kind: NotRequired[Literal["matrix"]]
    file: str
    dtype: str
    shape: tuple[int, int]
    dates: list[str]  # sorted YYYYMMDD text
    columns: list[str]  # stock codes
    sha256: NotRequired[str]


class SeriesEntry(TypedDict):
    """One benchmark's daily-return series."""

    file: str
    dates: list[str]
    name: Any  # the Series' name, a plain Python value
    sha256: NotRequired[str]


class SeriesDictEntry(TypedDict):
    """The benchmark series, by benchmark name."""

    kind: Literal["series_dict"]
    series: dict[str, SeriesEntry]


DatasetEntry = MatrixEntry | SeriesDictEntry


class Metadata(TypedDict, total=False):
    """The whole of ``metadata.pkl`` (empty for a store never written)."""

    version: int
    datasets: dict[str, DatasetEntry]
    meta: dict[str, Any]
    updated_at: str


def is_series_dict(entry: Mapping[str, Any]) -> TypeGuard[SeriesDictEntry]:
    return bool(entry.get("kind") == SERIES_DICT)


def is_matrix(entry: Mapping[str, Any]) -> TypeGuard[MatrixEntry]:
    """A matrix entry, also one written before ``kind`` was recorded (not an unknown kind)."""
    return bool(entry.get("kind", MATRIX) == MATRIX)


def named_files(metadata: Mapping[str, Any]) -> set[str]:
    """The data file names ``metadata`` lists, skipping what damage left unreadable: the
    names the store wrote and so the only ones it may ever delete."""
    names: set[str] = set()
    datasets = metadata.get("datasets") if isinstance(metadata, Mapping) else None
    if not isinstance(datasets, Mapping):
        return names
    for entry in datasets.values():
        if not isinstance(entry, Mapping):
            continue
        parts = entry.get("series") if is_series_dict(entry) else {"": entry}
        if not isinstance(parts, Mapping):
            continue
        for part in parts.values():
            file = part.get("file") if isinstance(part, Mapping) else None
            if isinstance(file, str):
                names.add(file)
    return names
