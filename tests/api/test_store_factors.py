"""Factors, benchmarks and index components in the store and on the market: a table with
further numeric columns and four indexes, imported and built into a store, against the
pivot of the table; the adjusted close against its day-by-day formula; updates against
whole builds; lazy reads against rewrites; stores written before factors were kept."""

import pickle
import threading

import numpy as np
import pandas as pd
import pytest

from kestrelia import singleton
from kestrelia.backtest import Market, Store, _prepare, backtest
from kestrelia.backtest._store_factors import adjusted_close
from kestrelia.dataservice import import_daily_bars
from kestrelia.errors import InputError, StoreError
from tests.support import bars
from tests.support.cli import run

SPLIT_DAY = 60


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    previous = singleton.set_instance(None)
    root = tmp_path_factory.mktemp("factors")
    tables = bars.bar_tables()
    paths = bars.write(tables, root / "tables")
    summary = import_daily_bars(paths["bars"], root / "market", index_bars=paths["index_bars"],
                                index_members=paths["members"])
    days = tables.days
    whole = Store(root / "whole")
    whole.build(root / "market", days[0], days[-1], factors=list(bars.EXTRA_COLUMNS))
    updated = Store(root / "updated")
    updated.build(root / "market", days[0], days[SPLIT_DAY - 1], factors=list(bars.EXTRA_COLUMNS))
    updated.update(root / "market", days[SPLIT_DAY], days[-1])
    yield tables, summary, whole, updated, root
    singleton.set_instance(previous)


def reference_adjusted(close, split, dividend):
    """The adjusted close day by day, stock by stock: the close on the first day, then the
    last value times (split x close + dividend) / the last close."""
    out = pd.DataFrame(np.nan, index=close.index, columns=close.columns)
    for code in close.columns:
        adj = last = None
        for day in close.index:
            price = close.at[day, code]
            if np.isnan(price):
                continue
            if last is None:
                adj = price
            else:
                s, d = split.at[day, code], dividend.at[day, code]
                adj = adj * (((1.0 if np.isnan(s) else s) * price
                              + (0.0 if np.isnan(d) else d)) / last)
            last = price
            out.at[day, code] = adj
    return out


class TestAdjustedClose:
    @pytest.mark.parametrize("seed", range(4))
    def test_equals_the_day_by_day_formula_bit_for_bit(self, seed):
        rng = np.random.default_rng(seed)
        shape = (60, 9)
        close = np.exp(rng.normal(0, 0.02, shape).cumsum(axis=0)) * 10
        close[rng.random(shape) < 0.15] = np.nan  # suspensions, late listings
        close[:20, 0] = np.nan
        close[:, 1] = np.nan  # never priced
        split = np.where(rng.random(shape) < 0.05, rng.choice([1.2, 2.0], shape), np.nan)
        dividend = np.where(rng.random(shape) < 0.05, rng.uniform(0.01, 0.5, shape), np.nan)
        frames = [pd.DataFrame(a) for a in (close, split, dividend)]
        expected = reference_adjusted(*frames).to_numpy()
        np.testing.assert_array_equal(adjusted_close(close, split, dividend), expected)
        # Continued from any row with the last close and value before it: the same bits.
        cut = int(rng.integers(1, shape[0] - 1))
        head = adjusted_close(close[:cut], split[:cut], dividend[:cut])
        rows = np.where(np.isfinite(close[:cut]), np.arange(cut)[:, None], -1).max(axis=0)
        last_close, last_adj = (np.where(rows >= 0, a[rows, np.arange(shape[1])], np.nan)
                                for a in (close[:cut], head))
        tail = adjusted_close(close[cut:], split[cut:], dividend[cut:], last_close, last_adj)
        np.testing.assert_array_equal(np.vstack([head, tail]), expected)

    def test_a_split_leaves_the_holders_return(self):
        close = np.array([[12.34], [6.27]])
        adj = adjusted_close(close, np.array([[np.nan], [2.0]]), np.array([[np.nan], [0.1]]))
        assert adj[1, 0] / adj[0, 0] - 1 == pytest.approx((2 * 6.27 + 0.1) / 12.34 - 1)

    def test_of_the_store_is_the_formula_over_its_backtest_datasets(self, built):
        _, _, whole, _, _ = built
        market = whole.market()
        expected = reference_adjusted(market.close_price, market.split_factor,
                                      market.dividend_factor)
        pd.testing.assert_frame_equal(market.adj_close, expected, check_exact=True,
                                      check_names=False)
        # A split happened, and a return across it is the holder's, not the raw fall.
        ratio = market.split_factor.where(market.split_factor != 1)
        assert ratio.notna().sum().sum() > 0
        raw = market.close_price.pct_change(fill_method=None)[ratio.notna()].stack()
        adjusted = market.adj_close.pct_change(fill_method=None)[ratio.notna()].stack()
        assert raw.max() < -0.2 and adjusted.abs().max() < 0.15


class TestTheImportedTable:
    """The 'done' case: every named column comes back as the pivot of the table."""

    @pytest.mark.parametrize("name, column", [
        *((c, c) for c in bars.EXTRA_COLUMNS),
        ("volume", "volume"), ("amount", "amount"), ("market_value", "market_value"),
        ("float_market_value", "float_market_value"), ("open", "open"), ("close", "close"),
        ("industry", "industry")])
    def test_a_factor_is_the_pivot_of_its_column(self, built, name, column):
        tables, _, whole, _, _ = built
        market = whole.market()
        expected = tables.pivot(column).reindex(index=market.dates.strftime("%Y%m%d"),
                                                columns=market.codes)
        got = market.factor(name)
        np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())
        assert got.index.equals(market.dates) and got.columns.equals(market.codes)

    def test_attributes_flags_and_listing_days(self, built):
        tables, _, whole, _, _ = built
        market = whole.market()
        days = market.dates.strftime("%Y%m%d")
        st = tables.pivot("is_st").reindex(index=days, columns=market.codes)
        assert market.is_st.dtypes.eq(bool).all()
        np.testing.assert_array_equal(market.is_st.to_numpy(), st.fillna(0).to_numpy() > 0)
        assert market.open_price is market.factor("open")
        late = tables.bars.groupby("code")["date"].min()
        first = pd.Series(days.get_indexer(late.to_numpy()), index=late.index)
        position = np.arange(len(days))[:, None]
        expected = np.where(position >= first.reindex(market.codes).to_numpy()[None, :],
                            position - first.reindex(market.codes).to_numpy()[None, :] + 1,
                            np.nan)
        np.testing.assert_array_equal(market.listed_days.to_numpy(), expected)
        assert market.factor("close").to_numpy() is not None
        np.testing.assert_array_equal(market.factor("close"), market.close_price)

    def test_four_benchmarks_and_the_members_of_the_fourth(self, built):
        tables, summary, whole, _, _ = built
        market = whole.market()
        assert list(market.benchmarks) == ["000852", "000300", "000905", bars.FOURTH_INDEX]
        assert summary["written"]["benchmarks"] == list(market.benchmarks)
        closes = tables.index_bars[tables.index_bars["index_code"] == "000001.SH"]
        expected = closes.set_index("date")["close"].pct_change().dropna()
        np.testing.assert_allclose(market.benchmarks["000001"].to_numpy(),
                                   expected.loc[market.benchmarks["000001"].index.strftime(
                                       "%Y%m%d")].to_numpy(), rtol=1e-12)
        members = market.components(bars.FOURTH_INDEX)
        assert members.dtypes.eq(bool).all()
        assert members.any().to_dict() == {c: c.startswith("6") for c in market.codes}
        assert bars.FOURTH_INDEX in market.component_codes

    def test_a_backtest_against_the_fourth_through_the_api_and_the_tool(self, built, capsys,
                                                                         tmp_path):
        _, _, whole, _, _ = built
        market = whole.market()
        weights = (market.adj_close.pct_change(5, fill_method=None).rank(axis=1) <= 5)
        weights = weights.astype(float).where(weights) / 5
        result = backtest(weights, market, benchmark=bars.FOURTH_INDEX)
        assert result.benchmark_summary["benchmark_name"].tolist()[-1] == bars.FOURTH_INDEX
        weights.index = weights.index.strftime("%Y%m%d")
        weights.to_parquet(tmp_path / "w.parquet")
        code, out, err = run(capsys, "run", "--store", whole.path, "--weights",
                             tmp_path / "w.parquet", "--benchmark", bars.FOURTH_INDEX,
                             "--out", tmp_path / "report")
        assert code == 0, err
        assert bars.FOURTH_INDEX in out
        code, _, err = run(capsys, "run", "--store", whole.path, "--weights",
                           tmp_path / "w.parquet", "--benchmark", "399999", "--out",
                           tmp_path / "other")
        assert code == 1 and "--benchmark 399999: the store has no such index (it has " \
            "000852, 000300, 000905, 000001)" in err


class TestUpdate:
    def test_an_updated_store_holds_what_a_whole_build_holds(self, built):
        _, _, whole, updated, _ = built
        a, b = whole.market(), updated.market()
        assert a.factors == b.factors
        for name in a.factors:
            pd.testing.assert_frame_equal(a.factor(name), b.factor(name), check_exact=True,
                                          obj=name)
        for code in a.benchmarks:
            pd.testing.assert_series_equal(a.benchmarks[code], b.benchmarks[code],
                                           check_exact=True)
        pd.testing.assert_frame_equal(a.components("000001"), b.components("000001"))
        assert updated.verify() == [] and whole.verify() == []

    def test_info_lists_what_the_build_kept(self, built):
        _, _, whole, _, _ = built
        info = whole.info()
        assert info["factors"] == ["adj_close", "open", "close", "volume", "amount",
                                   "market_value", "float_market_value", "industry", "is_st",
                                   "listed_days", "pe", "turnover"]
        assert info["factors_absent"] == {}
        assert info["benchmarks"] == ["000852", "000300", "000905", "000001"]


class TestLoading:
    def test_lazy_reads_refuse_a_store_rewritten_since(self, built, tmp_path):
        _, _, _, _, root = built
        days = bars.bar_tables().days
        store = Store(tmp_path / "s")
        store.build(root / "market", days[0], days[40])
        lazy = store.market()
        eager = store.market(factors=["volume"])
        before = eager.volume.copy()
        store.update(root / "market", days[41], days[45])
        with pytest.raises(StoreError, match=r"was rewritten after this market was loaded .* "
                                             r"the factor 'amount' would not match"):
            lazy.factor("amount")
        with pytest.raises(StoreError, match="rewritten"):
            lazy.components("000001")
        # What was loaded with the market stays (the replaced files stay mapped).
        pd.testing.assert_frame_equal(eager.volume, before)
        with pytest.raises(InputError, match=r"the factor 'amount' was not loaded: "
                                             r"Store\.market\(factors=\[\.\.\.\]\) loads only"):
            eager.factor("amount")
        assert eager.factors == ["volume"]
        assert len(store.market().adj_close) == 46

    def test_a_factor_the_store_lacks_names_what_it_needs(self, built):
        _, _, whole, _, _ = built
        with pytest.raises(InputError, match=r"the source has no factor 'p_e' \(did you mean "
                                             r"'pe'\?\)"):
            whole.build(built[4] / "market", "20230103", "20230301", force=True,
                        factors=["p_e"])
        with pytest.raises(InputError, match=r"holds no factor 'nope' \(it has: adj_close"):
            whole.market().factor("nope")
        with pytest.raises(InputError, match="holds no factor 'nope'"):
            whole.market(factors=["nope"])

    def test_read_only_pickled_sliced_and_threaded(self, built):
        _, _, whole, _, _ = built
        market = whole.market(mmap=False)
        frozen = market.read_only()
        with pytest.raises(ValueError, match="read-only"):
            frozen.factor("pe").iloc[0, 0] = 1.0
        again = pickle.loads(pickle.dumps(market))
        pd.testing.assert_frame_equal(again.factor("turnover"), market.factor("turnover"),
                                      check_freq=False)
        part = market.slice("2023-02-01", "2023-02-28")
        pd.testing.assert_frame_equal(part.volume, market.volume.loc["2023-02-01":"2023-02-28"])
        fresh = whole.market()
        seen = []
        threads = [threading.Thread(target=lambda: seen.append(fresh.factor("amount")))
                   for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(seen) == 4 and all(frame is seen[0] for frame in seen)


class TestOldStores:
    def test_a_store_written_before_factors_opens_without_them(self, built, tmp_path):
        """What Store.build wrote before: the builder's payload, nothing more."""
        _, _, _, _, root = built
        from kestrelia.dataservice import LocalFactorService

        previous = singleton.set_instance(LocalFactorService(root / "market"))
        try:
            payload = _prepare.GroupPreparedDataBuilder(start_date="20230103",
                                                        end_date="20230301").build()
        finally:
            singleton.set_instance(previous)
        _prepare.BinaryPreparedDataStore(str(tmp_path / "old")).write(payload)
        store = Store(tmp_path / "old")
        info = store.info()
        assert info["factors"] is None and info["benchmarks"] == ["000852", "000300", "000905"]
        market = store.market()
        assert market.factors == [] and len(market.benchmarks) == 3
        with pytest.raises(InputError, match="was written before stores kept factors, so it "
                                             "holds no 'adj_close'; build it again"):
            _ = market.adj_close
        store.update(root / "market", "20230302", "20230310")
        assert store.info()["factors"] is None and store.verify() == []


class TestMarketFactors:
    def test_given_factors_are_checked_and_relabelled(self, market):
        frames = market.matrices()
        volume = market.close_price * 0 + 100.0
        made = Market(**frames, factors={"volume": volume, "flag": volume > 50})
        assert made.volume.index.equals(made.dates) and made.factors == ["volume", "flag"]
        assert np.shares_memory(made.volume.to_numpy(), volume.to_numpy())
        with pytest.raises(InputError, match=r"factor 'volume': its stock codes differ"):
            Market(**frames, factors={"volume": volume.iloc[:, 1:]})
        with pytest.raises(InputError, match=r"factor 'name': column '600000' is .*, not numeric"):
            Market(**frames, factors={"name": volume.astype(str)})
        with pytest.raises(InputError, match=r"holds no factor 'market_value' \(it has: volume, "
                                             r"flag\); a store keeps it when its source has "
                                             r"the 'market_value' factor"):
            _ = made.market_value
        with pytest.raises(InputError, match="no members of the index '000300'"):
            made.components("000300")


class TestCommandLine:
    def test_build_keeps_named_factors_and_verify_checks_them(self, built, capsys, tmp_path):
        root = built[4]
        code, out, err = run(capsys, "store", "build", "--source", root / "market", "--store",
                             tmp_path / "s", "--start", "20230103", "--end", "20230301",
                             "--factor", "pe")
        assert code == 0, err
        assert "factors        adj_close, open, close, volume, amount, market_value, " \
            "float_market_value, industry, is_st, listed_days, pe" in out
        assert "benchmarks     000852, 000300, 000905, 000001" in out
        metadata = Store(tmp_path / "s")._metadata(Store(tmp_path / "s")._native())
        pe = tmp_path / "s" / metadata["datasets"]["factor_pe"]["file"]
        data = bytearray(pe.read_bytes())
        data[-3] ^= 0xFF
        pe.write_bytes(bytes(data))
        code, out, _ = run(capsys, "store", "verify", tmp_path / "s")
        assert code == 1 and out.startswith("dataset factor_pe: ") and "checksum" in out

    def test_a_sweep_against_the_fourth_benchmark(self, built):
        from kestrelia.backtest import sweep

        _, _, whole, _, _ = built

        def small_caps(market):
            ranks = market.market_value.rank(axis=1)
            return (ranks <= 3).astype(float).where(ranks <= 3) / 3

        grid = sweep({"small": small_caps}, whole.path, benchmark=bars.FOURTH_INDEX, workers=1,
                     progress=False)
        assert grid.failed == {} and list(grid.stats.index) == ["small"]
        with pytest.raises(InputError, match="benchmark '399999' is not in the market"):
            sweep({"small": small_caps}, whole.path, benchmark="399999", workers=1,
                  progress=False)
