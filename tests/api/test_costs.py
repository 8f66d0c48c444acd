"""Trading costs that change with the date, a minimum commission per order, and sizing from
the compounding equity: against the NumPy day loop, by hand, and bit for bit where nothing
changes."""

import pickle

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import Costs, InputError, Market, backtest, sweep
from tests.support import reference
from tests.support.layouts import LAYOUTS, market_in_layout
from tests.support.markets import make_market

CHINA = Costs.china_a_share()


def public_market(m):
    return Market(**m.matrices())


def bits(series):
    return series.to_numpy().view(np.int64)


def dated(m, start):
    """The market ``m`` moved onto the business days from ``start``."""
    days = pd.bdate_range(start, periods=len(m.close_price))
    for key, frame in m.matrices().items():
        setattr(m, key, frame.set_axis(days))
    m.weights = m.weights.set_axis(days)
    return m


class TestTheModel:
    def test_schedules_are_steps_from_their_dates(self):
        # Steps in any order, as a Series or as (date, rate) pairs of any date spelling.
        steps = pd.Series([0.002, 0.001], index=pd.to_datetime(["2020-01-01", "2019-01-01"]))
        costs = Costs(stamp_duty=steps, transfer_fee=[("20200601", 0.00002),
                                                      ("2019-01-01", 0.00001)])
        days = pd.to_datetime(["2019-06-03", "2020-01-01", "2020-05-29", "2020-06-01"])
        rates = costs.rates_on(days)
        np.testing.assert_array_equal(rates["stamp_duty"], [0.001, 0.002, 0.002, 0.002])
        np.testing.assert_array_equal(rates["transfer_fee"], [1e-5, 1e-5, 1e-5, 2e-5])
        np.testing.assert_array_equal(rates["commission"], [0.0001] * 4)
        assert costs.first_day == pd.Timestamp("2019-01-01")
        assert Costs().first_day is None and not Costs().by_day and costs.by_day
        with pytest.raises(InputError, match="custom costs have no stamp_duty or transfer_fee "
                                             "rate before 2019-01-01"):
            costs.rates_on(pd.to_datetime(["2018-12-31", "2019-01-02"]))

    @pytest.mark.parametrize("kwargs, message", [
        ({"commission": -0.1}, r"commission must be a finite rate in \[0, 1\)"),
        ({"stamp_duty": float("nan")}, "stamp_duty must be a finite rate"),
        ({"stamp_duty": [("2020-01-01", 1.5)]}, "stamp_duty from 2020-01-01 must be a finite"),
        ({"transfer_fee": [("2020-01-01",)]}, r"transfer_fee: step 1 is \('2020-01-01',\)"),
        ({"transfer_fee": []}, "transfer_fee: the schedule has no steps"),
        ({"commission": [("31/12/2020", 0.001)]}, "commission schedule"),
        ({"commission": [("2020-01-01", 0.1), ("20200101", 0.2)]}, "commission schedule"),
        ({"min_commission": -5}, "min_commission must be a finite amount"),
        ({"min_commission": True}, "min_commission must be a finite amount"),
        ({"commission": "0.001"}, "commission must be a number"),
    ])
    def test_bad_rates_are_named(self, kwargs, message):
        with pytest.raises(InputError, match=message):
            Costs(**kwargs)

    def test_the_a_share_schedule_on_the_days_it_changed(self):
        days = pd.to_datetime(["2008-04-24", "2008-09-18", "2008-09-19", "2015-07-31",
                               "2015-08-03", "2022-04-28", "2022-04-29", "2023-08-25",
                               "2023-08-28", "2026-12-09"])
        rates = CHINA.rates_on(days)
        np.testing.assert_array_equal(rates["stamp_duty"], [0.001] * 8 + [0.0005] * 2)
        np.testing.assert_array_equal(rates["stamp_duty_buy"], [0.001, 0.001] + [0.0] * 8)
        np.testing.assert_array_equal(rates["transfer_fee"],
                                      [3e-5] * 4 + [2e-5] * 2 + [1e-5] * 4)
        np.testing.assert_array_equal(rates["commission"], [0.0003] * 10)
        assert CHINA.min_commission == 5.0
        assert CHINA.first_day == pd.Timestamp("2008-04-24")
        with pytest.raises(InputError, match="starts on 2008-04-23: start it on or after "
                                             "2008-04-24"):
            CHINA.rates_on(pd.to_datetime(["2008-04-23"]))

    def test_it_survives_pickling_and_compares_by_value(self):
        again = pickle.loads(pickle.dumps(CHINA))
        assert again == CHINA and hash(again) == hash(CHINA)
        assert again.parameters() == CHINA.parameters()
        assert Costs(commission=0.0003, min_commission=5.0) != CHINA
        assert repr(CHINA) == "Costs.china_a_share(commission=0.0003, min_commission=5.0)"
        assert CHINA.parameters()["stamp_duty"] == "0.1 % from 2008-04-24, 0.05 % from 2023-08-28"


class TestEachDaysRates:
    def test_the_sells_stamp_duty_halves_on_2023_08_28_and_nowhere_else(self):
        # One stock at a flat price, bought and sold on alternate days across the change.
        days = pd.bdate_range("2023-08-21", "2023-09-01")
        n = len(days)

        def col(values, dtype=float):
            return pd.DataFrame({"600000": np.asarray(values, dtype=dtype)}, index=days)

        market = Market(can_buy_stock=col([True] * n, bool), cant_sell_stock=col([False] * n, bool),
                        split_factor=col([np.nan] * n), dividend_factor=col([np.nan] * n),
                        close_price=col([10.0] * n), prev_close=col([10.0] * n),
                        buy_price=col([10.0] * n), sell_price=col([10.0] * n))
        weights = col([0.5, 0.0] * (n // 2))
        result = backtest(weights, market, capital=1e6, lot_size=100, costs=CHINA,
                          between="retarget", execution=True)
        trades = result.execution.trades
        sells = trades[trades["side"] == "sell"].set_index("date")
        rate = sells["stamp_duty"] / sells["amount"]
        changed = rate.index >= pd.Timestamp("2023-08-28")
        np.testing.assert_allclose(rate[~changed], 0.001, rtol=1e-15)
        np.testing.assert_allclose(rate[changed], 0.0005, rtol=1e-15)
        assert len(rate[~changed]) >= 2 and len(rate[changed]) >= 2
        assert (trades.loc[trades["side"] == "buy", "stamp_duty"] == 0).all()
        np.testing.assert_allclose(trades["transfer_fee"] / trades["amount"], 1e-5, rtol=1e-15)
        # The day's loss is exactly what it paid: the price never moves.
        paid = trades.groupby("date")[["commission", "stamp_duty", "transfer_fee"]].sum()
        loss = -result.returns * 1e6
        np.testing.assert_allclose(loss.reindex(paid.index), paid.sum(axis=1), rtol=1e-12)
        parts = result.execution.attribution
        np.testing.assert_allclose(parts.sum(axis=1), result.returns, rtol=1e-12, atol=1e-18)

    @pytest.mark.parametrize("layout", LAYOUTS)
    @pytest.mark.parametrize("seed", range(3))
    def test_dated_rates_and_a_minimum_against_the_day_loop(self, seed, layout):
        """A small account (1e5) where the minimum commission binds on most orders, with
        every rate changing within the run."""
        m = market_in_layout(dated(make_market(n_days=70, n_stocks=13, seed=seed),
                                   "2023-07-03"), layout)
        weights = m.weights.where(m.weights.isna(), m.weights / 3)
        costs = Costs(commission=[("2023-07-03", 0.0003), ("2023-08-01", 0.00025)],
                      min_commission=5.0, stamp_duty=[("2023-07-03", 0.001), ("2023-08-28", 0.0005)],
                      stamp_duty_buy=0.0002, transfer_fee=[("2023-01-01", 0.00001)])
        market = public_market(m)
        result = backtest(weights, market, capital=1e5, lot_size=100, costs=costs,
                          execution=True)
        days = result.returns.index
        expected, *_ = reference.scheduled_backtest(
            weights, m.matrices(), capital=1e5, lot_size=100, min_commission=5.0,
            rates=_engine_rates(costs, _simulated_days(weights, m)))
        expected = expected.set_axis(pd.DatetimeIndex(expected.index))
        np.testing.assert_allclose(result.returns, expected.reindex(days), rtol=1e-11, atol=1e-16)
        trades = result.execution.trades
        rate = np.where(trades["date"] >= pd.Timestamp("2023-08-01"), 0.00025, 0.0003)
        binding = trades["amount"] * rate < 5.0
        assert binding.mean() > 0.5
        # A sale without a previous close (a buy without a close) adds nothing to its day's
        # return: of its commission only the minimum's top-up was paid.
        at = (market.dates.get_indexer(trades["date"]),
              market.close_price.columns.get_indexer(trades["code"]))
        unpriced = np.where(trades["side"] == "sell", np.isnan(market.prev_close.to_numpy()[at]),
                            np.isnan(market.close_price.to_numpy()[at]))
        assert unpriced.any()
        full = np.maximum(trades["amount"] * rate, 5.0)
        np.testing.assert_array_equal(trades["commission"],
                                      np.where(unpriced, full - trades["amount"] * rate, full))
        assert (trades.loc[unpriced, ["stamp_duty", "transfer_fee"]] == 0).all().all()
        parts = result.execution.attribution
        np.testing.assert_allclose(parts.sum(axis=1), result.returns, rtol=1e-10, atol=1e-16)
        assert (parts["transfer_fee"] <= 0).all() and parts["transfer_fee"].lt(0).any()

    def test_a_backtest_before_the_schedules_first_day_is_refused(self):
        m = dated(make_market(n_days=30, n_stocks=5, seed=1), "2008-04-01")
        with pytest.raises(InputError, match=r"china_a_share costs have no stamp_duty or "
                                             r"stamp_duty_buy or transfer_fee rate before "
                                             r"2008-04-24, and the backtest starts on 2008-04-0"):
            backtest(m.weights, public_market(m), costs=CHINA)
        later = backtest(m.weights, public_market(m), costs=CHINA, start="2008-04-24")
        assert later.returns.index[0] >= pd.Timestamp("2008-04-24")


def _simulated_days(weights, m):
    days = pd.DatetimeIndex(m.close_price.index)
    first = int(np.searchsorted(days, weights.dropna(how="all").index[0], side="right"))
    return days[first:]


def _engine_rates(costs, days):
    names = {"commission": "commission", "stamp_duty": "stamp_sell",
             "stamp_duty_buy": "stamp_buy", "transfer_fee": "transfer"}
    return {names[k]: v for k, v in costs.rates_on(days).items()}


class TestDefaults:
    @pytest.mark.parametrize("layout", LAYOUTS)
    @pytest.mark.parametrize("seed", range(3))
    def test_every_spelling_of_todays_costs_is_todays_backtest_bit_for_bit(self, seed, layout):
        m = market_in_layout(make_market(n_days=60, n_stocks=14, seed=seed), layout)
        market = public_market(m)
        plain = backtest(m.weights, market, capital=3e6, lot_size=100)
        for kwargs in ({"fee": 0.0001, "rule_fee": 0.0005}, {"costs": Costs()},
                       # constant rates handed over day by day, and a minimum of nothing
                       {"costs": Costs(commission=[("1990-01-01", 0.0001)],
                                       transfer_fee=[("1990-01-01", 0.0)])},
                       {"sizing": "fixed", "costs": Costs(min_commission=0.0)}):
            for execution in (False, True):
                other = backtest(m.weights, market, capital=3e6, lot_size=100,
                                 execution=execution, **kwargs)
                np.testing.assert_array_equal(bits(other.returns), bits(plain.returns))
                pd.testing.assert_series_equal(other.stats, plain.stats)

    def test_fee_with_costs_is_a_type_error_and_bad_sizing_is_named(self):
        m = make_market(n_days=20, n_stocks=4)
        with pytest.raises(TypeError, match=r"not both \(got costs= and rule_fee=\)"):
            backtest(m.weights, public_market(m), costs=Costs(), rule_fee=0.001)
        with pytest.raises(InputError, match="costs must be a kestrelia Costs, got dict"):
            backtest(m.weights, public_market(m), costs={"commission": 0.1})
        with pytest.raises(InputError, match="sizing must be one of 'fixed', 'compound'"):
            backtest(m.weights, public_market(m), sizing="compounding")


class TestCompounding:
    @pytest.mark.parametrize("layout", LAYOUTS)
    @pytest.mark.parametrize("seed", range(3))
    def test_compounding_sizes_from_the_equity_as_the_day_loop_does(self, seed, layout):
        m = market_in_layout(make_market(n_days=80, n_stocks=15, seed=seed), layout)
        expected, held, *_ = reference.scheduled_backtest(
            m.weights, m.matrices(), capital=2e6, fee=0.0003, rule_fee=0.001, lot_size=100,
            compound=True)
        result = backtest(m.weights, public_market(m), capital=2e6, fee=0.0003, rule_fee=0.001,
                          lot_size=100, sizing="compound", execution=True)
        days = result.returns.index
        expected = expected.set_axis(pd.to_datetime(expected.index, format="%Y%m%d"))
        np.testing.assert_allclose(result.returns, expected.reindex(days), rtol=1e-10,
                                   atol=1e-16)
        positions = result.execution.positions.reindex(columns=m.close_price.columns,
                                                       fill_value=0.0)
        held = held.set_axis(pd.to_datetime(held.index, format="%Y%m%d")).reindex(days)
        np.testing.assert_array_equal(positions.to_numpy(), held.to_numpy())
        # The record walk returns what the compounding walk does, to the bit, and its
        # attribution sums to the compounded return.
        plain = backtest(m.weights, public_market(m), capital=2e6, fee=0.0003, rule_fee=0.001,
                         lot_size=100, sizing="compound")
        np.testing.assert_array_equal(bits(plain.returns), bits(result.returns))
        np.testing.assert_allclose(result.execution.attribution.sum(axis=1), result.returns,
                                   rtol=1e-10, atol=1e-16)
        # The total frame stays profit over the initial capital: its 1 + cumsum is the equity.
        equity = 2e6 * (1 + result.daily["daily_return"].cumsum())
        np.testing.assert_allclose(equity, 2e6 * (1 + result.returns).cumprod(), rtol=1e-9)

    @pytest.mark.slow
    def test_the_metrics_compound_the_returns_into_the_same_equity(self):
        m = make_market(n_days=120, n_stocks=15, seed=4)
        result = backtest(m.weights, public_market(m), capital=2e6, lot_size=100,
                          sizing="compound")
        r = result.returns
        equity = np.cumprod(1 + r.to_numpy())
        # The equity the metrics compound is the one the engine's frame sums: profit over
        # the initial capital, 1 + cumsum.
        np.testing.assert_allclose(equity, 1 + result.daily["daily_return"].cumsum(), rtol=1e-9)
        metrics = result.metrics
        assert metrics["total_return"] == pytest.approx(equity[-1] - 1, rel=1e-12)
        assert metrics["annual_return"] == pytest.approx(equity[-1] ** (252 / len(r)) - 1,
                                                         rel=1e-12)
        peak = np.maximum.accumulate(np.concatenate(([1.0], equity)))[1:]
        assert metrics["max_drawdown"] == pytest.approx(((equity - peak) / peak).min(),
                                                        rel=1e-12)
        assert result.drawdowns(1)["depth"].iloc[0] == pytest.approx(metrics["max_drawdown"])
        months = (1 + r).groupby([r.index.year, r.index.month]).prod() - 1
        table = result.monthly.drop(columns="Year").to_numpy().ravel()
        np.testing.assert_allclose(table[~np.isnan(table)], months.to_numpy(), rtol=1e-12)
        assert result.monthly["Year"].iloc[0] == pytest.approx(
            (1 + r[r.index.year == r.index[0].year]).prod() - 1, rel=1e-12)
        # Against a benchmark, both annual returns compound, and the excess is their gap.
        bench = pd.Series(np.random.default_rng(1).normal(0, 0.01, len(m.close_price)),
                          index=m.close_price.index)
        against = backtest(m.weights, Market(**m.matrices(), benchmarks={"000852": bench}),
                           capital=2e6, lot_size=100, sizing="compound").metrics
        b = bench.set_axis(pd.to_datetime(bench.index, format="%Y%m%d")).reindex(r.index)
        b_annual = np.prod(1 + b.to_numpy()) ** (252 / len(b)) - 1
        assert against["benchmark_annual_return"] == pytest.approx(b_annual, rel=1e-12)
        assert against["excess_annual_return"] == pytest.approx(
            against["annual_return"] - b_annual, rel=1e-12)
        page = result.report_html()
        assert "cumulative product of (1 + daily return)" in page
        assert "not compounded" not in page and "Total compounds the year" in page
        assert "<td>sizing</td><td class=text>compound</td>" in page
        # A fixed-capital run keeps the sums.
        fixed = backtest(m.weights, public_market(m), capital=2e6, lot_size=100)
        assert fixed.metrics["total_return"] == pytest.approx(fixed.returns.sum(), rel=1e-12)

    @pytest.mark.slow
    def test_a_ruined_account_stops_sizing(self):
        m = make_market(n_days=40, n_stocks=6, seed=2)
        # Ten times leveraged into a market that halves on day 10.
        crash = np.ones(len(m.close_price))
        crash[10:] = 0.5
        for key in ("close_price", "buy_price", "sell_price"):
            setattr(m, key, m.close_price.mul(crash, axis=0) if key == "close_price"
                    else getattr(m, key).mul(crash, axis=0))
        m.prev_close = m.close_price.shift(1)
        weights = m.weights.notna() * 10.0 / m.weights.shape[1]
        result = backtest(weights, public_market(m), capital=1e6, lot_size=100,
                          sizing="compound", execution=True)
        ruined = result.ruined_on
        assert ruined is not None
        after = result.returns.index >= ruined
        assert result.returns[after].isna().all() and result.returns[~after].notna().all()
        # From then on the targets are zero: what could be sold was sold on that day.
        positions = result.execution.positions
        held_after = positions[positions.index > ruined]
        assert (held_after.to_numpy() == 0).mean() > 0.9
        assert f"not positive from {ruined.date()} on" in result.report_html()


class TestSweepAndCommandLine:
    def test_a_sweep_takes_the_cost_model_and_the_sizing(self):
        m = dated(make_market(n_days=40, n_stocks=8, seed=3), "2023-08-01")
        market = public_market(m)
        swept = sweep({"a": m.weights}, market, costs=CHINA, sizing="compound", capital=1e6,
                      progress=False)
        alone = backtest(m.weights, market, costs=CHINA, sizing="compound", capital=1e6)
        np.testing.assert_array_equal(bits(swept.returns["a"]), bits(alone.returns))
        with pytest.raises(TypeError, match="not both"):
            sweep({"a": m.weights}, market, costs=CHINA, fee=0.001, progress=False)
        with pytest.raises(InputError, match="sizing must be one of"):
            sweep({"a": m.weights}, market, sizing="x", progress=False)

    @pytest.mark.parametrize("argv, expected", [
        ([], {"fee": 0.0001, "rule_fee": 0.0005, "sizing": "fixed"}),
        (["--fee", "0.0003", "--sizing", "compound"],
         {"fee": 0.0003, "rule_fee": 0.0005, "sizing": "compound"}),
        (["--min-commission", "5"],
         {"costs": Costs(min_commission=5.0), "sizing": "fixed"}),
        (["--costs", "china"], {"costs": CHINA, "sizing": "fixed"}),
        (["--costs", "china", "--fee", "0.0002", "--min-commission", "0"],
         {"costs": Costs.china_a_share(commission=0.0002, min_commission=0.0),
          "sizing": "fixed"}),
    ])
    def test_the_command_lines_cost_options(self, argv, expected):
        from kestrelia.backtest.app.cli import build_parser
        from kestrelia.backtest.app.cost_options import cost_arguments

        args = build_parser().parse_args(["run", "--store", "s", "--weights", "w", *argv])
        assert cost_arguments(args) == expected

    def test_rule_fee_with_the_preset_is_refused(self):
        from kestrelia.backtest.app.cli import main

        assert main(["run", "--store", "nowhere", "--weights", "w.csv", "--costs", "china",
                     "--rule-fee", "0.001"]) == 1


@pytest.mark.parametrize("between", ["hold", "retarget"])
@pytest.mark.parametrize("seed", range(3))
def test_compounding_walks_agree_bit_for_bit_whatever_the_layout(seed, between):
    """The tiled walk over column-major inputs (stocks left out while idle, packed lane by
    lane) against the day-outer walk over row-major ones, on weekly rows of a market where
    most stocks are idle most of the time."""
    from kestrelia.backtest import _engine, _plan

    m = make_market(n_days=90, n_stocks=41, seed=seed, weight_density=0.1)
    days = pd.DatetimeIndex(pd.to_datetime(m.close_price.index, format="%Y%m%d"))
    weekly = pd.DataFrame(m.weights.to_numpy(), index=days,
                          columns=m.weights.columns).resample("W-FRI").last()
    market = public_market(m)
    out = {}
    for order in "FC":
        rows = pd.DataFrame(np.asarray(weekly.to_numpy(), order=order), index=weekly.index,
                            columns=weekly.columns)
        plan = _plan.make_plan(rows, market, between=between, rolling_window=0, start=None,
                               end=None)
        arrays = [np.asarray(a.to_numpy(), order=order) for a in market.matrices().values()]
        options = _engine.Options(capital=1e6, lot_size=100.0, compound=True,
                                  min_commission=5.0)
        out[order] = _engine.run(plan, arrays, {}, options)
    for key in ("daily_return", "cash", "money", "traded", "held"):
        np.testing.assert_array_equal(bits(out["F"][key]), bits(out["C"][key]), err_msg=key)
    assert out["F"]["money"].nunique() > 10
