"""The shape of the store's metadata: one entry per dataset in ``metadata["datasets"]``.

A matrix entry names one ``.npy`` file and keeps the matrix's labels; a series-dict entry
(the benchmarks) names one file per series. Entries written before ``kind`` was recorded
are matrices, before checksums were recorded they have no ``sha256``, and before the labels
were checksummed no ``labels_sha256``. Metadata is read from disk and may be damaged, so
readers still check what they index.
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping, Sequence
from typing import Any, Literal, NotRequired, TypedDict, TypeGuard

MATRIX: Literal["matrix"] = "matrix"
SERIES_DICT: Literal["series_dict"] = "series_dict"

# The datasets a backtest reads together (``Store.market``): cell (i, j) of each must mean
# the same day and stock, so they share one sorted date list and one sorted code list.
BACKTEST_DATASETS = ("close_price", "prev_close", "buy_price", "sell_price", "can_buy_stock",
                     "cant_sell_stock", "rq_get_split", "rq_get_dividend")


class MatrixEntry(TypedDict):
    """One date x stock matrix, stored column-major."""

    kind: NotRequired[Literal["matrix"]]
    file: str
    dtype: str
    shape: tuple[int, int]
    dates: list[str]  # sorted YYYYMMDD text
    columns: list[str]  # stock codes
    sha256: NotRequired[str]
    labels_sha256: NotRequired[str]  # labels_digest(dates, columns)


class SeriesEntry(TypedDict):
    """One benchmark's daily-return series."""

    file: str
    dates: list[str]
    name: Any  # the Series' name, a plain Python value
    sha256: NotRequired[str]
    labels_sha256: NotRequired[str]  # labels_digest(dates)


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


def labels_digest(dates: Sequence[Any], columns: Sequence[Any] | None = None) -> str:
    """SHA-256 of a dataset's labels, recorded when it is written. The file checksum cannot
    see the labels (they live in the metadata), and a code list shifted by one would pair
    every column with another stock's prices. JSON keeps the encoding unambiguous: no
    separator inside a label can make two lists hash alike."""
    labels = [list(dates)] if columns is None else [list(dates), list(columns)]
    text = json.dumps(labels, ensure_ascii=True, separators=(",", ":"), default=repr)
    return hashlib.sha256(text.encode("ascii")).hexdigest()


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


def metadata_problem(metadata: Any) -> str | None:
    """Why ``metadata`` is not shaped as a store's metadata at the top level, or None: the
    parts every reader indexes before it looks at a single dataset."""
    if not isinstance(metadata, dict):
        return f"it holds a {type(metadata).__name__}, not a metadata dict"
    datasets = metadata.get("datasets", {})
    if not isinstance(datasets, dict):
        return f"its datasets are a {type(datasets).__name__}, not a dict"
    for key in datasets:
        if not isinstance(key, str):
            return f"a dataset key is not text ({key!r})"
    meta = metadata.get("meta", {})
    if not isinstance(meta, dict):
        return f"its meta is a {type(meta).__name__}, not a dict"
    names = meta.get("component_names", [])
    if not isinstance(names, (list, tuple)):
        return f"its component names are a {type(names).__name__}, not a list"
    for name in names:
        if not isinstance(name, str):
            return f"a component name is not text ({name!r})"
    # The parts of meta a reader indexes as dicts (None: a store written before them).
    for field, what in (("factors", "factors kept"), ("factors_absent", "factors absent"),
                        ("benchmark_codes", "benchmark codes")):
        part = meta.get(field)
        if part is not None and not isinstance(part, dict):
            return f"its {what} are a {type(part).__name__}, not a dict"
    keys = meta.get("component_dataset_keys", {})
    if not isinstance(keys, dict) or not all(
            isinstance(k, str) and isinstance(v, str) for k, v in keys.items()):
        return "its component dataset keys are not a dict of text to text"
    return None


def entry_problem(entry: Any) -> str | None:
    """Why a dataset entry cannot be read (a part a reader indexes is missing or of the
    wrong type), or None; what the parts hold is verify's to check."""
    if not isinstance(entry, dict):
        return f"the entry is a {type(entry).__name__}, not a dict"
    if is_series_dict(entry):
        series = entry.get("series")
        if not isinstance(series, dict):
            return f"its series are a {type(series).__name__}, not a dict"
        parts: list[tuple[str, Any]] = [(f"series {name!r}: ", part)
                                        for name, part in series.items()]
    else:
        parts = [("", entry)]
    for prefix, part in parts:
        if not isinstance(part, dict):
            return f"{prefix}the entry is a {type(part).__name__}, not a dict"
        fields = ("file", "dates") if prefix else ("file", "dates", "columns")
        for name in fields:
            value = part.get(name)
            wanted = str if name == "file" else list
            if not isinstance(value, wanted):
                return (f"{prefix}its {name} is a {type(value).__name__}, not a "
                        f"{wanted.__name__}")
    return None
