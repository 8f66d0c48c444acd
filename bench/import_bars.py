"""Benchmark of importing daily-bar tables at whole-market scale.

Generates a synthetic daily-bar table (the nine basic columns: date, code as "600000.SH",
open, high, low, close, pre_close, volume, amount) of ``--years`` years and ``--stocks``
stocks as one Parquet file per year in a temporary folder, then imports it in a fresh child
process (so that generating the table does not count) and reports the import's wall time
and the child's peak resident memory. Goals: under 30 s and under 2 GB.

    python -m bench.import_bars [--years 10] [--stocks 5300] [--keep DIR]
"""

from __future__ import annotations

import argparse
import json
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

GOAL_SECONDS = 30.0
GOAL_BYTES = 2 << 30


def stock_codes(n: int) -> list[str]:
    prefixes = [("600", "SH"), ("601", "SH"), ("603", "SH"), ("000", "SZ"), ("002", "SZ"),
                ("300", "SZ"), ("688", "SH"), ("830", "BJ")]
    codes = [f"{p}{k:03d}.{x}" for k in range(1000) for p, x in prefixes]
    return sorted(codes[:n])


def generate(folder: Path, years: int, stocks: int, seed: int = 1) -> int:
    """One Parquet file per year; returns the number of rows written."""
    rng = np.random.default_rng(seed)
    codes = np.array(stock_codes(stocks))
    end = pd.Timestamp("2024-12-31")
    days = pd.bdate_range(end - pd.DateOffset(years=years) + pd.Timedelta(days=1), end)
    listed = np.where(rng.random(stocks) < 0.3, rng.integers(0, len(days), stocks), 0)
    close = np.exp(rng.normal(2.5, 0.6, stocks)).round(2)
    rows = 0
    for year in sorted(set(days.year)):
        in_year = days[days.year == year]
        t0 = np.searchsorted(days, in_year[0])
        n = len(in_year)
        ret = rng.normal(0.0003, 0.02, (n, stocks))
        closes = np.empty((n, stocks))
        pre = np.empty((n, stocks))
        for t in range(n):
            pre[t] = close
            close = np.clip((close * np.exp(ret[t])).round(2), 0.5, None)
            closes[t] = close
        opens = (pre * np.exp(rng.normal(0, 0.005, (n, stocks)))).round(2)
        volume = np.where(rng.random((n, stocks)) < 0.01, 0.0,
                          rng.lognormal(13, 1, (n, stocks)).round(-2))
        alive = (t0 + np.arange(n))[:, None] >= listed[None, :]
        r, c = np.nonzero(alive)
        high = np.maximum(opens, closes)[r, c] * 1.01
        low = np.minimum(opens, closes)[r, c] * 0.99
        table = pa.table({
            "date": pa.array(in_year[r].to_numpy().astype("datetime64[D]")),
            "code": pa.array(codes[c]),
            "open": opens[r, c], "high": high.round(2), "low": low.round(2),
            "close": closes[r, c], "pre_close": pre[r, c], "volume": volume[r, c],
            "amount": (volume[r, c] * (opens[r, c] + closes[r, c]) / 2).round(2),
        })
        pq.write_table(table, folder / f"bars_{year}.parquet")
        rows += table.num_rows
    return rows


def child(table: str, out: str) -> None:
    from kestrelia.dataservice import import_daily_bars

    start = time.perf_counter()
    summary = import_daily_bars(table, out)
    seconds = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    peak = usage.ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "peak_bytes": peak,
                      "cpu_seconds": usage.ru_utime + usage.ru_stime, "rows": summary["rows_read"],
                      "used": summary["rows_used"], "dates": summary["dates"],
                      "codes": summary["codes"], "derived": summary["derived"]}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--years", type=int, default=10)
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--keep", help="generate into this folder and keep it")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    folder = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="import-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    try:
        tables = folder / "bars"
        tables.mkdir(exist_ok=True)
        t0 = time.perf_counter()
        rows = generate(tables, args.years, args.stocks)
        size = sum(p.stat().st_size for p in tables.iterdir())
        print(f"generated {rows:,} rows ({args.years} years x {args.stocks} stocks) in "
              f"{len(list(tables.iterdir()))} Parquet files, {size / 2**20:.0f} MiB, "
              f"in {time.perf_counter() - t0:.1f} s")
        out = folder / "market"
        shutil.rmtree(out, ignore_errors=True)
        result = subprocess.run([sys.executable, __file__, "--child", str(tables), str(out)],
                                check=True, capture_output=True, text=True)
        measured = json.loads(result.stdout.strip().splitlines()[-1])
        written = sum(p.stat().st_size for p in out.rglob("*") if p.is_file())
        print(f"import: {measured['rows']:,} rows read, {measured['used']:,} used, "
              f"{measured['dates']} dates x {measured['codes']} stocks, folder "
              f"{written / 2**20:.0f} MiB")
        print(f"import time {measured['seconds']:.1f} s (goal < {GOAL_SECONDS:.0f} s; "
              f"{measured['cpu_seconds']:.1f} s of CPU in the process, imports included), peak "
              f"memory {measured['peak_bytes'] / 2**30:.2f} GiB (goal < 2 GiB)")
        print(f"time_vs_goal_x={measured['seconds'] / GOAL_SECONDS:.2f} "
              f"memory_vs_goal_x={measured['peak_bytes'] / GOAL_BYTES:.2f}")
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
