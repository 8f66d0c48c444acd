"""Daily-bar tables with everything a strategy may read: splits and dividends, ST spells,
listings, missing rows, market values, further numeric columns, and four indexes (the
builder's three benchmarks and the Shanghai composite, which has members too)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

EXTRA_COLUMNS = ("pe", "turnover")
FOURTH_INDEX = "000001"


@dataclass
class BarTables:
    bars: pd.DataFrame  # date (YYYYMMDD text), code (six digits), open, close, ...
    index_bars: pd.DataFrame  # date, index_code, close
    members: pd.DataFrame  # date, index_code, code
    days: pd.Index  # YYYYMMDD text
    codes: list[str]

    def pivot(self, column: str) -> pd.DataFrame:
        """The table's ``column`` as dates x codes (NaN where a stock has no row)."""
        return self.bars.pivot(index="date", columns="code", values=column)


def bar_tables(n_stocks: int = 24, n_days: int = 90, seed: int = 0) -> BarTables:
    rng = np.random.default_rng(seed)
    days = pd.Index(pd.bdate_range("2023-01-03", periods=n_days).strftime("%Y%m%d"))
    boards = ("600", "000", "300", "688")
    codes = sorted(f"{boards[j % 4]}{100 + j:03d}" for j in range(n_stocks))
    rows = []
    for j, code in enumerate(codes):
        listed = int(rng.integers(5, n_days // 2)) if j % 6 == 5 else 0
        st_from = int(rng.integers(0, n_days)) if j % 5 == 1 else n_days
        shares = float(rng.uniform(1e8, 5e9))
        close = float(rng.uniform(5, 50))
        for k in range(listed, n_days):
            if k > listed and rng.random() < 0.03:
                continue  # a missing row: suspended
            split = float(rng.choice([1.5, 2.0])) if rng.random() < 0.01 else 1.0
            dividend = round(float(rng.uniform(0.1, 0.5)), 2) if rng.random() < 0.01 else 0.0
            base = (close - dividend) / split
            close = round(max(base * float(np.exp(rng.normal(0, 0.02))), 1.0), 2)
            shares *= split
            volume = float(rng.integers(1, 20000) * 100)
            rows.append({
                "date": days[k], "code": code, "open": close, "close": close,
                "high": round(close * 1.01, 2), "low": round(close * 0.99, 2),
                "volume": volume, "amount": round(close * volume, 2),
                "split_ratio": split, "dividend": dividend,
                "market_value": close * shares, "float_market_value": close * shares * 0.4,
                "is_st": int(k >= st_from), "industry": float(j % 7 + 1),
                "pe": float(rng.normal(20, 6)), "turnover": float(rng.uniform(0, 0.1)),
            })
    bars = pd.DataFrame(rows)
    index_rows = []
    for code, level in (("000300", 3800.0), ("000905", 5500.0), ("000852", 6000.0),
                        (FOURTH_INDEX, 3100.0)):
        closes = level * np.exp(np.cumsum(rng.normal(0, 0.01, n_days)))
        index_rows += [{"date": day, "index_code": f"{code}.SH", "close": round(c, 2)}
                       for day, c in zip(days, closes)]
    shanghai = [c for c in codes if c.startswith("6")]
    members = pd.DataFrame([{"date": day, "index_code": f"{FOURTH_INDEX}.SH", "code": code}
                            for day in days for code in shanghai])
    return BarTables(bars, pd.DataFrame(index_rows), members, days, codes)


def write(tables: BarTables, folder) -> dict[str, str]:
    """The three tables as Parquet files in ``folder``; their paths by name."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = {}
    for name in ("bars", "index_bars", "members"):
        paths[name] = str(folder / f"{name}.parquet")
        getattr(tables, name).to_parquet(paths[name], index=False)
    return paths
