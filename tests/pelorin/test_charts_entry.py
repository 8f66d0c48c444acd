"""The locked chart entry points: argument rules, the lock, failures that leave no lock
held and no figure open, concurrent renderings, and the pipeline's chart step."""

from __future__ import annotations

import inspect
import threading
from pathlib import Path

import pytest

from tests.support.markets import make_market, make_total_frame


class DictSub(dict):
    pass


@pytest.fixture
def stub_renderers(pelorin, monkeypatch):
    """Both unlocked renderers replaced by recorders of (name, args, kwargs, lock held)."""
    calls = []
    for name in ("_plot_strategy_performance_unlocked", "_plot_weekly_net_value_unlocked"):
        monkeypatch.setattr(pelorin, name, lambda *a, _n=name, **kw: calls.append(
            (_n, a, kw, pelorin._MATPLOTLIB_PLOT_LOCK._is_owned())))  # fmt: skip
    return calls


def test_unlocked_renderers_take_every_argument(pelorin):
    for name, count in (("_plot_strategy_performance_unlocked", 8), ("_plot_weekly_net_value_unlocked", 6)):
        fn = getattr(pelorin, name)
        params = inspect.signature(fn).parameters.values()
        assert len(params) == count and all(p.default is inspect.Parameter.empty for p in params)
        assert "must hold _MATPLOTLIB_PLOT_LOCK" in fn.__doc__
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'benchmark_name'"):
        pelorin._plot_weekly_net_value_unlocked(None, "s", None, "x", "large")
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        pelorin._draw_yearly_metrics_table(None, None, True)  # compact is keyword-only


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p, t: p.plot_strategy_performance(t, DictSub()), r"'stats' has incorrect type \(expected dict, got DictSub\)"),
        (lambda p, t: p.plot_weekly_net_value(t, plot_title=1), r"'plot_title' .*expected str, got int"),
        (lambda p, t: p.plot_weekly_net_value(t, image_kind=None), r"'image_kind' .*expected str, got NoneType"),
        (lambda p, t: p.plot_strategy_performance(t, {}, rolling_window="5"), r"'rolling_window' .*expected int, got str"),
        (lambda p, t: p.plot_weekly_net_value(t, "s", None, "x", "large", "000852", 1), r"takes from 1 to 6 positional"),
    ],
)  # fmt: skip
def test_argument_errors_come_before_the_lock(pelorin, stub_renderers, call, message):
    with pytest.raises(TypeError, match=message):
        call(pelorin, make_total_frame(pelorin, 5))
    assert stub_renderers == []


def test_defaults_keywords_and_the_lock(pelorin, stub_renderers, tmp_path):
    total, stats = make_total_frame(pelorin, 5), {"annual_return": 1.0}
    assert pelorin.plot_strategy_performance(total, stats) == {"main": "./strategy_backtest.png"}
    assert pelorin.plot_weekly_net_value(total, save_path=tmp_path / "w.png") == {
        "weekly_net_value": str(tmp_path / "w.png")}
    with pelorin._MATPLOTLIB_PLOT_LOCK:  # re-entrant: the host may hold it already
        pelorin.plot_strategy_performance(total, stats, rolling_window=5.9)
    (_, args1, kw1, locked1), (_, _, kw2, locked2), (_, _, kw3, _) = stub_renderers
    assert (args1, locked1, locked2) == ((), True, True)
    assert kw1 == {"total": total, "stats": stats, "strategy_name": "strategy", "plot_title": None,
                   "save_path": "./strategy_backtest.png", "image_kind": "large",
                   "benchmark_name": "000852", "rolling_window": 0}  # fmt: skip
    assert kw1["stats"] is stats and kw2["save_path"] == tmp_path / "w.png"
    assert list(kw2) == ["total", "strategy_name", "plot_title", "save_path", "image_kind", "benchmark_name"]
    assert kw3["rolling_window"] == 5 and type(kw3["rolling_window"]) is int
    assert not pelorin._MATPLOTLIB_PLOT_LOCK._is_owned()


def lock_is_free_for_another_thread(lock):
    free = []
    worker = threading.Thread(target=lambda: free.append(lock.acquire(blocking=False) and (lock.release() or True)))
    worker.start()
    worker.join()
    return free == [True]


@pytest.mark.slow
def test_failures_release_the_lock_and_close_the_figure(pelorin, saved, tmp_path, monkeypatch):
    import matplotlib.pyplot as plt

    plt.close("all")
    lock, total = pelorin._MATPLOTLIB_PLOT_LOCK, make_total_frame(pelorin, 30)
    with pytest.raises(KeyError, match="long"):  # before any figure exists
        pelorin.plot_strategy_performance(total.drop(columns="long"), {})
    assert lock_is_free_for_another_thread(lock)

    saved.write = True  # fails while saving, when the figure exists
    with pytest.raises(FileNotFoundError, match=r"No such file or directory: .*w\.png"):
        pelorin.plot_weekly_net_value(total, save_path=tmp_path / "missing" / "w.png")
    assert plt.get_fignums() == [] and lock_is_free_for_another_thread(lock)

    class Broken(Exception):
        pass

    monkeypatch.setattr(pelorin, "_draw_yearly_metrics_table", lambda *a, **k: (_ for _ in ()).throw(Broken("half")))
    with pytest.raises(Broken, match="half"):
        pelorin.plot_strategy_performance(total, {}, save_path=tmp_path / "p.png")
    assert plt.get_fignums() == [] and lock_is_free_for_another_thread(lock)
    assert not (tmp_path / "p.png").exists()


@pytest.mark.slow
def test_concurrent_renderings_do_not_mix(pelorin, saved, monkeypatch):
    totals = {"A": make_total_frame(pelorin, 70, seed=1), "B": make_total_frame(pelorin, 150, seed=2)}
    active, overlap, errors = [0], [], []
    original = pelorin._plot_weekly_net_value_unlocked

    def weekly(**kwargs):  # records whether two renderings ever overlapped
        active[0] += 1
        overlap.append(active[0])
        try:
            original(**kwargs)
        finally:
            active[0] -= 1

    monkeypatch.setattr(pelorin, "_plot_weekly_net_value_unlocked", weekly)
    barrier = threading.Barrier(2)

    def work(name):
        try:
            barrier.wait()
            for _ in range(2):
                pelorin.plot_strategy_performance(totals[name], {}, strategy_name=name, save_path=f"{name}.p")
                pelorin.plot_weekly_net_value(totals[name], strategy_name=name, save_path=f"{name}.w")
        except Exception as exc:  # reported by the assertion below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(name,)) for name in totals]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and max(overlap) == 1 and len(saved) == 8
    weeks = {k: len(pelorin._build_weekly_net_value_frame(t)) for k, t in totals.items()}
    for fig, path, _ in saved:
        name, kind = path.split(".")
        assert fig.get_suptitle().startswith(f"{name} | ")
        lengths = {len(line.get_xdata()) for ax in fig.axes[:3] for line in ax.lines if len(line.get_xdata()) > 2}
        assert lengths == {len(totals[name]) if kind == "p" else weeks[name]}


def test_pipeline_chart_step(pelorin, stub_renderers, monkeypatch, tmp_path):
    market = make_market(n_days=40, n_stocks=8, seed=5)
    entry_calls = []
    for name in ("plot_strategy_performance", "plot_weekly_net_value"):
        original = getattr(pelorin, name)
        monkeypatch.setattr(pelorin, name, lambda *a, _o=original, **kw: entry_calls.append((a, kw)) or _o(*a, **kw))
    main = tmp_path / "out" / "run.png"
    result = pelorin.run_strategy_backtest_core(
        *market.args(), plot_save_path=str(main), rolling_window=3, benchmark_names="000300",
        plot_image_kind="long", strategy_name="s9", plot_title="T")  # fmt: skip
    weekly_path = main.with_name("run_weekly_net_value.png")
    assert list(result.plot_paths.items()) == [("main", str(main)), ("weekly_net_value", str(weekly_path))]
    (perf_args, perf), (weekly_args, weekly) = entry_calls
    assert perf_args == weekly_args == () and (perf["save_path"], weekly["save_path"]) == (main, weekly_path)
    assert {k: perf[k] for k in ("strategy_name", "plot_title", "image_kind", "benchmark_name", "rolling_window")} == {
        "strategy_name": "s9", "plot_title": "T", "image_kind": "long", "benchmark_name": "000300", "rolling_window": 3}
    assert perf["stats"] is result.stats and weekly["total"] is perf["total"]
    assert list(perf["total"]["long"]) == list(result.cumulative_return)
    assert [c[0] for c in stub_renderers] == ["_plot_strategy_performance_unlocked", "_plot_weekly_net_value_unlocked"]

    entry_calls.clear()
    assert pelorin.run_strategy_backtest_core(*market.args(), plot_save_path=main, plot_image_kind=None).plot_paths == {}
    with pytest.raises(ValueError, match="empty name"):
        pelorin.run_strategy_backtest_core(*market.args(), plot_save_path="")
    assert entry_calls == []


@pytest.mark.slow
def test_pipeline_writes_both_charts(pelorin, tmp_path):
    market = make_market(n_days=30, n_stocks=6, seed=1)
    result = pelorin.run_strategy_backtest_core(*market.args(), plot_save_path=tmp_path / "bt.png")
    assert [Path(p).name for p in result.plot_paths.values()] == ["bt.png", "bt_weekly_net_value.png"]
    assert all(Path(p).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" for p in result.plot_paths.values())
