"""The names the data service, the daily-bar importer and the prepared-data store share.

Factor names are the data service's own field names, quoted exactly (``Close``,
``tick_vwap_price_935_1005``); index codes carry their exchange (``000300.XSHG``). The
native builder ``kestrelia.backtest._prepare`` keeps its own copy of the lists it reads
(``REQUIRED_FACTOR_NAMES``, ``OPTIONAL_FACTOR_NAMES``, ``COMPONENT_FACTOR_NAMES``,
``BENCHMARK_INDEX_CODES``); a test holds the two equal. Everything else in the package takes
the names from here, so the importer that writes a field and the store that reads it cannot
drift apart, and the data service needs nothing of the backtest package.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

# ---- the fields the prepared-data builder reads -------------------------------------------

INDUSTRY = "rq_industry_exposure_new"
LIMIT_DOWN = "limit_down"
LIMIT_UP = "limit_up"
CLOSE = "Close"
OPEN = "Open"
BUY_PRICE = "tick_vwap_price_935_1005"
SELL_PRICE = "tick_vwap_price_925_1000"
SPLIT = "split_coefficient_to"  # ten times the share ratio, on the ex-date
DIVIDEND = "rq_get_dividend"  # cash per ten shares, on the ex-date
SUSPENDED = "rq_is_suspended"  # 1 on a normal day, 0 on a suspended one

REQUIRED_FACTOR_NAMES = (INDUSTRY, LIMIT_DOWN, LIMIT_UP, CLOSE, OPEN, BUY_PRICE, SELL_PRICE)
OPTIONAL_FACTOR_NAMES = (SPLIT, DIVIDEND, SUSPENDED)
BUILD_INPUT_NAMES = REQUIRED_FACTOR_NAMES + OPTIONAL_FACTOR_NAMES

# ---- indexes --------------------------------------------------------------------------------

# A component factor is this prefix and the index code: 1 (or a weight) on member days.
COMPONENT_PREFIX = "rq_index_components_new_"
COMPONENT_FACTOR_NAMES = tuple(COMPONENT_PREFIX + code for code in (
    "000300.XSHG", "000905.XSHG", "000852.XSHG", "399303.XSHE", "932000.INDX"))
# The benchmarks the builder makes itself, by short code, in its order.
BENCHMARK_INDEX_CODES = {"000852": "000852.XSHG", "000300": "000300.XSHG",
                         "000905": "000905.XSHG"}
# The builder's indexes by their six digits: their exchange is known even where a table
# leaves it out.
KNOWN_INDEXES = {code.split(".")[0]: code for code in
                 (*(n[len(COMPONENT_PREFIX):] for n in COMPONENT_FACTOR_NAMES),
                  *BENCHMARK_INDEX_CODES.values())}


def component_factor_name(index_code: str) -> str:
    """The component factor of an index code with exchange (``000300.XSHG``)."""
    return COMPONENT_PREFIX + index_code


def component_index(factor: str) -> str | None:
    """The index code of a component factor name; None for any other factor."""
    return factor[len(COMPONENT_PREFIX):] if factor.startswith(COMPONENT_PREFIX) else None


def short_codes(index_codes: Iterable[str]) -> dict[str, str]:
    """Index code -> the name users call it by: its six digits, or the whole code where two
    indexes share their digits (``000001.XSHG`` beside ``000001.INDX``). The builder's own
    benchmarks are always their six digits."""
    codes = list(dict.fromkeys(index_codes))
    digits = [code.split(".")[0] for code in codes]
    own = set(BENCHMARK_INDEX_CODES.values())
    return {code: short if digits.count(short) == 1 or code in own else code
            for code, short in zip(codes, digits)}


# ---- the fields the importer writes beyond the builder's ------------------------------------

VOLUME = "volume"
AMOUNT = "amount"
MARKET_VALUE = "market_value"
FLOAT_MARKET_VALUE = "float_market_value"
ST_FLAG = "is_st"  # 1 on days under special treatment, 0 on other days of the stock
LISTED_DAYS = "listed_days"  # trading days since the stock's first row, 1 on that day
HIGH = "high"
LOW = "low"
PRE_CLOSE = "pre_close"
ADJ_FACTOR = "adj_factor"
IMPORTED_FIELDS = (VOLUME, AMOUNT, MARKET_VALUE, FLOAT_MARKET_VALUE, ST_FLAG, LISTED_DAYS, HIGH,
                   LOW, PRE_CLOSE, ADJ_FACTOR)


# ---- the factors a store keeps beside the backtest datasets ---------------------------------


@dataclass(frozen=True)
class StoreFactor:
    """A factor the store keeps whenever its source has it: its name in the store and on a
    ``Market``, the source field it is read from (None: derived by the store), its storage
    dtype and the ``Market`` attribute that returns it."""

    name: str
    field: str | None
    dtype: str
    attribute: str
    meaning: str


ADJ_CLOSE = "adj_close"
STORE_FACTORS = (
    StoreFactor(ADJ_CLOSE, None, "float64", "adj_close",
                "backward total-return index: the close on the stock's first stored day, "
                "then each day's close after splits and dividends relative to the last"),
    StoreFactor("open", OPEN, "float64", "open_price", "opening price"),
    StoreFactor("close", CLOSE, "float64", "close_price", "closing price"),
    StoreFactor("volume", VOLUME, "float64", "volume", "traded volume"),
    StoreFactor("amount", AMOUNT, "float64", "amount", "traded value"),
    StoreFactor("market_value", MARKET_VALUE, "float64", "market_value", "market value"),
    StoreFactor("float_market_value", FLOAT_MARKET_VALUE, "float64", "float_market_value",
                "free-float market value"),
    StoreFactor("industry", INDUSTRY, "float64", "industry", "industry number"),
    StoreFactor("is_st", ST_FLAG, "bool", "is_st", "under special treatment"),
    StoreFactor("listed_days", LISTED_DAYS, "float64", "listed_days",
                "trading days since listing, 1 on the first"),
)
STORE_FACTOR_BY_NAME = {factor.name: factor for factor in STORE_FACTORS}
# What the close of an adjusted price is made of: the store's own backtest datasets.
ADJ_CLOSE_INPUTS = (CLOSE, SPLIT, DIVIDEND)
