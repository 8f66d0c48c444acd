"""Benchmark of the prepared-data builder and store at full-market scale.

Times, in one process:
  - the pivot of a narrow service table (500 days x 5,300 stocks x 3 factors: ukeys with
    exchange suffix, dashed date text, a factor-name column) by the native
    _ks_factors_to_matrices and by the literal pandas chain (tests/support/reference_prepare.py),
    after checking that both give the same matrices;
  - a full build_incremental() of 500 days from a LocalFactorService folder (Parquet);
  - a store load of one year of every dataset, memory-mapped and copied (and, to show what
    the mapping defers, the same loads followed by reading every value once).

    python -m bench.prepare [--days 500] [--stocks 5300] [--repeat 3]
"""

from __future__ import annotations

import argparse
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from bench._timing import best_time
from kestrelia import singleton
from kestrelia.backtest import _prepare
from kestrelia.dataservice import LocalFactorService, write_factor_folder
from tests.support import reference_prepare as ref


def read_all(payload: dict) -> float:
    """Touches every value once (a sum per dataset), so that mapped pages are read."""
    total = 0.0
    for value in payload["data"].values():
        total += float(np.nansum(value.to_numpy(dtype=float)))
    return total


def bench_pivot(days: int, stocks: int, repeat: int) -> tuple[float, float]:
    """The pivot, native against the pandas chain: (native seconds, pandas seconds)."""
    names = ["A", "B", "C"]
    t0 = time.perf_counter()
    table = ref.narrow_market_table(days, stocks, names, seed=11)
    print(f"narrow table: {len(table):,} rows ({days} days x {stocks} stocks x "
          f"{len(names)} factors), dtypes {dict(table.dtypes.astype(str))}, "
          f"built in {time.perf_counter() - t0:.1f} s")
    builder = _prepare.GroupPreparedDataBuilder("20220101", "20241231")
    native = builder._ks_factors_to_matrices(table, names)
    literal = ref.factors_to_matrices(table, names)
    for name in names:
        pd.testing.assert_frame_equal(native[name], literal[name])
    print(f"native and pandas matrices are equal: {[native[n].shape for n in names]}")
    del native, literal
    t_native = best_time(lambda: builder._ks_factors_to_matrices(table, names), repeat)
    t_pandas = best_time(lambda: ref.factors_to_matrices(table, names), max(1, repeat - 1))
    print(f"pivot native   {t_native:8.3f} s (best of {repeat})")
    print(f"pivot pandas   {t_pandas:8.3f} s (best of {max(1, repeat - 1)})")
    return t_native, t_pandas


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--days", type=int, default=500)
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    t_native, t_pandas = bench_pivot(args.days, args.stocks, args.repeat)

    work = Path(tempfile.mkdtemp(prefix="kestrelia-bench-"))
    try:
        # 2. A full incremental build from a folder of Parquet files.
        t0 = time.perf_counter()
        factors, index_daily = ref.synthetic_factor_market(args.days, args.stocks, seed=5)
        write_factor_folder(work / "market", factors, index_daily)
        print(f"factor folder: {len(factors)} factors, written in {time.perf_counter() - t0:.1f} s")
        dates = factors["Close"].index
        del factors, index_daily
        previous = singleton.set_instance(LocalFactorService(work / "market"))
        try:
            window = _prepare.GroupPreparedDataBuilder(dates[0], dates[-1])
            payload = window.build_incremental()
            t_build = best_time(window.build_incremental, args.repeat)
        finally:
            singleton.set_instance(previous)
        print(f"build_incremental {t_build:8.3f} s ({len(dates)} days, "
              f"{len(payload['data']) - 1} matrices + benchmarks)")

        # 3. Store loads of one year of every dataset.
        store = _prepare.BinaryPreparedDataStore(work / "store")
        t0 = time.perf_counter()
        store.write(payload)
        print(f"store write    {time.perf_counter() - t0:8.3f} s")
        del payload
        year = dates[-min(len(dates), 250):]
        start, end = year[0], year[-1]
        loaded = store.load(start, end)
        cells = sum(v.size for v in loaded["data"].values())
        print(f"one year: {start}..{end}, {len(loaded['data'])} datasets, {cells:,} cells")
        del loaded
        t_mmap = best_time(lambda: store.load(start, end, mmap=True), args.repeat)
        t_copy = best_time(lambda: store.load(start, end, mmap=False), args.repeat)
        t_mmap_read = best_time(lambda: read_all(store.load(start, end, mmap=True)), args.repeat)
        t_copy_read = best_time(lambda: read_all(store.load(start, end, mmap=False)), args.repeat)
        print(f"load mmap      {t_mmap * 1e3:8.1f} ms   (+ reading every value: "
              f"{t_mmap_read * 1e3:.1f} ms)")
        print(f"load copy      {t_copy * 1e3:8.1f} ms   (+ reading every value: "
              f"{t_copy_read * 1e3:.1f} ms)")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"speedup_x={t_pandas / t_native:.1f} pivot_native_s={t_native:.3f} "
          f"pivot_pandas_s={t_pandas:.3f} build_incremental_s={t_build:.3f} "
          f"load_mmap_ms={t_mmap * 1e3:.1f} load_copy_ms={t_copy * 1e3:.1f} "
          f"mmap_speedup_x={t_copy / t_mmap:.1f}")


if __name__ == "__main__":
    main()
