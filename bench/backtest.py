"""Full-market benchmark of the backtest core.

Builds a synthetic market of 5,300 stocks x 2,430 trading days (weights, the eight market
matrices and a benchmark) and, for the same market held column-major and row-major,
times in one process (best of --repeat runs):
  - the memory floor: one streaming read of the nine input matrices (NumPy reductions);
  - calc_strategy_vwap_daily_return, as a multiple of the floor;
  - run_strategy_backtest_core without charts, rolling_window 0 and 5;
and measures the peak memory of a whole backtest against the size of its inputs. Both
layouts must give bit-identical returns; the NumPy formulation of the day loop
(tests/support/reference.py) checks them and is timed as the yardstick.

    python -m bench.backtest [--stocks 5300] [--days 2430] [--repeat 5] [--no-yardstick]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from bench._timing import best_time, peak_memory
from kestrelia.backtest import _pelorin
from tests.support import reference
from tests.support.markets import synthetic_market


def frame_bytes(*frames) -> int:
    return sum(int(f.memory_usage(index=False, deep=False).sum()) for f in frames)


def in_layout(frame: pd.DataFrame, order: str) -> pd.DataFrame:
    """The frame backed by one array in C (row-major) or Fortran (column-major) order."""
    values = frame.to_numpy()
    values = np.ascontiguousarray(values) if order == "C" else np.asfortranarray(values)
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


def memory_floor(frames) -> float:
    """One streaming read of every matrix, computed with NumPy: a float sum
    (np.add.reduce) over each float64 matrix and a bitwise-or reduction over the bytes of
    each boolean one, each over the array's own memory order (no copy)."""
    total = 0.0
    for frame in frames:
        values = frame.to_numpy(copy=False)
        flat = values.ravel(order="K")
        assert np.shares_memory(flat, values), "the floor must not copy"
        if values.dtype == np.bool_:
            total += float(np.bitwise_or.reduce(flat.view(np.uint8)))
        else:
            total += float(np.add.reduce(flat))
    return total


LAYOUTS = {"column-major": "F", "row-major": "C"}


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--days", type=int, default=2430)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-yardstick", action="store_true", help="skip the NumPy day loop")
    args = parser.parse_args()

    t0 = time.perf_counter()
    weights, matrices, bench = synthetic_market(args.stocks, args.days)
    inputs = frame_bytes(weights, *matrices.values())
    print(
        f"market: {args.stocks} stocks x {args.days} days, inputs {inputs / 2**20:.0f} MiB "
        f"(built in {time.perf_counter() - t0:.1f} s)"
    )

    def mib(m):
        traced, rss = m
        return f"+{traced / 2**20:4.0f} MiB traced, +{rss / 2**20:4.0f} MiB RSS"

    # Both layouts are built first and timed in alternation, round by round, so that a
    # busy machine slows both alike; each figure is the best of its rounds.
    markets = {}
    for name, order in LAYOUTS.items():
        w = in_layout(weights, order)
        mats = {key: in_layout(frame, order) for key, frame in matrices.items()}
        markets[name] = (w, mats)

    def vwap(name):
        w, mats = markets[name]
        return _pelorin.calc_strategy_vwap_daily_return(w, **mats)

    def pipeline(name, window):
        w, mats = markets[name]
        return _pelorin.run_strategy_backtest_core(
            w, **mats, benchmark_dict=bench, rolling_window=window
        )

    def floor(name):
        w, mats = markets[name]
        return memory_floor([w, *mats.values()])

    results = {name: vwap(name) for name in markets}
    jobs = {
        "floor": floor,
        "vwap": vwap,
        "run0": lambda name: pipeline(name, 0),
        "run5": lambda name: pipeline(name, 5),
    }
    best = {name: {job: float("inf") for job in jobs} for name in markets}
    for _ in range(args.repeat):
        for job, fn in jobs.items():
            for name in markets:
                t = best_time(lambda fn=fn, name=name: fn(name), 1)
                best[name][job] = min(best[name][job], t)

    rows = {}
    for name in markets:
        m_run0 = peak_memory(lambda name=name: pipeline(name, 0))
        m_run5 = peak_memory(lambda name=name: pipeline(name, 5))
        t_floor, t_vwap, t_run0, t_run5 = (best[name][job] for job in jobs)
        peak = (inputs + max(max(m_run0), max(m_run5))) / inputs
        rows[name] = dict(floor=t_floor, vwap=t_vwap, run0=t_run0, run5=t_run5, peak=peak)
        print(f"\n{name} inputs")
        print(f"  memory floor (NumPy reduce over the 9 inputs)  {t_floor * 1e3:8.1f} ms")
        print(
            f"  calc_strategy_vwap_daily_return              {t_vwap * 1e3:8.1f} ms  {t_vwap / t_floor:5.2f}x floor"
        )
        print(
            f"  run_strategy_backtest_core window 0          {t_run0 * 1e3:8.1f} ms  "
            f"{t_run0 / t_floor:5.2f}x floor  rest {(t_run0 - t_vwap) / t_vwap:4.2f}x the simulation  "
            f"peak {mib(m_run0)}"
        )
        print(
            f"  run_strategy_backtest_core window 5          {t_run5 * 1e3:8.1f} ms  "
            f"{t_run5 / t_floor:5.2f}x floor  peak {mib(m_run5)}"
        )
        print(f"  peak memory of a whole backtest: {peak:.2f}x the inputs' size")

    first = results["column-major"]
    for name, got in results.items():
        assert np.array_equal(got.to_numpy().view(np.uint64), first.to_numpy().view(np.uint64)), (
            name
        )

    yardstick = ""
    if not args.no_yardstick:
        expected = reference.vwap_daily_return(weights, **matrices)
        np.testing.assert_allclose(first.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-15)
        t_numpy = best_time(lambda: reference.vwap_daily_return(weights, **matrices), 1)
        print(
            f"\nnumpy day loop (yardstick)  {t_numpy * 1e3:8.1f} ms  "
            f"{t_numpy / rows['column-major']['vwap']:.1f}x the native simulation"
        )
        yardstick = f" speedup_x={t_numpy / rows['column-major']['vwap']:.1f}"

    col, row = rows["column-major"], rows["row-major"]
    print(
        "\n| Input layout | simulation | pipeline w0 | pipeline w5 | floor | sim/floor | w0/floor | peak |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for name, r in rows.items():
        print(
            f"| {name} | {r['vwap']:.3f} s | {r['run0']:.3f} s | {r['run5']:.3f} s | {r['floor']:.3f} s | "
            f"{r['vwap'] / r['floor']:.2f}x | {r['run0'] / r['floor']:.2f}x | {r['peak']:.2f}x |"
        )
    print(
        f"layout_ratio_sim={max(col['vwap'], row['vwap']) / min(col['vwap'], row['vwap']):.2f} "
        f"layout_ratio_pipeline={max(col['run0'], row['run0']) / min(col['run0'], row['run0']):.2f} "
        f"sim_over_floor_col={col['vwap'] / col['floor']:.2f} sim_over_floor_row={row['vwap'] / row['floor']:.2f} "
        f"pipeline_over_floor_col={col['run0'] / col['floor']:.2f} "
        f"pipeline_over_floor_row={row['run0'] / row['floor']:.2f} "
        f"rest_over_sim_col={(col['run0'] - col['vwap']) / col['vwap']:.2f} "
        f"rest_over_sim_row={(row['run0'] - row['vwap']) / row['vwap']:.2f} "
        f"peak_over_inputs={max(col['peak'], row['peak']):.2f}{yardstick}"
    )


if __name__ == "__main__":
    main()
