"""Weight matrices from files: Parquet or CSV, dates in the first column or the index, one
column per six-digit stock code. Bad files raise ``InputError`` naming the first offending
value."""

from __future__ import annotations

import csv
import errno
import io
import os
import stat
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from kestrelia import _labels
from kestrelia.errors import InputError

__all__ = ["WeightsFile", "read_weights"]

_BOOLEAN_TEXT = ("true", "false")
# The largest CSV block handed to pyarrow (a block must hold whole rows).
_MAX_BLOCK = 1 << 30
# A control character as the delimiter reads each line whole; a file that holds it takes
# the path of quoted files.
_LINE_ONLY = "\x1f"
# Columns converted at a time (bounds pyarrow's per-column memory).
_GROUP = 10_000
_FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a named pipe"),
               (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
               (stat.S_ISSOCK, "a socket"))


def _stock_codes(names: list[str]) -> list[str | None]:
    """The stock code of every column name (kestrelia._labels.stock_code: leading zeros a
    spreadsheet dropped come back, exchange suffixes and prefixes are read and checked
    against the digits). Plain digits, nearly always all of them, are read in one vectorised
    pass (a file may have a million columns); the rest one by one."""
    text = pc.utf8_trim_whitespace(pa.array(names, pa.string()))
    short = pc.match_substring_regex(text, r"^[0-9]{1,6}$")
    padded = pc.if_else(short, pc.utf8_lpad(text, 6, "0"), pa.scalar(None, pa.string()))
    codes: list[str | None] = padded.to_pylist()
    if not pc.all(short).as_py():
        for k, code in enumerate(codes):
            if code is None:
                codes[k] = _labels.stock_code(names[k])
    return codes


def _kind(mode: int) -> str | None:
    return next((name for test, name in _FILE_KINDS if test(mode)), None)


def _read_bytes(path: Path) -> bytes:
    """The content of the weights file, which must be a regular file (after links).

    It is opened without blocking, so that a named pipe without a writer is refused at
    once, and judged by the opened file itself, so that nothing swapped in after the check
    (a device that never ends) is read.
    """
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags)
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise InputError(f"weights file {path} is a loop of symbolic links") from None
        if exc.errno in (errno.ENOENT, errno.ENOTDIR):
            if path.is_symlink():
                raise InputError(f"weights file {path} is a symbolic link to "
                                 f"{os.readlink(path)!r}, which does not exist") from None
            raise InputError(f"weights file {path} does not exist") from None
        try:  # a socket cannot be opened at all: say what it is
            kind = _kind(path.stat().st_mode)
        except OSError:
            kind = None
        if kind:
            raise InputError(f"weights file {path} is not a regular file but {kind}") from None
        raise InputError(f"cannot open weights file {path}: {exc.strerror}") from None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        if stat.S_ISDIR(mode):
            raise InputError(f"weights path {path} is a directory, not a file")
        raise InputError(f"weights file {path} is not a regular file but "
                         f"{_kind(mode) or 'a special file'}")
    with os.fdopen(fd, "rb") as handle:
        return handle.read()


def _refuse_cell(path: Path, label: Any, name: str, value: Any) -> InputError:
    where = f"weights file {path}: the cell ({label!r}, {name!r}) is {value!r}"
    if isinstance(value, bool) or str(value).strip().lower() in _BOOLEAN_TEXT:
        return InputError(f"{where}; weights must be numbers, not booleans")
    return InputError(f"{where}; weights must be numbers")


# What pyarrow's CSV reader takes for a missing value (pandas' list, near enough).
_MISSING_TEXT = pa.array(pacsv.ConvertOptions().null_values, pa.string())


def _cleaned(cells: pa.Array) -> pa.Array:
    """Text cells trimmed, with the usual spellings of a missing value as null."""
    text = pc.utf8_trim_whitespace(cells)
    return pc.if_else(pc.is_in(text, value_set=_MISSING_TEXT), pa.scalar(None, pa.string()),
                      text)


def _numbers(cells: pa.Array) -> pa.Array:
    return pc.cast(_cleaned(cells), pa.float64())


def _unreadable(cells: pa.Array) -> np.ndarray:
    """Which text cells ``_numbers`` cannot read (each distinct text tried once)."""
    encoded = pc.dictionary_encode(_cleaned(cells))
    flags = []
    for value in encoded.dictionary.to_pylist():
        try:
            pc.cast(pa.array([value], pa.string()), pa.float64())
            flags.append(False)
        except pa.ArrowInvalid:
            flags.append(True)
    lookup = np.array([*flags, False])
    result: np.ndarray = lookup[encoded.indices.fill_null(len(flags)).to_numpy(
        zero_copy_only=False)]
    return result


Table = tuple[list[Any], list[str], Callable[[], np.ndarray]]


def _csv_table(data: bytes, path: Path) -> Table:
    """Date labels, column names and the reader of the weights of a CSV file."""
    if b'"' in data or _LINE_ONLY.encode() in data:
        return _quoted_csv_table(data, path)
    # Without quotes every comma separates two cells: the rows are split as text in one
    # vectorised pass, whatever the number of columns. pyarrow's own reader would keep a
    # parser per column (about 9 KB each, 9 GB for a million columns).
    lines = pacsv.read_csv(
        pa.py_buffer(data),
        read_options=pacsv.ReadOptions(column_names=["line"], block_size=_block(data)),
        parse_options=pacsv.ParseOptions(delimiter=_LINE_ONLY, quote_char=False),
        convert_options=pacsv.ConvertOptions(column_types={"line": pa.string()},
                                             strings_can_be_null=False),
    ).column(0).combine_chunks()
    if len(lines) == 0:
        raise ValueError("the file is empty")
    cells = pc.split_pattern(lines, ",")
    counts = pc.list_value_length(cells).to_numpy(zero_copy_only=False)
    width = int(counts[0])
    wrong = np.flatnonzero(counts != width)
    if len(wrong):
        raise ValueError(f"row {int(wrong[0])} has {int(counts[wrong[0]])} fields where the "
                         f"header has {width}")
    flat = cells.flatten()
    names = flat.slice(0, width).to_pylist()
    rows = len(lines) - 1
    grid = np.arange(width, (rows + 1) * width).reshape(rows, width)
    labels = flat.take(pa.array(grid[:, 0])).to_pylist()

    def values() -> np.ndarray:
        body = flat.take(pa.array(grid[:, 1:].ravel()))
        try:
            numbers = _numbers(body)
        except pa.ArrowInvalid:
            bad = _unreadable(body).reshape(rows, width - 1)
            column = int(np.flatnonzero(bad.any(axis=0))[0])
            row = int(np.flatnonzero(bad[:, column])[0])
            raise _refuse_cell(path, labels[row], names[column + 1],
                               body[row * (width - 1) + column].as_py()) from None
        result: np.ndarray = numbers.to_numpy(zero_copy_only=False).reshape(rows, width - 1)
        return result

    return labels, names, values


def _quoted_csv_table(data: bytes, path: Path) -> Table:
    """A CSV file with quoted cells, read by pyarrow's CSV reader column by column."""
    header = io.TextIOWrapper(io.BytesIO(data), encoding="utf-8-sig", newline="")
    names = next(csv.reader(header), [])
    if not names:
        raise ValueError("the file is empty")
    # Names given rather than read keep repeated ones apart.
    keys = [str(i) for i in range(len(names))]
    table = pacsv.read_csv(
        pa.py_buffer(data),
        read_options=pacsv.ReadOptions(column_names=keys, skip_rows=1, block_size=_block(data)),
        convert_options=pacsv.ConvertOptions(column_types=dict.fromkeys(keys, pa.string()),
                                             strings_can_be_null=True))
    labels = table.column(0).to_pylist()
    return labels, names, lambda: _column_values(table.drop_columns("0"), path, labels,
                                                 names[1:])


def _block(data: bytes) -> int:
    # pyarrow parses a CSV in blocks that must hold whole rows, and a row of a wide file is
    # longer than any default block: the file is one block, up to a limit.
    return min(max(len(data) + 1, 1 << 20), _MAX_BLOCK)


def _is_text(kind: pa.DataType) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind))


def _is_number(kind: pa.DataType) -> bool:
    return bool(pa.types.is_integer(kind) or pa.types.is_floating(kind)
                or pa.types.is_decimal(kind) or pa.types.is_null(kind))


def _column_values(table: pa.Table, path: Path, labels: list[Any],
                   names: list[str]) -> np.ndarray:
    """A table of number columns (or text holding numbers) as one float matrix; a boolean
    or a text that is no number is refused naming its cell."""
    rows = len(labels)
    result = np.empty((rows, table.num_columns))
    if rows == 0:
        return result
    # Some thousands of columns at a time, each group converted by pyarrow in one call.
    for start in range(0, table.num_columns, _GROUP):
        group = table.select(range(start, min(start + _GROUP, table.num_columns)))
        # One conversion per distinct type: the group's columns of that type are joined
        # into one array (column after column) and converted at once.
        by_kind: dict[pa.DataType, list[int]] = {}
        for i, kind in enumerate(group.schema.types):
            by_kind.setdefault(kind, []).append(i)
        for kind, index in by_kind.items():
            if _is_number(kind) or _is_text(kind):
                continue
            if not pa.types.is_boolean(kind):
                raise InputError(f"weights file {path}: the column {names[start + index[0]]!r} "
                                 f"holds {kind}; weights must be numbers")
            for i in index:  # booleans are refused unless every cell is missing
                valid = np.flatnonzero(group.column(i).is_valid().to_numpy(zero_copy_only=False))
                if len(valid):
                    row = int(valid[0])
                    raise _refuse_cell(path, labels[row], names[start + i],
                                       group.column(i)[row].as_py())
        for kind, index in by_kind.items():
            cells = pa.concat_arrays([chunk for i in index for chunk in group.column(i).chunks])
            if _is_text(kind):
                text = cells.cast(pa.string())
                try:
                    numbers = _numbers(text)
                except pa.ArrowInvalid:
                    first = int(np.flatnonzero(_unreadable(text))[0])
                    column, row = divmod(first, rows)
                    raise _refuse_cell(path, labels[row], names[start + index[column]],
                                       text[first].as_py()) from None
            else:
                numbers = cells.cast(pa.float64())
            block = numbers.to_numpy(zero_copy_only=False).reshape(len(index), rows)
            result[:, start + np.asarray(index)] = block.T
    return result


def _parquet_table(data: bytes, path: Path) -> Table:
    """Date labels, column names and the reader of the weights of a Parquet file: the
    dates are the index pandas stored, else the first column."""
    source = pq.ParquetFile(pa.BufferReader(data))
    schema = source.schema_arrow
    names = list(schema.names)
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise InputError(f"weights file {path}: the column {name!r} appears twice")
        seen.add(name)
    if not names:
        raise ValueError("the file has no columns")
    metadata = schema.pandas_metadata or {}
    stored = [c for c in metadata.get("index_columns", []) if isinstance(c, str) and c in seen]
    first = stored[0] if len(stored) == 1 else names[0]
    weights = [name for name in names if name != first]
    labels = source.read(columns=[first], use_pandas_metadata=False).column(0).to_pylist()

    def values() -> np.ndarray:
        result = np.empty((len(labels), len(weights)))
        # A group of columns at a time bounds the memory pyarrow's readers take per column.
        for start in range(0, len(weights), _GROUP):
            part = weights[start:start + _GROUP]
            table = source.read(columns=part, use_threads=False, use_pandas_metadata=False)
            result[:, start:start + len(part)] = _column_values(table, path, labels, part)
        return result

    return labels, [first, *weights], values


def _first_line(exc: Exception) -> str:
    """The reader's own first line names the problem; a parser quoting a whole row of a
    wide file is cut short."""
    text = str(exc).strip()
    first = text.splitlines()[0] if text else type(exc).__name__
    return first if len(first) <= 200 else first[:200] + " ..."


def read_weights(path: str | Path, date_format: str | None = None) -> pd.DataFrame:
    """Read a weight matrix from a Parquet or CSV file.

    Parameters
    ----------
    path : str or path-like
        ``.parquet`` or ``.csv``: dates in the first column (or the Parquet index), one
        column per stock code. Codes that lost their leading zeros (``1``) or carry an
        exchange suffix (``000001.SZ``) are read back to six digits.
    date_format : str, optional
        A ``strptime`` format for dates that are not ``YYYYMMDD`` or ISO; without it an
        ambiguous date such as ``02/01/2024`` is refused rather than guessed.

    Returns
    -------
    pandas.DataFrame
        Float weights, dates (``YYYYMMDD`` text) x six-digit codes, sorted by date.

    Raises
    ------
    InputError
        For a missing file, a directory, a pipe, device or loop of links, an unreadable
        table, a bad date or code, a boolean or non-numeric cell, or a repeated date or
        code; the message names the first offender.

    Notes
    -----
    Wide files are read column-wise by pyarrow, with no Python work per cell. A CSV file
    without quotes is split in one pass: 100,000 columns x 5 rows take about 0.2 s and a
    million columns about 2.5 s and 0.7 GiB. Still slow: Parquet, whose metadata describes
    every column (5 to 6.5 s for 100,000 columns and 9.5 s and 1.1 GiB for 200,000, so a
    million columns take about a minute and several GiB), and a CSV file with quoted cells,
    which pyarrow's CSV reader parses with about 9 KB of memory per column.

    Examples
    --------
    >>> read_weights("no-such-file.csv")
    Traceback (most recent call last):
    ...
    kestrelia.errors.InputError: weights file no-such-file.csv does not exist
    """
    path = Path(path).expanduser()
    suffix = path.suffix.lower()
    if suffix not in (".parquet", ".csv", ".txt"):
        _read_bytes(path)  # a missing or special file is named as such first
        raise InputError(f"weights file {path}: use .parquet or .csv")
    data = _read_bytes(path)
    try:
        read = _parquet_table if suffix == ".parquet" else _csv_table
        labels, names, values = read(data, path)
    except InputError:
        raise
    except Exception as exc:
        raise InputError(f"cannot read weights file {path}: {_first_line(exc)}") from None
    # Dates as backtest() reads them (time-zone-aware ones in Shanghai time), kept as
    # YYYYMMDD text.
    dates = _labels.trading_dates(pd.Index(labels, dtype=object), f"weights file {path}",
                                  date_format).strftime("%Y%m%d")
    codes = _stock_codes(names[1:])
    for column, code in zip(names[1:], codes):
        if code is None:
            raise InputError(f"weights file {path}: column {column!r} is not a stock code "
                             "(six digits, optionally with an exchange such as 000001.SZ "
                             "or sh600000)")
    try:
        matrix = values()
    except InputError:
        raise
    except Exception as exc:
        raise InputError(f"cannot read weights file {path}: {_first_line(exc)}") from None
    weights = pd.DataFrame(matrix, index=pd.Index(dates, dtype="str", name="date"),
                           columns=pd.Index(codes, dtype="str"))
    if not weights.index.is_unique:
        raise InputError(f"weights file {path}: the date "
                        f"{weights.index[weights.index.duplicated()][0]} appears twice")
    if not weights.columns.is_unique:
        raise InputError(f"weights file {path}: the stock code "
                        f"{weights.columns[weights.columns.duplicated()][0]} appears twice")
    return weights.sort_index()


class WeightsFile:
    """A weights file as a sweep strategy: called with the market, it reads the file. It
    pickles as its path and date format, so a cluster's workers read the file themselves.

    Examples
    --------
    >>> WeightsFile("top50.parquet")
    WeightsFile('top50.parquet')
    """

    def __init__(self, path: str | Path, date_format: str | None = None) -> None:
        self.path = Path(path)
        self.date_format = date_format

    def __repr__(self) -> str:
        return f"WeightsFile({str(self.path)!r})"

    def __call__(self, market: object = None) -> pd.DataFrame:
        return read_weights(self.path, self.date_format)
