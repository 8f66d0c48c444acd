"""Writing a factor folder that ``LocalFactorService`` serves, from wide matrices.

``staged_folder`` is the safe way to produce any such folder: everything is written under a
temporary name beside the target and renamed into place at the end.
"""

from __future__ import annotations

import os
import shutil
import uuid
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from kestrelia._dates import normalize_yyyymmdd
from kestrelia.dataservice.service import (
    _ROW_GROUP_ROWS,
    FACTOR_DIR,
    INDEX_COLUMNS,
    INDEX_FILE,
    _factor_file,
    exchange_ukey,
)
from kestrelia.errors import InputError

__all__ = ["staged_folder", "write_factor_folder"]


# What a data-service folder holds (the import's summary too); replacing a folder with
# anything else in it would delete files that are someone's own.
SUMMARY_FILE = "import_summary.json"


def _foreign_entry(root: Path) -> str | None:
    """What in ``root`` a data-service folder never holds, or None when replacing it
    deletes nothing else."""
    if root.is_symlink() or not root.is_dir():
        return "it is not a folder"
    with os.scandir(root) as entries:
        for entry in entries:
            if entry.name in (INDEX_FILE, SUMMARY_FILE) and entry.is_file(follow_symlinks=False):
                continue
            if entry.name == FACTOR_DIR and entry.is_dir(follow_symlinks=False):
                with os.scandir(entry.path) as factors:
                    for factor in factors:
                        if not (factor.name.endswith(".parquet")
                                and factor.is_file(follow_symlinks=False)):
                            return f"it holds {FACTOR_DIR}/{factor.name}"
                continue
            return f"it holds {entry.name}"
    return None


@contextmanager
def staged_folder(root: str | os.PathLike[str], overwrite: bool) -> Iterator[Path]:
    """Yields an empty temporary folder beside ``root`` (with ``factors/`` inside) that
    becomes ``root`` when the block ends without an error; on an error it is removed and
    ``root`` is left as it was. An existing ``root`` is refused unless ``overwrite``."""
    root = Path(root).expanduser()
    if root.exists() or root.is_symlink():
        if not overwrite:
            raise FileExistsError(f"{root} exists; pass overwrite=True to replace it")
        foreign = _foreign_entry(root)
        if foreign is not None:
            raise InputError(f"refusing to replace {root}: {foreign}, and a data-service "
                             f"folder holds only {FACTOR_DIR}/ (of .parquet files), "
                             f"{INDEX_FILE} and {SUMMARY_FILE}; choose another folder")
    root.parent.mkdir(parents=True, exist_ok=True)
    tmp = root.with_name(f".{root.name}.{uuid.uuid4().hex[:8]}.tmp")
    try:
        (tmp / FACTOR_DIR).mkdir(parents=True)
        yield tmp
        if root.exists():
            old = root.with_name(f".{root.name}.{uuid.uuid4().hex[:8]}.old")
            os.replace(root, old)
            os.replace(tmp, root)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(tmp, root)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def _dates_of(labels: Iterable[object]) -> np.ndarray:
    normalized = [normalize_yyyymmdd(v) for v in labels]
    text = [t for t in normalized if t is not None]
    if len(text) < len(normalized):
        raise ValueError("a date label is missing")
    return np.array([f"{t[:4]}-{t[4:6]}-{t[6:]}" for t in text], dtype="datetime64[D]")


def _narrow_factor(name: str, wide: pd.DataFrame) -> pa.Table:
    if not isinstance(wide, pd.DataFrame):
        raise TypeError(f"factor {name!r} must be a wide DataFrame")
    dates = _dates_of(wide.index)
    ukeys = np.array([exchange_ukey(c) for c in wide.columns], dtype=object)
    values = wide.to_numpy(dtype=np.float64, na_value=np.nan)
    order = np.argsort(dates, kind="stable")
    values = values[order]
    # Row-major walk: date by date, stock by stock; NaN cells have no row.
    rows, cols = np.nonzero(~np.isnan(values))
    return pa.table({
        "ukey": pa.array(ukeys[cols], pa.string()),
        "date": pa.array(dates[order][rows], pa.date32()),
        "value": pa.array(values[rows, cols], pa.float64()),
    })


def _index_table(index_daily: pd.DataFrame) -> pa.Table:
    missing = [c for c in INDEX_COLUMNS if c not in index_daily.columns]
    if missing:
        raise ValueError(f"index_daily lacks the columns {missing}")
    frame = index_daily[INDEX_COLUMNS]
    table = pa.table({
        "ukey": pa.array(frame["ukey"].astype(str).to_numpy(dtype=object), pa.string()),
        "date": pa.array(_dates_of(frame["date"]), pa.date32()),
        "close": pa.array(pd.to_numeric(frame["close"]).to_numpy(dtype=np.float64)),
        "daily_return": pa.array(pd.to_numeric(frame["daily_return"]).to_numpy(dtype=np.float64)),
    })
    return table.sort_by([("date", "ascending"), ("ukey", "ascending")])


def write_factor_folder(
    root: str | os.PathLike[str],
    factors: dict[str, pd.DataFrame],
    index_daily: pd.DataFrame,
    *,
    overwrite: bool = False,
) -> Path:
    """Writes a folder that ``LocalFactorService`` serves; returns its path.

    ``factors`` maps each factor name to a wide date x 6-digit-code DataFrame (NaN means
    no row); ``index_daily`` is a long table with ``ukey``, ``date``, ``close`` and
    ``daily_return``. An existing ``root`` is refused unless ``overwrite`` is true. The
    folder is written under a temporary name beside ``root`` and renamed into place, so a
    failure never leaves a half-written folder at ``root``.
    """
    if not isinstance(factors, dict):
        raise TypeError("factors must be a dict of name -> wide DataFrame")
    with staged_folder(root, overwrite) as tmp:
        for name, wide in factors.items():
            if not isinstance(name, str) or not name:
                raise ValueError(f"factor names must be non-empty text, got {name!r}")
            pq.write_table(_narrow_factor(name, wide), _factor_file(tmp, name),
                           row_group_size=_ROW_GROUP_ROWS)
        pq.write_table(_index_table(index_daily), tmp / INDEX_FILE,
                       row_group_size=_ROW_GROUP_ROWS)
    return Path(root).expanduser()
