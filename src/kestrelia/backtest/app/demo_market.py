"""A deterministic synthetic A-share market in the data service's own shapes.

``generate_market`` simulates a few hundred to a few thousand stocks over some years and
returns the ten source factors of the prepared data, the five index-component factors, the
trading factors a strategy may read (all wide: dates x 6-digit codes, NaN where the
service has no row) and the daily data of the three benchmark indexes. Everything follows from the seed.

What it models:
- a trading calendar without weekends and with holiday weeks (New Year, Spring Festival,
  Qingming, Labour Day, National Day);
- codes of the Shanghai and Shenzhen main boards, ChiNext and STAR;
- prices from a market factor, 28 industry factors and stock noise, rounded to the fen,
  with daily limits of +/-10 % (main boards) or +/-20 % (ChiNext, STAR); a stock that
  reaches its limit is locked there (open, close and both VWAP windows at the limit), so
  it cannot be bought at limit-up nor sold at limit-down;
- listings during the period, a few delistings, and suspension spells (no prices, the
  suspension field 0; 1 on normal days);
- splits (the split coefficient is ten times the ratio on the ex-date, prices drop by the
  ratio) and cash dividends (per ten shares, prices drop by the dividend per share);
- index membership by float capitalisation, reviewed every June and December, and three
  capitalisation-weighted benchmark indexes built from their members;
- volume and amount (turnover around 1 % of the float a day, traded at the buy VWAP),
  total and free-float market value, the days since listing, and spells of special
  treatment for a few stocks (a flag only: their limits stay the board's).
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from kestrelia import _names

SOURCE_FACTORS = _names.BUILD_INPUT_NAMES

# Component factor -> (first rank, last rank) as shares of the universe ordered by float
# capitalisation; the bands mirror the usual large, mid, small and micro cap indexes.
COMPONENT_BANDS = dict(zip(_names.COMPONENT_FACTOR_NAMES, (
    (0.000, 0.057), (0.057, 0.151), (0.151, 0.340), (0.340, 0.717), (0.340, 0.717))))
# Benchmark index -> its component factor.
BENCHMARKS = {code: _names.component_factor_name(code)
              for code in _names.BENCHMARK_INDEX_CODES.values()}
BENCHMARK_BASE = {"000852.XSHG": 6000.0, "000300.XSHG": 3800.0, "000905.XSHG": 5500.0}

# Board -> (share of the universe, code prefixes, daily price limit).
BOARDS = {
    "sh_main": (0.34, ("600", "601", "603", "605"), 0.10),
    "sz_main": (0.30, ("000", "001", "002", "003"), 0.10),
    "chinext": (0.22, ("300", "301"), 0.20),
    "star": (0.14, ("688",), 0.20),
}

#: The stocks a demo market may have: enough for the sample strategy's 100 holdings of one
#: index, and no more than the boards' code ranges hold (the smallest, 688xxx, 14 % of them).
MIN_STOCKS, MAX_STOCKS = 50, 7000

# Lunar new year's day; the market closes for the week around it.
_SPRING_FESTIVAL = {
    2014: "01-31", 2015: "02-19", 2016: "02-08", 2017: "01-28", 2018: "02-16", 2019: "02-05",
    2020: "01-25", 2021: "02-12", 2022: "02-01", 2023: "01-22", 2024: "02-10", 2025: "01-29",
    2026: "02-17", 2027: "02-06", 2028: "01-26", 2029: "02-13", 2030: "02-03",
}  # fmt: skip


@dataclass
class DemoMarket:
    """The generated market: what the data service serves, plus the ground truth of
    what was simulated (for checks)."""

    dates: pd.DatetimeIndex
    codes: pd.Index
    factors: dict[str, pd.DataFrame]
    index_daily: pd.DataFrame
    board_limit: pd.Series
    truth: dict[str, pd.DataFrame] = field(default_factory=dict)

    @property
    def components(self) -> dict[str, pd.DataFrame]:
        return {name: self.factors[name] for name in COMPONENT_BANDS}


def trading_calendar(start: str, end: str) -> pd.DatetimeIndex:
    """Weekdays from start to end without the exchange holidays modelled here."""
    days = pd.bdate_range(start, end)
    closed = set()
    for year in range(days[0].year, days[-1].year + 1):
        closed.add(pd.Timestamp(year, 1, 1))
        festival = pd.Timestamp(f"{year}-{_SPRING_FESTIVAL.get(year, '02-05')}")
        closed.update(pd.date_range(festival - pd.Timedelta(days=1), periods=7))
        closed.add(pd.Timestamp(year, 4, 4))
        closed.update(pd.date_range(f"{year}-05-01", periods=3))
        closed.update(pd.date_range(f"{year}-10-01", periods=7))
    return days[~days.isin(list(closed))]


def _stock_codes(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    shares = np.array([b[0] for b in BOARDS.values()])
    counts = np.floor(shares / shares.sum() * n).astype(int)
    counts[0] += n - counts.sum()
    codes, limits = [], []
    for (_, prefixes, limit), count in zip(BOARDS.values(), counts):
        pool = [f"{p}{k:03d}" for p in prefixes for k in range(1000)]
        chosen = rng.choice(len(pool), size=count, replace=False)
        codes.extend(pool[i] for i in np.sort(chosen))
        limits.extend([limit] * count)
    order = np.argsort(codes)
    return np.array(codes)[order], np.array(limits)[order]


def _round_fen(x: np.ndarray) -> np.ndarray:
    return np.round(x, 2)


def generate_market(
    n_stocks: int = 800,
    years: float = 3.0,
    seed: int = 7,
    end: str = "2024-12-31",
) -> DemoMarket:
    """Simulate ``n_stocks`` stocks over ``years`` years ending at ``end``."""
    if n_stocks < MIN_STOCKS:
        raise ValueError(f"the demo market needs at least {MIN_STOCKS} stocks, got {n_stocks}")
    if n_stocks > MAX_STOCKS:
        raise ValueError(f"the demo market has at most {MAX_STOCKS} stocks (its boards' code "
                         f"ranges), got {n_stocks}")
    if years <= 0:
        raise ValueError(f"years must be positive, got {years}")
    rng = np.random.default_rng(seed)
    end_ts = pd.Timestamp(end)
    # int(): under NumPy 1.x round() of a NumPy float is still a float.
    dates = trading_calendar(end_ts - pd.DateOffset(days=int(round(years * 365.25))), end_ts)  # noqa: RUF046
    n_days = len(dates)
    codes, limit = _stock_codes(n_stocks, rng)
    n = len(codes)

    industry = rng.integers(1, 29, n).astype(float)
    beta = rng.uniform(0.7, 1.3, n)
    vol = rng.uniform(0.012, 0.028, n)
    float_shares = np.exp(rng.normal(19.5, 1.1, n))
    start_price = np.exp(rng.normal(2.6, 0.6, n))

    # Life span: most stocks trade from the start, some list later, a few delist.
    listed_from = np.where(rng.random(n) < 0.18, rng.integers(20, max(n_days - 60, 21), n), 0)
    delisted_at = np.where(rng.random(n) < 0.03, rng.integers(n_days // 2, n_days, n), n_days)
    day = np.arange(n_days)[:, None]
    alive = (day >= listed_from) & (day < delisted_at)

    suspended = np.zeros((n_days, n), dtype=bool)
    for j in np.flatnonzero(rng.random(n) < 0.35):
        for _ in range(rng.integers(1, 4)):
            s = rng.integers(0, n_days)
            suspended[s : s + rng.integers(1, 15), j] = True
    suspended &= alive

    market = rng.normal(0.0002, 0.012, n_days)
    sectors = rng.normal(0.0, 0.007, (n_days, 29))
    shocks = rng.normal(0.0, 1.0, (n_days, n)) * vol
    jumps = np.where(rng.random((n_days, n)) < 0.02, rng.normal(0.0, 0.09, (n_days, n)), 0.0)
    log_ret = market[:, None] * beta + sectors[:, industry.astype(int)] + shocks + jumps

    split_ratio = np.full((n_days, n), np.nan)
    for j in np.flatnonzero(rng.random(n) < 0.08 * years):
        split_ratio[rng.integers(1, n_days), j] = rng.choice([1.2, 1.5, 2.0])
    dividend_10 = np.full((n_days, n), np.nan)
    for j in range(n):
        for year_start in range(0, n_days, 243):
            if rng.random() < 0.6:
                dividend_10[min(year_start + rng.integers(80, 150), n_days - 1), j] = round(
                    float(rng.uniform(0.3, 5.0)), 2)

    shape = (n_days, n)
    close = np.full(shape, np.nan)
    open_ = np.full(shape, np.nan)
    vwap_buy = np.full(shape, np.nan)
    vwap_sell = np.full(shape, np.nan)
    limit_up = np.full(shape, np.nan)
    limit_down = np.full(shape, np.nan)
    locked_up = np.zeros(shape, dtype=bool)
    locked_down = np.zeros(shape, dtype=bool)
    last = start_price.copy()  # the last close, carried over suspensions
    for t in range(n_days):
        trading = alive[t] & ~suspended[t]
        base = last.copy()
        has_split = trading & np.isfinite(split_ratio[t])
        base[has_split] = base[has_split] / split_ratio[t, has_split]
        has_div = trading & np.isfinite(dividend_10[t])
        base[has_div] = np.maximum(base[has_div] - dividend_10[t, has_div] / 10.0, 0.5)
        up = _round_fen(base * (1 + limit))
        down = _round_fen(base * (1 - limit))
        raw = _round_fen(base * np.exp(log_ret[t]))
        at_up = raw >= up
        at_down = raw <= down
        c = np.clip(raw, down, up)
        o = np.clip(_round_fen(base * np.exp(0.4 * log_ret[t] + rng.normal(0, 0.004, n))), down, up)
        mid = 0.5 * (o + c)
        vb = np.clip(_round_fen(mid * np.exp(rng.normal(0, 0.003, n))), down, up)
        vs = np.clip(_round_fen(0.6 * o + 0.4 * c + rng.normal(0, 0.002, n) * base), down, up)
        o = np.where(at_up, up, np.where(at_down, down, o))
        vb = np.where(at_up, up, np.where(at_down, down, vb))
        vs = np.where(at_up, up, np.where(at_down, down, vs))
        close[t, trading] = c[trading]
        open_[t, trading] = o[trading]
        vwap_buy[t, trading] = vb[trading]
        vwap_sell[t, trading] = vs[trading]
        limit_up[t, trading] = up[trading]
        limit_down[t, trading] = down[trading]
        locked_up[t] = trading & at_up
        locked_down[t] = trading & at_down
        last = np.where(trading, c, last)

    ones = np.where(alive, 1.0, np.nan)
    traded = alive & ~suspended
    wide = {
        _names.INDUSTRY: np.where(alive, industry, np.nan),
        _names.LIMIT_DOWN: limit_down,
        _names.LIMIT_UP: limit_up,
        _names.CLOSE: close,
        _names.OPEN: open_,
        _names.BUY_PRICE: vwap_buy,
        _names.SELL_PRICE: vwap_sell,
        _names.SPLIT: np.where(traded, split_ratio * 10.0, np.nan),
        _names.DIVIDEND: np.where(traded, dividend_10, np.nan),
        _names.SUSPENDED: np.where(suspended, 0.0, ones),
    }
    index = pd.DatetimeIndex(dates, name="date")
    columns = pd.Index(codes, name="code")
    factors = {name: pd.DataFrame(values, index=index, columns=columns) for name, values in wide.items()}

    cap = pd.DataFrame(close * float_shares, index=index, columns=columns).ffill()
    members = _memberships(cap, alive, index)
    for name, mask in members.items():
        factors[name] = pd.DataFrame(np.where(mask, 1.0, np.nan), index=index, columns=columns)

    index_daily = _benchmark_indexes(cap, close, members, index)
    listed = np.where(alive, day - listed_from + 1.0, np.nan)
    more = _trading_factors(np.random.default_rng([seed, 1]), close, vwap_buy, float_shares,
                            alive, traded, listed)
    factors.update({name: pd.DataFrame(values, index=index, columns=columns)
                    for name, values in more.items()})
    truth = {
        "alive": pd.DataFrame(alive, index=index, columns=columns),
        "suspended": pd.DataFrame(suspended, index=index, columns=columns),
        "locked_up": pd.DataFrame(locked_up, index=index, columns=columns),
        "locked_down": pd.DataFrame(locked_down, index=index, columns=columns),
    }
    return DemoMarket(index, columns, factors, index_daily, pd.Series(limit, index=columns), truth)


def _trading_factors(rng: np.random.Generator, close: np.ndarray, vwap: np.ndarray,
                     float_shares: np.ndarray, alive: np.ndarray, traded: np.ndarray,
                     listed: np.ndarray) -> dict[str, np.ndarray]:
    """Volume, amount, market values, ST spells and listing age. Drawn from a generator of
    their own, so that the prices and events of a seed stay what they were."""
    n_days, n = close.shape
    total_shares = float_shares / rng.uniform(0.3, 0.9, n)
    turnover = np.exp(rng.normal(np.log(0.01), 0.6, (n_days, n)))
    volume = np.where(traded, np.round(float_shares * turnover / 100.0) * 100.0 + 100.0, np.nan)
    st = np.zeros((n_days, n), dtype=bool)
    for j in np.flatnonzero(rng.random(n) < 0.04):
        start = int(rng.integers(0, n_days))
        st[start: start + int(rng.integers(60, 250)), j] = True
    return {
        _names.VOLUME: volume,
        _names.AMOUNT: np.round(volume * vwap, 2),
        _names.MARKET_VALUE: close * total_shares,
        _names.FLOAT_MARKET_VALUE: close * float_shares,
        _names.ST_FLAG: np.where(alive, st.astype(float), np.nan),
        _names.LISTED_DAYS: listed,
    }


def _memberships(cap: pd.DataFrame, alive: np.ndarray, index: pd.DatetimeIndex) -> dict:
    """Members of each index band by float capitalisation, reviewed each June and December."""
    n_days, n = cap.shape
    reviews = [0] + [
        i for i in range(1, n_days)
        if index[i].month in (6, 12) and index[i].month != index[i - 1].month
    ]  # fmt: skip
    masks = {name: np.zeros((n_days, n), dtype=bool) for name in COMPONENT_BANDS}
    bounds = [*reviews, n_days]
    for k, start in enumerate(reviews):
        stop = bounds[k + 1]
        eligible = alive[start] & np.isfinite(cap.iloc[start].to_numpy())
        ranked = np.argsort(-np.where(eligible, cap.iloc[start].to_numpy(), -np.inf))
        n_eligible = int(eligible.sum())
        for name, (lo, hi) in COMPONENT_BANDS.items():
            chosen = ranked[int(lo * n): min(int(hi * n), n_eligible)]
            masks[name][start:stop, chosen] = True
    for name in masks:
        masks[name] &= alive
    return masks


def _benchmark_indexes(cap: pd.DataFrame, close: np.ndarray, members: dict, index) -> pd.DataFrame:
    """Capitalisation-weighted daily returns of each benchmark's members."""
    prev_close = np.vstack([np.full((1, close.shape[1]), np.nan), close[:-1]])
    with np.errstate(invalid="ignore", divide="ignore"):
        stock_ret = close / prev_close - 1.0
    weights_cap = cap.shift(1).to_numpy()
    rows = []
    for ukey, component in BENCHMARKS.items():
        mask = members[component] & np.isfinite(stock_ret) & np.isfinite(weights_cap)
        w = np.where(mask, weights_cap, 0.0)
        total = w.sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            ret = np.where(total > 0, (w * np.nan_to_num(stock_ret)).sum(axis=1) / total, 0.0)
        ret[0] = 0.0
        level = BENCHMARK_BASE[ukey] * np.cumprod(1.0 + ret)
        rows.append(pd.DataFrame({"ukey": ukey, "date": index, "close": np.round(level, 4),
                                  "daily_return": ret}))
    return pd.concat(rows, ignore_index=True)


# Daily-bar table column -> the factor it comes from (the prices of traded days).
BAR_TABLE_PRICES = {
    "open": _names.OPEN,
    "close": _names.CLOSE,
    "limit_up": _names.LIMIT_UP,
    "limit_down": _names.LIMIT_DOWN,
    "buy_vwap": _names.BUY_PRICE,
    "sell_vwap": _names.SELL_PRICE,
}


# Daily-bar table columns of the factor of the same name.
BAR_TABLE_FACTORS = (_names.VOLUME, _names.AMOUNT, _names.MARKET_VALUE, _names.FLOAT_MARKET_VALUE,
                     _names.ST_FLAG)


def daily_bar_tables(market: DemoMarket) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    """The market as the long tables a researcher would export: daily bars (one row per
    listed stock and day, suspended days included with ``suspended`` 1 and no prices),
    index bars and index members. Importing them with ``--buy-price buy_vwap
    --sell-price sell_vwap`` gives back the market's own factors."""
    alive = market.truth["alive"].to_numpy()
    rows, cols = np.nonzero(alive)
    f = market.factors
    bars = {"date": market.dates[rows], "code": market.codes.to_numpy()[cols]}
    for column, name in BAR_TABLE_PRICES.items():
        bars[column] = f[name].to_numpy()[rows, cols]
    bars["suspended"] = market.truth["suspended"].to_numpy()[rows, cols].astype(np.int8)
    # Cash per share; the market holds it per ten shares.
    bars["dividend"] = f[_names.DIVIDEND].to_numpy()[rows, cols] / 10.0
    bars["split_ratio"] = f[_names.SPLIT].to_numpy()[rows, cols] / 10.0
    bars["industry"] = f[_names.INDUSTRY].to_numpy()[rows, cols]
    for column in BAR_TABLE_FACTORS:
        bars[column] = f[column].to_numpy()[rows, cols]
    bars["is_st"] = bars["is_st"].astype(np.int8)
    index_bars = market.index_daily.rename(columns={"ukey": "index_code"})
    members = []
    for name, mask in market.components.items():
        m_rows, m_cols = np.nonzero(mask.notna().to_numpy())
        members.append(pd.DataFrame({"date": market.dates[m_rows],
                                     "index_code": name.rsplit("_", 1)[-1],
                                     "code": market.codes.to_numpy()[m_cols]}))
    return pd.DataFrame(bars), index_bars, pd.concat(members, ignore_index=True)


def write_daily_bar_tables(market: DemoMarket, folder) -> dict[str, str]:
    """Writes the three tables of ``daily_bar_tables`` as Parquet files into ``folder``."""
    from pathlib import Path

    folder = Path(folder).expanduser()
    folder.mkdir(parents=True, exist_ok=True)
    paths = {}
    for stem, frame in zip(("daily_bars", "index_bars", "index_members"), daily_bar_tables(market)):
        path = folder / f"{stem}.parquet"
        frame.to_parquet(path, index=False)
        paths[stem] = str(path)
    return paths
