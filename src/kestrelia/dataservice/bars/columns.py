"""The input columns of a daily-bar table and how the user's names map onto them."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pyarrow as pa

from kestrelia.dataservice.bars.reading import file_types, is_numeric_type
from kestrelia.errors import InputError

# Standard column -> what it holds. The first four are required.
BAR_COLUMNS = {
    "date": "trading day: YYYYMMDD text or number, ISO text, a date or a timestamp (other "
            "text with --date-format)",
    "code": "stock code: 000001.SZ, 600000.SH, sh600000, 000001.XSHE, 000001 or 1",
    "open": "opening price (yuan)",
    "close": "closing price (yuan)",
    "high": "highest price",
    "low": "lowest price",
    "pre_close": "the exchange's reference price of the day (previous close after ex-rights)",
    "volume": "traded volume; 0 marks a suspended day",
    "amount": "traded value; amount / volume is the day's VWAP",
    "limit_up": "limit-up price",
    "limit_down": "limit-down price",
    "suspended": "1 (or true) on suspended days",
    "is_st": "1 (or true, or text ending in ST) on days the stock is under special treatment",
    "adj_factor": "cumulative adjustment factor (adjusted price = price x factor)",
    "dividend": "cash dividend per share, on the ex-date",
    "split_ratio": "shares after / shares before (1.5 for 5 bonus shares per 10), on the ex-date",
    "industry": "industry: a number or a name",
    "market_value": "total market value",
    "float_market_value": "free-float market value",
}
REQUIRED = ("date", "code", "open", "close")
TEXT_COLUMNS = ("date", "code")
FLAG_COLUMNS = ("suspended", "is_st")
# Negative values are impossible in these columns (a row holding one is rejected).
PRICE_COLUMNS = ("open", "close", "high", "low", "pre_close", "limit_up", "limit_down")
NON_NEGATIVE_COLUMNS = ("volume", "amount", "dividend", "market_value", "float_market_value")
INDEX_BAR_COLUMNS = ("date", "index_code", "close", "daily_return")
INDEX_MEMBER_COLUMNS = ("date", "index_code", "code", "weight")
PRICE_CHOICES = ("open", "close", "vwap")


INDEX_COLUMNS = tuple(dict.fromkeys(INDEX_BAR_COLUMNS + INDEX_MEMBER_COLUMNS))


def parse_column_map(text: str | dict[str, Any] | None, index: bool = False) -> dict[str, str]:
    """``date=trade_date,code=ts_code`` (or a dict) -> {standard name: column name}, for the
    daily-bar tables or, with ``index``, for the index tables (each their own names)."""
    if text is None:
        return {}
    if isinstance(text, dict):
        pairs = list(text.items())
    else:
        pairs = []
        for item in str(text).split(","):
            if not item.strip():
                continue
            if "=" not in item:
                raise InputError(f"column mapping {item.strip()!r}: write standard=column, "
                                 "e.g. date=trade_date")
            key, _, value = item.partition("=")
            pairs.append((key.strip(), value.strip()))
    known, other = (INDEX_COLUMNS, BAR_COLUMNS) if index else (BAR_COLUMNS, INDEX_COLUMNS)
    what, elsewhere = ("index column mapping", "--columns (columns)") if index \
        else ("column mapping", "--index-columns (index_columns)")
    result: dict[str, str] = {}
    for key, value in pairs:
        if key not in known:
            hint = f" (it is a column of the other tables: map it with {elsewhere})" \
                if key in other else ""
            raise InputError(f"{what}: {key!r} is not an input column{hint}; known: "
                             + ", ".join(sorted(known)))
        if not isinstance(value, str) or not value:
            raise InputError(f"{what}: {key!r} maps to no column name")
        if key in result and result[key] != value:
            raise InputError(f"{what}: {key!r} is mapped twice ({result[key]!r} and "
                             f"{value!r})")
        result[key] = value
    return result


@dataclass
class Layout:
    """Which columns a set of files holds: standard name -> source column, the numeric
    columns kept as factors of their own name, and the columns left unused."""

    sources: dict[str, str]
    extras: list[str]
    unused: list[str]
    per_file: dict[Path, dict[str, pa.DataType]] = field(default_factory=dict)

    @property
    def values(self) -> list[str]:
        """Every value column, standard ones first (by standard name), then the extras."""
        return [n for n in self.sources if n not in TEXT_COLUMNS] + self.extras

    def source(self, name: str) -> str:
        return self.sources.get(name, name)


def bar_layout(files: list[Path], mapping: dict[str, str], wanted: tuple[str, ...] = ()) -> Layout:
    """The layout of the daily-bar files; required columns must be in every file.
    ``wanted`` names further columns that must exist (a chosen price column)."""
    per_file = {path: file_types(path) for path in files}
    sources: dict[str, str] = {}
    for name in BAR_COLUMNS:
        source = mapping.get(name, name)
        if any(source in types for types in per_file.values()):
            sources[name] = source
    for name, source in mapping.items():
        if name in BAR_COLUMNS and name not in sources:
            raise InputError(f"--columns maps {name} to {source!r}, which no table file holds")
    for text in TEXT_COLUMNS:
        shared = [n for n, s in sources.items() if n != text and s == sources.get(text)]
        if shared:
            raise InputError(f"the table column {sources[text]!r} would be read as both the "
                             f"{text} and the {shared[0]} (--columns {text}=... or "
                             f"{shared[0]}=... names the wrong column)")
    for path, types in per_file.items():
        missing = [n for n in REQUIRED if mapping.get(n, n) not in types]
        if missing:
            raise InputError(
                f"{path} lacks the column {mapping.get(missing[0], missing[0])!r} ({missing[0]}); "
                f"it has {', '.join(types) or 'no columns'} (map names with --columns "
                f"{missing[0]}=NAME)")
    used = set(sources.values())
    extras: list[str] = []
    unused: list[str] = []
    for types in per_file.values():
        for column, kind in types.items():
            if column in used or column in extras or column in unused:
                continue
            # pandas stores its row labels as "__index_level_0__": not data of the table.
            factor = (is_numeric_type(kind) and not column.startswith("__index_level_")) \
                or column in wanted
            (extras if factor else unused).append(column)
    for column in wanted:
        if column not in used and column not in extras:
            raise InputError(f"the price column {column!r} is in no table file")
    return Layout(sources, extras, unused, per_file)
