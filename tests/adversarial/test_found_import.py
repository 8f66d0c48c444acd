"""Faults found by attacking `import bars`: each test shows one and guards its fix."""

import warnings

import numpy as np
import pandas as pd
import pytest

from kestrelia import singleton
from kestrelia.backtest import Store
from kestrelia.dataservice import import_daily_bars
from kestrelia.errors import InputError

DAYS = pd.bdate_range("2024-01-02", periods=30)
CODES = ["000001", "000002", "600000", "600001", "300001"]


@pytest.fixture(autouse=True)
def _service_registry():
    previous = singleton.set_instance(None)
    yield
    singleton.set_instance(previous)


def bars(seed=0):
    """Daily bars of five stocks, volume in lots of 100 shares and amount in thousands of
    yuan, as many vendors give them (the import scales amount / volume by 10)."""
    rng = np.random.default_rng(seed)
    rows = []
    for code in CODES:
        price = 10.0
        for day in DAYS:
            previous, price = price, round(price * (1 + rng.normal(0, 0.01)), 2)
            lots = int(rng.integers(1_000, 50_000))
            rows.append({"date": day.strftime("%Y%m%d"), "code": code,
                         "open": previous, "close": price, "pre_close": previous,
                         "volume": lots,
                         "amount": round(lots * 100 * (price + previous) / 2 / 1000, 3)})
    return pd.DataFrame(rows)


def index_bars():
    return pd.DataFrame({"date": DAYS.strftime("%Y%m%d"), "index_code": "000852.SH",
                         "close": 6000.0 + np.arange(len(DAYS))})


@pytest.mark.parametrize("previous, limit, lots, amount", [
    (10.00, 11.00, 3, 3.3),  # 3.3 / 3 * 10 = 10.999999999999998
    (10.10, 11.11, 59, 65.549),  # 65.549 / 59 * 10 = 11.110000000000003
], ids=["a hair below", "a hair above"])
def test_a_locked_limit_up_day_is_not_buyable(tmp_path, previous, limit, lots, amount):
    table = bars()
    rows = table.index[table["code"] == "000001"]
    locked = DAYS[15]
    table.loc[rows[14], "close"] = previous
    table.loc[rows[15], ["pre_close", "open", "close", "volume", "amount"]] = [
        previous, limit, limit, lots, amount]
    table.loc[rows[16], ["pre_close", "open"]] = [limit, limit]
    path, index = tmp_path / "bars.csv", tmp_path / "index.csv"
    table.to_csv(path, index=False)
    index_bars().to_csv(index, index=False)
    summary = import_daily_bars(path, tmp_path / "market", index_bars=index)
    assert summary["rows_rejected"] == 0
    limits = pd.read_parquet(tmp_path / "market" / "factors" / "limit_up.parquet")
    on_day = limits[(limits["ukey"].str.startswith("000001"))
                    & (pd.to_datetime(limits["date"]) == locked)]
    assert on_day["value"].tolist() == [limit]  # the limit itself is derived right
    store = Store(tmp_path / "store")
    store.build(tmp_path / "market", DAYS[0].strftime("%Y%m%d"), DAYS[-1].strftime("%Y%m%d"))
    market = store.market()
    buy = market.buy_price.loc[locked, "000001"]
    assert not market.can_buy_stock.loc[locked, "000001"], (
        f"buyable at {buy!r} on a day locked at the limit {limit}")


@pytest.mark.parametrize("change", [
    {"date": "02/01/2024"}, {"code": "x"}, {"weight": "x"},
], ids=["day-first dates", "unreadable codes", "text weights"])
def test_index_members_all_rejected_are_counted(tmp_path, change):
    path, members = tmp_path / "bars.csv", tmp_path / "members.csv"
    bars().to_csv(path, index=False)
    table = pd.DataFrame({"date": DAYS.strftime("%Y%m%d").repeat(2),
                          "index_code": "000852.SH", "code": ["000001", "600000"] * len(DAYS)})
    table.assign(**change).to_csv(members, index=False)
    try:
        summary = import_daily_bars(path, tmp_path / "market", index_members=members)
    except InputError:
        return  # refusing the table in one line is fine too
    assert summary["rows_rejected"] >= len(table)


@pytest.mark.parametrize("zone", ["UTC", "America/New_York", "Asia/Shanghai"])
def test_timestamps_with_a_time_zone_keep_their_shanghai_trading_day(tmp_path, zone):
    # Shanghai midnights stored as timezone-aware UTC (or New York) timestamps were read by
    # their date in that zone: every day moved to the day before (2024-01-02 became
    # 2024-01-01, a holiday), in the daily bars and in the index bars, without a word.
    def shanghai(table):
        days = pd.to_datetime(table["date"], format="%Y%m%d")
        return table.assign(date=days.dt.tz_localize("Asia/Shanghai").dt.tz_convert(zone))

    path, index = tmp_path / "bars.parquet", tmp_path / "index.parquet"
    shanghai(bars()).to_parquet(path, index=False)
    shanghai(index_bars()).to_parquet(index, index=False)
    summary = import_daily_bars(path, tmp_path / "market", index_bars=index)
    assert (summary["first_date"], summary["last_date"]) == (
        DAYS[0].strftime("%Y-%m-%d"), DAYS[-1].strftime("%Y-%m-%d"))
    closes = pd.read_parquet(tmp_path / "market" / "factors" / "Close.parquet")
    assert sorted(set(pd.to_datetime(closes["date"]))) == list(DAYS)
    benchmark = pd.read_parquet(tmp_path / "market" / "index_daily.parquet")
    assert sorted(set(pd.to_datetime(benchmark["date"]))) == list(DAYS)


def test_a_huge_close_gives_no_limit_of_zero_the_next_day(tmp_path):
    # A close of 1e308 (finite, so accepted) made the next day's limits overflow int64: a
    # limit-up of 0.00 written without a word, and a RuntimeWarning on the console.
    table = bars()
    rows = table.index[table["code"] == "000001"]
    table.loc[rows[10], "close"] = 1e308
    table = table.drop(columns="pre_close")
    path = tmp_path / "bars.csv"
    table.to_csv(path, index=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        import_daily_bars(path, tmp_path / "market")
    limits = pd.read_parquet(tmp_path / "market" / "factors" / "limit_up.parquet")
    assert (limits["value"] > 0).all(), limits[limits["value"] <= 0]


@pytest.mark.parametrize("damage, message", [
    (lambda text: text.encode("utf-16"), "is not UTF-8 text"),
    (lambda text: text.replace("pre_close", "close", 1).encode(), "two columns named 'close'"),
], ids=["UTF-16", "a column name twice"])
def test_an_unreadable_csv_header_is_one_line_naming_the_file(tmp_path, damage, message):
    # A UTF-16 file stopped the import with "UnicodeDecodeError: 'utf-8' codec can't decode
    # byte 0xff in position 0", a header naming one column twice with "KeyError: 'Column
    # close does not exist in schema'": neither named the file.
    path = tmp_path / "bars.csv"
    path.write_bytes(damage(bars().to_csv(index=False)))
    with pytest.raises(InputError, match=message) as caught:
        import_daily_bars(path, tmp_path / "market")
    assert str(path) in str(caught.value)


@pytest.mark.parametrize("own", ["notes.txt", "metadata.pkl", "factors/readme.md"])
def test_replacing_an_output_folder_never_deletes_other_files(tmp_path, own):
    # With overwrite (the command's --force) the import replaced the whole folder: a store
    # given as --out by mistake, or any folder of the user's, was deleted with every file in
    # it. Only an earlier import (or an empty folder) may be replaced.
    path = tmp_path / "bars.csv"
    bars().to_csv(path, index=False)
    out = tmp_path / "out"
    (out / own).parent.mkdir(parents=True, exist_ok=True)
    (out / own).write_text("mine")
    with pytest.raises(InputError, match=f"refusing to replace {out}: it holds {own}"):
        import_daily_bars(path, out, overwrite=True)
    assert (out / own).read_text() == "mine"
    # An earlier import is replaced as before.
    first = import_daily_bars(path, tmp_path / "market")
    again = import_daily_bars(path, tmp_path / "market", overwrite=True)
    assert again["rows_used"] == first["rows_used"]


def test_a_price_column_named_by_its_table_name_or_a_text_column(tmp_path):
    # --buy-price naming the table's own name of a mapped column (open=o, --buy-price o),
    # or its code or date column, stopped the import with a bare "KeyError: 'o'".
    path = tmp_path / "bars.csv"
    bars().rename(columns={"open": "o"}).to_csv(path, index=False)
    for column in ("code", "date"):
        with pytest.raises(InputError, match=f"the buy price column '{column}' is the table's "
                                             f"{column} column, not a price"):
            import_daily_bars(path, tmp_path / column, columns="open=o", buy_price=column)
    import_daily_bars(path, tmp_path / "by-name", columns="open=o", buy_price="o")
    import_daily_bars(path, tmp_path / "open", columns="open=o", buy_price="open")
    for factor in ("tick_vwap_price_935_1005", "tick_vwap_price_925_1000"):
        by_name, standard = (pd.read_parquet(tmp_path / folder / "factors" / f"{factor}.parquet")
                             for folder in ("by-name", "open"))
        pd.testing.assert_frame_equal(by_name, standard)


@pytest.mark.parametrize("columns, message", [
    ("date=date,date=code", "'date' is mapped twice"),
    ("date=code", "'code' would be read as both the date and the code"),
    ("open=code", "'code' would be read as both the code and the open"),
], ids=["a name mapped twice", "date from the code column", "a price from the code column"])
def test_a_column_mapping_that_reads_one_column_as_two_is_refused(tmp_path, columns, message):
    # Each was accepted: the summary reported the mapping while the date column was read as
    # a numeric factor "date" as well, or the codes served as opening prices.
    path = tmp_path / "bars.csv"
    bars().to_csv(path, index=False)
    with pytest.raises(InputError, match=message):
        import_daily_bars(path, tmp_path / "market", columns=columns)


def test_a_vwap_beyond_the_limit_is_no_tradable_price(tmp_path):
    # One row whose amount is in yuan while the table's are in thousands: amount / volume
    # gives 110.0 on a day locked at the 11.00 limit-up, and the store let the stock be
    # bought there at 110.0 without a word.
    table = bars()
    rows = table.index[table["code"] == "000001"]
    locked = DAYS[15]
    table.loc[rows[14], "close"] = 10.0
    table.loc[rows[15], ["pre_close", "open", "close", "volume", "amount"]] = [
        10.0, 11.0, 11.0, 300, 3300.0]
    table.loc[rows[16], ["pre_close", "open", "close", "volume", "amount"]] = [
        11.0, 11.0, 10.5, 1000, 1075.0]
    path = tmp_path / "bars.csv"
    table.to_csv(path, index=False)
    summary = import_daily_bars(path, tmp_path / "market")
    assert summary["derived"]["buy vwap beyond the limits, set to the limit"] == 1
    store = Store(tmp_path / "store")
    store.build(tmp_path / "market", DAYS[0].strftime("%Y%m%d"), DAYS[-1].strftime("%Y%m%d"))
    market = store.market()
    assert market.buy_price.loc[locked, "000001"] == 11.0
    assert not market.can_buy_stock.loc[locked, "000001"]


def test_rejected_index_rows_do_not_count_against_the_daily_bars_used(tmp_path):
    # Index member rows rejected (text weights) were subtracted from the daily-bar rows
    # used: the summary said "rows used -150" of 150 daily rows, every one of them used.
    path, members = tmp_path / "bars.csv", tmp_path / "members.csv"
    bars().to_csv(path, index=False)
    table = pd.DataFrame({"date": DAYS.strftime("%Y%m%d").repeat(10),
                          "index_code": "000852.SH", "code": CODES * (2 * len(DAYS)),
                          "weight": "x"})
    table.to_csv(members, index=False)
    summary = import_daily_bars(path, tmp_path / "market", index_members=members)
    assert summary["rows_read"] == len(bars())
    assert summary["rows_used"] == len(bars())
    assert summary["rejected"]["index members: text that is not a plain ASCII number"][
        "rows"] == len(table)


@pytest.mark.parametrize("daily_return", [-1.0, -2.5])
def test_an_index_return_of_minus_100_percent_or_less_is_rejected(tmp_path, daily_return):
    # A daily return of -100 % or below (impossible for a close above 0, such as a return
    # given in percent) was accepted as the benchmark's return without a word.
    path, index = tmp_path / "bars.csv", tmp_path / "index.csv"
    bars().to_csv(path, index=False)
    table = index_bars().assign(daily_return=0.001)
    table.loc[5, "daily_return"] = daily_return
    table.to_csv(index, index=False)
    summary = import_daily_bars(path, tmp_path / "market", index_bars=index)
    assert summary["rejected"]["index bars: daily return not above -100 %"]["rows"] == 1
    returns = pd.read_parquet(tmp_path / "market" / "index_daily.parquet")["daily_return"]
    assert (returns.dropna() > -1).all()


def test_the_summary_lists_only_factor_files_that_exist(tmp_path):
    # A table without splits or dividends: the summary's written factors named
    # rq_get_dividend and split_coefficient_to, files the folder did not hold.
    path = tmp_path / "bars.csv"
    bars().drop(columns="pre_close").to_csv(path, index=False)
    summary = import_daily_bars(path, tmp_path / "market")
    files = sorted(p.name.removesuffix(".parquet")
                   for p in (tmp_path / "market" / "factors").iterdir())
    assert summary["written"]["factors"] == files


def test_an_import_that_runs_out_of_space_says_where(tmp_path):
    # With the disk full (here: a file-size limit of 4 KiB) the command ended with
    # "error: OSError: [Errno 27] Error writing bytes to file ...", naming no folder.
    import resource
    import subprocess
    import sys

    from tests.support.cli import child_env

    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))

    path = tmp_path / "bars.csv"
    bars().to_csv(path, index=False)
    out = tmp_path / "market"
    done = subprocess.run([sys.executable, "-m", "kestrelia.backtest", "import", "bars",
                           "--table", str(path), "--out", str(out)], capture_output=True,
                          text=True, timeout=120, env=child_env(), preexec_fn=limit)
    assert done.returncode == 1
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith(f"kestrelia-backtest: error: cannot write the import into {out} ("), last
    assert "OSError" not in last
    assert not out.exists() and [p.name for p in tmp_path.iterdir()] == ["bars.csv"]


def test_an_unbalanced_quote_does_not_swallow_the_rest_of_the_file(tmp_path):
    # A stray quote opening row 5 made every later row part of one field: the summary said
    # 5 rows read and 1 rejected (wrong number of fields) of a 150-row table, and the
    # import went on with the first 4.
    lines = bars().to_csv(index=False).splitlines()
    lines[5] = '"' + lines[5]
    path = tmp_path / "bars.csv"
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(InputError, match=rf"bars.csv: line 6: a quote opens a field that runs "
                                         rf"over {len(lines) - 5} lines, to line {len(lines)}"):
        import_daily_bars(path, tmp_path / "market")
    assert not (tmp_path / "market").exists()
