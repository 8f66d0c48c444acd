"""The daily store update at full scale, measured (no target yet).

For stores of 2.5, 5 and 10 years of 5,300 stocks holding every dataset of a prepared
store (the base matrices and the index-component matrices, floats and masks, and the
benchmark series), times ``update_tail`` with a payload of the last five trading days:
the four last stored days re-derived and one new day, as a daily update writes. Prints
the seconds (best of --repeat updates, each one day further on), the bytes written
(what the process passed to write(), from /proc/self/io; the size of the new files as a
fallback), and how both grow with the size of the store.

    python -m bench.store_update [--stocks 5300] [--years 2.5 5 10] [--repeat 3] [--dir DIR]
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from kestrelia.backtest._prepare import BinaryPreparedDataStore, build_matrix_dtype

DAYS_PER_YEAR = 243
TAIL_DAYS = 5


def io_written() -> int:
    """Bytes this process has passed to write() so far (-1 where /proc is missing)."""
    try:
        for line in Path("/proc/self/io").read_text().splitlines():
            if line.startswith("wchar:"):
                return int(line.split()[1])
    except OSError:
        pass
    return -1


def folder_bytes(folder: Path) -> int:
    return sum(p.stat().st_size for p in folder.iterdir() if p.is_file())


def payload(dates: pd.Index, codes: pd.Index, seed: int) -> dict:
    """Every dataset of a store over `dates`: float matrices share one random block, masks
    another (their content does not change what is written)."""
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(codes))
    floats = np.where(rng.random(shape) < 0.05, np.nan, rng.random(shape) * 20.0)
    masks = rng.random(shape) < 0.9
    data = {}
    for key, dtype in build_matrix_dtype().items():
        values = masks if dtype == "bool" else floats
        data[key] = pd.DataFrame(values, index=dates, columns=codes, copy=False)
    data["benchmark_dict"] = {
        name: pd.Series(rng.normal(0.0, 0.01, len(dates)), index=dates)
        for name in ("000852", "000300", "000905")
    }
    return {"version": 1, "meta": {"start_date": dates[0], "end_date": dates[-1]}, "data": data}


def measure(root: Path, years: float, n_stocks: int, repeat: int) -> dict:
    n_days = round(years * DAYS_PER_YEAR)
    all_dates = pd.Index(pd.bdate_range("2015-01-05", periods=n_days + repeat).strftime("%Y%m%d"))
    codes = pd.Index([f"{600000 + j:06d}" for j in range(n_stocks)])
    folder = root / f"store-{years:g}y"
    store = BinaryPreparedDataStore(folder)
    t0 = time.perf_counter()
    store.write(payload(all_dates[:n_days], codes, seed=1))
    t_write = time.perf_counter() - t0
    size = folder_bytes(folder)

    times, written = [], []
    for k in range(repeat):
        # Four stored days re-derived and one new day.
        end = n_days + k + 1
        tail = payload(all_dates[end - TAIL_DAYS : end], codes, seed=10 + k)
        before_io, before_files = io_written(), {p.name for p in folder.iterdir()}
        t0 = time.perf_counter()
        store.update_tail(tail)
        times.append(time.perf_counter() - t0)
        after_io = io_written()
        if before_io >= 0 and after_io >= 0:
            written.append(after_io - before_io)
        else:
            written.append(
                sum(p.stat().st_size for p in folder.iterdir() if p.name not in before_files)
            )
    loaded = store.load(start_date=all_dates[n_days + repeat - TAIL_DAYS], keys=["close_price"])[
        "data"
    ]
    assert len(loaded["close_price"]) == TAIL_DAYS, "the update did not land"
    shutil.rmtree(folder)
    return dict(
        years=years, days=n_days, size=size, write=t_write, update=min(times), written=min(written)
    )


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--years", type=float, nargs="+", default=[2.5, 5.0, 10.0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--dir", type=Path, default=None, help="where the stores are built (a temporary folder)"
    )
    args = parser.parse_args()

    root = Path(tempfile.mkdtemp(prefix="kestrelia-store-bench-", dir=args.dir))
    try:
        rows = [measure(root, years, args.stocks, args.repeat) for years in args.years]
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(
        f"update_tail of the last {TAIL_DAYS} days, {args.stocks} stocks, "
        f"{len(build_matrix_dtype())} matrices + 3 benchmark series, best of {args.repeat}"
    )
    print(
        "| Store | Days | Size on disk | Full write | update_tail | Bytes written | Written / size |"
    )
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print(
            f"| {r['years']:g} years | {r['days']} | {r['size'] / 2**20:,.0f} MiB | {r['write']:.2f} s | "
            f"{r['update']:.2f} s | {r['written'] / 2**20:,.0f} MiB | {r['written'] / r['size']:.2f} |"
        )
    first, last = rows[0], rows[-1]
    print(
        f"store_growth_x={last['days'] / first['days']:.2f} "
        f"update_time_growth_x={last['update'] / first['update']:.2f} "
        f"bytes_written_growth_x={last['written'] / first['written']:.2f} "
        f"update_s_{last['years']:g}y={last['update']:.2f} "
        f"written_mib_{last['years']:g}y={last['written'] / 2**20:.0f}"
    )


if __name__ == "__main__":
    sys.exit(main())
