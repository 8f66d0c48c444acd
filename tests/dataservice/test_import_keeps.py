"""What the import keeps: locked limit days stay locked through a VWAP that rounding moved off
the limit, every column read becomes a factor, and the index tables have names and date
forms of their own."""

from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

from kestrelia import singleton
from kestrelia.backtest import Store
from kestrelia.dataservice import LocalFactorService, import_daily_bars
from kestrelia.errors import InputError


def wide(service, name):
    table = service.get_factors(name)
    table = table.assign(code=table["ukey"].str[:6], day=table["date"].dt.strftime("%Y%m%d"))
    return table.pivot(index="day", columns="code", values="value")


def limit(close, rate):
    """The limit price of a previous close, in exact decimals rounded half up to the fen."""
    exact = Decimal(repr(close)) * (100 + rate) / 100
    return float(exact.quantize(Decimal("0.01"), "ROUND_HALF_UP"))


@pytest.fixture
def no_service():
    previous = singleton.set_instance(None)
    yield
    singleton.set_instance(previous)


def test_locked_days_stay_blocked_when_amount_over_volume_misses_the_limit(tmp_path, no_service):
    """Days locked at a limit trade every share at the limit price, so the amount is
    exactly limit x volume; in the usual units (lots of 100 shares, thousands of yuan) the
    derived VWAP still comes out a hair off the limit on a third of them, and the store
    compares prices with limits exactly."""
    rng = np.random.default_rng(3)
    days = pd.bdate_range("2024-01-02", periods=40).strftime("%Y%m%d")
    codes = [f"{600000 + j:06d}" for j in range(30)]
    rows, locked_up, locked_down, inexact = [], set(), set(), 0
    for code in codes:
        close = round(float(rng.uniform(5, 40)), 2)
        for k, day in enumerate(days):
            up, down = limit(close, 10), limit(close, -10)
            lots = int(rng.integers(1, 5000))
            roll = rng.random() if k else 0.5
            if roll < 0.15 or roll > 0.85:
                price = up if roll < 0.15 else down
                (locked_up if roll < 0.15 else locked_down).add((day, code))
                amount = float(Decimal(repr(price)) * lots * 100 / 1000)
                inexact += amount / lots * 10 != price
            else:
                price = round(min(max(close * (1 + rng.normal(0, 0.02)), down + 0.02),
                                  up - 0.02), 2)
                amount = round(price * lots * 100 * (1 + rng.normal(0, 0.001)) / 1000, 3)
            row = dict(open=price, high=price, low=price, close=price, volume=float(lots))
            rows.append({"date": day, "code": code, **row, "amount": amount})
            close = price
    assert inexact > 50  # what the import has to put right
    pd.DataFrame(rows).to_parquet(tmp_path / "bars.parquet")
    summary = import_daily_bars(tmp_path / "bars.parquet", tmp_path / "market")
    derived = summary["derived"]
    assert derived["buy price"] == derived["sell price"] == "vwap" and derived["vwap scale"] == 10
    assert derived["buy vwap set to the limit price"] == inexact
    Store(tmp_path / "store").build(tmp_path / "market", days[0], days[-1])
    market = Store(tmp_path / "store").market()
    can_buy = market.can_buy_stock.set_axis(list(days)).to_numpy()
    cant_sell = market.cant_sell_stock.set_axis(list(days)).to_numpy()
    position = {(day, code): (i, j) for i, day in enumerate(days) for j, code in enumerate(codes)}
    assert not any(can_buy[position[cell]] for cell in locked_up)
    assert all(cant_sell[position[cell]] for cell in locked_down)
    # Every other day stays tradable: only prices at the limit were moved onto it.
    free = np.ones(can_buy.shape, dtype=bool)
    for cell in locked_up | locked_down:
        free[position[cell]] = False
    assert can_buy[free].all() and not cant_sell[free].any()


def test_a_vwap_near_but_not_at_the_limit_is_kept(tmp_path):
    rows = [{"date": "20240102", "code": "600000", "open": 10.0, "close": 10.0,
             "volume": 100.0, "amount": 1000.0},
            # 10.99 is a fen under the limit of 11.00: a price, not a rounding error.
            {"date": "20240103", "code": "600000", "open": 11.0, "close": 11.0,
             "volume": 100.0, "amount": 1099.0}]
    pd.DataFrame(rows).to_parquet(tmp_path / "bars.parquet")
    summary = import_daily_bars(tmp_path / "bars.parquet", tmp_path / "market")
    buy = wide(LocalFactorService(tmp_path / "market"), "tick_vwap_price_935_1005")
    assert buy["600000"].tolist() == [10.0, 10.99]
    assert summary["derived"]["buy vwap set to the limit price"] == 0


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("kept")
    rng = np.random.default_rng(8)
    days = pd.bdate_range("2024-03-01", periods=12).strftime("%Y%m%d")
    rows = []
    for code, first in (("600000", 0), ("000002", 0), ("688001", 5)):
        for k, day in enumerate(days[first:], start=first):
            if code == "000002" and k == 7:
                continue  # a missing row: a suspended day, still a day of its life
            price = round(float(rng.uniform(8, 12)), 2)
            volume = float(rng.integers(1, 100) * 100)
            rows.append({"date": day, "code": f"{code}.{'SH' if code[0] == '6' else 'SZ'}",
                         "open": price, "close": price, "high": price + 0.1,
                         "low": price - 0.1, "pre_close": price, "adj_factor": 1.5,
                         "volume": volume, "amount": price * volume,
                         "market_value": price * 1e9, "float_market_value": price * 4e8,
                         "is_st": "ST" if code == "000002" and k > 3 else "",
                         "pe": float(rng.normal(20, 5)), "turnover": float(rng.random())})
    table = pd.DataFrame(rows)
    table.to_parquet(root / "bars.parquet")
    summary = import_daily_bars(root / "bars.parquet", root / "market")
    return LocalFactorService(root / "market"), summary, table


class TestEveryColumnIsKept:
    @pytest.mark.parametrize("column", ["volume", "amount", "market_value", "float_market_value",
                                        "high", "low", "pre_close", "adj_factor", "pe",
                                        "turnover"])
    def test_a_numeric_column_is_the_factor_of_its_name(self, folder, column):
        service, summary, table = folder
        expected = table.assign(code=table["code"].str[:6]).pivot(
            index="date", columns="code", values=column)
        pd.testing.assert_frame_equal(wide(service, column), expected, check_names=False)
        assert column in summary["written"]["factors"]

    def test_the_st_flag_and_the_days_since_listing(self, folder):
        service, summary, _ = folder
        st = wide(service, "is_st")
        # Flagged from its fifth day; the missing row of day 7 has no flag either way.
        assert st["000002"].fillna(-1).tolist() == [0.0] * 4 + [1.0] * 3 + [-1] + [1.0] * 4
        assert st["600000"].eq(0).all()
        listed = wide(service, "listed_days")
        assert listed["600000"].tolist() == list(range(1, 13))
        # Counted over the missing row too, and from the first row of a later listing.
        assert listed["000002"].tolist() == list(range(1, 13))
        assert listed["688001"].dropna().tolist() == list(range(1, 8))
        assert listed["688001"].isna().sum() == 5
        assert {"is_st", "listed_days", "Close"} <= set(summary["written"]["factors"])


class TestIndexTables:
    @pytest.fixture
    def tables(self, tmp_path):
        days = pd.bdate_range("2024-01-02", periods=6)
        bars = pd.DataFrame([{"dt": d.strftime("%Y%m%d"), "code": c, "open": 10.0, "close": 10.0}
                             for d in days for c in ("600000", "000001")])
        bars.to_csv(tmp_path / "bars.csv", index=False)
        indexes = pd.DataFrame([{"trade_date": d.strftime("%d/%m/%Y"), "ts_code": code,
                                 "close": 100.0 + k} for k, d in enumerate(days)
                                for code in ("000300.SH", "000905.SH", "000852.SH",
                                             "000001.SH")])
        indexes.to_csv(tmp_path / "index.csv", index=False)
        members = pd.DataFrame([{"trade_date": d.strftime("%d/%m/%Y"), "ts_code": "000001.SH",
                                 "code": "600000"} for d in days])
        members.to_csv(tmp_path / "members.csv", index=False)
        return tmp_path

    def test_the_index_tables_get_their_own_names_and_date_form(self, tables):
        summary = import_daily_bars(
            tables / "bars.csv", tables / "market", columns="date=dt",
            index_bars=tables / "index.csv", index_members=tables / "members.csv",
            index_columns="date=trade_date,index_code=ts_code", index_date_format="%d/%m/%Y")
        assert summary["rows_rejected"] == 0
        written = summary["written"]
        assert written["benchmarks"] == ["000852", "000300", "000905", "000001"]
        assert written["components"] == ["000001"]
        assert "rq_index_components_new_000001.XSHG" in written["factors"]
        daily = LocalFactorService(tables / "market").get_index_daily(["000001.XSHG"])
        assert daily["close"].tolist() == [100.0, 101.0, 102.0, 103.0, 104.0, 105.0]

    def test_the_daily_bars_names_no_longer_rename_the_index_tables(self, tables):
        with pytest.raises(InputError, match=r"index bars .* lacks the column 'date'.*"
                                             r"--index-columns date=NAME"):
            import_daily_bars(tables / "bars.csv", tables / "market", columns="date=dt",
                              index_bars=tables / "index.csv")
        with pytest.raises(InputError, match=r"'index_code' is not an input column \(it is a "
                                             r"column of the other tables: map it with "
                                             r"--index-columns"):
            import_daily_bars(tables / "bars.csv", tables / "market",
                              columns="date=dt,index_code=ts_code")

    def test_without_index_date_format_the_index_dates_are_refused_and_counted(self, tables):
        summary = import_daily_bars(
            tables / "bars.csv", tables / "market", columns="date=dt",
            index_bars=tables / "index.csv", index_columns="date=trade_date,index_code=ts_code",
            date_format="%Y%m%d")
        assert summary["rejected"]["index bars: unreadable or missing date"]["rows"] == 24
        # The builder's benchmarks are still there, without a day, so a store still builds.
        assert summary["written"]["benchmarks"] == ["000852", "000300", "000905"]
