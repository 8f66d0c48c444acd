"""Store round trips through the public layer, and what a result shows and saves."""

import json
import os

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from kestrelia import singleton
from kestrelia.backtest import InputError, Market, Store, StoreError, backtest
from kestrelia.backtest.app.demo_market import generate_market
from kestrelia.dataservice import LocalFactorService, write_factor_folder


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    folder = tmp_path_factory.mktemp("source") / "market"
    generated = generate_market(n_stocks=50, years=0.3, seed=11)
    write_factor_folder(folder, generated.factors, generated.index_daily)
    return folder, list(generated.dates.strftime("%Y%m%d"))


@pytest.fixture(scope="module")
def built(source, tmp_path_factory):
    folder, dates = source
    store = Store(tmp_path_factory.mktemp("stores") / "s")
    store.build(folder, dates[0], dates[-1])
    return store, dates


def is_mapped(frame):
    base = frame.to_numpy()
    while base is not None and not isinstance(base, np.memmap):
        base = base.base
    return base is not None


class TestStore:
    def test_build_update_info_market(self, source, tmp_path):
        folder, dates = source
        marker = object()
        previous = singleton.set_instance(marker)
        try:
            store = Store(tmp_path / "s")
            store.build(LocalFactorService(folder), dates[0], dates[30])
            assert singleton.get_instance() is marker  # the caller's client is back
            store.update(folder, dates[28], dates[-1])
            assert singleton.get_instance() is marker
            with pytest.raises(InputError, match="not a factor folder"):
                store.update(tmp_path, dates[28], dates[-1])
            assert singleton.get_instance() is marker
        finally:
            singleton.set_instance(previous)
        info = store.info()
        assert (info["first_date"], info["last_date"], info["trading_days"]) == (dates[0], dates[-1], len(dates))
        assert store.verify() == []
        market = store.market(dates[5], dates[20])
        assert list(market.dates.strftime("%Y%m%d")) == dates[5:21]
        assert set(market.benchmarks) == {"000852", "000300", "000905"}
        assert market.can_buy_stock.dtypes.map(pd.api.types.is_bool_dtype).all()
        full = Market.from_store(store.path, mmap=False)
        pd.testing.assert_frame_equal(full.close_price.loc[dates[5]:dates[20]], market.close_price)
        assert "rq_index_components_new_000852.XSHG" in store.components()

    def test_store_problems_are_store_errors(self, built, tmp_path, source):
        store, dates = built
        with pytest.raises(StoreError, match="already holds a store; pass force=True"):
            store.build(source[0], dates[0], dates[-1])
        with pytest.raises(StoreError, match="is not a prepared-data store"):
            Store(tmp_path).info()
        with pytest.raises(InputError, match="start 20240301 is after end 20240101"):
            store.build(source[0], "2024-03-01", "20240101", force=True)
        with pytest.raises(InputError, match="start '01/03/2024' is not an unambiguous date"):
            store.market("01/03/2024")
        with pytest.raises(InputError, match="no trading days between 19990101 and 19990201"):
            store.market("19990101", "19990201")

    @pytest.mark.parametrize("first, last", [(None, None), (3, None), (None, -4)])
    def test_market_from_store_is_the_stores_market(self, built, first, last, monkeypatch):
        store, dates = built
        # One bound as YYYYMMDD text, the other as an ISO date.
        window = (None if first is None else dates[first],
                  None if last is None else pd.Timestamp(dates[last]).date().isoformat())
        # "~" is read as the store does: the same folder, the same recorded path.
        monkeypatch.setenv("HOME", str(store.path.parent))
        for mmap in (True, False):
            ours = Market.from_store(f"~/{store.path.name}", *window, mmap=mmap)
            theirs = store.market(*window, mmap=mmap)
            assert (ours.store_path, ours.store_window) == (theirs.store_path, theirs.store_window)
            assert type(ours) is Market and ours.benchmarks.keys() == theirs.benchmarks.keys()
            for name, frame in theirs.matrices().items():
                pd.testing.assert_frame_equal(getattr(ours, name), frame)
                assert is_mapped(getattr(ours, name)) == mmap, name
        with pytest.raises(StoreError, match=f"{store.path.parent} is not a prepared-data store"):
            Market.from_store(store.path.parent)

    @pytest.mark.parametrize("args, error", [
        (("20240301", "20240101"), "start 20240301 is after end 20240101"),
        (("01/03/2024",), "start '01/03/2024' is not an unambiguous date"),
        (("19990101", "19990201"), "no trading days between 19990101 and 19990201"),
    ])
    def test_market_from_store_refuses_as_the_store_does(self, built, args, error):
        store, _ = built
        for load in (store.market, lambda *a: Market.from_store(store.path, *a)):
            with pytest.raises(InputError, match=error):
                load(*args)

    def test_a_damaged_file_is_reported(self, built, tmp_path):
        import shutil

        store, _ = built
        copy = Store(tmp_path / "copy")
        shutil.copytree(store.path, copy.path)
        victim = next(p for p in copy.path.iterdir() if p.name.startswith("close_price."))
        victim.write_bytes(victim.read_bytes()[:200])
        problems = copy.verify()
        assert len(problems) >= 1 and "close_price" in problems[0]


@pytest.fixture(scope="module")
def result(built):
    store, _ = built
    market = store.market()
    close = market.close_price
    weights = (close.rank(axis=1) <= 10).astype(float).where(close.notna()) / 10
    return backtest(weights.where(weights > 0), market, rolling_window=2, name="mine")


class TestResult:
    def test_tables(self, result, pelorin):
        from kestrelia.backtest import _core

        assert result.name == "mine" and result.parameters["rolling_window"] == 2
        assert result.stats.dtype == float and "annual_return" in result.stats
        assert list(result.benchmark_summary["benchmark_name"]) == ["000852", "000300", "000905"]
        yearly = pelorin._calc_yearly_performance_metrics(
            _core._with_datetime_index(result.daily)[["daily_return", "index_daily_return",
                                                      "extra_daily_return"]])
        pd.testing.assert_frame_equal(result.yearly, yearly)
        page = result._repr_html_()
        assert "<table>" in page and "mine" in page and "Annual return" in page

    @pytest.mark.slow
    def test_figures_write_no_file(self, result, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        figures = result.figures("long")
        assert set(figures) == {"main", "weekly_net_value"}
        assert all(isinstance(f, Figure) for f in figures.values())
        width, height = figures["main"].get_size_inches()
        assert height > width  # the tall layout
        assert list(tmp_path.iterdir()) == []
        with pytest.raises(InputError, match="kind must be 'large' or 'long'"):
            result.figures("huge")

    @pytest.mark.slow
    def test_save_writes_the_report_once(self, result, tmp_path):
        files = result.save(tmp_path / "r")
        assert sorted(p.name for p in files) == sorted([
            "stats.json", "mine_daily.csv", "mine_daily.parquet", "benchmark_summary.csv",
            "metrics.csv", "monthly.csv", "yearly.csv", "mine.png", "mine_weekly_net_value.png",
            "report.html"])
        assert all(p.stat().st_size > 0 for p in files)
        document = json.loads((tmp_path / "r" / "stats.json").read_text())
        assert document["stats"]["annual_return"] == pytest.approx(result.stats["annual_return"])
        daily = pd.read_parquet(tmp_path / "r" / "mine_daily.parquet")
        pd.testing.assert_frame_equal(daily, result.daily, check_index_type=False)
        stamp = (tmp_path / "r" / "stats.json").stat().st_mtime_ns
        with pytest.raises(InputError, match=r"stats\.json already exists; pass force=True"):
            result.save(tmp_path / "r")
        assert (tmp_path / "r" / "stats.json").stat().st_mtime_ns == stamp
        result.save(tmp_path / "r", force=True)

    @pytest.mark.slow
    def test_stats_json_is_strict(self, result, tmp_path):
        stats = dict(result._engine["stats"])
        stats.update(sharp=float("nan"), extra_sharp=float("inf"), max_dd=-float("inf"))
        doctored = type(result).__new__(type(result))
        doctored.__dict__.update(result.__dict__, _engine={**result._engine, "stats": stats})
        doctored.save(tmp_path)
        text = (tmp_path / "stats.json").read_text()
        for token in ("NaN", "Infinity"):
            assert token not in text
        values = json.loads(text)["stats"]
        assert values["sharp"] is None and values["extra_sharp"] is None and values["max_dd"] is None


@pytest.mark.slow
def test_figures_and_backtests_in_threads(built):
    import threading

    store, _ = built
    market = store.market()
    close = market.close_price
    weights = (close.rank(axis=1) <= 5).astype(float).where(close.notna()) / 5
    weights = weights.where(weights > 0)
    serial = backtest(weights, market).returns
    errors = []

    def work():
        try:
            result = backtest(weights, market)
            pd.testing.assert_series_equal(result.returns, serial)
            assert len(result.figures()) == 2
        except BaseException as exc:  # reported to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert np.isfinite(serial).all() and os.path.exists(store.path)


class TestMetricsAndReport:
    def test_metrics_tables_follow_the_returns_and_the_primary_benchmark(self, result):
        from kestrelia.backtest.metrics import compute_metrics, drawdown_periods, monthly_returns

        held = result._engine["held"]
        expected = compute_metrics(
            result.returns, result.daily["index_daily_return"],
            turnover=result._engine["traded"] / (2 * result.parameters["capital"]), holdings=held)
        pd.testing.assert_series_equal(result.metrics, expected)
        assert result.metrics["total_return"] == pytest.approx(result.returns.sum(), rel=1e-12)
        assert np.isfinite(result.metrics["beta"])
        pd.testing.assert_frame_equal(result.monthly, monthly_returns(result.returns))
        pd.testing.assert_frame_equal(result.drawdowns(3), drawdown_periods(result.returns, 3))
        # The monthly totals add up to the whole run's return.
        assert result.monthly["Year"].sum() == pytest.approx(result.returns.sum(), rel=1e-12)

    def test_the_page_and_the_notebook_show_the_figures(self, result):
        from tests.support.report_tables import table_rows

        metrics = result.metrics
        # The notebook view: the metrics' headline, its Sharpe ratio a number (it once read a
        # key the engine does not have, and showed --).
        notebook = dict(table_rows(result._repr_html_())[0])
        assert notebook["Sharpe ratio"] == f"{metrics['sharpe']:.2f}" != "--"
        assert notebook["Max drawdown"] == f"{metrics['max_drawdown']:.2%}"
        assert metrics["max_drawdown"] < 0
        page = result.report_html()
        tables = table_rows(page)
        parameters = dict(next(rows for rows in tables if rows[0] == ("Parameter", "Value")))
        assert parameters["capital"] == "100,000,000"  # money with thousands separators
        summary = next(rows for rows in tables if rows[0][0].startswith("benchmark_name"))
        # One row per benchmark, named by it: no stray 0, 1, 2 column.
        assert [row[0] for row in summary[1:]] == list(result.benchmark_summary["benchmark_name"])
        assert len(summary[0]) == len(result.benchmark_summary.columns)

    def test_no_benchmark_metrics_against_the_flat_benchmark(self, built):
        store, _ = built
        market = store.market()
        flat = Market(**market.matrices())
        weights = pd.DataFrame(0.02, index=flat.dates, columns=flat.codes)
        alone = backtest(weights, flat, name="flat")
        assert "beta" not in alone.metrics.index

    @pytest.mark.slow
    def test_saved_tables_and_page(self, result, tmp_path):
        result.save(tmp_path)
        metrics = pd.read_csv(tmp_path / "metrics.csv", index_col=0)["value"]
        assert float(metrics["annual_return"]) == pytest.approx(result.metrics["annual_return"])
        monthly = pd.read_csv(tmp_path / "monthly.csv", index_col=0)
        assert monthly.shape == result.monthly.shape
        page = (tmp_path / "report.html").read_text(encoding="utf-8")
        assert page.count("data:image/png;base64,") == 2
        assert "http://" not in page and "https://" not in page and "<script" not in page
        for section in ("Headline", "Run parameters", "Risk and return metrics",
                        "Monthly returns", "The engine's statistics", "Yearly table",
                        "Benchmark summary", "Drawdown periods",
                        "Glossary of the engine's figures"):
            assert section in page


def renamed(result, name):
    """A copy of ``result`` under another strategy name (the fixture stays as it is)."""
    import copy

    other = copy.copy(result)
    other.name = name
    return other


@pytest.mark.slow
class TestSaveNamesAndFailures:
    @pytest.mark.parametrize("name", ["$$", "a $_$ b", r"cost \$5 $x^2$", "_under"])
    def test_names_are_drawn_as_they_are(self, result, tmp_path, monkeypatch, name):
        from tests.support.drawn import drawn_texts

        named = renamed(result, name)
        # Every chart drawn in this process, where the spy sees it.
        monkeypatch.setenv("KESTRELIA_FORK", "0")
        with drawn_texts() as drawn:
            files = named.save(tmp_path)
        assert {p.name for p in files} >= {f"{name}.png", f"{name}_weekly_net_value.png",
                                           "report.html"}
        titles = [(text, math) for text, math in drawn if text.startswith(f"{name} | ")]
        # Both charts' titles show the name literally, neither through the math typesetter.
        assert len(titles) == 2 and not any(math for _, math in titles), titles
        assert json.loads((tmp_path / "stats.json").read_text())["strategy_name"] == name

    @pytest.mark.parametrize("name, fits", [
        ("n" * 234, True),  # + "_weekly_net_value.png" = 255 bytes
        ("n" * 235, False),
        ("€" * 78, True),  # 234 bytes of UTF-8
        ("€" * 79, False),  # 79 characters, but 237 bytes
    ], ids=["ascii-fits", "ascii-too-long", "utf8-fits", "utf8-too-long"])
    def test_a_name_too_long_for_a_file_is_refused_before_writing(self, result, tmp_path,
                                                                     name, fits):
        out = tmp_path / "out"
        named = renamed(result, name)
        if fits:
            assert len(named.save(out)) == 10
            return
        with pytest.raises(InputError, match=r"too long for a file name: .* at most 255"):
            named.save(out)
        assert not out.exists()

    def test_a_failure_half_way_leaves_nothing_and_keeps_what_was_there(self, result,
                                                                         tmp_path, monkeypatch):
        out = tmp_path / "r"
        with monkeypatch.context() as patch:
            patch.setattr(pd.DataFrame, "to_csv", lambda *a, **k: (_ for _ in ()).throw(
                OSError("No space left on device")))
            with pytest.raises(OSError, match="No space left"):
                result.save(out)
        assert not out.exists()
        result.save(out)
        before = {p.name: p.read_bytes() for p in out.iterdir()}
        with monkeypatch.context() as patch:
            patch.setattr(type(result), "yearly", property(lambda self: 1 / 0))
            with pytest.raises(ZeroDivisionError):
                result.save(out, force=True)
        assert {p.name: p.read_bytes() for p in out.iterdir()} == before

    def test_files_get_the_mode_the_umask_gives(self, result, tmp_path):
        from kestrelia.backtest.report import write_report

        previous = os.umask(0o027)
        try:
            files = result.save(tmp_path / "r")
            page = write_report(tmp_path / "alone.html", title="alone")
        finally:
            os.umask(previous)
        modes = {p.name: oct(p.stat().st_mode & 0o777) for p in [*files, page]}
        assert set(modes.values()) == {oct(0o640)}, modes
