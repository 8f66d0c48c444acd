"""What the cost model and compounding cost in time, on a market shaped like real data.

Builds a 5,300-stock x 2,430-day market (tests.support.markets.realistic_market, dated from
2015, column-major like a store) and times, in one process,
alternated round by round (best of --repeat), the public backtest of daily weights (about
480 holdings that change every day, and the 100 largest of them):

  - plain: today's constant commission and stamp duty, fixed capital;
  - china: ``Costs.china_a_share()`` (every rate by day, a minimum commission per order);
  - compound: fixed costs, ``sizing="compound"``, which needs the day-outer walk: over
    column-major inputs it copies a tile of days of the columns it needs into rows.

    python -m bench.costs [--stocks 5300] [--days 2430] [--repeat 5]
"""

from __future__ import annotations

import time

import numpy as np
import pandas as pd

from bench._timing import best_times_alternating, market_arguments
from kestrelia.backtest import Costs, Market, backtest
from tests.support.markets import realistic_market


def main() -> None:
    args = market_arguments(__doc__)

    t0 = time.perf_counter()
    weights, matrices, bench = realistic_market(args.stocks, args.days)
    # Business days from 2015 on: inside the A-share schedule, which starts in 2008.
    days = pd.bdate_range("2015-01-05", periods=args.days)
    matrices = {k: pd.DataFrame(np.asfortranarray(v.to_numpy()), index=days,
                                columns=v.columns) for k, v in matrices.items()}
    weights = pd.DataFrame(np.asfortranarray(weights.to_numpy()), index=days,
                           columns=weights.columns)
    bench = {k: v.set_axis(days) for k, v in bench.items()}
    market = Market(**matrices, benchmarks=bench)
    print(f"market: {args.stocks} stocks x {args.days} days from {days[0].date()}, "
          f"built in {time.perf_counter() - t0:.1f} s")

    values = weights.to_numpy()
    largest = np.argsort(-np.nan_to_num(values, nan=-1.0), axis=1)[:, :100]
    top = np.full_like(values, np.nan)
    np.put_along_axis(top, largest, np.take_along_axis(values, largest, 1), 1)
    top100 = pd.DataFrame(np.asfortranarray(top), index=days, columns=weights.columns)

    china = Costs.china_a_share()
    jobs = {
        "plain": lambda: backtest(weights, market),
        "china": lambda: backtest(weights, market, costs=china),
        "compound": lambda: backtest(weights, market, sizing="compound"),
        "china compound": lambda: backtest(weights, market, costs=china, sizing="compound"),
        "top100 plain": lambda: backtest(top100, market),
        "top100 compound": lambda: backtest(top100, market, sizing="compound"),
    }
    best = best_times_alternating(jobs, args.repeat)
    for name, seconds in best.items():
        print(f"  {name:16s} {seconds * 1e3:8.1f} ms  {seconds / best['plain']:5.2f}x plain")

    def ratio(a: str, b: str) -> str:
        return f"{best[a] / best[b]:.2f}"

    print(f"china_over_plain={ratio('china', 'plain')} "
          f"compound_over_plain={ratio('compound', 'plain')} "
          f"china_compound_over_plain={ratio('china compound', 'plain')} "
          f"top100_compound_over_plain={ratio('top100 compound', 'top100 plain')}")

if __name__ == "__main__":
    main()
