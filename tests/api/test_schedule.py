"""What weights mean to backtest(): the market's calendar, rows on rebalance dates only,
holding between them, labels as pandas users have them, and results on a DatetimeIndex."""

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import InputError, Market, backtest
from tests.support import reference
from tests.support.layouts import LAYOUTS, market_in_layout
from tests.support.markets import make_market


def public_market(m, benchmarks=None):
    return Market(**m.matrices(), benchmarks=benchmarks or {})


def _optional(module):
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        return None


def as_datetimes(index):
    return pd.DatetimeIndex(pd.to_datetime(index, format="%Y%m%d"), name="date")


def hand_market():
    """One stock over eight days: a limit-up day, a 2:1 split with a dividend, new prices."""
    dates = pd.bdate_range("2024-01-29", periods=8)
    close = [10.0, 10.0, 10.0, 10.2, 5.05, 5.15, 5.25, 5.20]

    def col(values, dtype=float):
        return pd.DataFrame({"600000": np.asarray(values, dtype=dtype)}, index=dates)

    return Market(
        can_buy_stock=col([True, True, False, True, True, True, True, True], bool),
        cant_sell_stock=col([False] * 8, bool),
        split_factor=col([np.nan] * 4 + [2.0] + [np.nan] * 3),
        dividend_factor=col([np.nan] * 4 + [0.3] + [np.nan] * 3),
        close_price=col(close),
        prev_close=col([np.nan, *close[:-1]]),
        buy_price=col([10.0, 10.0, 10.0, 10.1, 5.05, 5.1, 5.25, 5.2]),
        sell_price=col([10.0, 10.0, 10.0, 10.2, 5.05, 5.1, 5.25, 5.2]),
    )


class TestMonthlyRebalanceByHand:
    """Rows on two rebalance dates (one a Saturday), an empty row and a row on the last day
    between and after them; capital 1e6 in lots of 100, no costs."""

    weights = pd.DataFrame(
        {"600000": [0.5, np.nan, 0.25, 0.8]},
        index=pd.to_datetime(["2024-01-30", "2024-02-01", "2024-02-03", "2024-02-07"]))

    def test_profit_and_positions_day_by_day(self):
        result = backtest(self.weights, hand_market(), capital=1e6, lot_size=100, fee=0.0,
                          rule_fee=0.0, execution=True)
        # 01-31: the 0.5 target (50,000 shares at the previous close 10) is blocked by the
        # limit; 02-01: retried and bought at 10.1, closing at 10.2; 02-02: a 2:1 split
        # with 0.3 a share, the held shares go from 10.2 to 2 x 5.05, and 100,000 new shares
        # come out of it; 02-05: the Saturday row's 0.25 is 49,500 shares at 5.05, so
        # 50,500 are sold at 5.10; then the 49,500 drift with the close. The row dated on
        # the last day targets no day of the backtest.
        expected = [0.0, 50_000 * (10.2 - 10.1), 50_000 * (2 * 5.05 - 10.2) + 50_000 * 0.3,
                    49_500 * (5.15 - 5.05) + 50_500 * (5.10 - 5.05), 49_500 * (5.25 - 5.15),
                    49_500 * (5.20 - 5.25)]
        assert list(result.returns.index.strftime("%Y-%m-%d")) == [
            "2024-01-31", "2024-02-01", "2024-02-02", "2024-02-05", "2024-02-06", "2024-02-07"]
        np.testing.assert_allclose(result.returns.to_numpy(), np.array(expected) / 1e6,
                                   rtol=1e-9, atol=1e-15)
        ex = result.execution
        assert ex.positions["600000"].tolist() == [0.0, 50_000.0, 100_000.0, 49_500.0,
                                                   49_500.0, 49_500.0]
        assert ex.trades[["side", "shares"]].values.tolist() == [["buy", 50_000.0],
                                                                 ["sell", 50_500.0]]
        assert ex.blocked[["cause", "shares"]].values.tolist() == [["buy_blocked", 50_000.0]]

    def test_retarget_trades_the_last_row_back_every_day(self):
        hold = backtest(self.weights, hand_market(), capital=1e6, lot_size=100, fee=0.0,
                        rule_fee=0.0)
        retarget = backtest(self.weights, hand_market(), capital=1e6, lot_size=100, fee=0.0,
                            rule_fee=0.0, between="retarget", execution=True)
        pd.testing.assert_index_equal(retarget.returns.index, hold.returns.index)
        # 02-02: the 0.5 row at the previous close 10.2 is 49,000 shares: 1,000 are sold.
        assert retarget.execution.trades["shares"].tolist()[:2] == [50_000.0, 1_000.0]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("between", ["hold", "retarget"])
@pytest.mark.parametrize("seed", range(4))
def test_the_simulation_is_the_scheduled_day_loop(seed, between, layout):
    """Rows on random dates (trading days or not, some empty, some past the end) against
    the NumPy day loop, cell by cell: returns, end-of-day positions and trades."""
    rng = np.random.default_rng(seed)
    m = market_in_layout(make_market(n_days=90, n_stocks=17, seed=seed), layout)
    days = as_datetimes(m.close_price.index)
    calendar = pd.date_range(days[0] - pd.Timedelta(days=3), days[-1] + pd.Timedelta(days=5))
    picked = np.sort(rng.choice(len(calendar), size=14, replace=False))
    values = np.where(rng.random((14, 17)) < 0.5, rng.random((14, 17)), np.nan)
    values[[3, 9]] = np.nan  # rows without any weight set nothing
    weights = pd.DataFrame(values, index=calendar[picked], columns=m.close_price.columns)
    expected, held, bought, sold = reference.scheduled_backtest(
        weights, m.matrices(), between=between, capital=1e6, fee=0.0003, rule_fee=0.001,
        lot_size=100)
    result = backtest(weights, public_market(m), between=between, capital=1e6, fee=0.0003,
                      rule_fee=0.001, lot_size=100, execution=True)
    dates = as_datetimes(expected.index)
    pd.testing.assert_index_equal(result.returns.index, dates)
    np.testing.assert_allclose(result.returns.to_numpy(), expected.to_numpy(), rtol=1e-12,
                               atol=1e-15)
    ex = result.execution
    positions = ex.positions.reindex(columns=m.close_price.columns, fill_value=0.0)
    np.testing.assert_array_equal(positions.to_numpy(), held.to_numpy())
    for side, frame in (("buy", bought), ("sell", sold)):
        trades = ex.trades[ex.trades["side"] == side]
        table = trades.pivot(index="date", columns="code", values="shares")
        table = table.reindex(index=dates, columns=m.close_price.columns, fill_value=0.0)
        np.testing.assert_array_equal(table.fillna(0.0).to_numpy(), frame.to_numpy())


@pytest.mark.parametrize("seed, rolling_window", [(0, 0), (3, 5), (7, 1), (9, 3)])
def test_a_row_on_every_trading_day_is_the_engine_bit_for_bit(pelorin, seed, rolling_window):
    m = make_market(n_days=80, n_stocks=15, seed=seed)
    rng = np.random.default_rng(seed)
    benchmark = pd.Series(rng.normal(0.0, 0.01, 80), index=m.close_price.index)
    core = pelorin.run_strategy_backtest_core(
        m.weights, *m.matrices().values(), benchmark_dict={"000852": benchmark},
        rolling_window=rolling_window, total_money=5e7, fee=0.0002, rule_fee=0.001)
    result = backtest(m.weights, public_market(m, {"000852": benchmark}), capital=5e7,
                      fee=0.0002, rule_fee=0.001, rolling_window=rolling_window)
    pd.testing.assert_index_equal(result.returns.index, as_datetimes(core.daily_return.index))
    np.testing.assert_array_equal(result.returns.to_numpy().view(np.int64),
                                  core.daily_return.to_numpy().view(np.int64))
    for key, value in core.stats.items():
        assert (np.isnan(value) and np.isnan(result.stats[key])) or value == result.stats[key], key
    pd.testing.assert_frame_equal(result.benchmark_summary, core.benchmark_summary)


def test_monthly_rows_equal_their_forward_fill_under_retarget(pelorin):
    m = make_market(n_days=120, n_stocks=20, seed=5)
    days = as_datetimes(m.close_price.index)
    daily = pd.DataFrame(m.weights.to_numpy(), index=days, columns=m.weights.columns)
    monthly = daily.resample("ME").last()
    # A month-end row dated on a weekend acts as a row of the trading day before it.
    on_trading_days = monthly.set_axis(days[np.searchsorted(days, monthly.index, "right") - 1])
    filled = on_trading_days.reindex(days, method="ffill")
    a = backtest(monthly, public_market(m), between="retarget", lot_size=100)
    b = backtest(filled.dropna(how="all"), public_market(m), between="retarget", lot_size=100)
    pd.testing.assert_series_equal(a.returns, b.returns)
    # Holding trades only on rebalance days and when retrying: fewer trades.
    held = backtest(monthly, public_market(m), lot_size=100, execution=True).execution
    retargeted = backtest(monthly, public_market(m), between="retarget", lot_size=100,
                          execution=True).execution
    assert len(held.trades) < len(retargeted.trades)


def test_a_target_no_day_could_size_is_bought_when_one_can():
    # The stock has no previous close on the rebalance day (suspended the day before): the
    # target is sized on the first later day with one, and held from then on.
    m = hand_market()
    close = m.close_price.copy()
    close.iloc[1, 0] = np.nan
    prev = m.prev_close.copy()
    prev.iloc[2, 0] = np.nan
    mx = dict(m.matrices(), close_price=close, prev_close=prev)
    mx["can_buy_stock"] = mx["can_buy_stock"].copy()
    mx["can_buy_stock"].iloc[2, 0] = True
    weights = pd.DataFrame({"600000": [0.5]}, index=pd.to_datetime(["2024-01-30"]))
    ex = backtest(weights, Market(**mx), capital=1e6, lot_size=100, fee=0.0, rule_fee=0.0,
                  execution=True).execution
    # 02-01 is the first day with a previous close (10.0): 50,000 shares, then held.
    assert ex.trades[["date", "shares"]].values.tolist() == [[pd.Timestamp("2024-02-01"),
                                                              50_000.0]]
    assert ex.positions["600000"].tolist()[:3] == [0.0, 50_000.0, 100_000.0]


class TestLabels:
    @pytest.mark.parametrize("spell", [
        lambda d: d,
        lambda d: [x.date() for x in d],
        lambda d: d.strftime("%Y-%m-%d"),
        lambda d: d.strftime("%Y%m%d"),
        lambda d: d.strftime("%Y%m%d").astype(int),
        lambda d: d.tz_localize("Asia/Shanghai").tz_convert("UTC"),
    ])
    def test_every_date_spelling_gives_the_same_backtest(self, spell):
        m = make_market(n_days=30, n_stocks=6, seed=2)
        days = as_datetimes(m.close_price.index)
        expected = backtest(m.weights, public_market(m)).returns
        weights = m.weights.set_axis(pd.Index(spell(days)), axis=0)
        pd.testing.assert_series_equal(backtest(weights, public_market(m)).returns, expected)

    def test_every_code_spelling_gives_the_same_backtest(self):
        m = make_market(n_days=30, n_stocks=4, seed=2)
        expected = backtest(m.weights, public_market(m)).returns
        spelled = m.weights.set_axis([600000, "600001.SH", "sh600002", "600003.XSHG"], axis=1)
        pd.testing.assert_series_equal(backtest(spelled, public_market(m)).returns, expected)

    @pytest.mark.parametrize("labels, axis, message", [
        (["600000", "600000.SH", "600002", "600003"], 1,
         "'600000' and '600000.SH' are the same stock code"),
        (None, 0, "'2021-01-04' and '20210104' are the same day"),
        (["600000", "000001.SH", "600002", "600003"], 1, "'000001.SH' is not a stock code"),
    ])
    def test_twins_and_strangers_are_refused(self, labels, axis, message):
        m = make_market(n_days=5, n_stocks=4, seed=2)
        if labels is None:
            labels = ["2021-01-04", "20210104", "20210106", "20210107", "20210108"]
        with pytest.raises(InputError, match=message):
            backtest(m.weights.set_axis(labels, axis=axis), public_market(m))

    def test_results_are_on_a_datetime_index_named_date(self):
        m = make_market(n_days=40, n_stocks=6, seed=3)
        result = backtest(m.weights, public_market(m), execution=True)
        for index in (result.returns.index, result.daily.index, result.execution.exposure.index,
                      result.execution.positions.index):
            assert isinstance(index, pd.DatetimeIndex) and index.tz is None
            assert index.name == "date"
        assert pd.api.types.is_datetime64_any_dtype(result.execution.trades["date"])
        assert isinstance(result.drawdowns()["peak"].iloc[0], pd.Timestamp)
        market = public_market(m)
        assert isinstance(market.close_price.index, pd.DatetimeIndex)
        assert np.shares_memory(market.close_price.to_numpy(), m.close_price.to_numpy())

    def test_pandas_return_tools_take_the_returns_as_they_stand(self):
        m = make_market(n_days=60, n_stocks=6, seed=3)
        returns = backtest(m.weights, public_market(m)).returns
        assert len(returns.resample("ME").sum()) == 3
        # A time-based window needs a DatetimeIndex.
        assert returns.rolling("30D").sum().notna().all()
        for module, call in (("empyrical", "sharpe_ratio"), ("quantstats.stats", "sharpe")):
            tool = _optional(module)
            if tool is not None:
                assert np.isfinite(getattr(tool, call)(returns))


class TestWindow:
    def test_start_and_end_bound_the_run(self):
        m = make_market(n_days=40, n_stocks=6, seed=4)
        days = as_datetimes(m.close_price.index)
        full = backtest(m.weights, public_market(m), between="retarget")
        part = backtest(m.weights, public_market(m), between="retarget", start=days[10],
                        end=days[29].strftime("%Y%m%d"))
        assert part.returns.index[0] == days[10] and part.returns.index[-1] == days[29]
        # From the same target on: the run starts from no position, so the first day
        # differs and later days converge when nothing was blocked.
        assert len(part.returns) == 20 and full.returns.index[-1] == days[-1]

    @pytest.mark.parametrize("weights_of, message", [
        (lambda w: w * np.nan, "no stock of the market has a weight"),
        (lambda w: w.set_axis(pd.bdate_range("2030-01-01", periods=len(w))), "sets a target"),
        (lambda w: w.set_axis([f"{i:06d}" for i in range(len(w.columns))], axis=1),
         "share no stock code"),
    ])
    def test_weights_that_set_no_target_are_refused(self, weights_of, message):
        m = make_market(n_days=20, n_stocks=5, seed=6)
        with pytest.raises(InputError, match=message):
            backtest(weights_of(m.weights), public_market(m))

    def test_weights_of_codes_the_market_lacks_set_no_target(self):
        m = make_market(n_days=40, n_stocks=6, seed=4)
        weights = m.weights.copy()
        weights.iloc[10:15] = np.nan  # five days without a target for the market's stocks
        foreign = weights.assign(**{"999999": np.where(np.arange(40) % 3 == 0, 0.5, np.nan)})
        expected = backtest(weights, public_market(m)).returns
        pd.testing.assert_series_equal(backtest(foreign, public_market(m)).returns, expected)

    def test_a_bad_between_is_refused(self):
        m = make_market(n_days=10, n_stocks=3, seed=6)
        with pytest.raises(InputError, match="between must be one of 'hold', 'retarget'"):
            backtest(m.weights, public_market(m), between="ffill")


def test_monthly_signals_hold_and_split_shares_stay_put():
    """A monthly strategy through a split: the split's new shares are never bought back."""
    m = make_market(n_days=100, n_stocks=8, seed=11)
    days = as_datetimes(m.close_price.index)
    monthly = pd.DataFrame(m.weights.to_numpy(), index=days,
                           columns=m.weights.columns).resample("ME").last()
    ex = backtest(monthly, public_market(m), execution=True, lot_size=100).execution
    split = m.split_factor.set_axis(days).notna()
    unpriced = m.prev_close.set_axis(days).isna()
    starts = np.searchsorted(days, monthly.index, side="right").clip(max=99)
    retried = sized = 0
    for (day, code), _ in ex.trades.set_index(["date", "code"]).iterrows():
        if day in set(days[starts]):
            continue
        # Off a rebalance day only blocked orders are retried, and targets the rebalance
        # day could not size (no previous close) are sized.
        last = days[starts[starts <= days.get_loc(day)].max()]
        earlier = ex.blocked[(ex.blocked["code"] == code) & (ex.blocked["date"] < day)]
        assert len(earlier) or unpriced.loc[last, code], (day, code, bool(split.loc[day, code]))
        retried, sized = retried + bool(len(earlier)), sized + bool(unpriced.loc[last, code])
    assert retried and sized
