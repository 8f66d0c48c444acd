"""Markets in a chosen memory layout, with the special values the kernels must survive.

Row-major frames are what DataFrame(ndarray, copy=False) and pivot give, column-major ones
what most pandas operations and the store give; the simulation has a path for each and
the two must agree bit for bit.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from tests.support.markets import MARKET_KEYS, Market, make_market

LAYOUTS = ("columns", "rows", "mixed")


def _in_order(frame: pd.DataFrame, order: str) -> pd.DataFrame:
    values = frame.to_numpy(copy=True)
    values = np.ascontiguousarray(values) if order == "C" else np.asfortranarray(values)
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


def market_in_layout(market: Market, layout: str) -> Market:
    """The same market with every frame row-major ("rows"), column-major ("columns"), or
    alternating between the two ("mixed", which starts with row-major weights)."""
    names = ("weights", *MARKET_KEYS)
    orders = {
        "rows": ["C"] * len(names),
        "columns": ["F"] * len(names),
        "mixed": ["C" if k % 2 == 0 else "F" for k in range(len(names))],
    }[layout]
    return Market(
        *(
            _in_order(getattr(market, name), order)
            for name, order in zip(names, orders, strict=True)
        )
    )


SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.5, 1e-320])


def special_market(seed: int, n_days: int, n_stocks: int, share: float = 0.15) -> Market:
    """A random market in which a share of the weights, prices and factors are replaced by
    NaN, infinities, zero, a negative value or a subnormal."""
    market = make_market(n_days=n_days, n_stocks=n_stocks, seed=seed % 1000, weight_density=0.7)
    rng = np.random.default_rng(seed)
    for name in (
        "weights",
        "close_price",
        "prev_close",
        "buy_price",
        "sell_price",
        "split_factor",
        "dividend_factor",
    ):
        frame = getattr(market, name)
        hit = rng.random(frame.shape) < share
        setattr(market, name, frame.mask(hit, rng.choice(SPECIALS, frame.shape)))
    return market


def bits(values: np.ndarray) -> np.ndarray:
    """The raw bit patterns, so that -0.0 and 0.0 or two NaN payloads count as different."""
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def assert_close_where_finite(got: np.ndarray, want: np.ndarray) -> None:
    """Native returns against the NumPy day loop. Day sums that overflow (a price replaced
    by the largest float) end as inf or NaN depending on the order of the additions,
    which the BLAS dot product does not fix: there only the non-finiteness must agree."""
    finite = np.isfinite(want)
    np.testing.assert_array_equal(np.isfinite(got), finite)
    np.testing.assert_allclose(got[finite], want[finite], rtol=1e-12, atol=1e-15)
