"""What recording the execution costs, at full-market scale.

Times, in one process and on the same synthetic market (5,300 stocks x 2,430 days by
default), the whole backtest through the public API with and without ``execution=True``,
in alternation, and measures the extra memory of the recording against the size of the
positions matrix and the long tables it produces.

    python -m bench.execution [--stocks 5300] [--days 2430] [--repeat 3]
"""

from __future__ import annotations

import argparse

import numpy as np

from bench._timing import best_times_alternating, peak_memory
from kestrelia.backtest import Market, backtest
from tests.support.markets import synthetic_market


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--days", type=int, default=2430)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    weights, matrices, benchmarks = synthetic_market(args.stocks, args.days)
    market = Market(**matrices, benchmarks=benchmarks)
    inputs = sum(m.to_numpy().nbytes for m in matrices.values()) + weights.to_numpy().nbytes
    print(f"market: {args.stocks} stocks x {args.days} days, inputs {inputs / 2**20:,.0f} MiB")

    # Timed in alternation, round by round; each figure is the best of its rounds.
    times = best_times_alternating({
        "plain": lambda: backtest(weights, market),
        "recorded": lambda: backtest(weights, market, execution=True),
    }, args.repeat)
    plain, recorded = times["plain"], times["recorded"]
    print(f"backtest, plain:               {plain * 1e3:8.1f} ms")
    print(f"backtest, execution=True:      {recorded * 1e3:8.1f} ms  ({recorded / plain:.2f}x)")

    result = backtest(weights, market, execution=True)
    ex = result.execution
    tables = (ex.trades.memory_usage(deep=True).sum() + ex.blocked.memory_usage(deep=True).sum())
    positions_bytes = len(result.returns) * len(ex.positions.columns) * 8
    print(f"trades {len(ex.trades):,}, blocked {len(ex.blocked):,}: long tables "
          f"{tables / 2**20:,.1f} MiB; a dense positions matrix {positions_bytes / 2**20:,.1f} MiB")
    np.testing.assert_array_equal(result.returns.to_numpy(),
                                  backtest(weights, market).returns.to_numpy())

    _, rss_plain = peak_memory(lambda: backtest(weights, market))
    _, rss_recorded = peak_memory(lambda: backtest(weights, market, execution=True))
    extra = rss_recorded - rss_plain
    print(f"peak resident growth, plain {rss_plain / 2**20:,.0f} MiB, recorded "
          f"{rss_recorded / 2**20:,.0f} MiB: extra {extra / 2**20:,.0f} MiB "
          f"(positions + tables {(positions_bytes + tables) / 2**20:,.0f} MiB)")
    print(f"ratios: execution_cost_x={recorded / plain:.2f} "
          f"extra_memory_over_positions_and_tables_x={extra / (positions_bytes + tables):.2f}")


if __name__ == "__main__":
    main()
