"""The local Parquet data service and the writer of its folders."""

import re

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

from kestrelia import dataservice, singleton
from kestrelia.dataservice import LocalFactorService, exchange_ukey, write_factor_folder

DATES = ["20240102", "20240103", "20240104", "20240105"]


def wide(offset=0.0):
    values = np.arange(12, dtype=float).reshape(4, 3) + offset
    values[1, 1] = np.nan
    return pd.DataFrame(values, index=DATES, columns=["600000", "000001", "300750"])


def index_rows():
    return pd.DataFrame({
        "ukey": ["000300.XSHG"] * 4 + ["000905.XSHG"] * 4,
        "date": DATES * 2,
        "close": np.arange(8, dtype=float) + 100,
        "daily_return": np.linspace(-0.01, 0.01, 8),
    })


@pytest.fixture
def folder(tmp_path):
    return write_factor_folder(tmp_path / "market", {"Close": wide(), "a/b c": wide(100.0)},
                               index_rows())


@pytest.mark.parametrize("code, ukey", [
    ("600000", "600000.XSHG"), ("688981", "688981.XSHG"), ("689009", "689009.XSHG"),
    ("900901", "900901.XSHG"), ("000001", "000001.XSHE"), ("300750", "300750.XSHE"),
    ("200002", "200002.XSHE"), ("830799", "830799.BJSE"), ("430047", "430047.BJSE"),
])
def test_exchange_ukey(code, ukey):
    assert exchange_ukey(code) == ukey


@pytest.mark.parametrize("code, message", [
    ("60000", "not a 6-digit stock code: '60000'"),
    ("600000.XSHG", "not a 6-digit stock code: '600000.XSHG'"),
    ("abcdef", "not a 6-digit stock code: 'abcdef'"),
    ("100000", "no exchange is known for the stock code '100000'"),
    (600000.5, "not a 6-digit stock code: 600000.5"),
])
def test_exchange_ukey_refuses(code, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        exchange_ukey(code)


class TestFolder:
    def test_layout(self, folder):
        names = sorted(p.name for p in (folder / "factors").iterdir())
        assert names == ["Close.parquet", "a%2Fb%20c.parquet"]
        table = pq.read_table(folder / "factors" / "Close.parquet")
        assert table.column_names == ["ukey", "date", "value"]
        assert table.num_rows == 11  # the NaN cell has no row
        assert str(table.schema.field("date").type) == "date32[day]"
        assert LocalFactorService(folder).factor_names() == ["Close", "a/b c"]

    def test_existing_folder_is_refused_unless_overwritten(self, folder):
        with pytest.raises(FileExistsError, match="exists; pass overwrite=True to replace it"):
            write_factor_folder(folder, {"Close": wide()}, index_rows())
        write_factor_folder(folder, {"Open": wide()}, index_rows(), overwrite=True)
        assert LocalFactorService(folder).factor_names() == ["Open"]

    def test_a_failed_write_leaves_nothing_behind(self, tmp_path):
        bad = wide()
        bad.columns = ["600000", "000001", "1"]
        with pytest.raises(ValueError, match="6-digit"):
            write_factor_folder(tmp_path / "m", {"Close": wide(), "Open": bad}, index_rows())
        assert list(tmp_path.iterdir()) == []

    def test_a_failed_overwrite_keeps_the_old_folder(self, folder):
        with pytest.raises(ValueError, match=r"index_daily lacks the columns \['close'\]"):
            write_factor_folder(folder, {"Close": wide()}, index_rows().drop(columns="close"),
                                overwrite=True)
        assert LocalFactorService(folder).factor_names() == ["Close", "a/b c"]
        assert sorted(p.name for p in folder.parent.iterdir()) == ["market"]

    def test_a_plain_path_is_not_a_folder(self, tmp_path):
        with pytest.raises(FileNotFoundError, match=r"is not a factor folder \(no factors/\)"):
            LocalFactorService(tmp_path)


class TestService:
    def test_narrow_table_of_one_factor(self, folder):
        table = LocalFactorService(folder).get_factors("Close", "2024-01-03", "2024-01-04")
        assert table.columns.tolist() == ["ukey", "date", "factor", "value"]
        assert sorted(table["date"].dt.strftime("%Y%m%d").unique()) == ["20240103", "20240104"]
        assert table["factor"].unique().tolist() == ["Close"]
        assert set(table["ukey"]) == {"600000.XSHG", "000001.XSHE", "300750.XSHE"}
        assert len(table) == 5

    def test_several_factors_in_request_order(self, folder):
        table = LocalFactorService(folder).get_factors(["a/b c", "missing", "Close"], "20240105",
                                                       None)
        assert table["factor"].astype(str).tolist() == ["a/b c"] * 3 + ["Close"] * 3
        assert table.loc[table["factor"] == "a/b c", "value"].min() == 109.0

    def test_no_data_is_an_empty_table_with_the_columns(self, folder):
        table = LocalFactorService(folder).get_factors(["missing"], None, None)
        assert len(table) == 0 and table.columns.tolist() == ["ukey", "date", "factor", "value"]
        assert len(LocalFactorService(folder).get_factors("Close", "20250101", None)) == 0

    def test_index_daily(self, folder):
        table = LocalFactorService(folder).get_index_daily(["000905.XSHG"], "20240103", "20240104")
        assert table.columns.tolist() == ["ukey", "date", "close", "daily_return"]
        assert table["ukey"].tolist() == ["000905.XSHG"] * 2
        assert table["close"].tolist() == [105.0, 106.0]

    def test_dates_are_checked(self, folder):
        with pytest.raises(ValueError, match="cannot read"):
            LocalFactorService(folder).get_factors("Close", "someday", None)

    def test_the_builder_reads_back_the_matrices(self, folder):
        from kestrelia.backtest import _prepare

        previous = singleton.set_instance(LocalFactorService(folder))
        try:
            builder = _prepare.GroupPreparedDataBuilder("20240101", "20240131")
            close = builder._read_normal_factor_matrix("Close")
            batch = builder._read_normal_factor_batch(["Close", "a/b c"])
            bench = builder._format_benchmark_daily_return(
                dataservice.LocalFactorService(folder).get_index_daily(["000300.XSHG"], None, None),
                "000300", "000300.XSHG")
        finally:
            singleton.set_instance(previous)
        pd.testing.assert_frame_equal(close, wide().sort_index(axis=1))
        pd.testing.assert_frame_equal(batch["a/b c"], wide(100.0).sort_index(axis=1))
        assert bench.index.tolist() == DATES
