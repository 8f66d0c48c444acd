"""Sweeps: many strategies over one market on threads and on a local Dask cluster give the
results of one backtest each; failures stay one line each and never lose the others; options
are checked before anything runs; a strategy past its time and Ctrl-C stop waiting at once."""

import dataclasses
import functools
import inspect
import io
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import Market, backtest, sweep, sweeps
from kestrelia.backtest._prepare import BinaryPreparedDataStore
from kestrelia.errors import InputError, StoreError
from tests.support.markets import make_market

OPTIONS = {"benchmark": "000852", "fee": 0.0003, "rule_fee": 0.001, "capital": 1e7}


def synthetic(seed=3, n_days=90, n_stocks=30):
    m = make_market(n_days=n_days, n_stocks=n_stocks, seed=seed)
    bench = pd.Series(np.random.default_rng(seed).normal(0, 0.01, n_days), index=m.close_price.index)
    market = Market(**m.matrices(), benchmarks={"000852": bench})
    return m, market


def top_k(market, k):
    """Equal weights on the k highest closes of each day (a deterministic grid strategy)."""
    close = market.close_price
    rank = close.rank(axis=1, ascending=False, method="first")
    picked = (rank <= k).astype(float).where(rank <= k)
    return picked.div(picked.sum(axis=1), axis=0)


def strategies(m):
    grid = {f"top{k}": functools.partial(top_k, k=k) for k in (3, 8, 15)}
    return {"given": m.weights, **grid, "raises": _raises,
            "wrong type": lambda market: "not a frame"}


def _raises(market):
    raise RuntimeError("factor file is corrupt")


def expected_alone(market, items):
    out = {}
    for name, strategy in items.items():
        try:
            weights = strategy(market) if callable(strategy) else strategy
            out[name] = backtest(weights, market, name=name, **OPTIONS)
        except Exception:
            continue
    return out


def assert_matches_alone(result, alone):
    assert list(result.stats.index) == list(alone)
    for name, single in alone.items():
        pd.testing.assert_series_equal(result.returns[name].dropna(), single.returns,
                                       check_names=False, check_freq=False)
        # The engine's statistics under an engine_ prefix, the metrics under their names.
        engine = result.stats.loc[name, [f"engine_{k}" for k in single.stats.index]]
        np.testing.assert_array_equal(engine.astype(float).to_numpy(),
                                      single.stats.astype(float).to_numpy())
        metrics = result.stats.loc[name, list(single.metrics.index)]
        for key, value in single.metrics.items():
            assert metrics[key] == value or (pd.isna(metrics[key]) and pd.isna(value)), key
        assert not set(single.stats.index) & set(result.stats.columns) - set(single.metrics.index)


class TestThreads:
    @pytest.mark.parametrize("workers", [1, 2, 4])
    def test_equals_one_backtest_each(self, workers):
        m, market = synthetic()
        items = strategies(m)
        result = sweep(items, market, workers=workers, progress=False, **OPTIONS)
        assert_matches_alone(result, expected_alone(market, items))
        assert result.failed == {
            "raises": "RuntimeError: factor file is corrupt",
            "wrong type": "the strategy's callable returned str, not a weights DataFrame",
        }

    def test_strategy_files_and_a_missing_one(self, tmp_path):
        m, market = synthetic()
        path = tmp_path / "w.csv"
        m.weights.to_csv(path)
        result = sweep({"file": path, "missing": tmp_path / "nope.parquet"}, market,
                       progress=False, **OPTIONS)
        alone = backtest(m.weights, market, name="file", **OPTIONS)
        pd.testing.assert_series_equal(result.returns["file"].dropna(), alone.returns,
                                       check_names=False, check_freq=False)
        assert list(result.failed) == ["missing"] and "nope.parquet" in result.failed["missing"]

    def test_bad_arguments(self):
        _, market = synthetic()
        with pytest.raises(InputError, match="no strategies given"):
            sweep({}, market)
        with pytest.raises(InputError, match="must be a mapping"):
            sweep([("a", None)], market)
        with pytest.raises(InputError, match="workers must be a whole number"):
            sweep({"a": _raises}, market, workers=0)
        with pytest.raises(TypeError, match="'name'"):
            sweep({"a": _raises}, market, name="x")
        with pytest.raises(InputError, match="market must be a Market or a store path"):
            sweep({"a": _raises}, 3.5)

    def test_all_failing_gives_empty_tables(self):
        _, market = synthetic()
        result = sweep({"a": _raises, "b": _raises}, market, progress=False)
        assert result.stats.empty and result.returns.empty and len(result.failed) == 2

    def test_progress_bar_only_on_a_terminal(self, monkeypatch):
        m, market = synthetic(n_days=30, n_stocks=8)

        class Terminal(io.StringIO):
            def isatty(self):
                return True

        stream = Terminal()
        monkeypatch.setattr(sys, "stderr", stream)
        sweep({"a": m.weights, "b": m.weights}, market, progress=True)
        assert "2/2" in stream.getvalue()
        quiet = Terminal()
        monkeypatch.setattr(sys, "stderr", quiet)
        sweep({"a": m.weights}, market, progress=False)
        assert quiet.getvalue() == ""


def test_a_strategy_cannot_change_the_market_of_the_others():
    _, market = synthetic()
    before = backtest(top_k(market, 5), market, **OPTIONS).returns

    def rebinds(mk):
        mk.buy_price = mk.buy_price * 1.5
        return top_k(mk, 5)

    def writes(mk):
        mk.buy_price.iloc[:, :] = 1.0
        return top_k(mk, 5)

    def writes_the_array(mk):
        mk.sell_price.to_numpy()[:] = 1.0
        return top_k(mk, 5)

    grid = {"rebinds": rebinds, "writes": writes, "writes_the_array": writes_the_array,
            **{f"top5_{i}": functools.partial(top_k, k=5) for i in range(3)}}
    result = sweep(grid, market, workers=2, progress=False, **OPTIONS)
    assert result.failed["rebinds"].startswith("AttributeError: a Market cannot be changed")
    assert "read-only" in result.failed["writes"]
    assert "read-only" in result.failed["writes_the_array"]
    for i in range(3):
        pd.testing.assert_series_equal(result.returns[f"top5_{i}"], before, check_names=False)
    pd.testing.assert_series_equal(backtest(top_k(market, 5), market, **OPTIONS).returns, before)


class TestResult:
    @pytest.mark.slow
    def test_figure_save_and_legend_limits(self, tmp_path):
        m, market = synthetic(n_days=40, n_stocks=20)
        rng = np.random.default_rng(0)
        many = {f"s{i:02d}": m.weights.mul(rng.random(), axis=0) for i in range(60)}
        result = sweep(many, market, progress=False)
        fig = result.figure(top=10)
        ax = fig.axes[0]
        assert len(ax.get_legend().get_texts()) == 10
        assert len(ax.lines) == 60 + 1  # every strategy and the 1.0 line
        net = result.net_values()
        assert (net.iloc[-1].diff().dropna() <= 0).all()  # best first
        files = result.save(tmp_path / "out")
        assert {f.name for f in files} == {"stats.csv", "stats.parquet", "returns.csv",
                                          "returns.parquet", "failed.csv", "sweep.png"}
        assert pd.read_parquet(tmp_path / "out" / "returns.parquet").shape == result.returns.shape
        with pytest.raises(InputError, match="already exists"):
            result.save(tmp_path / "out")

    def test_names_shown_as_they_are_and_a_partial_result_says_so(self, tmp_path):
        from tests.support.drawn import drawn_texts

        m, market = synthetic(n_days=30, n_stocks=8)
        whole = sweep({"a $_$ b": m.weights, "_hidden": m.weights * 0.5}, market,
                      progress=False)
        partial = dataclasses.replace(whole, unfinished=["c", "d"])
        assert repr(partial).endswith("partial: 2 not finished)")
        with drawn_texts() as drawn:
            files = partial.save(tmp_path)
        assert "partial.txt" in {f.name for f in files}
        assert "2 of 4 strategies finished" in (tmp_path / "partial.txt").read_text()
        shown = {text.split(" (")[0] for text, math in drawn if not math}
        assert {"a $_$ b", "_hidden"} <= shown
        assert any("2 of 4 strategies finished" in text for text, _ in drawn)
        with pytest.raises(InputError, match="already exists"):
            whole.save(tmp_path)
        whole.save(tmp_path, force=True)  # a whole sweep over a partial one drops its note
        assert not (tmp_path / "partial.txt").exists()
        assert not any(p.name.startswith(".") for p in tmp_path.iterdir())


@pytest.fixture
def gate():
    """Held strategies wait on this; it opens when the test ends, so none outlives it long."""
    event = threading.Event()
    yield event
    event.set()


def held(weights, gate, before=None, limit=20.0):
    """A strategy that keeps the sweep busy until the gate opens (at most ``limit`` s)."""

    def strategy(market):
        if before is not None:
            before()
        gate.wait(limit)
        return weights

    return strategy


def sleepy(weights, seconds, market):
    time.sleep(seconds)
    return weights


class TestOptions:
    def test_a_misspelt_option_is_a_type_error_before_any_strategy_runs(self):
        _, market = synthetic(n_days=30, n_stocks=8)
        calls = []
        with pytest.raises(TypeError, match="'lotsize'"):
            sweep({"a": calls.append}, market, lotsize=100)
        assert calls == []

    @pytest.mark.parametrize("option, value, message", [
        ("fee", 2.0, "fee must be a finite rate in [0, 1), got 2.0"),
        ("rule_fee", -0.1, "rule_fee must be a finite rate"),
        ("capital", 0, "capital must be a finite number greater than 0"),
        ("lot_size", 0, "lot_size must be at least 1"),
        ("lot_size", 100.0, "lot_size must be an integer"),
        ("rolling_window", -1, "rolling_window must be at least 0"),
        ("benchmark", 852, "benchmark must be text"),
        ("benchmark", "000300", "benchmark '000300' is not in the market"),
        ("timeout", 0, "timeout must be a number of seconds greater than 0"),
        ("timeout", float("inf"), "timeout must be a number of seconds"),
        ("timeout", True, "timeout must be a number of seconds"),
    ])
    def test_bad_values_are_refused_before_any_strategy_runs(self, option, value, message):
        _, market = synthetic(n_days=30, n_stocks=8)
        calls = []
        with pytest.raises(InputError, match=re.escape(message)):
            sweep({"a": calls.append}, market, progress=False, **{option: value})
        assert calls == []

    def test_every_option_of_backtest_is_an_option_of_sweep(self):
        sweeps_own = inspect.signature(sweep).parameters
        for name, parameter in inspect.signature(backtest).parameters.items():
            if parameter.kind is not inspect.Parameter.KEYWORD_ONLY or name == "name":
                continue
            assert name in sweeps_own, f"sweep() lacks backtest()'s option {name!r}"
            theirs = sweeps_own[name]
            assert (theirs.kind, theirs.default, theirs.annotation) == (
                parameter.kind, parameter.default, parameter.annotation), name

    def test_lot_size_and_execution_reach_every_backtest(self):
        m, market = synthetic()
        result = sweep({"given": m.weights}, market, lot_size=100, execution=True,
                       progress=False, **OPTIONS)
        alone = backtest(m.weights, market, lot_size=100, execution=True, **OPTIONS)
        assert not alone.returns.equals(backtest(m.weights, market, **OPTIONS).returns)
        pd.testing.assert_series_equal(result.returns["given"].dropna(), alone.returns,
                                       check_names=False, check_freq=False)
        assert result.stats.loc["given", "execution_trades"] == alone.execution.summary["trades"]


class TestTimeoutAndInterrupt:
    @pytest.mark.slow
    def test_a_strategy_past_the_timeout_fails_and_frees_its_place(self, gate):
        m, market = synthetic(n_days=30, n_stocks=8)
        items = {"slow": held(m.weights, gate), "quick": m.weights, "quick2": m.weights}
        started = time.monotonic()
        result = sweep(items, market, workers=1, timeout=1.5, progress=False)
        assert time.monotonic() - started < 10  # the slow one would hold its place 20 s
        assert result.failed == {"slow": "timed out after 1.5 s"}
        assert list(result.stats.index) == ["quick", "quick2"] and result.unfinished == []

    def test_ctrl_c_stops_at_once_and_keeps_what_finished(self, gate):
        m, market = synthetic(n_days=30, n_stocks=8)
        sent = []

        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        later = [f"later{i}" for i in range(6)]
        items = {"first": m.weights, "broken": _raises,
                 "interrupts": held(m.weights, gate, before=interrupt),
                 **{name: held(m.weights, gate) for name in later}}
        with pytest.raises(KeyboardInterrupt) as caught:
            sweep(items, market, workers=1, progress=False)
        assert time.monotonic() - sent[0] < 3.0  # the strategy in flight holds on for 20 s
        partial = caught.value.partial
        assert list(partial.stats.index) == ["first"]
        assert partial.failed == {"broken": "RuntimeError: factor file is corrupt"}
        assert partial.unfinished == ["interrupts", *later]
        alone = backtest(m.weights, market, name="first")
        pd.testing.assert_series_equal(partial.returns["first"].dropna(), alone.returns,
                                       check_names=False, check_freq=False)

    @pytest.mark.slow
    def test_a_program_waits_at_exit_for_strategies_left_running(self, tmp_path):
        # A thread left inside the engine when the interpreter shuts down would abort the
        # process; the exit waits for it instead (here a strategy that finishes late).
        marker = tmp_path / "finished"
        script = textwrap.dedent(f"""
            import time
            from pathlib import Path
            from kestrelia.backtest import sweep
            from kestrelia.backtest._examples import example_market

            market = example_market()
            weights = market.close_price * 0 + 0.5

            def slow(market):
                time.sleep(1.0)
                Path({str(marker)!r}).write_text("done")
                return weights

            print(sweep({{"slow": slow}}, market, timeout=0.2, progress=False).failed)
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        assert "'slow': 'timed out after 0.2 s'" in done.stdout
        assert marker.read_text() == "done"


def write_store(path, m, bench):
    data = {"close_price": m.close_price, "prev_close": m.prev_close, "buy_price": m.buy_price,
            "sell_price": m.sell_price, "can_buy_stock": m.can_buy_stock,
            "cant_sell_stock": m.cant_sell_stock, "rq_get_split": m.split_factor,
            "rq_get_dividend": m.dividend_factor, "benchmark_dict": {"000852": bench}}
    BinaryPreparedDataStore(str(path), []).write({"version": 1, "meta": {}, "data": data})


def benchmark_of(m, seed):
    return pd.Series(np.random.default_rng(seed).normal(0, 0.01, len(m.close_price)),
                     index=m.close_price.index)


def rewrite_store(path, m, bench, market):
    """A strategy that rewrites the store it runs on (as a rebuild in the middle of a sweep
    would), then holds the three highest closes."""
    write_store(path, m, bench)
    return top_k(market, 3)


def test_a_worker_runs_on_the_pinned_store_or_says_it_changed(tmp_path, monkeypatch):
    monkeypatch.setattr(sweeps.cluster, "_MARKETS", {})
    m, shorter = make_market(n_days=90, seed=5), make_market(n_days=60, seed=6)
    store = tmp_path / "store"
    write_store(store, m, benchmark_of(m, 5))
    state = sweeps.store_state(store)
    first = sweeps.worker_market(str(store), state=state)
    write_store(store, shorter, benchmark_of(shorter, 6))
    assert sweeps.store_state(store) != state
    # Mapped before the rewrite: still served, and still readable (the files stay mapped).
    assert sweeps.worker_market(str(store), state=state) is first
    np.testing.assert_array_equal(first.close_price.to_numpy(), m.close_price.to_numpy())
    monkeypatch.setattr(sweeps.cluster, "_MARKETS", {})  # a worker that had not mapped it yet
    with pytest.raises(StoreError, match=r"the store changed during the sweep: .* not run"):
        sweeps.worker_market(str(store), state=state)
    assert len(sweeps.worker_market(str(store)).dates) == 60  # unpinned: the store as it is
    assert len(sweeps.worker_market(str(store), "20210301").dates) < 60


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as lc, distributed.Client(lc) as client:
        yield client


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
class TestDask:
    def test_cluster_equals_threads_and_sees_updates(self, cluster, tmp_path):
        m = make_market(n_days=90, n_stocks=30, seed=5)
        bench = pd.Series(np.random.default_rng(5).normal(0, 0.01, 90), index=m.close_price.index)
        store = tmp_path / "store"
        write_store(store, m, bench)
        items = {f"top{k}": functools.partial(top_k, k=k) for k in (3, 8)}
        items["raises"] = _raises
        on_threads = sweep(items, store, progress=False, **OPTIONS)
        on_cluster = sweep(items, store, client=cluster, progress=False, **OPTIONS)
        pd.testing.assert_frame_equal(on_cluster.stats, on_threads.stats)
        pd.testing.assert_frame_equal(on_cluster.returns, on_threads.returns)
        assert on_cluster.failed == on_threads.failed == {
            "raises": "RuntimeError: factor file is corrupt"}
        # The store changes between two sweeps: the workers see the new market.
        changed = make_market(n_days=90, n_stocks=30, seed=6)
        write_store(store, changed, bench)
        again = sweep(items, store, client=cluster, progress=False, **OPTIONS)
        fresh = sweep(items, store, progress=False, **OPTIONS)
        pd.testing.assert_frame_equal(again.returns, fresh.returns)
        assert not again.returns.equals(on_cluster.returns)

    def test_a_store_rewritten_during_the_sweep_never_mixes_into_the_result(self, cluster,
                                                                               tmp_path):
        m = make_market(n_days=90, n_stocks=30, seed=5)
        store = tmp_path / "store"
        write_store(store, m, benchmark_of(m, 5))
        shorter = make_market(n_days=60, n_stocks=30, seed=6)
        items = {"rewrites": functools.partial(rewrite_store, store, shorter,
                                               benchmark_of(shorter, 6)),
                 **{f"top{k}": functools.partial(top_k, k=k) for k in range(3, 11)}}
        result = sweep(items, store, client=cluster, progress=False, **OPTIONS)
        # The rewriting strategy ran on the store as it was when the sweep started; every
        # other one did too, or failed saying why: no result comes from the rewritten store.
        days = {name: len(result.returns[name].dropna()) for name in result.stats.index}
        assert "rewrites" in days and set(days.values()) == {days["rewrites"]}, days
        assert len(days) + len(result.failed) == len(items)
        for error in result.failed.values():
            assert error.startswith("the store changed during the sweep"), error
        del items["rewrites"]  # the next sweep runs on the rewritten store, left as it is
        again = sweep(items, store, client=cluster, progress=False, **OPTIONS)
        assert not again.failed and len(again.returns) < len(result.returns)

    def test_timeout_on_the_cluster(self, cluster, tmp_path):
        m = make_market(n_days=40, n_stocks=10, seed=5)
        write_store(tmp_path / "store", m, benchmark_of(m, 5))
        items = {"slow": functools.partial(sleepy, m.weights, 3.0), "quick": m.weights}
        result = sweep(items, tmp_path / "store", client=cluster, timeout=1.5, progress=False)
        assert result.failed == {"slow": "timed out after 1.5 s"}
        assert list(result.stats.index) == ["quick"]

    def test_a_market_without_a_store_is_refused(self, cluster):
        _, market = synthetic()
        with pytest.raises(InputError, match="pass the store path"):
            sweep({"a": _raises}, market, client=cluster)


def test_client_without_distributed_says_what_to_install(monkeypatch, tmp_path):
    import builtins

    real_import = builtins.__import__

    def no_distributed(name, *args, **kwargs):
        if name.split(".")[0] in ("distributed", "dask"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_distributed)
    _, market = synthetic()
    with pytest.raises(InputError, match=r"pip install 'kestrelia\[distributed\]'"):
        sweep({"a": _raises}, market, client=object())
