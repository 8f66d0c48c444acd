"""Reading daily-bar tables batch by batch: files, column names, codes, dates and numbers.

``TableReader`` streams CSV and Parquet files with pyarrow (one record batch at a time,
never a whole file), maps the user's column names to the standard ones, turns each batch
into numbers (date as days since 1970, code as an id, every value column as float64) and
sorts out the rows that cannot be used, each with its reason.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from kestrelia.errors import InputError

SUFFIXES = (".parquet", ".pq", ".csv", ".txt", ".csv.gz")
BATCH_ROWS = 256_000
CSV_BLOCK_BYTES = 16 << 20
EXAMPLES_KEPT = 3


# One file or folder, or a list of them.
TablePaths = str | os.PathLike[str] | list[str | os.PathLike[str]]


def table_files(paths: TablePaths, what: str) -> list[Path]:
    """The CSV and Parquet files named, and those inside the folders named (recursively,
    in name order)."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files: list[Path] = []
    for item in paths:
        path = Path(item).expanduser()
        if path.is_dir():
            found = sorted(p for p in path.rglob("*")
                           if p.is_file() and p.name.lower().endswith(SUFFIXES)
                           and not p.name.startswith("."))
            if not found:
                raise InputError(f"{what}: the folder {path} holds no .csv or .parquet file")
            files.extend(found)
        elif path.is_file():
            if not path.name.lower().endswith(SUFFIXES):
                raise InputError(f"{what}: {path} is neither .csv nor .parquet")
            files.append(path)
        else:
            raise InputError(f"{what}: {path} does not exist")
    if not files:
        raise InputError(f"{what}: no file given")
    return files


def _is_parquet(path: Path) -> bool:
    return path.name.lower().endswith((".parquet", ".pq"))


def file_columns(path: Path) -> list[str]:
    """The column names of a file, from its metadata or header line."""
    try:
        if _is_parquet(path):
            return list(pq.read_schema(path).names)
        reader = pacsv.open_csv(path, read_options=pacsv.ReadOptions(block_size=1 << 16))
        return list(reader.schema.names)
    except (pa.ArrowInvalid, OSError) as exc:
        raise InputError(f"cannot read {path}: {exc}") from None


def iter_batches(path: Path, columns: list[str]) -> Iterator[pa.RecordBatch]:
    """Record batches of ``columns`` of one file. CSV cells are all read as text (codes keep
    their leading zeros, and a column whose first block looked like integers cannot fail on
    a later block); ``numbers`` parses them."""
    try:
        if _is_parquet(path):
            yield from pq.ParquetFile(path).iter_batches(batch_size=BATCH_ROWS, columns=columns)
            return
        reader = pacsv.open_csv(
            path,
            read_options=pacsv.ReadOptions(block_size=CSV_BLOCK_BYTES),
            convert_options=pacsv.ConvertOptions(
                include_columns=columns,
                column_types={c: pa.string() for c in columns},
                strings_can_be_null=True),
        )
        yield from reader
    except (pa.ArrowInvalid, pa.ArrowTypeError) as exc:
        raise InputError(f"cannot read {path}: {exc}") from None


@dataclass
class Rejects:
    """Rows that cannot be used, counted by reason with the first examples of each."""

    counts: dict[str, int] = field(default_factory=dict)
    examples: dict[str, list[str]] = field(default_factory=dict)
    strict: bool = False

    def add(self, reason: str, count: int, examples: list[str]) -> None:
        if count <= 0:
            return
        if self.strict:
            raise InputError(f"{reason}: {examples[0]}" + (f" (and {count - 1} more rows)"
                                                          if count > 1 else ""))
        self.counts[reason] = self.counts.get(reason, 0) + count
        kept = self.examples.setdefault(reason, [])
        kept.extend(examples[: EXAMPLES_KEPT - len(kept)])

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    def report(self) -> dict[str, dict[str, Any]]:
        return {reason: {"rows": count, "examples": self.examples[reason]}
                for reason, count in self.counts.items()}


class Encoder:
    """Parses the distinct values of a column once each and maps them to numbers.

    ``parse`` turns one value into a key (or None when it cannot be read); keys get ids in
    order of first appearance when ``ids`` is on, else the key itself must be a number.
    """

    def __init__(self, parse: Callable[[Any], Any], ids: bool):
        self.parse = parse
        self.ids = ids
        self.keys: list[Any] = []
        self.index: dict[Any, int] = {}
        self.parsed: dict[Any, Any] = {}  # the same values come back in every batch

    def encode(self, column: pa.Array) -> np.ndarray:
        """float64 per row: the id or number, NaN where the value cannot be read or is
        missing."""
        if isinstance(column, pa.ChunkedArray):
            column = column.combine_chunks()
        encoded = pc.dictionary_encode(column)
        values = []
        for value in encoded.dictionary.to_pylist():
            if value in self.parsed:
                key = self.parsed[value]
            else:
                key = self.parsed[value] = self.parse(value)
            if key is None:
                values.append(np.nan)
            elif self.ids:
                if key not in self.index:
                    self.index[key] = len(self.keys)
                    self.keys.append(key)
                values.append(float(self.index[key]))
            else:
                values.append(float(key))
        lookup = np.array([*values, np.nan], dtype=np.float64)
        indices = encoded.indices.fill_null(len(values)).to_numpy(zero_copy_only=False)
        result: np.ndarray = lookup[indices]
        return result


def numbers(column: pa.Array) -> tuple[np.ndarray, np.ndarray]:
    """float64 values of a column and a mask of the cells holding text that is no number
    (empty cells are missing values, not errors)."""
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    kind = column.type
    if pa.types.is_dictionary(kind):
        column = column.cast(kind.value_type)
        kind = column.type
    if pa.types.is_boolean(kind) or pa.types.is_integer(kind) or pa.types.is_floating(kind) \
            or pa.types.is_decimal(kind):
        values = column.cast(pa.float64()).fill_null(np.nan).to_numpy(zero_copy_only=False)
        return values, np.zeros(len(values), dtype=bool)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        text = pc.utf8_trim_whitespace(column)
        text = pc.if_else(pc.equal(text, ""), pa.scalar(None, text.type), text)
        try:
            values = pc.cast(text, pa.float64())
            return (values.fill_null(np.nan).to_numpy(zero_copy_only=False),
                    np.zeros(len(column), dtype=bool))
        except pa.ArrowInvalid:
            pass  # some cell is no number: find which, value by value
        encoded = pc.dictionary_encode(text)
        lookup: list[float | None] = []
        for value in encoded.dictionary.to_pylist():
            try:
                lookup.append(float(value))
            except ValueError:
                lookup.append(None)
        table = np.array([np.nan if v is None else v for v in lookup] + [np.nan])
        invalid = np.array([v is None for v in lookup] + [False])
        indices = encoded.indices.fill_null(len(lookup)).to_numpy(zero_copy_only=False)
        return table[indices], invalid[indices]
    if pa.types.is_null(kind):
        return np.full(len(column), np.nan), np.zeros(len(column), dtype=bool)
    raise InputError(f"a column of type {kind} cannot hold numbers")


def is_numeric_type(kind: pa.DataType) -> bool:
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return bool(pa.types.is_integer(kind) or pa.types.is_floating(kind)
                or pa.types.is_boolean(kind) or pa.types.is_decimal(kind))


def file_types(path: Path) -> dict[str, pa.DataType]:
    """Column name -> type as the file holds it (CSV: as pyarrow infers it from the first
    block)."""
    if _is_parquet(path):
        schema = pq.read_schema(path)
    else:
        schema = pacsv.open_csv(path, read_options=pacsv.ReadOptions(block_size=1 << 20)).schema
    return {name: schema.field(name).type for name in schema.names}
