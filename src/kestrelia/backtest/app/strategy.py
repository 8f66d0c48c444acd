"""The demo's sample strategy: a 20-day reversal on the members of one index.

Each day it ranks the index's members by their split- and dividend-adjusted return over
the last 20 trading days and holds the 100 worst performers with equal weights (a
short-term reversal bet). The engine smooths the weights over 5 days.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

LOOKBACK_DAYS = 20
HOLDINGS = 100
SMOOTHING_DAYS = 5


def adjusted_returns(close: pd.DataFrame, prev_close: pd.DataFrame, split: pd.DataFrame,
                     dividend: pd.DataFrame) -> pd.DataFrame:
    """Daily total returns: a split multiplies the close, a dividend adds to it."""
    gross = close * split.reindex_like(close).fillna(1.0) + dividend.reindex_like(close).fillna(0.0)
    return gross / prev_close - 1.0


def reversal_weights(market_matrices: dict[str, pd.DataFrame], members: pd.DataFrame,
                     lookback: int = LOOKBACK_DAYS, holdings: int = HOLDINGS) -> pd.DataFrame:
    """Equal weights on the ``holdings`` members with the lowest ``lookback``-day return."""
    m = market_matrices
    daily = adjusted_returns(m["close_price"], m["prev_close"], m["split_factor"], m["dividend_factor"])
    momentum = np.log1p(daily).rolling(lookback, min_periods=lookback).sum()
    eligible = members.reindex_like(momentum).notna() & m["close_price"].notna()
    score = momentum.where(eligible)
    rank = score.rank(axis=1, method="first", ascending=True)
    chosen = rank <= holdings
    counts = chosen.sum(axis=1).replace(0, np.nan)
    return chosen.astype(float).div(counts, axis=0).where(chosen)
