"""The rules that derive what the prepared-data builder needs and a daily-bar table lacks.

Every function works on date x stock grids (rows in date order, one column per stock) of a
stretch of dates and does not modify its inputs.

Price limits (when the table has no ``limit_up`` / ``limit_down``): the reference price is
``pre_close`` where the table gives it, else the previous traded close adjusted for the
day's split and dividend; the limits are reference x (1 +/- rate) rounded half up to the
fen, computed in whole fen so that no binary fraction decides a rounding. Rates by board:

============================  ===========================================================
main boards (60, 000-003, B)   10 %, 5 % on days ``is_st`` marks
ChiNext (300-302)              20 % from 2020-08-24, 10 % (5 % for ST) before
STAR Market (688, 689)         20 %
Beijing exchange (4, 8, 92)    30 %
============================  ===========================================================

No limit applies on a listing's first trading days: the first five for STAR listings,
ChiNext listings from 2020-08-24 and main-board listings from 2023-04-10 (the registration
rules), the first day otherwise (its band was set around the issue price, which a daily
table does not hold). A stock counts as newly listed when its first row comes after the
table's first date.

Splits and dividends (when the table has no ``split_ratio`` / ``dividend``): a day is an
ex-date when ``adj_factor`` changed from the stock's previous traded day, or, without that
column, when ``pre_close`` differs from the previous traded close by more than half a fen.
The change q = previous close / pre_close mixes a share ratio R and a cash dividend D per
share (after the split): pre_close = previous close / R - D. One equation cannot give both,
so R is taken as q rounded down to a multiple of 0.1 (bonus and transfer shares are granted
per ten shares) and D = previous close / R - pre_close. This reads a cash dividend of more
than about 9 % of the price as a 1.1 split; give the columns when that matters. Without
``pre_close`` the adj_factor ratio alone is used: a ratio within 0.5 % of a multiple of 0.1
is a split, anything else a cash dividend.

Lone dates: a date more than ``LONE_DATE_GAP`` calendar days away from every other date of
the table, such as 2034 typed for 2024, is taken for a typo and its rows are rejected; left
in, it would stretch the calendar and mark every stock suspended in between. Holiday
closures of the exchanges last well under that. A table whose dates are all that far apart
(monthly rows, or only two dates) keeps them all; a run of two or more wrong dates close
together is not caught.
"""

from __future__ import annotations

import numpy as np

# Days since 1970-01-01 of the rule changes.
CHINEXT_REFORM = 18498  # 2020-08-24
MAIN_BOARD_REGISTRATION = 19457  # 2023-04-10
STAR_OPENING = 18099  # 2019-07-22
LONE_DATE_GAP = 30


def lone_dates(days: np.ndarray, gap: int = LONE_DATE_GAP) -> np.ndarray:
    """The dates (sorted distinct day numbers) more than ``gap`` days from both neighbours;
    none when no two dates of the table are that close."""
    if len(days) < 3:
        return np.zeros(0, dtype=np.int64)
    apart = np.diff(days) > gap
    lone = np.r_[True, apart] & np.r_[apart, True]
    return days[lone] if not lone.all() else np.zeros(0, dtype=np.int64)


def board(code: str) -> str:
    """'star', 'chinext', 'beijing' or 'main' (Shanghai and Shenzhen main boards, B shares)."""
    if code.startswith(("688", "689")):
        return "star"
    if code.startswith(("300", "301", "302")):
        return "chinext"
    if code[0] in "48" or code.startswith("92"):
        return "beijing"
    return "main"


def limit_rates(codes: list[str], days: np.ndarray, is_st: np.ndarray) -> np.ndarray:
    """Daily limit in whole percent per date x stock (``is_st`` a 0/1 grid)."""
    boards = np.array([board(c) for c in codes])
    after_reform = (np.asarray(days) >= CHINEXT_REFORM)[:, None]
    st = is_st > 0
    main_rate = np.where(st, 5, 10)
    rates = np.broadcast_to(main_rate, st.shape).copy()
    chinext = boards == "chinext"
    rates[:, chinext] = np.where(after_reform, 20, main_rate[:, chinext])
    rates[:, boards == "star"] = 20
    rates[:, boards == "beijing"] = 30
    return rates


def free_listing_days(codes: list[str], listing_day: np.ndarray) -> np.ndarray:
    """How many first trading days of each stock trade without a limit, given the day of its
    first row (days since 1970, or -1 for a stock listed before the table starts)."""
    result = np.zeros(len(codes), dtype=np.int64)
    for j, (code, listed) in enumerate(zip(codes, listing_day)):
        if listed < 0:
            continue
        kind = board(code)
        five = (kind == "star" or (kind == "chinext" and listed >= CHINEXT_REFORM)
                or (kind == "main" and listed >= MAIN_BOARD_REGISTRATION))
        result[j] = 5 if five else 1
    return result


# The largest reference price whose limits are computed: fen x (100 + rate) stays far
# inside int64.
MAX_REFERENCE = 1e12


def limit_prices(reference: np.ndarray, rates: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Limit-up and limit-down prices: reference x (100 +/- rate) / 100 rounded half up to
    the fen, in integer fen. NaN where the reference is missing or the rate is 0."""
    # A reference beyond MAX_REFERENCE (a typo such as 1e308) has no limit in integer fen:
    # its product overflowed int64 into a limit of 0.00, and a warning.
    ok = np.isfinite(reference) & (reference > 0) & (reference < MAX_REFERENCE) & (rates > 0)
    fen = np.where(ok, np.rint(np.where(ok, reference, 0.0) * 100.0), 0).astype(np.int64)
    up = (fen * (100 + rates) + 50) // 100
    down = (fen * (100 - rates) + 50) // 100
    return (np.where(ok, up / 100.0, np.nan), np.where(ok & (down > 0), down / 100.0, np.nan))


def infer_events(prev_close: np.ndarray, pre_close: np.ndarray | None,
                 adj_ratio: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
    """Share ratio R and cash dividend per share D of each ex-date (NaN elsewhere).

    ``adj_ratio`` is adj_factor / previous traded adj_factor (NaN where unknown), or None
    without that column; ``pre_close`` None without that column.
    """
    shape = prev_close.shape
    ratio = np.full(shape, np.nan)
    dividend = np.full(shape, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        if adj_ratio is not None:
            change = np.where(adj_ratio < 1, 1 / adj_ratio, adj_ratio)
            event = np.isfinite(change) & (np.abs(change - 1) > 1e-9)
        else:
            event = np.abs(pre_close - prev_close) > 0.005 + 1e-9
        if pre_close is not None:
            q = prev_close / pre_close
            usable = event & np.isfinite(q) & (pre_close > 0) & (q > 1)
            # Half a fen of rounding in pre_close moves q by q * 0.005 / pre_close.
            tolerance = q * 0.005 / pre_close + 1e-9
            r = np.maximum(np.floor((q + tolerance) * 10) / 10, 1.0)
            d = prev_close / r - pre_close
            without_pre = event & ~np.isfinite(pre_close) & np.isfinite(prev_close)
        else:
            usable = np.zeros(shape, dtype=bool)
            r = d = np.full(shape, np.nan)
            without_pre = event & np.isfinite(prev_close)
        if adj_ratio is not None:
            # Only the adj_factor change is known: a split when it is a whole number of tenths.
            tenths = np.round(change * 10) / 10
            is_split = np.abs(change / tenths - 1) <= 0.005
            r = np.where(without_pre, np.where(is_split, tenths, 1.0), r)
            d = np.where(without_pre, np.where(is_split, 0.0, prev_close - prev_close / change), d)
            usable = usable | (without_pre & np.isfinite(change))
    ratio[usable] = r[usable]
    dividend[usable] = d[usable]
    ratio[ratio == 1.0] = np.nan
    # Under half a fen of dividend is rounding in the prices, not a payment.
    dividend[~(dividend >= 0.005)] = np.nan
    return ratio, dividend


def carry_events(ratio: np.ndarray, dividend: np.ndarray, traded: np.ndarray,
                 pending: tuple[np.ndarray, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """Moves an event dated on a day the stock did not trade to its next traded day (the
    builder keeps split and dividend factors only where there is a close). ``pending`` holds
    per stock the ratio (1 when none) and dividend (0) still waiting from earlier dates and
    is updated in place. Ratios multiply; a dividend paid before a later split is divided by
    that split, so that it stays a payment per share held after both."""
    waiting_r, waiting_d = pending
    out_r = np.full(ratio.shape, np.nan)
    out_d = np.full(ratio.shape, np.nan)
    for t in range(ratio.shape[0]):
        r = np.where(np.isfinite(ratio[t]), ratio[t], 1.0)
        d = np.where(np.isfinite(dividend[t]), dividend[t], 0.0)
        waiting_d[:] = waiting_d / r + d
        waiting_r *= r
        now = traded[t]
        out_r[t, now] = np.where(waiting_r[now] != 1.0, waiting_r[now], np.nan)
        out_d[t, now] = np.where(waiting_d[now] > 0, waiting_d[now], np.nan)
        waiting_r[now] = 1.0
        waiting_d[now] = 0.0
    return out_r, out_d


def vwap_scale(amount: np.ndarray, volume: np.ndarray, close: np.ndarray) -> float | None:
    """The power of ten that turns amount / volume into a price in the close's unit (1.0
    when both are in yuan and shares; 0.01 for amounts in yuan and volumes in lots of 100,
    ...); None when the typical ratio is no power of ten (the columns do not fit)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = amount / volume / close
    ratio = ratio[np.isfinite(ratio) & (ratio > 0)]
    if ratio.size == 0:
        return 1.0
    typical = float(np.median(ratio))
    power = round(float(np.log10(typical)))
    if abs(typical / 10.0**power - 1) > 0.2:
        return None
    return 10.0 ** (-power)
