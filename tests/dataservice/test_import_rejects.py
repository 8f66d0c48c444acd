"""Rows the import refuses: each is counted by reason with its file and row (or line), the
rest of the table is used as if the row were missing, and `strict` stops at the first.
Dates are read only where they cannot be read two ways."""

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest.app import demo_market
from kestrelia.dataservice import LocalFactorService, import_daily_bars
from kestrelia.dataservice.bars import reading, rules
from kestrelia.errors import InputError

DAYS = pd.bdate_range("2024-01-02", periods=6).strftime("%Y%m%d")


def table(**columns):
    """Two stocks over six days, every cell text (as a CSV holds it)."""
    rows = [{"date": d, "code": c, "open": "10.0", "close": "10.5", "volume": "100",
             "amount": "1000", **columns} for d in DAYS for c in ("600000", "000001")]
    return pd.DataFrame(rows)


def closes(folder):
    frame = LocalFactorService(folder).get_factors("Close")
    return frame.set_index([frame["date"].dt.strftime("%Y%m%d"), frame["ukey"].str[:6]])["value"]


def counts(summary):
    return {reason: item["rows"] for reason, item in summary["rejected"].items()}


@pytest.mark.parametrize("column, cell, reason", [
    ("close", "inf", "non-finite price"),
    ("close", "-inf", "non-finite price"),
    ("close", "1e400", "non-finite price"),
    ("close", "0", "zero price"),
    ("close", "0.000", "zero price"),
    ("open", "0", "zero price"),
    ("high", "0", "zero price"),
    ("amount", "0", "zero price"),          # the trade price is amount / volume
    ("volume", "inf", "non-finite number"),
    ("close", "1_000", "text that is not a plain ASCII number"),
    ("close", "\uff11\uff10", "text that is not a plain ASCII number"),
    ("close", "10.5 yuan", "text that is not a plain ASCII number"),
    ("volume", "0x10", "text that is not a plain ASCII number"),
])
@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_a_bad_cell_rejects_its_row_by_reason(tmp_path, column, cell, reason, kind):
    frame = table(high="10.6")
    frame.loc[5, column] = cell  # 000001 on the third day
    path = tmp_path / f"t.{kind}"
    if kind == "csv":
        frame.to_csv(path, index=False)
    else:
        # Parquet holds numbers: a float where the text is one, text where it is not.
        frame = frame.astype({c: float for c in ("open", "close", "high", "volume", "amount")
                              if pd.to_numeric(frame[c], errors="coerce").notna().all()
                              and not frame[c].str.contains("_").any()})
        frame.to_parquet(path, index=False)
    summary = import_daily_bars(path, tmp_path / "out")
    assert counts(summary) == {reason: 1}
    assert summary["rejected"][reason]["examples"][0].startswith(f"t.{kind} row 6: {column}=")
    assert summary["rows_used"] == 11 and summary["derived"]["missing row"] == 1
    got = closes(tmp_path / "out")
    assert (DAYS[2], "000001") not in got.index and len(got) == 11
    with pytest.raises(InputError, match=f"^{reason}: t.{kind} row 6: {column}="):
        import_daily_bars(path, tmp_path / "strict", strict=True)


def test_zero_prices_on_suspended_rows_are_no_prices(tmp_path):
    frame = table(suspended="0")
    frame.loc[2, ["open", "close", "suspended"]] = ["0", "0", "1"]
    frame.loc[3, ["open", "close", "volume", "amount"]] = ["0", "0", "0", "0"]
    frame.loc[4, ["open", "close"]] = ["0", ""]  # no close: a suspension, open unused
    frame.to_csv(tmp_path / "t.csv", index=False)
    summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out")
    assert summary["rows_rejected"] == 0
    derived = summary["derived"]
    assert (derived["suspended flag"], derived["zero volume"], derived["missing price"]) == (1, 1, 1)
    assert len(closes(tmp_path / "out")) == 9


@pytest.mark.parametrize("column, chosen, expected", [
    ("close", {}, {"boolean column where a number is needed": 12}),
    ("twap", {"buy_price": "twap"}, {"boolean column where a number is needed": 12}),
    ("volume", {"buy_price": "open", "sell_price": "open"},
     {"boolean column where a number is needed": 12}),
    ("suspended", {}, {}),                  # a flag may be a truth value
    ("limit_hit", {}, {}),                  # a truth value is no factor: left unused
])
def test_boolean_columns(tmp_path, column, chosen, expected):
    frame = table().astype({c: float for c in ("open", "close", "volume", "amount")})
    frame[column] = [False, True] * 6
    frame.to_parquet(tmp_path / "t.parquet", index=False)
    if expected:
        with pytest.raises(InputError, match=r"no usable row \(12 rows rejected: boolean column"):
            import_daily_bars(tmp_path / "t.parquet", tmp_path / "out", **chosen)
        return
    summary = import_daily_bars(tmp_path / "t.parquet", tmp_path / "out", **chosen)
    assert counts(summary) == expected
    if column == "suspended":
        assert summary["derived"]["suspended flag"] == 6
    else:
        assert summary["unused_columns"] == ["limit_hit"] and summary["extra_factors"] == []


class TestDates:
    @pytest.mark.parametrize("text", ["02/01/2024", "13/01/2024", "2024/01/05", "5 Jan 2024",
                                      "01-02-2024"])
    def test_ambiguous_or_foreign_dates_are_rejected_not_guessed(self, tmp_path, text):
        frame = table()
        frame.loc[4, "date"] = text
        frame.to_csv(tmp_path / "t.csv", index=False)
        summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out")
        assert counts(summary) == {"unreadable or missing date": 1}
        assert summary["dates"] == 6 and summary["first_date"] == "2024-01-02"
        with pytest.raises(InputError, match=r"row 5: date=.*--date-format"):
            import_daily_bars(tmp_path / "t.csv", tmp_path / "strict", strict=True)

    @pytest.mark.slow
    def test_day_first_demo_tables_need_their_format_and_then_give_the_same_folder(
            self, tmp_path):
        """The demo's tables with dates written dd/mm/yyyy: refused as a whole without the
        format (they were read as other months before), and with it the very folder the
        ISO dates give, index tables included."""
        market = demo_market.generate_market(n_stocks=50, years=0.3, seed=8)
        bars, index_bars, members = demo_market.daily_bar_tables(market)
        paths = {}
        for form, writer in (("iso", "%Y-%m-%d"), ("dayfirst", "%d/%m/%Y")):
            for name, frame in (("bars", bars), ("index", index_bars), ("members", members)):
                paths[form, name] = tmp_path / "tables" / form / f"{name}.csv"
                paths[form, name].parent.mkdir(parents=True, exist_ok=True)
                frame.assign(date=pd.to_datetime(frame["date"]).dt.strftime(writer)).to_csv(
                    paths[form, name], index=False)

        def run(form, out, **options):
            return import_daily_bars(paths[form, "bars"], tmp_path / out,
                                     index_bars=paths[form, "index"],
                                     index_members=paths[form, "members"],
                                     buy_price="buy_vwap", sell_price="sell_vwap", **options)

        with pytest.raises(InputError, match=r"no usable row .* unreadable or missing date.*"
                                             r"--date-format"):
            run("dayfirst", "guessed")
        iso = run("iso", "iso")
        # The index tables have a format of their own: without it their rows are refused.
        partial = run("dayfirst", "partial", date_format="%d/%m/%Y")
        assert set(partial["rejected"]) == {"index bars: unreadable or missing date",
                                            "index members: unreadable or missing date"}
        dayfirst = run("dayfirst", "dayfirst", date_format="%d/%m/%Y",
                       index_date_format="%d/%m/%Y")
        assert dayfirst["rows_rejected"] == iso["rows_rejected"] == 0
        assert dayfirst["factors"] == iso["factors"] and dayfirst["dates"] == len(market.dates)
        a, b = LocalFactorService(tmp_path / "iso"), LocalFactorService(tmp_path / "dayfirst")
        for name in a.factor_names():
            pd.testing.assert_frame_equal(a.get_factors(name), b.get_factors(name), obj=name)
        codes = list(market.index_daily["ukey"].unique())
        pd.testing.assert_frame_equal(a.get_index_daily(codes), b.get_index_daily(codes))

    def test_index_tables_read_dates_as_strictly(self, tmp_path):
        table().to_csv(tmp_path / "t.csv", index=False)
        pd.DataFrame({"date": ["2024-01-02", "03/01/2024", "20240104"],
                      "index_code": "000852.SH", "close": [100.0, 101.0, 102.0]}).to_csv(
            tmp_path / "ib.csv", index=False)
        summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out",
                                    index_bars=tmp_path / "ib.csv")
        assert counts(summary) == {"index bars: unreadable or missing date": 1}
        assert summary["rejected"]["index bars: unreadable or missing date"]["examples"] == [
            "ib.csv row 2: date='03/01/2024'"]

    @pytest.mark.parametrize("date_format, message", [
        ("%d/%m", "does not give the year, month and day"),
        ("%Y-%Q", "is not a strptime format"),
    ])
    def test_formats_that_cannot_read_dates_are_refused(self, tmp_path, date_format, message):
        table().to_csv(tmp_path / "t.csv", index=False)
        with pytest.raises(InputError, match=message):
            import_daily_bars(tmp_path / "t.csv", tmp_path / "out", date_format=date_format)
        assert not (tmp_path / "out").exists()

    def test_a_lone_date_typo_is_rejected_and_does_not_stretch_the_calendar(self, tmp_path):
        frame = table()
        frame.loc[7, "date"] = "20340105"  # 000001 on the fourth day, a decade out
        frame.to_csv(tmp_path / "t.csv", index=False)
        summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out")
        assert counts(summary) == {"date more than 30 days from the table's other dates": 1}
        assert summary["rejected"]["date more than 30 days from the table's other dates"][
            "examples"] == ["t.csv row 8: 000001 on 2034-01-05"]
        assert (summary["first_date"], summary["last_date"]) == ("2024-01-02", "2024-01-09")
        # The stock's life still ends on its last real row: the gap is one missing day.
        assert summary["derived"]["missing row"] == 1
        with pytest.raises(InputError, match=r"date more than 30 days .* 2034-01-05"):
            import_daily_bars(tmp_path / "t.csv", tmp_path / "strict", strict=True)

    def test_a_stock_seen_only_on_a_lone_date_is_not_imported(self, tmp_path):
        frame = pd.concat([table(), table().iloc[:1].assign(date="20340105", code="600004")])
        frame.to_csv(tmp_path / "t.csv", index=False)
        summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out")
        assert summary["codes"] == 2 and summary["rows_rejected"] == 1


@pytest.mark.parametrize("days, lone", [
    ([0, 1, 2, 3, 5000], [5000]),
    ([-9000, 0, 1, 2], [-9000]),
    ([0, 1, 2, 400, 401, 402], []),           # two runs: both kept
    ([0, 1, 40, 41, 90], [90]),
    ([0, 31, 62, 93], []),                    # monthly: every date alone, all kept
    ([0, 30, 31], []),                        # 30 days apart is close enough
    ([0, 1000], []), ([7], []), ([], []),
])
def test_lone_dates(days, lone):
    assert rules.lone_dates(np.array(days, dtype=np.int64)).tolist() == lone


class TestMalformedFiles:
    def test_malformed_csv_rows_are_counted_with_their_lines(self, tmp_path, monkeypatch):
        # Small blocks: the rows after a skipped one keep their numbers across batches.
        monkeypatch.setattr(reading, "CSV_BLOCK_BYTES", 200)
        lines = table().to_csv(index=False).splitlines()
        lines[10] = lines[10].replace("000001", "XYZ")
        lines.insert(3, "20240102,600001,10.0,10.5,100,1000,surplus")   # line 4
        lines.insert(8, "20240103,600002,10.0")                          # line 9
        assert "XYZ" in lines[12]                                        # line 13, row 12
        (tmp_path / "t.csv").write_text("\n".join(lines) + "\n")
        summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out")
        rejected = summary["rejected"]
        assert counts(summary) == {"malformed CSV row (wrong number of fields)": 2,
                                   "unreadable stock code": 1}
        assert [e.split(":")[0] for e in
                rejected["malformed CSV row (wrong number of fields)"]["examples"]] == [
            "t.csv line 4 (row 3)", "t.csv line 9 (row 8)"]
        assert rejected["unreadable stock code"]["examples"] == ["t.csv row 12: code='XYZ'"]
        assert summary["rows_read"] == 14 and summary["rows_used"] == 11

    @pytest.mark.parametrize("bad_line, expected", [
        (4, "malformed CSV row (wrong number of fields): t.csv line 4 (row 3)"),
        (12, "unreadable stock code: t.csv row 10"),  # the bad code comes first
    ])
    def test_strict_stops_at_the_first_in_file_order(self, tmp_path, bad_line, expected):
        lines = table().to_csv(index=False).splitlines()
        lines[10] = lines[10].replace("000001", "XYZ")  # line 11, row 10
        lines.insert(bad_line - 1, "20240102,600001,10.0")
        (tmp_path / "t.csv").write_text("\n".join(lines) + "\n")
        with pytest.raises(InputError, match=r"^" + expected.replace("(", r"\(")
                           .replace(")", r"\)")):
            import_daily_bars(tmp_path / "t.csv", tmp_path / "out", strict=True)

    def test_malformed_rows_of_index_tables_are_counted_too(self, tmp_path):
        table().to_csv(tmp_path / "t.csv", index=False)
        (tmp_path / "ib.csv").write_text("date,index_code,close\n20240102,000852.SH,100\n"
                                         "20240103,000852.SH\n20240104,000852.SH,101\n")
        summary = import_daily_bars(tmp_path / "t.csv", tmp_path / "out",
                                    index_bars=tmp_path / "ib.csv")
        assert counts(summary) == {"index bars: malformed CSV row (wrong number of fields)": 1}
        assert summary["index"]["index bars"]["rows"] == 2

    @pytest.mark.parametrize("content, message", [
        (b"", "Parquet file size is 0 bytes"),
        (b"PAR1 this is no parquet file", "Parquet magic bytes not found"),
        (b"\x00" * 4096, "Parquet magic bytes not found"),
    ], ids=["empty", "text", "zeros"])
    def test_an_unreadable_parquet_file_is_one_line_naming_it(self, tmp_path, content,
                                                              message):
        table().to_parquet(tmp_path / "a.parquet", index=False)
        (tmp_path / "b.parquet").write_bytes(content)
        with pytest.raises(InputError, match=f"^cannot read {tmp_path / 'b.parquet'}: "
                                             f"(?:{message})") as caught:
            import_daily_bars([tmp_path / "a.parquet", tmp_path / "b.parquet"], tmp_path / "o")
        assert "\n" not in str(caught.value)
        assert not (tmp_path / "o").exists()

    def test_an_empty_csv_file_is_one_line_naming_it(self, tmp_path):
        (tmp_path / "t.csv").write_text("")
        with pytest.raises(InputError, match=r"cannot read .*t\.csv: Empty CSV file"):
            import_daily_bars(tmp_path / "t.csv", tmp_path / "out")

    @pytest.mark.parametrize("make, message", [
        (lambda p: p.symlink_to("/dev/zero"), "is not a regular file but a character device"),
        (lambda p: (p.symlink_to(p.with_name("b.csv")), p.with_name("b.csv").symlink_to(p)),
         "is a loop of symbolic links"),
    ])
    def test_special_paths_are_named(self, tmp_path, make, message):
        make(tmp_path / "t.csv")
        with pytest.raises(InputError, match=message):
            import_daily_bars(tmp_path / "t.csv", tmp_path / "out")
