"""The VWAP daily return: worked examples, the simulation's rules, and the native kernel
against the NumPy day loop on random markets."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tests.support import reference
from tests.support.markets import make_market, stock_codes, trading_dates


def flat_market(n_days, n_stocks, *, close=10.0, buy=None, sell=None):
    """Constant prices, everything tradable, no splits or dividends."""
    dates, codes = trading_dates(n_days), stock_codes(n_stocks)

    def full(value, dtype=float):
        return pd.DataFrame(np.full((n_days, n_stocks), value, dtype=dtype), index=dates, columns=codes)

    return {
        "can_buy_stock": full(True, bool),
        "cant_sell_stock": full(False, bool),
        "split_factor": full(np.nan),
        "dividend_factor": full(np.nan),
        "close_price": full(close),
        "prev_close": full(close),
        "buy_price": full(close if buy is None else buy),
        "sell_price": full(close if sell is None else sell),
    }


def weights(values, n_stocks=None):
    values = np.asarray(values, dtype=float)
    if values.ndim == 1:
        values = np.tile(values, (n_stocks, 1)).T
    return pd.DataFrame(values, index=trading_dates(len(values)), columns=stock_codes(values.shape[1]))


def run(pelorin, w, market, **kwargs):
    return pelorin.calc_strategy_vwap_daily_return(w, **market, **kwargs)


class TestWorkedExamples:
    def test_one_date_gives_an_empty_float_series_without_aligning(self, pelorin, monkeypatch):
        def must_not_run(*args):
            raise AssertionError("market arrays built for an empty signal")

        monkeypatch.setattr(pelorin, "_build_market_arrays", must_not_run)
        out = run(pelorin, weights([[0.25] * 4]), flat_market(1, 4))
        assert out.empty and out.dtype == np.float64

    def test_first_day_buys_whole_lots_at_the_buy_price(self, pelorin):
        market = flat_market(3, 4, close=10.0, buy=9.5)
        out = run(pelorin, weights(np.full((3, 4), 0.25)), market)
        shares = np.floor(1e8 * 0.25 / (10.0 * 200)) * 200
        assert shares == 2_500_000
        expected = 4 * shares * (10.0 - 9.5 * (1 + 0.0001)) / 1e8
        assert out.iloc[0] == pytest.approx(expected, rel=1e-15)
        assert list(out.index) == list(trading_dates(3)[1:])

    def test_a_blocked_buy_is_retried_on_the_next_allowed_day(self, pelorin):
        market = flat_market(5, 1, close=10.0, buy=9.0)
        market["can_buy_stock"].iloc[1:3, 0] = False
        out = run(pelorin, weights(np.full((5, 1), 0.5)), market, fee=0.0)
        shares = np.floor(1e8 * 0.5 / 2000) * 200
        assert out.iloc[0] == 0.0 and out.iloc[1] == 0.0
        assert out.iloc[2] == shares * 1.0 / 1e8 and out.iloc[3] == 0.0

    def test_shares_that_cannot_be_sold_keep_earning(self, pelorin):
        # Stock 1 keeps every day in the signal; stock 0 is bought, then dropped.
        market = flat_market(4, 2, close=10.0)
        market["close_price"].iloc[2:, 0] = 11.0
        market["prev_close"].iloc[3, 0] = 11.0
        market["cant_sell_stock"].iloc[2, 0] = True
        w = weights([[0.5, 0.1], [np.nan, 0.1], [np.nan, 0.1], [np.nan, 0.1]])
        out = run(pelorin, w, market, fee=0.0, rule_fee=0.0)
        shares = np.floor(1e8 * 0.5 / 2000) * 200
        # Day 2 wants to sell but may not: the position earns the close-to-close gain;
        # day 3 sells at 10 against a previous close of 11.
        assert out.iloc[1] == pytest.approx(shares * 1.0 / 1e8, rel=1e-15)
        assert out.iloc[2] == pytest.approx(shares * -1.0 / 1e8, rel=1e-15)

    def test_split_and_dividend_adjust_held_shares(self, pelorin):
        market = flat_market(3, 1, close=10.0)
        market["close_price"].iloc[2, 0] = 5.0
        market["split_factor"].iloc[2, 0] = 2.0
        market["dividend_factor"].iloc[2, 0] = 0.5
        out = run(pelorin, weights(np.full((3, 1), 0.5)), market, fee=0.0)
        shares = np.floor(1e8 * 0.5 / 2000) * 200
        # 2 x 5 - 10 = 0 on the held shares, plus the dividend on them.
        assert out.iloc[1] == pytest.approx(shares * 0.5 / 1e8, rel=1e-15)
        market["split_factor"].iloc[2, 0] = np.nan  # NaN split behaves as 1
        out = run(pelorin, weights(np.full((3, 1), 0.5)), market, fee=0.0)
        assert out.iloc[1] == pytest.approx(shares * (5.0 - 10.0 + 0.5) / 1e8, rel=1e-15)

    def test_a_split_leaves_no_shares_to_buy_back(self, pelorin):
        # A 2:1 split on the third day: the shares kept through it double, which is the next
        # day's target at the halved price, so nothing is bought back at that day's VWAP
        # (the engine once did, losing 1 % of capital on the fourth day).
        market = flat_market(5, 1, close=10.0)
        market["close_price"].iloc[2:, 0] = 5.0
        market["prev_close"].iloc[3:, 0] = 5.0
        market["buy_price"].iloc[2:, 0] = 5.2
        market["sell_price"].iloc[2:, 0] = 5.2
        market["split_factor"].iloc[2, 0] = 2.0
        out = run(pelorin, weights(np.full((5, 1), 0.5)), market, fee=0.0, rule_fee=0.0)
        assert out.tolist() == [0.0, 0.0, 0.0, 0.0]

    def test_a_day_after_an_all_nan_row_is_absent_but_positions_carry(self, pelorin):
        market = flat_market(5, 2, close=10.0)
        w = weights([[0.5, 0.5], [np.nan, np.nan], [0.5, 0.5], [0.5, 0.5], [0.5, 0.5]])
        out = run(pelorin, w, market)
        assert trading_dates(5)[2] not in out.index and len(out) == 3

    def test_negative_weights_go_short(self, pelorin):
        market = flat_market(3, 1, close=10.0, buy=10.0, sell=10.0)
        market["close_price"].iloc[2, 0] = 9.0
        out = run(pelorin, weights(np.full((3, 1), -0.25)), market, fee=0.0, rule_fee=0.0)
        shares = np.floor(1e8 * -0.25 / 2000) * 200
        assert shares < 0
        assert out.iloc[1] == pytest.approx(shares * (9.0 - 10.0) / 1e8, rel=1e-15) and out.iloc[1] > 0

    def test_zero_capital_gives_nan_returns(self, pelorin):
        with np.errstate(invalid="ignore"):
            out = run(pelorin, weights(np.full((3, 1), 0.5)), flat_market(3, 1), total_money=0.0)
        assert out.isna().all()


def assert_same_returns(got, expected):
    pd.testing.assert_index_equal(got.index, expected.index)
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("seed", range(6))
def test_native_equals_numpy_loop_on_random_markets(pelorin, seed):
    market = make_market(n_days=80, n_stocks=30, seed=seed)
    assert_same_returns(
        pelorin.calc_strategy_vwap_daily_return(*market.args(), fee=0.0003, rule_fee=0.001),
        reference.vwap_daily_return(*market.args(), fee=0.0003, rule_fee=0.001),
    )


@given(
    seed=st.integers(0, 2**31),
    n_days=st.integers(1, 12),
    n_stocks=st.integers(0, 6),
    lot=st.sampled_from([1, 100, 200]),
)
def test_native_equals_numpy_loop_with_special_values(pelorin, seed, n_days, n_stocks, lot):
    market = make_market(n_days=n_days, n_stocks=n_stocks, seed=seed % 1000, weight_density=0.7)
    rng = np.random.default_rng(seed)
    specials = np.array([np.nan, np.inf, -np.inf, 0.0, -0.5, 1e-320])
    for name in ("weights", "close_price", "prev_close", "buy_price", "sell_price", "split_factor", "dividend_factor"):
        frame = getattr(market, name).copy()
        hit = rng.random(frame.shape) < 0.15
        frame = frame.mask(hit, rng.choice(specials, frame.shape))
        setattr(market, name, frame)
    magnitude = []
    with np.errstate(all="ignore"):
        expected = reference.vwap_daily_return(*market.args(), lot_size=lot, magnitude=magnitude)
        got = pelorin.calc_strategy_vwap_daily_return(*market.args(), lot_size=lot)
    pd.testing.assert_index_equal(got.index, expected.index)
    # Where the day's terms could overflow, the result depends on the summation order (the
    # kernel adds four lanes, NumPy's dot another way): compare only the other days.
    comparable = np.isfinite(np.asarray(magnitude, dtype=float))
    np.testing.assert_allclose(got.to_numpy()[comparable], expected.to_numpy()[comparable],
                               rtol=1e-12, atol=1e-15, equal_nan=True)


@given(
    weight=st.floats(-2, 2, allow_nan=False),
    prev_close=st.floats(0.01, 3000, allow_nan=False),
    money=st.sampled_from([1e6, 1e8, 3.3e7, 12345678.9]),
    lot=st.sampled_from([1, 100, 200, 300]),
)
def test_lot_counts_are_bit_identical(pelorin, weight, prev_close, money, lot):
    # One stock, buy price 1 below the close and no fee: the first day's profit is exactly
    # the number of shares bought, so the returned value exposes the lot count.
    market = flat_market(2, 1, close=prev_close)
    market["close_price"].iloc[:, 0] = prev_close + 1.0
    market["buy_price"].iloc[:, 0] = prev_close
    market["sell_price"].iloc[:, 0] = prev_close
    w = weights([[weight], [weight]])
    out = run(pelorin, w, market, fee=0.0, rule_fee=0.0, total_money=money, lot_size=lot)
    target = reference.vwap_targets(w, market["prev_close"], total_money=money, lot_size=lot)[0, 0]
    # A negative target is a short held through the day: the same coefficient applies.
    coeff = (prev_close + 1.0) - prev_close * (1 + 0.0)
    assert out.iloc[0] == target * coeff / money


def test_market_arrays_must_have_the_simulated_shape(pelorin, market, monkeypatch):
    from kestrelia.backtest import _core

    def truncated(*args):
        arrays = _core._build_market_arrays(*args)
        arrays["close_arr"] = arrays["close_arr"][:-1]
        return arrays

    monkeypatch.setattr(pelorin, "_build_market_arrays", truncated)
    with pytest.raises(ValueError, match="'close_arr' of shape"):
        pelorin.calc_strategy_vwap_daily_return(*market.args())

    monkeypatch.setattr(pelorin, "_build_market_arrays", lambda *a: {"prev_close_arr": None})
    with pytest.raises(KeyError, match="can_buy_arr"):
        pelorin.calc_strategy_vwap_daily_return(*market.args())


def test_row_major_market_arrays_give_the_same_result(pelorin, market, monkeypatch):
    from kestrelia.backtest import _core

    expected = pelorin.calc_strategy_vwap_daily_return(*market.args())

    def c_ordered(*args):
        return {k: np.ascontiguousarray(v) for k, v in _core._build_market_arrays(*args).items()}

    monkeypatch.setattr(pelorin, "_build_market_arrays", c_ordered)
    pd.testing.assert_series_equal(pelorin.calc_strategy_vwap_daily_return(*market.args()), expected, check_exact=True)


def test_inputs_are_not_modified(pelorin, market):
    before = {k: v.copy() for k, v in market.matrices().items()}
    w = market.weights.copy()
    pelorin.calc_strategy_vwap_daily_return(*market.args())
    pd.testing.assert_frame_equal(market.weights, w)
    for k, v in market.matrices().items():
        pd.testing.assert_frame_equal(v, before[k])


def test_mixed_column_dtypes_align_like_clean_ones(pelorin, market):
    # Matrices whose columns do not all have the wanted dtype go through reindexing: an
    # integer close column counts as its float values, and a mask column of objects or
    # of floats allows a trade only where the cell is True (NaN never does).
    expected = pelorin.calc_strategy_vwap_daily_return(*market.args())
    m = market.matrices()
    code = m["close_price"].columns[2]
    floats = m["close_price"].round()
    floats[code] = floats[code].fillna(0.0)
    ints = floats.copy()
    ints[code] = floats[code].astype(np.int64)
    assert ints[code].dtype == np.int64
    pd.testing.assert_series_equal(
        pelorin.calc_strategy_vwap_daily_return(market.weights, **{**m, "close_price": ints}),
        pelorin.calc_strategy_vwap_daily_return(market.weights, **{**m, "close_price": floats}),
        check_exact=True,
    )

    gaps = m["can_buy_stock"].astype(object)
    gaps.iloc[::3, 1] = np.nan
    blocked = m["can_buy_stock"].copy()
    blocked.iloc[::3, 1] = False
    as_floats = blocked.astype(float)
    as_floats.iloc[::3, 1] = np.nan
    without = pelorin.calc_strategy_vwap_daily_return(market.weights, **{**m, "can_buy_stock": blocked})
    for mask in (gaps, as_floats):
        got = pelorin.calc_strategy_vwap_daily_return(market.weights, **{**m, "can_buy_stock": mask})
        pd.testing.assert_series_equal(got, without, check_exact=True)
    pd.testing.assert_series_equal(
        pelorin.calc_strategy_vwap_daily_return(*market.args()), expected, check_exact=True
    )
