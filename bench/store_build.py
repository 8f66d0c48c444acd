"""A whole store build and a daily update from an imported folder, measured.

Run ``python -m bench.import_bars --keep DIR`` first; this builds a store from
``DIR/market`` up to a week before its last day and then updates that week, and prints the
seconds of each part of the build (the native builder's payload, what the store keeps
beside it: factors, further benchmarks and components, and the write), the bytes written
(from /proc/self/io), the store's size and the peak resident memory.

    python -m bench.store_build DIR [--out DIR]
"""

from __future__ import annotations

import argparse
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path

from kestrelia import singleton
from kestrelia.backtest import Store, _prepare, _store_factors
from kestrelia.dataservice import LocalFactorService

UPDATE_DAYS = 6


def io_written() -> int:
    for line in Path("/proc/self/io").read_text().splitlines():
        if line.startswith("wchar:"):
            return int(line.split()[1])
    return -1


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path, help="the folder bench.import_bars --keep wrote")
    parser.add_argument("--out", type=Path, help="where the store is built (a temporary folder)")
    args = parser.parse_args()
    source = args.folder / "market"
    service = LocalFactorService(source)
    days = sorted(service.get_factors("Close")["date"].dt.strftime("%Y%m%d").unique())
    first, cut, last = days[0], days[-UPDATE_DAYS - 1], days[-1]
    out = Path(tempfile.mkdtemp(prefix="store-build-bench-", dir=args.out))
    try:
        # The parts of a build, timed apart (Store.build runs the same three steps).
        previous = singleton.set_instance(service)
        try:
            t0 = time.perf_counter()
            builder = _prepare.GroupPreparedDataBuilder(start_date=first, end_date=cut)
            payload = builder.build()
            t_payload = time.perf_counter() - t0
            t0 = time.perf_counter()
            _store_factors.extend_build(payload, builder, service, None)
            t_extend = time.perf_counter() - t0
        finally:
            singleton.set_instance(previous)
        store = Store(out / "parts")
        written, t0 = io_written(), time.perf_counter()
        store._native().write(payload)
        t_write, w_write = time.perf_counter() - t0, io_written() - written
        del payload
        shutil.rmtree(out / "parts")

        store = Store(out / "store")
        written, t0 = io_written(), time.perf_counter()
        store.build(source, first, cut)
        t_build, w_build = time.perf_counter() - t0, io_written() - written
        written, t0 = io_written(), time.perf_counter()
        store.update(source, days[-UPDATE_DAYS], last)
        t_update, w_update = time.perf_counter() - t0, io_written() - written
        info = store.info()
        size = sum(p.stat().st_size for p in store.path.iterdir())
    finally:
        shutil.rmtree(out, ignore_errors=True)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"store of {info['trading_days']} days, factors: {', '.join(info['factors'])}; "
          f"not in the source: {', '.join(info['factors_absent']) or 'none'}")
    print(f"build parts: builder payload {t_payload:.1f} s, factors / benchmarks / components "
          f"{t_extend:.1f} s, write {t_write:.1f} s ({w_write / 2**20:,.0f} MiB)")
    print(f"Store.build {t_build:.1f} s, {w_build / 2**20:,.0f} MiB written; update of "
          f"{UPDATE_DAYS} days {t_update:.1f} s, {w_update / 2**20:,.0f} MiB written; store "
          f"{size / 2**20:,.0f} MiB; peak resident {peak / 2**30:.2f} GiB")
    print(f"extend_share_of_build_x={t_extend / t_build:.2f} "
          f"update_written_over_size_x={w_update / size:.2f}")


if __name__ == "__main__":
    sys.exit(main())
