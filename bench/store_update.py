"""The daily store update at full scale, measured (no target yet).

For stores of 2.5, 5 and 10 years of 5,300 stocks holding every dataset of a prepared
store (the base matrices and the index-component matrices, floats and masks, and the
benchmark series), times ``update_tail`` with a payload of the last five trading days:
the four last stored days re-derived and one new day, as a daily update writes. Prints
the seconds (best of --repeat updates, each one day further on), the bytes written
(what the process passed to write(), from /proc/self/io; the size of the new files as a
fallback), and how both grow with the size of the store.

Each store is measured twice: with the backtest datasets alone (what a store held before it
kept factors) and with the factors a build keeps beside them (the store's own factors but
the close, which is the close_price dataset, a fourth benchmark and its components). The
second also times what an update derives for the factors beyond the write: the adjusted
close continued from the stored one (reading each stock's last stored close). It ends with
the new datasets of the largest store: key, source, dtype and size on disk.

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

from kestrelia import _names
from kestrelia.backtest import _store_factors
from kestrelia.backtest._prepare import BinaryPreparedDataStore, build_matrix_dtype
from kestrelia.backtest._store import component_dataset_key

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


FOURTH = _names.component_factor_name("000001.XSHG")
# Factor dataset key -> (source, dtype) of what a build keeps beside the backtest datasets.
FACTOR_DATASETS = {
    _store_factors.factor_dataset_key(f.name): (f.field or "derived: close, split, dividend",
                                                f.dtype)
    for f in _names.STORE_FACTORS if f.name != "close"
}


def payload(dates: pd.Index, codes: pd.Index, seed: int, factors: bool) -> dict:
    """Every dataset of a store over `dates`: float matrices share one random block, masks
    another (their content does not change what is written); with ``factors`` also what a
    build keeps beside them."""
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(codes))
    floats = np.where(rng.random(shape) < 0.05, np.nan, rng.random(shape) * 20.0 + 1.0)
    masks = rng.random(shape) < 0.9
    dtypes = dict(build_matrix_dtype())
    names = ["000852", "000300", "000905"]
    meta = {"start_date": dates[0], "end_date": dates[-1]}
    if factors:
        dtypes.update({key: dtype for key, (_, dtype) in FACTOR_DATASETS.items()})
        dtypes[component_dataset_key(FOURTH)] = "float64"
        names.append("000001")
        meta[_store_factors.META_FACTORS] = {
            key: {"key": key, "field": source, "dtype": dtype}
            for key, (source, dtype) in FACTOR_DATASETS.items()}
    data = {}
    for key, dtype in dtypes.items():
        values = masks if dtype == "bool" else floats
        data[key] = pd.DataFrame(values, index=dates, columns=codes, copy=False)
    data["benchmark_dict"] = {
        name: pd.Series(rng.normal(0.0, 0.01, len(dates)), index=dates) for name in names
    }
    return {"version": 1, "meta": meta, "data": data}


def adjusted_close_update(store: BinaryPreparedDataStore, tail: dict) -> float:
    """Seconds an update spends continuing the adjusted close over its tail."""
    data = tail["data"]
    key = _store_factors.factor_dataset_key(_names.ADJ_CLOSE)
    t0 = time.perf_counter()
    metadata = store.load_metadata()
    state = _store_factors._adjusted_state(store, metadata, key, data["close_price"],
                                           data["close_price"].index[0])
    data[key] = _store_factors._adjusted(data, data["close_price"], *state)
    return time.perf_counter() - t0


def measure(root: Path, years: float, n_stocks: int, repeat: int, factors: bool) -> dict:
    n_days = round(years * DAYS_PER_YEAR)
    all_dates = pd.Index(pd.bdate_range("2015-01-05", periods=n_days + repeat).strftime("%Y%m%d"))
    codes = pd.Index([f"{600000 + j:06d}" for j in range(n_stocks)])
    folder = root / f"store-{years:g}y"
    store = BinaryPreparedDataStore(folder)
    store.matrix_dtype = {**store.matrix_dtype, **_store_factors.FACTOR_DTYPES}
    t0 = time.perf_counter()
    store.write(payload(all_dates[:n_days], codes, seed=1, factors=factors))
    t_write = time.perf_counter() - t0
    size = folder_bytes(folder)
    contents = {}
    if factors:
        datasets = store.load_metadata()["datasets"]
        contents = {key: (folder / datasets[key]["file"]).stat().st_size
                    for key in [*FACTOR_DATASETS, component_dataset_key(FOURTH)]}
        contents["benchmark_dict['000001']"] = (
            folder / datasets["benchmark_dict"]["series"]["000001"]["file"]).stat().st_size

    times, written, derive = [], [], []
    for k in range(repeat):
        # Four stored days re-derived and one new day.
        end = n_days + k + 1
        tail = payload(all_dates[end - TAIL_DAYS : end], codes, seed=10 + k, factors=factors)
        before_io, before_files = io_written(), {p.name for p in folder.iterdir()}
        t0 = time.perf_counter()
        if factors:
            derive.append(adjusted_close_update(store, tail))
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
    return dict(years=years, days=n_days, size=size, write=t_write, update=min(times),
                written=min(written), derive=min(derive) if derive else 0.0, factors=factors,
                contents=contents)


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
        rows = [measure(root, years, args.stocks, args.repeat, factors)
                for years in args.years for factors in (False, True)]
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"update_tail of the last {TAIL_DAYS} days, {args.stocks} stocks, best of "
          f"{args.repeat}; without factors: {len(build_matrix_dtype())} matrices + 3 benchmark "
          f"series; with: + {len(FACTOR_DATASETS) + 1} matrices + 1 series")
    print("| Store | Factors | Days | Size on disk | Full write | Update (of it: adjusted "
          "close) | Bytes written | Written / size |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['years']:g} years | {'yes' if r['factors'] else 'no'} | {r['days']} | "
              f"{r['size'] / 2**20:,.0f} MiB | {r['write']:.2f} s | {r['update']:.2f} s "
              f"({r['derive']:.2f} s) | {r['written'] / 2**20:,.0f} MiB | "
              f"{r['written'] / r['size']:.2f} |")
    largest = rows[-1]
    print(f"\nNew datasets of the {largest['years']:g}-year store "
          f"({largest['days']} days x {args.stocks} stocks)")
    print("| Dataset | Source | Dtype | Size on disk |")
    print("|---|---|---|---|")
    for key, size in largest["contents"].items():
        source, dtype = FACTOR_DATASETS.get(key, ("index members" if key.startswith(
            "component_") else "index closes", "float64"))
        print(f"| {key} | {source} | {dtype} | {size / 2**20:,.1f} MiB |")
    plain, kept = rows[-2], rows[-1]
    print(
        f"update_s_{plain['years']:g}y_without={plain['update']:.2f} "
        f"update_s_{kept['years']:g}y_with={kept['update']:.2f} "
        f"written_mib_without={plain['written'] / 2**20:.0f} "
        f"written_mib_with={kept['written'] / 2**20:.0f} "
        f"update_time_x={kept['update'] / plain['update']:.2f} "
        f"bytes_written_x={kept['written'] / plain['written']:.2f}"
    )


if __name__ == "__main__":
    sys.exit(main())
