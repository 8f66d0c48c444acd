"""Many strategies over one market: throughput of the thread pool with one and two workers,
peak memory, and the overhead per task of a local Dask cluster.

Writes a synthetic full-market store (5,300 stocks x 2,430 days by default) to a temporary
folder, then runs 16 strategies over it (each a callable that picks its own stocks, so no
weight matrix exists before its task runs), in one process:
  - sweep(..., workers=1) and sweep(..., workers=2): wall time, throughput ratio, and the
    growth of the resident high-water mark against the market's size;
  - with --dask, the same sweep on a LocalCluster of two single-threaded worker processes,
    and the overhead per task against the thread pool.

    python -m bench.sweep [--stocks 5300] [--days 2430] [--strategies 16] [--dask]
"""

from __future__ import annotations

import argparse
import functools
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from bench._timing import peak_memory
from kestrelia.backtest import Market, sweep
from kestrelia.backtest._prepare import BinaryPreparedDataStore
from tests.support.markets import synthetic_market

STORE_KEYS = {"can_buy_stock": "can_buy_stock", "cant_sell_stock": "cant_sell_stock",
              "split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend",
              "close_price": "close_price", "prev_close": "prev_close",
              "buy_price": "buy_price", "sell_price": "sell_price"}


def pick(market: Market, seed: int, names: int) -> pd.DataFrame:
    """About `names` random stocks a day, equally weighted (a stand-in for a factor rank)."""
    close = market.close_price
    rng = np.random.default_rng(seed)
    chosen = rng.random(close.shape) < names / close.shape[1]
    raw = np.where(chosen & np.isfinite(close.to_numpy()), 1.0, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        weights = raw / np.nansum(raw, axis=1, keepdims=True)
    return pd.DataFrame(weights, index=close.index, columns=close.columns)


def write_store(folder: Path, n_stocks: int, n_days: int) -> None:
    _, matrices, benchmarks = synthetic_market(n_stocks, n_days)
    data = {STORE_KEYS[k]: v for k, v in matrices.items()}
    data["benchmark_dict"] = benchmarks
    BinaryPreparedDataStore(str(folder), []).write({"version": 1, "meta": {}, "data": data})


_ARRAYS: list = []  # the market's arrays, inherited by forked processes (not pickled)


def _stream(rounds: int) -> float:
    started = time.perf_counter()
    for _ in range(rounds):
        for a in _ARRAYS:
            a.any() if a.dtype == bool else np.add.reduce(a, axis=None)
    return time.perf_counter() - started


def memory_scaling(market: Market, rounds: int = 4) -> float:
    """Throughput of two processes streaming the market at once over one process: the
    ceiling that memory bandwidth puts on a parallel speed-up of memory-bound work here."""
    from multiprocessing import get_context

    _ARRAYS[:] = [m.to_numpy() for m in market.matrices().values()]
    _stream(1)
    one = _stream(rounds * 2)
    with get_context("fork").Pool(2) as pool:
        pool.map(_stream, [1, 1])  # the children touch the pages once before timing
        started = time.perf_counter()
        pool.map(_stream, [rounds, rounds])
        two = time.perf_counter() - started
    return one / two


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--days", type=int, default=2430)
    parser.add_argument("--strategies", type=int, default=16)
    parser.add_argument("--rounds", type=int, default=2, help="timed rounds per worker count")
    parser.add_argument("--dask", action="store_true", help="also time a local Dask cluster")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        store = Path(tmp) / "store"
        start = time.perf_counter()
        write_store(store, args.stocks, args.days)
        print(f"store of {args.stocks} stocks x {args.days} days written in "
              f"{time.perf_counter() - start:.1f} s")
        market = Market.from_store(store)
        market_bytes = sum(m.to_numpy().nbytes for m in market.matrices().values())
        print(f"market: {market_bytes / 2**20:,.0f} MiB, memory-mapped")
        strategies = {f"s{i:02d}": functools.partial(pick, seed=i, names=100 + 20 * i)
                      for i in range(args.strategies)}

        # Warm-up: the market's pages are read from disk once, so neither timing below pays
        # the first touch of the memory map.
        sweep(dict(list(strategies.items())[:2]), market, workers=1, progress=False)
        times: dict[int, float] = {}
        for _ in range(args.rounds):  # alternate 1 and 2 workers; keep the best of each
            for workers in (1, 2):
                started = time.perf_counter()
                result = sweep(strategies, market, workers=workers, progress=False)
                elapsed = time.perf_counter() - started
                assert not result.failed, result.failed
                times[workers] = min(times.get(workers, elapsed), elapsed)
        memory = {}
        for workers in (1, 2):  # measured apart: tracing allocations slows the timed runs
            _, memory[workers] = peak_memory(
                lambda w=workers: sweep(strategies, market, workers=w, progress=False))
        # What one strategy's own callable needs while it builds its weights: with two
        # workers two of them are in flight at once.
        _, own = peak_memory(lambda: strategies["s00"](market))
        print(f"one strategy's callable alone: peak growth {own / 2**20:,.0f} MiB")
        for workers in (1, 2):
            print(f"workers={workers}: {times[workers]:6.1f} s, "
                  f"{args.strategies / times[workers]:.2f} strategies/s, peak growth "
                  f"{memory[workers] / 2**20:,.0f} MiB")
        speedup = times[1] / times[2]
        print(f"throughput ratio 2 workers / 1 worker: {speedup:.2f}x")
        ceiling = memory_scaling(market)
        print(f"memory streaming, 2 processes / 1: {ceiling:.2f}x (the bandwidth ceiling of "
              "this machine for memory-bound work)")

        overhead = float("nan")
        if args.dask:
            from distributed import Client, LocalCluster

            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              host="127.0.0.1", dashboard_address=None,
                              silence_logs=50) as cluster, Client(cluster) as client:
                sweep({"warm": strategies["s00"]}, store, client=client, progress=False)
                started = time.perf_counter()
                on_cluster = sweep(strategies, store, client=client, progress=False)
                elapsed = time.perf_counter() - started
            assert not on_cluster.failed, on_cluster.failed
            overhead = (elapsed - times[2]) / args.strategies
            print(f"Dask LocalCluster, 2 processes: {elapsed:6.1f} s, overhead per task "
                  f"{overhead * 1e3:+.0f} ms against the thread pool")
        print(f"ratios: speedup_x={speedup:.2f} streaming_ceiling_x={ceiling:.2f} "
              f"memory_over_market_x="
              f"{max(memory.values()) / market_bytes:.2f} dask_overhead_ms={overhead * 1e3:.0f}")


if __name__ == "__main__":
    main()
