"""The weights researchers really write, on a market shaped like real data.

Builds a 5,300-stock x 2,430-day market with late listings, delistings and runs of
suspensions (tests.support.markets.realistic_market, column-major like a store), and times,
in one process, alternated round by round (best of --repeat):

  - the memory floor: one streaming read of the nine inputs (NumPy reductions);
  - calc_strategy_vwap_daily_return on aligned weights (a row every day, every stock a
    column), and on weights with 20 warm-up days, 2 % blank days and 36 never-held
    stocks; the market gather this contract path makes against a plain copy of the same
    bytes into arrays made before, on one thread and on two as the gather of a large market
    runs (and against one into new arrays, as the gather's are);
  - the public backtest() on the aligned weights and on realistic ones (the blank days,
    40 % of the stocks never held, 10 % of the codes dropped, 5 % codes not in the
    market), and with the rows of month ends only (between="hold") against daily rows;
  - the peak memory of a public backtest on the realistic weights against the inputs.

    python -m bench.shapes [--stocks 5300] [--days 2430] [--repeat 5]
"""

from __future__ import annotations

import time

import numpy as np
import pandas as pd

from bench._timing import best_times_alternating, market_arguments, peak_memory
from kestrelia.backtest import Market, _core, _pelorin, backtest
from tests.support.markets import realistic_market


def frame_bytes(*frames) -> int:
    return sum(int(f.memory_usage(index=False, deep=False).sum()) for f in frames)


def floor(frames) -> float:
    total = 0.0
    for frame in frames:
        values = frame.to_numpy(copy=False)
        flat = values.ravel(order="K")
        if values.dtype == np.bool_:
            total += float(np.bitwise_or.reduce(flat.view(np.uint8)))
        else:
            total += float(np.add.reduce(flat))
    return total


def shapes(weights: pd.DataFrame, rng: np.random.Generator) -> dict[str, pd.DataFrame]:
    """The weight matrices timed (all with labels the market reads: YYYYMMDD text)."""
    n_days, n_stocks = weights.shape
    values = weights.to_numpy(copy=True)
    # 20 warm-up days, 2 % blank days and 36 never-held stocks.
    blank_rows = np.r_[np.arange(20), rng.choice(np.arange(20, n_days), n_days // 50, False)]
    never = rng.choice(n_stocks, 36, replace=False)
    blank = values.copy()
    blank[blank_rows] = np.nan
    blank[:, never] = np.nan
    # The same targets aligned: a blank day repeats the day before (the warm-up days stay
    # empty), and one explicit 0 keeps each never-held stock.
    aligned = pd.DataFrame(blank).ffill().to_numpy(copy=True)
    aligned[:20] = np.nan
    aligned[20, never] = 0.0
    # Realistic for the public layer: 40 % never held, 10 % of the codes dropped, 5 % codes
    # the market does not have.
    realistic = blank.copy()
    realistic[:, rng.choice(n_stocks, int(0.4 * n_stocks), replace=False)] = np.nan
    kept = np.sort(rng.choice(n_stocks, int(0.9 * n_stocks), replace=False))
    extra = int(0.05 * n_stocks)
    foreign = np.where(rng.random((n_days, extra)) < 0.05, 0.001, np.nan)
    codes = list(weights.columns[kept]) + [f"{900000 + j:06d}" for j in range(extra)]

    def frame(v, columns=weights.columns):
        return pd.DataFrame(np.asfortranarray(v), index=weights.index, columns=columns)

    daily = frame(values)
    month_ends = pd.DatetimeIndex(pd.to_datetime(weights.index, format="%Y%m%d"))
    monthly = pd.DataFrame(values, index=month_ends, columns=weights.columns)
    monthly = monthly.resample("ME").last()
    return {
        "aligned": frame(aligned),
        "blank": frame(blank),
        "realistic": frame(np.hstack([realistic[:, kept], foreign]), pd.Index(codes)),
        "daily": daily,
        "monthly": monthly,
    }


def main() -> None:
    args = market_arguments(__doc__)

    t0 = time.perf_counter()
    weights, matrices, bench = realistic_market(args.stocks, args.days)
    matrices = {k: pd.DataFrame(np.asfortranarray(v.to_numpy()), index=v.index,
                                columns=v.columns) for k, v in matrices.items()}
    w = shapes(weights, np.random.default_rng(3))
    market = Market(**matrices, benchmarks=bench)
    inputs = frame_bytes(w["aligned"], *matrices.values())
    positions = float(weights.notna().sum(axis=1).mean())
    print(f"market: {args.stocks} stocks x {args.days} days shaped like real data, "
          f"{positions:.0f} positions a day, inputs {inputs / 2**20:.0f} MiB "
          f"(built in {time.perf_counter() - t0:.1f} s)")

    blank_signal = w["blank"].shift(1).dropna(how="all")
    gathered = _core._build_market_arrays(blank_signal.index, blank_signal.columns,
                                          *matrices.values())
    gather_bytes = sum(a.nbytes for a in gathered.values())
    copies = [np.empty(a.shape, a.dtype, order="F") for a in gathered.values()]
    sources = [m.to_numpy(copy=False)[: len(blank_signal)] for m in
               (matrices[k] for k in ("prev_close", "can_buy_stock", "cant_sell_stock",
                                      "close_price", "buy_price", "sell_price",
                                      "split_factor", "dividend_factor"))]

    def plain_copy():
        for dst, src in zip(copies, sources):
            np.copyto(dst, src)

    def plain_copy_two_threads():
        # The same copy on two threads, as the gather of a large market runs.
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(2) as pool:
            list(pool.map(lambda pair: np.copyto(*pair), zip(copies, sources)))

    def fresh_copy():
        # What any copy the contract returns costs: new arrays, faulted in as written.
        return [np.array(src, order="F") for src in sources]

    jobs = {
        "floor": lambda: floor([w["aligned"], *matrices.values()]),
        "sim aligned": lambda: _pelorin.calc_strategy_vwap_daily_return(w["aligned"],
                                                                         **matrices),
        "sim blank": lambda: _pelorin.calc_strategy_vwap_daily_return(w["blank"], **matrices),
        "gather": lambda: _core._build_market_arrays(blank_signal.index, blank_signal.columns,
                                                     *matrices.values()),
        "plain copy": plain_copy,
        "plain copy 2 thr": plain_copy_two_threads,
        "fresh copy": fresh_copy,
        "public aligned": lambda: backtest(w["aligned"], market),
        "public realistic": lambda: backtest(w["realistic"], market),
        "public daily": lambda: backtest(w["daily"], market),
        "public monthly": lambda: backtest(w["monthly"], market),
    }
    best = best_times_alternating(jobs, args.repeat)
    traced, rss = peak_memory(lambda: backtest(w["realistic"], market))
    peak = (inputs + max(traced, rss)) / inputs
    for name, seconds in best.items():
        print(f"  {name:18s} {seconds * 1e3:8.1f} ms  {seconds / best['floor']:5.2f}x floor")
    print(f"  gather: {gather_bytes / 2**20:.0f} MiB")
    print(f"  peak memory of a public backtest on realistic weights: {peak:.2f}x the inputs")
    print(
        f"sim_blank_over_aligned={best['sim blank'] / best['sim aligned']:.2f} "
        f"gather_over_copy={best['gather'] / best['plain copy']:.2f} "
        f"gather_over_copy_two_threads={best['gather'] / best['plain copy 2 thr']:.2f} "
        f"gather_over_fresh_copy={best['gather'] / best['fresh copy']:.2f} "
        f"public_realistic_over_aligned={best['public realistic'] / best['public aligned']:.2f} "
        f"public_monthly_over_daily={best['public monthly'] / best['public daily']:.2f} "
        f"sim_aligned_over_floor={best['sim aligned'] / best['floor']:.2f} "
        f"peak_over_inputs={peak:.2f}"
    )


if __name__ == "__main__":
    main()
