"""Benchmark of the two PNG charts, of the backtest with its chart step, and of saving a
backtest's report.

Times, in one process:
  - plot_strategy_performance and plot_weekly_net_value on a 10-year total frame
    (2,430 trading days), in the "large" and the "long" layout, split into the part spent
    inside Figure.savefig (Agg rasterisation and PNG encoding, fixed by size and dpi) and
    the rest (prologue, derived series, artists);
  - the derived data alone (weekly frame, yearly metrics), the only pandas work of a
    rendering;
  - run_strategy_backtest_core at full scale (5,300 stocks x 2,430 days) with and
    without charts;
  - BacktestResult.save() of a full-scale backtest (both engine PNGs, the rolling chart,
    report.html and the tables; with execution=True also the execution chart, trades and
    positions), against the yardstick of rendering the two engine PNGs alone to files, with
    charts drawn beside the process in a forked child (the default where it is safe) and
    all in the process (KESTRELIA_FORK=0); and where the time of an inline save goes.

    python -m bench.charts [--stocks 5300] [--days 2430] [--repeat 3] [--only-save]
"""

from __future__ import annotations

import argparse
import gc
import os
import shutil
import tempfile
import time
from pathlib import Path

from bench._timing import best_times_alternating
from kestrelia.backtest import Market, _pelorin, backtest
from tests.support.markets import make_total_frame, synthetic_market


class SavefigTimer:
    """Accumulates the time spent inside Figure.savefig."""

    def __init__(self):
        from matplotlib.figure import Figure

        self.figure_class = Figure
        self.original = Figure.savefig
        self.seconds = 0.0
        timer = self

        def savefig(fig, *args, **kwargs):
            start = time.perf_counter()
            try:
                return timer.original(fig, *args, **kwargs)
            finally:
                timer.seconds += time.perf_counter() - start

        Figure.savefig = savefig

    def restore(self):
        self.figure_class.savefig = self.original


def best(fn, repeat: int, timer: SavefigTimer | None = None) -> tuple[float, float]:
    """Best wall time of fn over `repeat` runs, and the savefig time of that run."""
    results = []
    for _ in range(repeat):
        gc.collect()
        if timer:
            timer.seconds = 0.0
        start = time.perf_counter()
        fn()
        results.append((time.perf_counter() - start, timer.seconds if timer else 0.0))
    return min(results)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--days", type=int, default=2430)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only-save", action="store_true",
                        help="time only the report's save (the last part)")
    args = parser.parse_args()

    out = Path(tempfile.mkdtemp(prefix="kestrelia-charts-"))
    if args.only_save:
        weights, matrices, bench = synthetic_market(args.stocks, args.days)
        saving(weights, matrices, bench, args.repeat, out)
        return

    total = make_total_frame(_pelorin, args.days, seed=3)
    stats = _pelorin.calc_strategy_stats(total, None)
    # Warm-up: the first rendering imports matplotlib and loads fonts.
    _pelorin.plot_strategy_performance(total, stats, save_path=out / "warm.png")

    timer = SavefigTimer()
    figures = {}
    for kind in ("large", "long"):
        figures[f"performance_{kind}"] = best(lambda kind=kind: _pelorin.plot_strategy_performance(
            total, stats, save_path=out / f"performance_{kind}.png", image_kind=kind,
            rolling_window=5), args.repeat, timer)  # fmt: skip
        figures[f"weekly_{kind}"] = best(lambda kind=kind: _pelorin.plot_weekly_net_value(
            total, save_path=out / f"weekly_{kind}.png", image_kind=kind), args.repeat, timer)  # fmt: skip
    timer.restore()

    def derived():
        _pelorin._build_weekly_net_value_frame(total)
        daily = _pelorin._with_datetime_index(total)[["daily_return", "index_daily_return", "extra_daily_return"]]
        _pelorin._calc_yearly_performance_metrics(daily)

    t_derived, _ = best(derived, args.repeat)

    print(f"10-year total frame: {args.days} days; PNGs in {out}")
    for name, (wall, in_savefig) in figures.items():
        print(f"{name:<22} {wall * 1e3:8.0f} ms   savefig {in_savefig * 1e3:6.0f} ms "
              f"({in_savefig / wall:4.0%})   drawing setup {(wall - in_savefig) * 1e3:6.0f} ms")
    print(f"{'derived data (pandas)':<22} {t_derived * 1e3:8.1f} ms")

    t0 = time.perf_counter()
    weights, matrices, bench = synthetic_market(args.stocks, args.days)
    print(f"market: {args.stocks} stocks x {args.days} days (built in {time.perf_counter() - t0:.1f} s)")

    def pipeline(save_path):
        return lambda: _pelorin.run_strategy_backtest_core(
            weights, **matrices, benchmark_dict=bench, rolling_window=5, plot_save_path=save_path)

    result = pipeline(out / "pipeline.png")()
    assert list(result.plot_paths) == ["main", "weekly_net_value"]
    assert all(Path(p).stat().st_size > 0 for p in result.plot_paths.values())
    t_plain, _ = best(pipeline(None), args.repeat)
    t_charts, _ = best(pipeline(out / "pipeline.png"), args.repeat)
    print(f"run_strategy_backtest_core              {t_plain * 1e3:8.0f} ms")
    print(f"run_strategy_backtest_core with charts  {t_charts * 1e3:8.0f} ms   "
          f"(chart step {(t_charts - t_plain) * 1e3:.0f} ms)")

    perf_l, perf_t = figures["performance_large"][0], figures["performance_long"][0]
    week_l, week_t = figures["weekly_large"][0], figures["weekly_long"][0]
    share = sum(s for _, s in figures.values()) / sum(w for w, _ in figures.values())
    # No same-process yardstick exists for a rendering: 85 % of it is matplotlib's own
    # rasterisation and PNG encoding, so the summary reports times and shares instead.
    print(f"speedup_x=n/a charts_over_pipeline={t_charts / t_plain:.1f} "
          f"perf_large_s={perf_l:.2f} perf_long_s={perf_t:.2f} "
          f"weekly_large_s={week_l:.2f} weekly_long_s={week_t:.2f} savefig_share={share:.2f} "
          f"derived_ms={t_derived * 1e3:.1f} pipeline_s={t_plain:.2f} pipeline_charts_s={t_charts:.2f}")
    saving(weights, matrices, bench, args.repeat, out)


def saving(weights, matrices, bench, repeat: int, out: Path) -> None:
    """save() of a full-scale backtest against rendering the two engine PNGs alone."""
    market = Market(**matrices, benchmarks=bench)
    plain = backtest(weights, market, rolling_window=5, name="bench")
    total, stats = plain._engine["total"], dict(plain._engine["stats"])
    folder = out / "saves"

    def fresh() -> Path:
        shutil.rmtree(folder, ignore_errors=True)
        return folder

    def engine_pngs():
        _pelorin.plot_strategy_performance(total, stats, save_path=out / "main.png",
                                           rolling_window=5)
        _pelorin.plot_weekly_net_value(total, save_path=out / "weekly.png")

    def save(execution: bool, fork: bool):
        # A new result each time: nothing a save caches (trades, positions, metrics) is
        # carried to the next one. Only the save is timed.
        result = backtest(weights, market, rolling_window=5, name="bench", execution=execution)
        os.environ["KESTRELIA_FORK"] = "1" if fork else "0"
        try:
            start = time.perf_counter()
            result.save(fresh())
            return time.perf_counter() - start
        finally:
            del os.environ["KESTRELIA_FORK"]

    engine_pngs()  # warm-up: fonts, the style sheet
    timed = {name: float("inf") for name in ("save", "save_inline", "save_execution",
                                             "save_execution_inline")}
    for _ in range(repeat):
        for name in timed:
            gc.collect()
            timed[name] = min(timed[name], save("execution" in name, "inline" not in name))

    def public_pngs(fork: bool):
        os.environ["KESTRELIA_FORK"] = "1" if fork else "0"
        try:
            plain._chart_pngs("large")
        finally:
            del os.environ["KESTRELIA_FORK"]

    drawn = best_times_alternating({
        "engine_pngs": engine_pngs,
        "public_pngs": lambda: public_pngs(True),
        "public_pngs_inline": lambda: public_pngs(False),
    }, repeat)
    yardstick = drawn["engine_pngs"]
    recorded = backtest(weights, market, rolling_window=5, name="bench", execution=True)
    parts = best_times_alternating({
        "main": lambda: recorded._engine_png("main", "large"),
        "weekly": lambda: recorded._engine_png("weekly_net_value", "large"),
        "rolling": lambda: recorded._rolling_png(126),
        "execution chart": lambda: recorded.execution.chart_png(),
    }, repeat)
    print(f"\nsave() of a {len(plain.returns)}-day backtest, against rendering the two engine "
          f"PNGs alone ({yardstick:.2f} s):")
    print(f"  two engine PNGs through the result, child beside / inline: "
          f"{drawn['public_pngs']:.2f} s / {drawn['public_pngs_inline']:.2f} s")
    for name, label in (("save", "save()"), ("save_execution", "save() with execution")):
        print(f"  {label:<24} child beside {timed[name]:5.2f} s ({timed[name] / yardstick:.2f}x)"
              f"   inline {timed[name + '_inline']:5.2f} s "
              f"({timed[name + '_inline'] / yardstick:.2f}x)")
    charts = sum(parts.values())
    print("  where an inline save with execution goes: " + ", ".join(
        f"{k} {v:.2f} s" for k, v in parts.items())
        + f"; tables, page and files {timed['save_execution_inline'] - charts:.2f} s")
    print(f"ratios: save_over_pngs={timed['save'] / yardstick:.2f} "
          f"save_execution_over_pngs={timed['save_execution'] / yardstick:.2f} "
          f"save_inline_over_pngs={timed['save_inline'] / yardstick:.2f} "
          f"save_execution_inline_over_pngs={timed['save_execution_inline'] / yardstick:.2f} "
          f"pngs_public_over_engine={drawn['public_pngs'] / yardstick:.2f} "
          f"load_average={os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
