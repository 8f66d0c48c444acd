"""Reading daily-bar tables batch by batch: files, column names, codes, dates and numbers.

``TableReader`` streams CSV and Parquet files with pyarrow (one record batch at a time,
never a whole file), maps the user's column names to the standard ones, turns each batch
into numbers (date as days since 1970, code as an id, every value column as float64) and
sorts out the rows that cannot be used, each with its reason.
"""

from __future__ import annotations

import codecs
import errno
import os
import stat
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
DATE_HINT = ("dates must be YYYYMMDD or YYYY-MM-DD; name other forms with --date-format "
             "(date_format), e.g. %d/%m/%Y")
INDEX_DATE_HINT = ("dates must be YYYYMMDD or YYYY-MM-DD; name other forms of the index "
                   "tables with --index-date-format (index_date_format), e.g. %d/%m/%Y")


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
            raise InputError(f"{what}: {path} {_not_a_file(path)}")
    if not files:
        raise InputError(f"{what}: no file given")
    return files


def _not_a_file(path: Path) -> str:
    """What a path that is neither a file nor a folder is, for the message refusing it."""
    try:
        mode = path.stat().st_mode
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            return "is a loop of symbolic links"
        if path.is_symlink():
            return f"is a symbolic link to {os.readlink(path)!r}, which does not exist"
        return "does not exist"
    kinds = ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISCHR, "a character device"),
             (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))
    kind = next((name for test, name in kinds if test(mode)), "a special file")
    return f"is not a regular file but {kind}"


def _is_parquet(path: Path) -> bool:
    return path.name.lower().endswith((".parquet", ".pq"))


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    first = text.splitlines()[0] if text else type(exc).__name__
    # A parse error quotes the row it met: of a binary file, bytes a terminal would print
    # as garbage (or obey as control codes). The message stops where they start.
    cut = next((i for i, ch in enumerate(first) if not ch.isprintable() or ch == "\ufffd"),
               None)
    if cut is not None:
        first = first[:cut].rstrip() + " ..."
    return first if len(first) <= 200 else first[:200] + " ..."


#: The bytes of a CSV file checked to be UTF-8 text before pyarrow reads it.
TEXT_CHECK_BYTES = 1 << 16


def _check_text(path: Path) -> None:
    """Refuses a CSV file whose first bytes are not UTF-8 text (a binary file, or a table
    saved in another encoding): pyarrow would quote its rows undecoded, and print a
    traceback of its own for the first malformed one."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(TEXT_CHECK_BYTES)
    except OSError:
        return  # pyarrow reports it, as for any file it cannot open
    try:
        codecs.getincrementaldecoder("utf-8")().decode(head, final=False)
    except UnicodeDecodeError as exc:
        raise InputError(f"cannot read {path}: it is not UTF-8 text (byte {exc.start + 1} "
                         "is not): a CSV file is read as UTF-8, so save it so, or give the "
                         "table as Parquet") from None


def _skip(row: Any) -> str:
    return "skip"


def file_columns(path: Path) -> list[str]:
    """The column names of a file, from its metadata or header line."""
    return list(file_types(path))


def iter_batches(path: Path, columns: list[str], malformed: MalformedRows
                 ) -> Iterator[tuple[pa.RecordBatch, np.ndarray]]:
    """Record batches of ``columns`` of one file, each with the numbers of its rows (1 is
    the first row under the header). CSV cells are all read as text (codes keep their
    leading zeros, and a column whose first block looked like integers cannot fail on a
    later block); ``numbers`` parses them. A CSV row with too many or too few fields is
    left out and handed to ``malformed``."""
    kept = 0
    try:
        if _is_parquet(path):
            for batch in pq.ParquetFile(path).iter_batches(batch_size=BATCH_ROWS,
                                                           columns=columns):
                yield batch, np.arange(kept + 1, kept + batch.num_rows + 1, dtype=np.int64)
                kept += batch.num_rows
            return
        _check_text(path)
        reader = pacsv.open_csv(
            path,
            # One thread: pyarrow then knows the line of each malformed row.
            read_options=pacsv.ReadOptions(block_size=CSV_BLOCK_BYTES, use_threads=False),
            parse_options=pacsv.ParseOptions(invalid_row_handler=malformed),
            convert_options=pacsv.ConvertOptions(
                include_columns=columns,
                column_types={c: pa.string() for c in columns},
                strings_can_be_null=True),
        )
        for batch in reader:
            malformed.check_quotes()
            rows = malformed.rows(np.arange(kept + 1, kept + batch.num_rows + 1,
                                            dtype=np.int64))
            kept += batch.num_rows
            stop = malformed.stop_before()
            if stop is not None:
                above = rows < stop
                if above.any():
                    yield batch.filter(pa.array(above)), rows[above]
                malformed.stop()
            yield batch, rows
        malformed.check_quotes()
        malformed.stop()
    except (pa.ArrowInvalid, pa.ArrowTypeError, OSError) as exc:
        raise InputError(f"cannot read {path}: {_first_line(exc)}") from None


@dataclass
class Rejects:
    """Rows that cannot be used, counted by reason with the first examples of each."""

    counts: dict[str, int] = field(default_factory=dict)
    examples: dict[str, list[str]] = field(default_factory=dict)
    strict: bool = False

    def add(self, reason: str, count: int, examples: list[str], hint: str | None = None) -> None:
        """Counts ``count`` rows rejected for ``reason``; ``hint`` says what to do about
        it, in the message of a strict import."""
        if count <= 0:
            return
        if self.strict:
            raise InputError(f"{reason}: {examples[0]}"
                             + (f" (and {count - 1} more rows)" if count > 1 else "")
                             + (f"; {hint}" if hint else ""))
        self.counts[reason] = self.counts.get(reason, 0) + count
        kept = self.examples.setdefault(reason, [])
        kept.extend(examples[: EXAMPLES_KEPT - len(kept)])

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    def report(self) -> dict[str, dict[str, Any]]:
        return {reason: {"rows": count, "examples": self.examples[reason]}
                for reason, count in self.counts.items()}


MALFORMED = "malformed CSV row (wrong number of fields)"


class MalformedRows:
    """pyarrow's handler of the CSV rows whose number of fields differs from the header's:
    each is left out of the batches and counted as a reject with its line. ``rows``
    numbers the rows that were kept; when the rejects are strict, ``iter_batches`` stops at
    the first malformed row, after the rows above it."""

    def __init__(self, path: Path, rejects: Rejects, what: str = ""):
        self.path = path
        self.rejects = rejects
        self.reason = f"{what}: {MALFORMED}" if what else MALFORMED
        self.skipped: list[int] = []  # data rows (1 = the row under the header)
        self.count = 0
        self.first: tuple[int, str] | None = None
        # A row whose text spans lines: a quote that was never closed took the lines after
        # it into one field (a table of bars has no field of several lines).
        self.runaway: tuple[int, int] | None = None

    def __call__(self, row: Any) -> str:
        # An exception raised here would be printed and swallowed by pyarrow: even a strict
        # read skips the row and stops later, in ``iter_batches``.
        text = row.text if len(row.text) <= 60 else row.text[:60] + "..."
        number = row.number or 0  # known: the reader runs on one thread
        example = (f"{self.path.name} line {number} (row {number - 1}): {row.actual_columns} "
                   f"fields where the header has {row.expected_columns}: {text!r}")
        if "\n" in row.text and self.runaway is None:
            self.runaway = (number, row.text.count("\n") + 1)
        self.skipped.append(number - 1)
        self.count += 1
        if self.first is None:
            self.first = (number - 1, example)
        if not self.rejects.strict:
            self.rejects.add(self.reason, 1, [example])
        return "skip"

    def check_quotes(self) -> None:
        """Refuses the file when a quote that was never closed swallowed the lines after
        it: those rows were never read, so no count of rejects could stand for them."""
        if self.runaway is not None:
            line, lines = self.runaway
            raise InputError(f"cannot read {self.path}: line {line}: a quote opens a field "
                             f"that runs over {lines:,} lines, to line {line + lines - 1:,}; "
                             "close or remove the quote")

    def stop_before(self) -> int | None:
        """In a strict read, the data row of the first malformed row, where it stops."""
        return self.first[0] if self.rejects.strict and self.first is not None else None

    def stop(self) -> None:
        if self.rejects.strict and self.first is not None:
            self.rejects.add(self.reason, 1, [self.first[1]])

    def rows(self, kept: np.ndarray) -> np.ndarray:
        """The data-row numbers of the kept rows with these 1-based positions among the
        kept ones."""
        if not self.skipped:
            return kept
        skipped = np.sort(np.array(self.skipped, dtype=np.int64))
        # The i-th skipped row (from 0) has skipped[i] - 1 - i kept rows before it.
        before = skipped - np.arange(len(skipped))
        result: np.ndarray = kept + np.searchsorted(before, kept, side="right")
        return result


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


# What pyarrow's cast from text to float64 accepts (it does not trim): digits with an
# optional sign, point and exponent, and inf, infinity or nan in any case. Python's
# float() also takes "1_000", full-width digits and surrounding blanks, which are no
# plain numbers in a table.
_PLAIN_NUMBER = (r"^[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
                 r"|(?i:inf|infinity|nan(?:\([0-9a-z_]*\))?))$")


def numbers(column: pa.Array) -> tuple[np.ndarray, np.ndarray]:
    """float64 values of a column and a mask of the cells holding text that is not a plain
    ASCII number (empty cells are missing values, not errors). Booleans are numbers here:
    the caller decides where they are refused."""
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
            pass  # some cell is no number: sort the distinct texts
        encoded = pc.dictionary_encode(text)
        dictionary = encoded.dictionary
        plain = np.array(pc.match_substring_regex(dictionary, _PLAIN_NUMBER).to_numpy(
            zero_copy_only=False), dtype=bool)
        table = np.full(len(dictionary) + 1, np.nan)
        read, ok = _floats(dictionary.filter(pa.array(plain)))
        table[:-1][plain] = read
        plain[plain] = ok
        invalid = np.r_[~plain, False]
        indices = encoded.indices.fill_null(len(dictionary)).to_numpy(zero_copy_only=False)
        return table[indices], invalid[indices]
    if pa.types.is_null(kind):
        return np.full(len(column), np.nan), np.zeros(len(column), dtype=bool)
    raise InputError(f"a column of type {kind} cannot hold numbers")


def _floats(text: pa.Array) -> tuple[np.ndarray, np.ndarray]:
    """float64 of texts that look like plain numbers, and which of them pyarrow read."""
    try:
        values: np.ndarray = pc.cast(text, pa.float64()).to_numpy(zero_copy_only=False)
        return values, np.ones(len(values), dtype=bool)
    except pa.ArrowInvalid:  # a form the pattern lets through and pyarrow does not
        read = []
        for value in text.to_pylist():
            try:
                read.append(pc.cast(pa.array([value]), pa.float64())[0].as_py())
            except pa.ArrowInvalid:
                read.append(None)
        ok = np.array([v is not None for v in read], dtype=bool)
        return np.array([np.nan if v is None else v for v in read], dtype=np.float64), ok


# A timestamp with a time zone is read on the exchange's clock: a Shanghai midnight stored
# in UTC is 16:00 of the day before, and its UTC date would shift every trading day by one.
EXCHANGE_TIME_ZONE = "Asia/Shanghai"


def is_date_type(kind: pa.DataType) -> bool:
    return bool(pa.types.is_timestamp(kind) or pa.types.is_date(kind))


def date_type_days(column: pa.Array) -> np.ndarray:
    """Days since 1970-01-01 of a date or timestamp column (NaN where missing); a timestamp
    with a time zone counts by its date in Shanghai."""
    kind = column.type
    if pa.types.is_timestamp(kind) and kind.tz is not None:
        column = pc.cast(column, pa.timestamp(kind.unit, tz=EXCHANGE_TIME_ZONE))
    days: np.ndarray = pc.cast(column, pa.date32()).cast(pa.int32()).cast(pa.float64()) \
        .fill_null(np.nan).to_numpy(zero_copy_only=False)
    return days


def is_boolean(column: pa.Array | pa.ChunkedArray) -> bool:
    kind = column.type
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return bool(pa.types.is_boolean(kind))


def is_numeric_type(kind: pa.DataType) -> bool:
    """Numbers, not truth values: a true/false column is no factor."""
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return bool(pa.types.is_integer(kind) or pa.types.is_floating(kind)
                or pa.types.is_decimal(kind))


def file_types(path: Path) -> dict[str, pa.DataType]:
    """Column name -> type as the file holds it (CSV: as pyarrow infers it from the first
    block). A file pyarrow cannot read (empty, not Parquet, no CSV) raises ``InputError``
    naming it."""
    try:
        if _is_parquet(path):
            schema = pq.read_schema(path)
        else:
            _check_text(path)
            schema = pacsv.open_csv(
                path, read_options=pacsv.ReadOptions(block_size=1 << 20, use_threads=False),
                parse_options=pacsv.ParseOptions(invalid_row_handler=_skip)).schema
        names = list(schema.names)
    except (pa.ArrowInvalid, pa.ArrowTypeError, OSError) as exc:
        raise InputError(f"cannot read {path}: {_first_line(exc)}") from None
    except UnicodeDecodeError as exc:  # a header in UTF-16, GBK, ...
        raise InputError(f"cannot read {path}: its header is not UTF-8 text ({exc.reason} at "
                         f"byte {exc.start}); save the CSV file as UTF-8") from None
    twice = next((name for i, name in enumerate(names) if name in names[:i]), None)
    if twice is not None:
        raise InputError(f"cannot read {path}: it has two columns named {twice!r}; rename "
                         "one of them")
    return {name: schema.field(i).type for i, name in enumerate(names)}
