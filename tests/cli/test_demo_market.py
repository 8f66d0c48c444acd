"""The demo market: deterministic, and the market rules it claims to model hold."""

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest.app import demo_market
from kestrelia.backtest.app.demo_market import COMPONENT_BANDS, SOURCE_FACTORS, generate_market


@pytest.fixture(scope="module")
def market():
    return generate_market(n_stocks=200, years=1.5, seed=3)


def test_same_seed_same_market_and_other_seed_other_market(market):
    again = generate_market(n_stocks=200, years=1.5, seed=3)
    for name, frame in market.factors.items():
        pd.testing.assert_frame_equal(frame, again.factors[name])
    pd.testing.assert_frame_equal(market.index_daily, again.index_daily)
    other = generate_market(n_stocks=200, years=1.5, seed=4)
    assert not market.factors["Close"].equals(other.factors["Close"])


def test_calendar_has_no_weekends_and_closes_for_holidays(market):
    dates = market.dates
    assert (dates.day_of_week < 5).all() and dates.is_monotonic_increasing
    assert not any((d.month, d.day) in {(10, 1), (10, 2), (10, 3), (5, 1), (1, 1)} for d in dates)
    gaps = np.diff(dates.values).astype("timedelta64[D]").astype(int)
    assert gaps.max() >= 7  # at least one holiday week


def test_codes_boards_and_factor_set(market):
    codes = market.codes
    assert all(len(c) == 6 and c.isdigit() for c in codes) and codes.is_unique
    prefixes = {c[:3] for c in codes}
    assert {"688", "300"} & prefixes and {"600", "601", "603", "605"} & prefixes
    limits = market.board_limit
    assert (limits[[c for c in codes if c[:3] in ("300", "301", "688")]] == 0.20).all()
    assert (limits[[c for c in codes if c[:3] in ("600", "000", "002")]] == 0.10).all()
    assert list(market.factors) == [*SOURCE_FACTORS, *COMPONENT_BANDS, "volume", "amount",
                                     "market_value", "float_market_value", "is_st",
                                     "listed_days"]


def test_trading_factors_agree_with_the_prices_and_the_lives(market):
    f = market.factors
    traded = f["Close"].notna()
    assert f["volume"].notna().equals(traded) and np.nanmin(f["volume"].to_numpy()) > 0
    np.testing.assert_allclose(f["amount"] / f["volume"], f["tick_vwap_price_935_1005"],
                               rtol=1e-6)
    alive = market.truth["alive"]
    lives = np.flatnonzero(alive.any().to_numpy())
    first = alive.to_numpy()[:, lives].argmax(axis=0)
    assert (f["listed_days"].to_numpy()[first, lives] == 1).all()
    assert f["is_st"].notna().equals(alive) and f["is_st"].eq(1).any().any()
    ratio = (f["market_value"] / f["float_market_value"]).to_numpy()
    assert np.nanmin(ratio) > 1.1 and np.nanmax(ratio) < 3.4


def test_locked_limit_days_block_trades(market):
    f, truth = market.factors, market.truth
    up, down = truth["locked_up"], truth["locked_down"]
    assert up.to_numpy().sum() > 0 and down.to_numpy().sum() > 0
    buy, sell = f["tick_vwap_price_935_1005"], f["tick_vwap_price_925_1000"]
    assert (buy[up] == f["limit_up"][up]).sum().sum() == up.to_numpy().sum()
    assert (sell[down] == f["limit_down"][down]).sum().sum() == down.to_numpy().sum()
    # Every traded price stays within the day's limits.
    for name in ("Close", "Open", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"):
        p = f[name].to_numpy()
        ok = np.isfinite(p)
        assert (p[ok] <= f["limit_up"].to_numpy()[ok] + 1e-9).all()
        assert (p[ok] >= f["limit_down"].to_numpy()[ok] - 1e-9).all()


def test_suspended_days_have_no_prices(market):
    f, truth = market.factors, market.truth
    suspended, alive = truth["suspended"].to_numpy(), truth["alive"].to_numpy()
    assert suspended.sum() > 0
    for name in ("Close", "Open", "tick_vwap_price_935_1005", "limit_up"):
        assert np.isnan(f[name].to_numpy()[suspended]).all()
    flag = f["rq_is_suspended"].to_numpy()
    assert (flag[suspended] == 0).all() and (flag[alive & ~suspended] == 1).all()
    assert np.isnan(flag[~alive]).all() and np.isnan(f["Close"].to_numpy()[~alive]).all()


def test_splits_and_dividends_adjust_prices(market):
    f = market.factors
    close = f["Close"].ffill()
    ratio = f["split_coefficient_to"] / 10.0
    events = ratio.stack().dropna()
    assert len(events) > 0 and events.isin([1.2, 1.5, 2.0]).all()
    for (date, code), r in events.items():
        i = market.dates.get_loc(date)
        previous = close[code].iloc[i - 1]
        base = previous / r
        limit = market.board_limit[code]
        # The day's limits are set from the split-adjusted previous close.
        assert f["limit_up"].at[date, code] == pytest.approx(round(base * (1 + limit), 2))
    dividends = f["rq_get_dividend"].stack().dropna()
    assert len(dividends) > 0 and (dividends > 0).all()


def test_index_components_and_benchmarks(market):
    masks = {name: f.notna().to_numpy() for name, f in market.components.items()}
    big = masks["rq_index_components_new_000300.XSHG"]
    mid = masks["rq_index_components_new_000905.XSHG"]
    small = masks["rq_index_components_new_000852.XSHG"]
    assert not (big & mid).any() and not (mid & small).any() and big.sum(axis=1).max() > 0
    daily = market.index_daily
    assert set(daily["ukey"]) == set(demo_market.BENCHMARKS)
    one = daily[daily["ukey"] == "000852.XSHG"]
    np.testing.assert_allclose(one["close"].to_numpy()[1:] / one["close"].to_numpy()[:-1] - 1,
                               one["daily_return"].to_numpy()[1:], atol=1e-6)


def test_bad_sizes_are_refused():
    with pytest.raises(ValueError, match="at least 50 stocks"):
        generate_market(n_stocks=10)
    with pytest.raises(ValueError, match="years must be positive"):
        generate_market(years=0)


def test_built_data_blocks_trades_on_limit_and_suspended_days(market, tmp_path):
    """Through the data service and the builder: the tradability masks of the prepared
    data follow the market's locked and suspended days."""
    from kestrelia import singleton
    from kestrelia.backtest import _prepare
    from kestrelia.dataservice import LocalFactorService, write_factor_folder

    write_factor_folder(tmp_path / "m", market.factors, market.index_daily)
    previous = singleton.set_instance(LocalFactorService(tmp_path / "m"))
    try:
        dates = market.dates.strftime("%Y%m%d")
        data = _prepare.GroupPreparedDataBuilder(dates[0], dates[-1]).build()["data"]
    finally:
        singleton.set_instance(previous)
    index = pd.Index(dates, dtype="str")
    truth = {k: v.set_axis(index, axis=0) for k, v in market.truth.items()}
    shape = {"index": index, "columns": truth["alive"].columns}
    can_buy = data["can_buy_stock"].reindex(**shape, fill_value=False)
    cant_sell = data["cant_sell_stock"].reindex(**shape, fill_value=True)
    assert not (can_buy & truth["locked_up"]).to_numpy().any()
    assert not (can_buy & truth["suspended"]).to_numpy().any()
    assert (cant_sell | ~truth["locked_down"]).to_numpy().all()
    assert (cant_sell | ~truth["suspended"]).to_numpy().all()
    normal = truth["alive"] & ~truth["suspended"] & ~truth["locked_up"]
    assert can_buy[normal].sum().sum() / normal.to_numpy().sum() > 0.99
