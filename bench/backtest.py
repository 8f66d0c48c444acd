"""Full-market benchmark of the backtest core.

Builds a synthetic market of 5,300 stocks x 2,430 trading days (weights, the eight market
matrices and a benchmark), then times, in one process:
  - run_strategy_backtest_core without charts, rolling_window 0 and 5;
  - calc_strategy_vwap_daily_return;
  - the NumPy formulation of the day loop (tests/support/reference.py) as the yardstick;
and measures the peak memory of each native call against the size of its inputs.

    python -m bench.backtest [--stocks 5300] [--days 2430] [--repeat 3]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from bench._timing import best_time, peak_memory
from kestrelia.backtest import _pelorin
from tests.support import reference
from tests.support.markets import synthetic_market


def frame_bytes(*frames) -> int:
    return sum(int(f.memory_usage(index=False, deep=False).sum()) for f in frames)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--days", type=int, default=2430)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    t0 = time.perf_counter()
    weights, matrices, bench = synthetic_market(args.stocks, args.days)
    inputs = frame_bytes(weights, *matrices.values())
    print(f"market: {args.stocks} stocks x {args.days} days, inputs {inputs / 2**20:.0f} MiB "
          f"(built in {time.perf_counter() - t0:.1f} s)")

    def vwap():
        return _pelorin.calc_strategy_vwap_daily_return(weights, **matrices)

    def numpy_loop():
        return reference.vwap_daily_return(weights, **matrices)

    def pipeline(window):
        return lambda: _pelorin.run_strategy_backtest_core(
            weights, **matrices, benchmark_dict=bench, rolling_window=window)

    native = vwap()
    expected = numpy_loop()
    np.testing.assert_allclose(native.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-15)

    t_numpy = best_time(numpy_loop, max(1, args.repeat - 1))
    t_vwap = best_time(vwap, args.repeat)
    t_run0 = best_time(pipeline(0), args.repeat)
    t_run5 = best_time(pipeline(5), args.repeat)
    m_vwap = peak_memory(vwap)
    m_run0 = peak_memory(pipeline(0))
    m_run5 = peak_memory(pipeline(5))

    def mib(m):
        traced, rss = m
        return f"peak +{traced / 2**20:5.0f} MiB traced, +{rss / 2**20:5.0f} MiB RSS"

    print(f"numpy day loop (yardstick)              {t_numpy * 1e3:9.1f} ms")
    print(f"calc_strategy_vwap_daily_return         {t_vwap * 1e3:9.1f} ms   "
          f"{t_numpy / t_vwap:6.1f}x faster   {mib(m_vwap)}")
    print(f"run_strategy_backtest_core window 0     {t_run0 * 1e3:9.1f} ms   "
          f"{t_numpy / t_run0:6.1f}x faster   {mib(m_run0)}")
    print(f"run_strategy_backtest_core window 5     {t_run5 * 1e3:9.1f} ms   "
          f"{t_numpy / t_run5:6.1f}x faster   {mib(m_run5)}")
    worst = max(max(m) for m in (m_vwap, m_run0, m_run5))
    print(f"peak memory with inputs: {(inputs + worst) / inputs:.2f}x the inputs' size")
    print(f"speedup_x vwap={t_numpy / t_vwap:.1f} pipeline_w0={t_numpy / t_run0:.1f} "
          f"pipeline_w5={t_numpy / t_run5:.1f} pipeline_w0_s={t_run0:.3f} pipeline_w5_s={t_run5:.3f} "
          f"peak_over_inputs={(inputs + worst) / inputs:.2f}")


if __name__ == "__main__":
    main()
