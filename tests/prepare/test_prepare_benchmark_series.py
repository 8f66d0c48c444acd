"""Benchmark daily-return series cut out of the service's index table."""

import numpy as np
import pandas as pd
import pytest

from tests.support.fakes import FakeClient, installed

CODES = {"000852": "000852.XSHG", "000300": "000300.XSHG", "000905": "000905.XSHG"}


def fmt(prepare, df, name="000300"):
    builder = prepare.GroupPreparedDataBuilder("20240101", "20240131")
    return builder._format_benchmark_daily_return(df, name, CODES[name])


def index_table(**columns):
    return pd.DataFrame(columns)


class TestFormat:
    def test_each_index_gets_its_own_rows(self, prepare, small_market):
        _, index_daily = small_market
        with installed(FakeClient({}, index_daily)) as fake:
            result = prepare.GroupPreparedDataBuilder("20210101", "20210131")._read_benchmark_dict()
        assert fake.calls == [("get_index_daily", list(CODES.values()), "20210101", "20210131")]
        assert list(result) == list(CODES)
        for name, code in CODES.items():
            rows = index_daily[index_daily["ukey"] == code]
            assert result[name].name == "index_daily_return"
            assert result[name].index.tolist() == rows["date"].tolist()
            np.testing.assert_array_equal(result[name].to_numpy(), rows["daily_return"].to_numpy())

    def test_close_prices_give_relative_changes(self, prepare):
        df = index_table(ukey=["000300.XSHG"] * 3, date=["2024-01-03", "2024-01-02", "2024-01-04"],
                         close=[110.0, 100.0, 99.0])
        result = fmt(prepare, df)
        assert result.index.tolist() == ["20240103", "20240104"]
        np.testing.assert_allclose(result.to_numpy(), [0.1, -0.1])

    @pytest.mark.parametrize("columns, used", [
        ({"return": [0.1], "close": [5.0]}, 0.1),
        ({"returns": [0.2], "pct_change": [0.3]}, 0.2),
        ({"change_rate": ["0.4"]}, 0.4),
        ({"daily_return": [0.5], "return": [0.6]}, 0.5),
    ])
    def test_return_column_candidates(self, prepare, columns, used):
        result = fmt(prepare, index_table(date=["2024-01-02"], **columns))
        assert result.tolist() == [used]

    def test_non_numeric_returns_drop_their_date(self, prepare):
        df = index_table(date=["2024-01-02", "2024-01-03"], daily_return=[0.01, "x"])
        assert fmt(prepare, df).index.tolist() == ["20240102"]

    def test_dates_in_any_form(self, prepare):
        df = index_table(date=[20240102, "2024-01-03 15:00:00", "junk"],
                         daily_return=[1.0, 2.0, 3.0])
        assert fmt(prepare, df).index.tolist() == ["20240102", "20240103"]

    def test_without_ukey_every_series_is_the_same(self, prepare):
        df = index_table(DataDate=["20240102", "20240103"], daily_return=[0.01, 0.02])
        with installed(FakeClient({}, df)):
            result = prepare.GroupPreparedDataBuilder("20240101", "20240131")._read_benchmark_dict()
        pd.testing.assert_series_equal(result["000852"], result["000905"])
        assert result["000300"].tolist() == [0.01, 0.02]

    def test_an_index_without_rows_is_an_empty_series(self, prepare):
        df = index_table(ukey=["000852.XSHG"], date=["2024-01-02"], daily_return=[0.01])
        assert len(fmt(prepare, df, "000300")) == 0

    def test_later_row_of_a_date_wins_in_service_order(self, prepare, monkeypatch):
        # Two rows per date, shuffled. Dates held as plain objects are sorted by pandas'
        # default quicksort, which does reorder rows of one date here (checked below); the
        # sort is stable, so the later row of every date is the one kept.
        rng = np.random.default_rng(0)
        dates = pd.bdate_range("2020-01-01", periods=400).strftime("%Y%m%d").to_numpy()
        order = rng.permutation(len(dates))
        first = index_table(ukey="000300.XSHG", date=dates[order], daily_return=0.0)
        second = index_table(ukey="000300.XSHG", date=dates[order[::-1]], daily_return=1.0)
        df = pd.concat([first, second], ignore_index=True)
        keys = df["date"].astype(object)
        unstable = keys.sort_values().index.to_numpy()
        stable = keys.sort_values(kind="stable").index.to_numpy()
        assert (unstable != stable).any()

        normalise = prepare.series_to_yyyymmdd
        monkeypatch.setattr(prepare, "series_to_yyyymmdd",
                            lambda values: normalise(values).astype(object))
        result = fmt(prepare, df)
        assert len(result) == len(dates) and (result == 1.0).all()


class TestFailures:
    @pytest.mark.parametrize("df", [None, pd.DataFrame(), index_table(date=[], close=[])])
    def test_empty_table(self, prepare, df):
        with pytest.raises(KeyError, match=r"基准日频数据为空: 000300 \(000300\.XSHG\)"):
            fmt(prepare, df)

    def test_missing_date_column(self, prepare):
        with pytest.raises(KeyError, match="000300 基准缺少 DataDate 列"):
            fmt(prepare, index_table(close=[1.0]))

    def test_missing_return_and_close(self, prepare):
        with pytest.raises(KeyError, match="000300 基准缺少 daily_return/close 列"):
            fmt(prepare, index_table(date=["2024-01-02"], open=[1.0]))

    def test_empty_table_fails_on_the_first_benchmark(self, prepare):
        with installed(FakeClient({}, pd.DataFrame())), pytest.raises(KeyError, match="000852"):
            prepare.GroupPreparedDataBuilder("20240101", "20240131")._read_benchmark_dict()
