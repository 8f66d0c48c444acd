"""Each derivation rule of the import on hand-built rows: price limits by board, date, ST
and listing days, splits and dividends (given, from pre_close, from adj_factor), suspensions,
trade prices, and a store built from the nine basic columns alone."""

from decimal import ROUND_HALF_UP, Decimal
from typing import ClassVar

import numpy as np
import pandas as pd
import pytest

from kestrelia import singleton
from kestrelia.backtest import Store
from kestrelia.dataservice import LocalFactorService, import_daily_bars
from kestrelia.dataservice.bars import rules


def write(tmp_path, rows, name="bars.parquet"):
    tmp_path.mkdir(parents=True, exist_ok=True)
    path = tmp_path / name
    pd.DataFrame(rows).to_parquet(path, index=False)
    return path


def imported(tmp_path, rows, **options):
    summary = import_daily_bars(write(tmp_path, rows), tmp_path / "out", **options)
    return LocalFactorService(tmp_path / "out"), summary


def wide(service, name):
    table = service.get_factors(name)
    if table.empty:
        return pd.DataFrame()
    table = table.assign(code=table["ukey"].str[:6], day=table["date"].dt.strftime("%Y%m%d"))
    return table.pivot(index="day", columns="code", values="value")


def bar(date, code, close, **more):
    row = {"date": date, "code": code, "open": close, "close": close}
    row.update(more)
    return row


def half_up(value, rate):
    fen = Decimal(str(value)) * 100
    fen = int(fen.to_integral_value(ROUND_HALF_UP))
    return float((Decimal(fen) * (100 + rate) / 10000).quantize(Decimal("0.01"), ROUND_HALF_UP))


class TestLimits:
    CODES: ClassVar[dict[str, int | None]] = {"600000": 10, "300001": None, "688001": 20, "830001": 30, "000002": None}

    @pytest.fixture
    def limits(self, tmp_path):
        rows = []
        for day in ("20200820", "20200821", "20200824"):
            for code in self.CODES:
                st = 1 if code == "000002" else 0
                rows.append(bar(day, code, 10.05, pre_close=10.05, is_st=st))
        service, summary = imported(tmp_path, rows)
        return wide(service, "limit_up"), wide(service, "limit_down"), summary

    def test_board_rates_before_and_after_the_chinext_reform_rounded_half_up(self, limits):
        up, down, summary = limits
        expected = {  # code -> (rate before 2020-08-24, rate from then on)
            "600000": (10, 10), "300001": (10, 20), "688001": (20, 20), "830001": (30, 30),
            "000002": (5, 5)}
        for code, (before, after) in expected.items():
            for day, rate in (("20200821", before), ("20200824", after)):
                assert up.loc[day, code] == half_up(10.05, rate), (code, day)
                assert down.loc[day, code] == half_up(10.05, -rate), (code, day)
        # 10.05 x 1.1 = 11.055 and 10.05 x 0.7 = 7.035 round half up, not to even.
        assert up.loc["20200821", "600000"] == 11.06 and down.loc["20200824", "830001"] == 7.04
        assert summary["derived"]["limits"].startswith("from the board")

    def test_whole_fen_arithmetic_matches_decimal_on_random_prices(self):
        rng = np.random.default_rng(5)
        reference = np.round(rng.uniform(0.5, 400, 2000), 2)
        rates = rng.choice([5, 10, 20, 30], 2000)
        up, down = rules.limit_prices(reference, rates)
        for i in range(2000):
            assert up[i] == half_up(reference[i], rates[i])
            assert down[i] == half_up(reference[i], -rates[i])

    def test_no_limit_on_a_listings_first_days(self, tmp_path):
        days = pd.bdate_range("2023-06-01", periods=8).strftime("%Y%m%d")
        rows = [bar(d, "600010", 10.0) for d in days]  # listed before the table: always limited
        rows += [bar(d, "688123", 20.0) for d in days[1:]]  # STAR: five free days
        rows += [bar(d, "603999", 30.0) for d in days[1:]]  # main board after 2023-04-10: five
        service, summary = imported(tmp_path, rows)
        up = wide(service, "limit_up")
        assert up["600010"].loc[days[1]:].notna().all()
        for code in ("688123", "603999"):
            limited = up[code].loc[days[1]:].notna().to_numpy()
            assert limited.tolist() == [False] * 5 + [True] * 2, code
        assert summary["derived"]["no limit (listing days)"] == 5 + 5
        old = pd.bdate_range("2021-06-01", periods=3).strftime("%Y%m%d")
        rows = [bar(d, "600011", 10.0) for d in old] + [bar(d, "601999", 5.0) for d in old[1:]]
        service, summary = imported(tmp_path / "old", rows)
        up = wide(service, "limit_up")
        assert up["601999"].loc[old[1]:].notna().tolist() == [False, True]  # one free day before
        assert summary["derived"]["no limit (listing days)"] == 1

    def test_rules_of_the_board_helpers(self):
        assert [rules.board(c) for c in ("688001", "300750", "920001", "430001", "600000",
                                         "000001", "900901")] == \
            ["star", "chinext", "beijing", "beijing", "main", "main", "main"]
        st = np.array([[1, 1, 1]])
        before = rules.limit_rates(["600000", "300001", "688001"], np.array([18497]), st)
        after = rules.limit_rates(["600000", "300001", "688001"], np.array([18498]), st)
        assert before.tolist() == [[5, 5, 20]] and after.tolist() == [[5, 20, 20]]


class TestSplitsAndDividends:
    def test_given_columns_per_share_become_per_ten_shares_exactly(self, tmp_path):
        rows = [bar("20240102", "600000", 10.0), bar("20240103", "600000", 6.6, split_ratio=1.5),
                bar("20240104", "600000", 6.5, dividend=0.137),
                bar("20240105", "600000", 6.4, suspended=1, dividend=0.1),
                bar("20240108", "600000", 6.4, suspended=1, split_ratio=2.0),
                bar("20240109", "600000", 3.2)]
        service, summary = imported(tmp_path, rows)
        split, dividend = wide(service, "split_coefficient_to"), wide(service, "rq_get_dividend")
        assert split["600000"].dropna().to_dict() == {"20240103": 15.0, "20240109": 20.0}
        # Events of suspended days move to the next traded day; a dividend paid before a
        # later split is a payment per share held after both (0.1 / 2 per share).
        assert dividend["600000"].dropna().to_dict() == {"20240104": 1.37, "20240109": 0.5}
        assert summary["derived"]["events moved to next trading day"] == 2

    def test_from_pre_close_against_the_previous_close(self, tmp_path):
        rows = [bar("20240102", "600000", 10.0), bar("20240103", "600000", 6.8, pre_close=6.6),
                bar("20240104", "600000", 6.5, pre_close=6.8),
                bar("20240105", "600000", 6.3, pre_close=6.3), bar("20240108", "600000", 6.3,
                                                                   pre_close=6.3)]
        rows[3]["pre_close"] = 6.3  # a 0.2 cash dividend: 6.5 -> 6.3
        service, summary = imported(tmp_path, rows)
        split, dividend = wide(service, "split_coefficient_to"), wide(service, "rq_get_dividend")
        assert split["600000"].dropna().to_dict() == {"20240103": 15.0}
        assert dividend["600000"].dropna().round(6).to_dict() == {
            "20240103": round((10 / 1.5 - 6.6) * 10, 6), "20240105": 2.0}
        assert summary["derived"]["splits and dividends"].startswith("from pre_close")

    def test_from_adj_factor_changes(self, tmp_path):
        rows = [bar("20240102", "600000", 10.0, adj_factor=1.0),
                bar("20240103", "600000", 5.1, adj_factor=2.0),  # 2-for-1
                bar("20240104", "600000", 5.0, adj_factor=2.06),  # 3 % cash
                bar("20240105", "600000", 5.0, adj_factor=2.06, pre_close=4.9)]  # no change
        service, _ = imported(tmp_path, rows)
        assert wide(service, "split_coefficient_to")["600000"].dropna().to_dict() == {
            "20240103": 20.0}
        dividend = wide(service, "rq_get_dividend")["600000"].dropna()
        assert list(dividend.index) == ["20240104"]
        assert dividend.iloc[0] == pytest.approx((5.1 - 5.1 / 1.03) * 10, abs=1e-6)

    @pytest.mark.parametrize("prev, pre, ratio, cash", [
        (10.00, 9.09, 1.1, None),        # 10 bonus shares per 100
        (10.02, 9.11, 1.1, None),        # rounding of pre_close puts q just below 1.1
        (10.00, 9.80, None, 0.2),        # cash only
        (10.00, 4.90, 2.0, 0.1),         # split and cash
        (10.00, 10.004, None, None),     # under half a fen: rounding, no event
    ])
    def test_share_ratio_and_cash_approximation(self, prev, pre, ratio, cash):
        r, d = rules.infer_events(np.array([[prev]]), np.array([[pre]]), None)
        assert (np.isnan(r[0, 0]) if ratio is None else r[0, 0] == pytest.approx(ratio))
        assert (np.isnan(d[0, 0]) if cash is None else d[0, 0] == pytest.approx(cash, abs=1e-9))


class TestSuspension:
    def test_flag_zero_volume_missing_price_and_missing_rows(self, tmp_path):
        days = pd.bdate_range("2024-03-04", periods=7).strftime("%Y%m%d")
        rows = [bar(d, "600000", 10.0, volume=100.0, amount=1000.0) for d in days]
        rows[1]["suspended"] = 1
        rows[2]["volume"] = 0.0
        rows[3]["close"] = None
        del rows[4]  # a missing day inside the stock's life
        rows += [bar(d, "000001", 5.0, volume=10.0, amount=50.0) for d in days[2:5]]
        service, summary = imported(tmp_path, rows)
        flag = wide(service, "rq_is_suspended")
        assert flag["600000"].tolist() == [1, 0, 0, 0, 0, 1, 1]
        # Before its first and after its last row a stock is not listed: no flag at all.
        assert flag["000001"].isna().tolist() == [True, True, False, False, False, True, True]
        close = wide(service, "Close").reindex(days)
        assert close["600000"].isna().tolist() == [False, True, True, True, True, False, False]
        derived = summary["derived"]
        assert (derived["suspended flag"], derived["zero volume"], derived["missing price"],
                derived["missing row"]) == (1, 1, 1, 1)


class TestPrices:
    def test_vwap_by_default_scaled_to_the_price_unit_else_open(self, tmp_path):
        # Volume in lots of 100 shares, amount in thousands of yuan: amount / volume is the
        # price times 10.
        rows = [bar("20240102", "600000", 10.0, open=9.9, volume=50.0, amount=50 * 10.05 * 10),
                bar("20240103", "600000", 10.2, open=10.0, volume=20.0, amount=20 * 10.1 * 10)]
        service, summary = imported(tmp_path, rows)
        buy = wide(service, "tick_vwap_price_935_1005")["600000"]
        assert buy.tolist() == pytest.approx([10.05, 10.1])
        assert summary["derived"]["vwap scale"] == 0.1
        service, summary = imported(tmp_path / "b", [bar("20240102", "600000", 10.0, open=9.9)])
        assert wide(service, "tick_vwap_price_925_1000")["600000"].tolist() == [9.9]
        assert summary["derived"]["buy price"] == "open"

    def test_a_chosen_column_or_the_close(self, tmp_path):
        rows = [bar("20240102", "600000", 10.0, open=9.9, twap=9.95)]
        service, _ = imported(tmp_path, rows, buy_price="twap", sell_price="close")
        assert wide(service, "tick_vwap_price_935_1005")["600000"].tolist() == [9.95]
        assert wide(service, "tick_vwap_price_925_1000")["600000"].tolist() == [10.0]
        assert wide(service, "twap")["600000"].tolist() == [9.95]  # kept as a factor too


def test_nine_basic_columns_build_a_store_with_locked_limit_days(tmp_path):
    previous = singleton.set_instance(None)
    try:
        days = pd.bdate_range("2024-01-02", periods=30).strftime("%Y%m%d")
        rng = np.random.default_rng(9)
        rows = []
        for code in ("600000", "000001", "300750", "688111"):
            price = 10.0
            for k, day in enumerate(days):
                pre = price
                price = round(pre * (1 + rng.normal(0, 0.01)), 2)
                if code == "600000" and k == 10:
                    price = round(pre * 1.1 + 1e-9, 2)  # at the limit all day
                rows.append({"date": day, "code": code, "open": price, "high": price,
                             "low": price, "close": price, "pre_close": pre,
                             "volume": 1e5, "amount": 1e5 * price})
        imported(tmp_path, rows)
        Store(tmp_path / "store").build(tmp_path / "out", days[0], days[-1])
        market = Store(tmp_path / "store").market()
        components = Store(tmp_path / "store").components()
    finally:
        singleton.set_instance(previous)
    can_buy = market.can_buy_stock
    assert can_buy.shape == (30, 4)
    expected = pd.DataFrame(True, index=can_buy.index, columns=can_buy.columns)
    expected.loc[days[10], "600000"] = False
    pd.testing.assert_frame_equal(can_buy, expected, check_names=False)
    assert not market.cant_sell_stock.any().any()
    assert market.benchmarks["000852"].empty
    assert all(m.isna().all().all() for m in components.values())
