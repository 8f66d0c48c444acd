"""What the import reads: code and date spellings, column names, CSV folders, and rows or
tables it cannot use (counted with examples, or refused with a message naming them)."""

import datetime

import numpy as np
import pandas as pd
import pytest

from kestrelia.dataservice import LocalFactorService, exchange_ukey, import_daily_bars
from kestrelia.dataservice.bars.codes import date_days, flag, index_ukey, stock_code
from kestrelia.errors import InputError


def rows_of(n_days=3, codes=("600000", "000001")):
    days = pd.bdate_range("2024-01-02", periods=n_days)
    return pd.DataFrame([{"date": d.strftime("%Y%m%d"), "code": c, "open": 10.0 + i,
                          "close": 10.5 + i} for i, d in enumerate(days) for c in codes])


def closes(folder):
    table = LocalFactorService(folder).get_factors("Close")
    return table.set_index([table["date"].dt.strftime("%Y%m%d"), table["ukey"]])["value"]


@pytest.mark.parametrize("value, code", [
    ("000001.SZ", "000001"), ("600000.SH", "600000"), ("sh600000", "600000"),
    ("SZ.000001", "000001"), ("000001.XSHE", "000001"), ("688001.XSHG", "688001"),
    (1, "000001"), (600000.0, "600000"), (" 1 ", "000001"), ("830799.BJ", "830799"),
    ("920001", "920001"),
    ("000001.SH", None), ("600000.SZ", None), ("abc", None), ("1234567", None),
    (-1, None), (1.5, None), (None, None), (True, None), ("500001", None),
])
def test_stock_code_spellings(value, code):
    assert stock_code(value) == code


def test_beijing_codes_starting_92_belong_to_the_beijing_exchange():
    assert exchange_ukey("920001") == "920001.BJSE" and exchange_ukey("900901") == "900901.XSHG"


@pytest.mark.parametrize("value, ukey", [
    ("000300.SH", "000300.XSHG"), ("sh000852", "000852.XSHG"), ("000905", "000905.XSHG"),
    ("399303.SZ", "399303.XSHE"), ("932000.CSI", "932000.INDX"), (932000, "932000.INDX"),
    ("399006.SZ", "399006.XSHE"), ("000016", "000016.XSHG"), ("h30269", None),
])
def test_index_code_spellings(value, ukey):
    assert index_ukey(value) == ukey


@pytest.mark.parametrize("value, date_format", [
    ("20240105", None), (20240105, None), ("2024-01-05", None), (20240105.0, None),
    ("2024-01-05 15:00:00", None), (pd.Timestamp("2024-01-05"), None),
    (datetime.date(2024, 1, 5), None), (np.datetime64("2024-01-05"), None),
    ("2024/1/5", "%Y/%m/%d"), ("05/01/2024", "%d/%m/%Y"), ("01/05/2024", "%m/%d/%Y"),
    (20240105, "%d/%m/%Y"),  # numbers are read as YYYYMMDD whatever the text format
])
def test_date_spellings(value, date_format):
    assert date_days(value, date_format) == \
        (datetime.date(2024, 1, 5) - datetime.date(1970, 1, 1)).days


@pytest.mark.parametrize("value, date_format", [
    ("2024-02-30", None), ("yesterday", None), ("202401", None), (0, None), (True, None),
    # Day-first or month-first text is never guessed, and a format is applied strictly.
    ("02/01/2024", None), ("13/01/2024", None), ("2024/1/5", None), ("5 Jan 2024", None),
    ("2024-01-05", "%d/%m/%Y"), ("31/02/2024", "%d/%m/%Y"),
])
def test_unreadable_dates(value, date_format):
    assert date_days(value, date_format) is None


def test_flags():
    assert [flag(v) for v in (1, 0, True, "Y", "否", "*ST", "ST", None, np.nan, "2")] == \
        [1, 0, 1, 1, 0, 1, 1, 0, 0, 1]
    assert flag("maybe") is None


class TestLayouts:
    def test_mapped_names_and_a_csv_folder_with_one_file_per_day(self, tmp_path):
        frame = rows_of().rename(columns={"date": "trade_date", "code": "ts_code"})
        frame["ts_code"] = frame["ts_code"].map({"600000": "600000.SH", "000001": "000001.SZ"})
        frame["trade_date"] = pd.to_datetime(frame["trade_date"]).dt.strftime("%Y-%m-%d")
        folder = tmp_path / "bars"
        folder.mkdir()
        for day, part in frame.groupby("trade_date"):
            part.to_csv(folder / f"{day}.csv", index=False)
        summary = import_daily_bars(folder, tmp_path / "out",
                                    columns="date=trade_date, code=ts_code")
        assert summary["files"] == 3 and summary["rows_used"] == 6 and summary["codes"] == 2
        got = closes(tmp_path / "out")
        assert got[("20240104", "000001.XSHE")] == 12.5 and len(got) == 6

    def test_integer_codes_timestamps_and_several_parquet_files_agree(self, tmp_path):
        frame = rows_of()
        a = frame.assign(code=frame["code"].astype(int), date=pd.to_datetime(frame["date"]))
        a.iloc[:3].to_parquet(tmp_path / "a.parquet")
        b = frame.assign(date=frame["date"].astype(int))
        b.iloc[3:].to_parquet(tmp_path / "b.parquet")
        import_daily_bars([tmp_path / "a.parquet", tmp_path / "b.parquet"], tmp_path / "one")
        frame.to_parquet(tmp_path / "whole.parquet")
        import_daily_bars(tmp_path / "whole.parquet", tmp_path / "two")
        pd.testing.assert_series_equal(closes(tmp_path / "one"), closes(tmp_path / "two"))

    def test_other_numeric_columns_are_factors_and_text_ones_are_reported(self, tmp_path):
        frame = rows_of().assign(turnover=0.5, name="x", industry="bank")
        frame.to_parquet(tmp_path / "t.parquet")
        summary = import_daily_bars(tmp_path / "t.parquet", tmp_path / "out")
        assert summary["extra_factors"] == ["turnover"] and summary["unused_columns"] == ["name"]
        service = LocalFactorService(tmp_path / "out")
        assert service.get_factors("turnover")["value"].tolist() == [0.5] * 6
        assert set(service.get_factors("rq_industry_exposure_new")["value"]) == {1.0}


class TestBadRows:
    def test_each_unusable_row_is_counted_by_reason_with_examples(self, tmp_path):
        frame = rows_of(4).astype({"close": object})
        frame.loc[0, "date"] = "2024-13-01"
        frame.loc[1, "code"] = "XYZ"
        frame.loc[2, "close"] = -3.0
        frame.loc[3, "close"] = "abc"
        duplicate = frame.iloc[[4, 5, 6]].copy()
        duplicate.loc[duplicate.index[0], "close"] = 99.0   # conflicts with row 5
        frame = pd.concat([frame, duplicate], ignore_index=True)
        frame["close"] = frame["close"].astype(str)
        frame.to_csv(tmp_path / "bad.csv", index=False)
        summary = import_daily_bars(tmp_path / "bad.csv", tmp_path / "out")
        rejected = summary["rejected"]
        assert {k: v["rows"] for k, v in rejected.items()} == {
            "unreadable or missing date": 1, "unreadable stock code": 1,
            "negative price": 1, "text that is not a plain ASCII number": 1,
            "duplicate stock and day with different values": 2}
        assert rejected["unreadable or missing date"]["examples"] == [
            "bad.csv row 1: date='2024-13-01'"]
        assert rejected["text that is not a plain ASCII number"]["examples"] == [
            "bad.csv row 4: close='abc'"]
        assert summary["identical_duplicates_merged"] == 2
        # Nothing vanishes: every row read is used, rejected or merged into its twin.
        assert summary["rows_read"] == 11 == summary["rows_used"] + summary["rows_rejected"] + 2
        got = closes(tmp_path / "out")
        assert ("20240104", "600000.XSHG") not in got.index  # neither conflicting row is used

    def test_strict_refuses_the_first_one_and_leaves_no_folder(self, tmp_path):
        frame = rows_of()
        frame.loc[2, "code"] = "12345678"
        frame.to_parquet(tmp_path / "t.parquet")
        with pytest.raises(InputError, match=r"unreadable stock code: t.parquet row 3: code='12345678'"):
            import_daily_bars(tmp_path / "t.parquet", tmp_path / "out", strict=True)
        assert not (tmp_path / "out").exists()
        assert [p.name for p in tmp_path.iterdir()] == ["t.parquet"]

    @pytest.mark.parametrize("change, options, message", [
        (lambda f: f.drop(columns="open"), {}, r"lacks the column 'open' \(open\).*--columns open=NAME"),
        (lambda f: f, {"columns": "day=date"}, r"'day' is not an input column"),
        (lambda f: f, {"columns": "volume=vol"}, r"maps volume to 'vol', which no table file holds"),
        (lambda f: f, {"buy_price": "twap"}, r"price column 'twap' is in no table file"),
        (lambda f: f, {"sell_price": "vwap"}, r"vwap needs the amount and volume columns"),
        (lambda f: f.assign(Close=1.0), {}, r"column 'Close' has the name of a factor"),
        (lambda f: f.assign(code="bad"), {}, r"no usable row \(6 rows rejected: unreadable stock code\)"),
        (lambda f: f.assign(volume=1.0, amount=500.0), {}, r"amount / volume is no price: it is typically"),
    ])
    def test_tables_that_cannot_be_imported(self, tmp_path, change, options, message):
        change(rows_of()).to_parquet(tmp_path / "t.parquet")
        with pytest.raises(InputError, match=message):
            import_daily_bars(tmp_path / "t.parquet", tmp_path / "out", **options)
        assert not (tmp_path / "out").exists()

    def test_an_existing_folder_is_kept_unless_overwrite(self, tmp_path):
        rows_of().to_parquet(tmp_path / "t.parquet")
        import_daily_bars(tmp_path / "t.parquet", tmp_path / "out")
        with pytest.raises(FileExistsError, match="pass overwrite=True"):
            import_daily_bars(tmp_path / "t.parquet", tmp_path / "out")
        rows_of(2, ("600000",)).to_parquet(tmp_path / "t.parquet")
        import_daily_bars(tmp_path / "t.parquet", tmp_path / "out", overwrite=True)
        assert len(closes(tmp_path / "out")) == 2

    def test_an_output_folder_overlapping_an_input_is_refused(self, tmp_path):
        (tmp_path / "bars").mkdir()
        rows_of().to_parquet(tmp_path / "bars" / "t.parquet")
        for out in (tmp_path / "bars", tmp_path, tmp_path / "bars" / "market"):
            with pytest.raises(InputError, match="overlap; write the import to a folder of its own"):
                import_daily_bars(tmp_path / "bars", out, overwrite=True)
        assert (tmp_path / "bars" / "t.parquet").is_file()

    def test_missing_paths_and_wrong_kinds(self, tmp_path):
        with pytest.raises(InputError, match="does not exist"):
            import_daily_bars(tmp_path / "nope.parquet", tmp_path / "out")
        (tmp_path / "empty").mkdir()
        with pytest.raises(InputError, match=r"holds no \.csv or \.parquet file"):
            import_daily_bars(tmp_path / "empty", tmp_path / "out")
        (tmp_path / "x.xlsx").write_text("x")
        with pytest.raises(InputError, match=r"neither \.csv nor \.parquet"):
            import_daily_bars(tmp_path / "x.xlsx", tmp_path / "out")


class TestIndexData:
    def test_bars_returns_from_close_and_members_with_weights(self, tmp_path):
        rows_of().to_parquet(tmp_path / "t.parquet")
        days = ["20240102", "20240103", "20240104"]
        pd.DataFrame({"date": days * 2, "index_code": ["000852.SH"] * 3 + ["399006.SZ"] * 3,
                      "close": [100.0, 110.0, 99.0, 50.0, 50.0, 55.0]}).to_csv(
            tmp_path / "ib.csv", index=False)
        pd.DataFrame({"date": days[:2] + days[:1], "index_code": "sh000300",
                      "code": ["600000.SH", "1", "600000"],
                      "weight": [0.6, np.nan, 0.6]}).to_parquet(tmp_path / "im.parquet")
        summary = import_daily_bars(tmp_path / "t.parquet", tmp_path / "out",
                                    index_bars=tmp_path / "ib.csv",
                                    index_members=tmp_path / "im.parquet")
        service = LocalFactorService(tmp_path / "out")
        index = service.get_index_daily(["000852.XSHG", "399006.XSHE"])
        got = index.set_index(["ukey", index["date"].dt.strftime("%Y%m%d")])["daily_return"]
        assert np.isnan(got[("000852.XSHG", "20240102")])
        assert got[("000852.XSHG", "20240103")] == pytest.approx(0.1)
        assert got[("000852.XSHG", "20240104")] == pytest.approx(-0.1)
        assert got[("399006.XSHE", "20240104")] == pytest.approx(0.1)
        members = service.get_factors("rq_index_components_new_000300.XSHG")
        assert members["ukey"].tolist() == ["600000.XSHG", "000001.XSHE"]
        assert members["value"].tolist() == [0.6, 1.0]
        assert summary["index"]["benchmarks without bars"] == ["000300.XSHG", "000905.XSHG"]
        assert summary["index"]["repeated member rows merged"] == 1
        assert "rq_index_components_new_000300.XSHG" not in \
            summary["index"]["components without members"]


def test_row_and_file_order_do_not_matter_across_years(tmp_path):
    """Rows shuffled over files that each span several years give the folder that one sorted
    file gives: the yearly passes carry each stock's state from one year to the next."""
    rng = np.random.default_rng(3)
    days = pd.bdate_range("2021-12-20", "2023-01-10")
    codes = ["600000", "300001", "688001", "000002"]
    frame = pd.DataFrame([{"date": d.strftime("%Y%m%d"), "code": c} for d in days for c in codes])
    frame["close"] = np.round(10 * np.exp(np.cumsum(rng.normal(0, 0.02, len(frame)))), 2)
    frame["open"] = frame["close"]
    frame["pre_close"] = frame.groupby("code")["close"].shift(1)
    frame = frame.drop(index=rng.choice(len(frame), 40, replace=False))  # missing days
    frame.to_parquet(tmp_path / "sorted.parquet")
    shuffled = frame.sample(frac=1.0, random_state=7)
    (tmp_path / "parts").mkdir()
    for k, start in enumerate(range(0, len(shuffled), len(shuffled) // 3 + 1)):
        part = shuffled.iloc[start:start + len(shuffled) // 3 + 1]
        part.to_csv(tmp_path / "parts" / f"{2 - k}.csv", index=False)
    a = import_daily_bars(tmp_path / "sorted.parquet", tmp_path / "a")
    b = import_daily_bars(tmp_path / "parts", tmp_path / "b")
    assert a["factors"] == b["factors"] and a["derived"] == b["derived"]
    assert a["derived"]["missing row"] > 0
    one, two = LocalFactorService(tmp_path / "a"), LocalFactorService(tmp_path / "b")
    for name in one.factor_names():
        pd.testing.assert_frame_equal(one.get_factors(name), two.get_factors(name), obj=name)


def test_csv_columns_whose_later_blocks_change_kind(tmp_path, monkeypatch):
    """A streamed CSV is typed block by block: integers first, then decimals or text in a
    later block must neither fail the read nor lose a row silently."""
    from kestrelia.dataservice.bars import reading

    monkeypatch.setattr(reading, "CSV_BLOCK_BYTES", 256)
    days = pd.bdate_range("2024-01-02", periods=40).strftime("%Y%m%d")
    frame = pd.DataFrame({"date": days, "code": "000001", "open": 10, "close": 10,
                          "volume": ["100"] * 30 + ["150.5"] * 9 + ["lots"],
                          "industry": ["3"] * 40})
    frame.to_csv(tmp_path / "t.csv", index=False)
    summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out", buy_price="open",
                                sell_price="open")
    assert summary["rows_used"] == 39
    assert summary["rejected"]["text that is not a plain ASCII number"]["examples"] == [
        "t.csv row 40: volume='lots'"]
    industry = LocalFactorService(tmp_path / "out").get_factors("rq_industry_exposure_new")
    assert set(industry["value"]) == {3.0}
