"""Literal pandas formulations of the prepared-data computations.

The native code must agree with these. They are written step by step in plain pandas, and
are shared by the differential tests and by the benchmark (which times the pivot chain
against the native one in the same process). Dates go through the module's own
``series_to_yyyymmdd`` and matrices through the store's ``clean_matrix``, as in the module.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from kestrelia.backtest import _prepare
from kestrelia.backtest._store import clean_matrix

RENAMES = {"date": "DataDate", "value": "x", "factor": "factorname", "factor_name": "factorname"}


def factors_to_matrices(df: pd.DataFrame | None, names: list[str]) -> dict[str, pd.DataFrame]:
    """The pivot chain of every factor read, one pandas step at a time."""
    result = {name: pd.DataFrame() for name in names}
    if df is None or len(df) == 0:
        return result
    df = df.copy()
    df = df.rename(columns={old: new for old, new in RENAMES.items() if old in df.columns})
    if "ukey" not in df.columns or "DataDate" not in df.columns:
        raise KeyError("因子查询返回结果缺少 ukey/date 列")
    df = df.assign(
        ukey=df["ukey"].astype(str).str[:6],
        DataDate=_prepare.series_to_yyyymmdd(df["DataDate"]),
    )
    if "x" in df.columns:
        df = df.assign(x=pd.to_numeric(df["x"], errors="coerce"))
        if "factorname" in df.columns:
            df = df.assign(factorname=df["factorname"].astype(str))
            groups = df.groupby("factorname", sort=False, observed=True)
        elif len(names) == 1:
            groups = [(names[0], df)]
        else:
            return result
        for name, part in groups:
            if name not in result:
                continue
            part = part[["DataDate", "ukey", "x"]].dropna(subset=["ukey", "DataDate", "x"])
            part = part.drop_duplicates(subset=["ukey", "DataDate"], keep="last")
            result[name] = clean_matrix(part.pivot(index="DataDate", columns="ukey", values="x"))
        return result
    for name in names:
        if name not in df.columns:
            continue
        part = df[["DataDate", "ukey", name]].rename(columns={name: "x"})
        part = part.assign(x=lambda d: pd.to_numeric(d["x"], errors="coerce"))
        part = part.dropna(subset=["ukey", "DataDate", "x"])
        part = part.drop_duplicates(subset=["ukey", "DataDate"], keep="last")
        result[name] = clean_matrix(part.pivot(index="DataDate", columns="ukey", values="x"))
    return result


def build_from_matrices(source: dict[str, pd.DataFrame]) -> dict[str, pd.DataFrame]:
    """The twelve base matrices, in the order and arithmetic of the derivation."""
    industry = source["rq_industry_exposure_new"]
    limit_down = source["limit_down"]
    limit_up = source["limit_up"]
    close_price = source["Close"]
    open_price = source["Open"]
    buy_price = source["tick_vwap_price_935_1005"]
    sell_price = source["tick_vwap_price_925_1000"]
    split = source["split_coefficient_to"]
    dividend = source["rq_get_dividend"]
    filter_stock_raw = source["rq_is_suspended"]
    close_price_valid = close_price * 0 + 1
    filter_stock = pd.DataFrame(
        np.where(filter_stock_raw.eq(1), np.nan, 1),
        index=filter_stock_raw.index,
        columns=filter_stock_raw.columns,
    )
    return {
        "industry_matrix": industry,
        "close_price": close_price,
        "open_price": open_price,
        "close_price_valid": close_price_valid,
        "prev_close": close_price.shift(1),
        "buy_price": buy_price,
        "sell_price": sell_price,
        "rq_get_split": (split / 10 * close_price_valid).loc[
            lambda d: d.index >= close_price.index.min()
        ],
        "rq_get_dividend": (dividend / 10 * 0.9 + (close_price_valid - 1)).loc[
            lambda d: d.index <= close_price.index.max()
        ],
        "can_buy_stock": (
            buy_price == limit_up.reindex(index=buy_price.index, columns=buy_price.columns)
        ).add(filter_stock, fill_value=0.0) <= 0,
        "cant_sell_stock": (
            sell_price == limit_down.reindex(index=sell_price.index, columns=sell_price.columns)
        ).add(filter_stock, fill_value=0.0) > 0,
        "forward_return_rank_cache": (open_price.shift(-2) / open_price.shift(-1) - 1)
        .replace([np.inf, -np.inf], np.nan)
        .rank(axis=1, method="average"),
    }


def narrow_market_table(
    n_days: int, n_stocks: int, factors: list[str], seed: int = 0, *, date_text: bool = True
) -> pd.DataFrame:
    """A service-shaped narrow table: suffixed ukeys, dashed date text, a factor column."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=n_days)
    date_values = dates.strftime("%Y-%m-%d") if date_text else dates
    codes = np.array([f"{600000 + j:06d}.XSHG" if j % 2 == 0 else f"{j:06d}.XSHE"
                      for j in range(n_stocks)])
    n = n_days * n_stocks
    frames = [
        pd.DataFrame({
            "ukey": np.tile(codes, n_days),
            "date": np.repeat(np.asarray(date_values), n_stocks),
            "factor": name,
            "value": rng.random(n),
        })
        for name in factors
    ]
    return pd.concat(frames, ignore_index=True)


COMPONENT_SIZES = {
    "rq_index_components_new_000300.XSHG": 300,
    "rq_index_components_new_000905.XSHG": 500,
    "rq_index_components_new_000852.XSHG": 1000,
    "rq_index_components_new_399303.XSHE": 2000,
    "rq_index_components_new_932000.INDX": 1000,
}


def stock_codes(n_stocks: int) -> list[str]:
    """Sorted codes of every board: 60xxxx, 000xxx, 300xxx and 688xxx in equal parts."""
    prefixes = (600000, 0, 300000, 688000)
    return sorted(f"{prefixes[j % 4] + j // 4:06d}" for j in range(n_stocks))


def synthetic_factor_market(n_days: int, n_stocks: int, seed: int = 0):
    """Wide source factors, component masks and index rows of a synthetic market.

    Returns (factors, index_daily): factors maps every factor name the builder reads to a
    date x 6-digit-code frame (NaN = the service has no row), index_daily is the long
    index table of the three benchmark indexes.
    """
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2021-01-04", periods=n_days).strftime("%Y%m%d"))
    codes = pd.Index(stock_codes(n_stocks))
    shape = (n_days, n_stocks)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    close = 10.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, shape), axis=0))
    suspended = rng.random(shape) < 0.01
    close[suspended] = np.nan
    prev = np.vstack([close[:1], close[:-1]])
    limit_up = np.round(prev * 1.1, 2)
    limit_down = np.round(prev * 0.9, 2)
    buy = np.round(close * (1 + rng.normal(0, 0.004, shape)), 2)
    sell = np.round(close * (1 + rng.normal(0, 0.004, shape)), 2)
    at_up = rng.random(shape) < 0.02
    buy[at_up] = limit_up[at_up]
    at_down = rng.random(shape) < 0.02
    sell[at_down] = limit_down[at_down]
    industry = np.tile(rng.integers(1, 31, n_stocks).astype(float), (n_days, 1))
    split = np.where(rng.random(shape) < 0.002, 13.0, np.nan)
    dividend = np.where(rng.random(shape) < 0.004, 2.5, np.nan)
    # The service's flag: 1 leaves the stock tradable, 0 marks a suspension.
    flag = np.where(suspended, 0.0, 1.0)
    factors = {
        "rq_industry_exposure_new": frame(industry),
        "limit_down": frame(limit_down),
        "limit_up": frame(limit_up),
        "Close": frame(close),
        "Open": frame(close * (1 + rng.normal(0, 0.01, shape))),
        "tick_vwap_price_935_1005": frame(buy),
        "tick_vwap_price_925_1000": frame(sell),
        "split_coefficient_to": frame(split),
        "rq_get_dividend": frame(dividend),
        "rq_is_suspended": frame(flag),
    }
    for name, size in COMPONENT_SIZES.items():
        members = rng.permutation(n_stocks)[: min(size, n_stocks)]
        mask = np.full(shape, np.nan)
        mask[:, members] = 1.0
        factors[name] = frame(mask)
    rows = []
    for code in ("000852.XSHG", "000300.XSHG", "000905.XSHG"):
        returns = rng.normal(0.0003, 0.012, n_days)
        rows.append(pd.DataFrame({
            "ukey": code,
            "date": dates,
            "close": 1000.0 * np.cumprod(1 + returns),
            "daily_return": returns,
        }))
    return factors, pd.concat(rows, ignore_index=True)
