"""Benchmark of the two PNG charts and of the backtest with its chart step.

Times, in one process:
  - plot_strategy_performance and plot_weekly_net_value on a 10-year total frame
    (2,430 trading days), in the "large" and the "long" layout, split into the part spent
    inside Figure.savefig (Agg rasterisation and PNG encoding, fixed by size and dpi) and
    the rest (prologue, derived series, artists);
  - the derived data alone (weekly frame, yearly metrics), the only pandas work of a
    rendering;
  - run_strategy_backtest_core at full scale (5,300 stocks x 2,430 days) with and
    without charts.

    python -m bench.charts [--stocks 5300] [--days 2430] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import tempfile
import time
from pathlib import Path

from kestrelia.backtest import _pelorin
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
    args = parser.parse_args()

    out = Path(tempfile.mkdtemp(prefix="kestrelia-charts-"))
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


if __name__ == "__main__":
    main()
