"""The local data service: factor and index tables served from a folder of Parquet files.
It is this package's stand-in for the host toolkit's data-service client, the object
``kestrelia.singleton`` hands the native ``_prepare`` module.

``LocalFactorService(root)`` answers the two requests the prepared-data builder makes,
``get_factors`` and ``get_index_daily``, in the shapes a remote service would, so that the
builder runs without a network. Register it as the process-wide client::

    from kestrelia import singleton
    from kestrelia.dataservice import LocalFactorService
    singleton.set_instance(LocalFactorService("~/market"))

``write_factor_folder`` (``folder.py``) makes such a folder from wide matrices and an index
table; ``import_daily_bars`` (``bars/``) makes one from long daily-bar tables.

Folder layout::

    <root>/
        factors/<quoted factor name>.parquet
            one narrow table per factor, sorted by date then ukey, with the columns
            ukey (string, 6-digit code with exchange suffix, e.g. "600000.XSHG"),
            date (date32) and value (float64); a stock without a value on a date has no row
        index_daily.parquet
            ukey (string, index code with suffix, e.g. "000300.XSHG"), date (date32),
            close (float64) and daily_return (float64, a fraction)

Factor names are quoted for the file system (``urllib.parse.quote`` with "/" and "%"
escaped), so any name maps to exactly one file. Dates are filtered while reading (Parquet
row-group statistics, then row filters), so only the requested range is loaded.
"""


from __future__ import annotations

import datetime
import os
from pathlib import Path
from typing import Any
from urllib.parse import quote, unquote

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from kestrelia._dates import normalize_yyyymmdd
from kestrelia.errors import InputError

__all__ = ["LocalFactorService", "exchange_ukey"]

FACTOR_DIR = "factors"
INDEX_FILE = "index_daily.parquet"
FACTOR_COLUMNS = ["ukey", "date", "factor", "value"]
INDEX_COLUMNS = ["ukey", "date", "close", "daily_return"]
# About one month of a whole market per row group: date filters skip the others.
_ROW_GROUP_ROWS = 120_000


def exchange_ukey(code: Any) -> str:
    """The service key of a 6-digit stock code: the code with its exchange suffix.

    Shanghai (".XSHG"): codes starting with 6 (60xxxx main board, 688xxx/689xxx STAR
    market) or 9 (900xxx B shares). Shenzhen (".XSHE"): codes starting with 0 (00xxxx),
    3 (30xxxx ChiNext) or 2 (200xxx B shares). Codes starting with 4, 8 or 92 (the Beijing
    market, whose new codes are 920xxx) get ".BJSE". Any other text raises ``ValueError``.
    """
    text = str(code).strip()
    if len(text) != 6 or not text.isdigit():
        raise ValueError(f"not a 6-digit stock code: {code!r}")
    first = text[0]
    if first in "48" or text.startswith("92"):
        return text + ".BJSE"
    if first in "69":
        return text + ".XSHG"
    if first in "023":
        return text + ".XSHE"
    raise ValueError(f"no exchange is known for the stock code {code!r}")


def _factor_file(root: Path, name: str) -> Path:
    return root / FACTOR_DIR / (quote(name, safe="") + ".parquet")


def _date_bound(value: Any) -> pa.Scalar | None:
    date = normalize_yyyymmdd(value)
    if date is None:
        return None
    day = datetime.date(int(date[:4]), int(date[4:6]), int(date[6:]))
    return pa.scalar(day, type=pa.date32())


def _date_filters(start_date: Any, end_date: Any) -> list[tuple[str, str, Any]]:
    filters: list[tuple[str, str, Any]] = []
    start, end = _date_bound(start_date), _date_bound(end_date)
    if start is not None:
        filters.append(("date", ">=", start))
    if end is not None:
        filters.append(("date", "<=", end))
    return filters


def _read_table(path: Path, **options: Any) -> pa.Table:
    """``pq.read_table`` of a file of the folder; one that is not Parquet (damaged,
    truncated, another format under the name) is an ``InputError`` naming it."""
    try:
        return pq.read_table(path, **options)
    except (pa.ArrowInvalid, pa.ArrowTypeError, OSError) as exc:
        text = str(exc).strip()
        first = text.splitlines()[0] if text else type(exc).__name__
        raise InputError(f"cannot read {path} of the data-service folder: {first}") from None


def _to_pandas(table: pa.Table) -> pd.DataFrame:
    # Dates as datetime64 rather than datetime.date objects: a vectorised column.
    frame: pd.DataFrame = table.to_pandas(date_as_object=False)
    return frame


class LocalFactorService:
    """Serves factor and index tables from a folder written by ``write_factor_folder``."""

    def __init__(self, root: str | os.PathLike[str]) -> None:
        self.root = Path(root).expanduser()
        if not (self.root / FACTOR_DIR).is_dir():
            raise FileNotFoundError(f"{self.root} is not a factor folder (no {FACTOR_DIR}/)")

    def __repr__(self) -> str:
        return f"LocalFactorService({str(self.root)!r})"

    def factor_names(self) -> list[str]:
        """The factors the folder holds, sorted."""

        return sorted(unquote(p.name[: -len(".parquet")])
                      for p in (self.root / FACTOR_DIR).glob("*.parquet"))

    def index_codes(self) -> list[str]:
        """The index codes (with exchange) the folder has daily rows of, sorted."""
        path = self.root / INDEX_FILE
        if not path.exists():
            return []
        codes = _read_table(path, columns=["ukey"]).column("ukey").unique()
        return sorted(str(code) for code in codes.to_pylist() if code is not None)

    def get_factors(self, factor: str | list[str], start_date: Any = None,
                    end_date: Any = None) -> pd.DataFrame:
        """Narrow table of one factor or a list of factors between two inclusive dates.

        Columns: ``ukey``, ``date`` (datetime64), ``factor`` (categorical, the requested
        names) and ``value``; rows in request order, then by date and stock. Factors that
        the folder lacks contribute no rows; when none has data the table is empty (with
        those columns). Dates may be given in any form ``normalize_yyyymmdd`` reads, or None.
        """
        names = [factor] if isinstance(factor, str) else list(factor)
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"factor names must be str, got {type(name).__name__}")
        names = list(dict.fromkeys(names))
        filters = _date_filters(start_date, end_date) or None
        tables = []
        for code, name in enumerate(names):
            path = _factor_file(self.root, name)
            if not path.exists():
                continue
            table = _read_table(path, columns=["ukey", "date", "value"], filters=filters)
            indices = pa.array(np.full(table.num_rows, code, dtype=np.int32))
            factor_column = pa.DictionaryArray.from_arrays(indices, pa.array(names))
            tables.append(table.add_column(2, "factor", factor_column))
        if not tables:
            return pd.DataFrame({
                "ukey": pd.Series([], dtype="str"),
                "date": pd.Series([], dtype="datetime64[ms]"),
                "factor": pd.Categorical([], categories=names),
                "value": pd.Series([], dtype="float64"),
            })
        return _to_pandas(pa.concat_tables(tables))

    def get_index_daily(
        self, ukeys: str | list[str], start_date: Any = None, end_date: Any = None
    ) -> pd.DataFrame:
        """Daily rows of the given index codes (with exchange suffix) between two inclusive
        dates: ``ukey``, ``date`` (datetime64), ``close`` and ``daily_return`` (a fraction),
        sorted by date then code."""
        codes = [ukeys] if isinstance(ukeys, str) else list(ukeys)
        filters = _date_filters(start_date, end_date)
        filters.append(("ukey", "in", codes))
        path = self.root / INDEX_FILE
        if not path.exists():
            return pd.DataFrame({column: [] for column in INDEX_COLUMNS})
        table = _read_table(path, columns=INDEX_COLUMNS, filters=filters)
        return _to_pandas(table)
