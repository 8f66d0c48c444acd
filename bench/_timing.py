"""Timing and memory helpers shared by the benchmarks."""

from __future__ import annotations

import argparse
import gc
import time
import tracemalloc
from pathlib import Path


def market_arguments(doc: str | None) -> argparse.Namespace:
    """--stocks, --days and --repeat of a benchmark on a full-market-sized market."""
    parser = argparse.ArgumentParser(description=doc,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stocks", type=int, default=5300)
    parser.add_argument("--days", type=int, default=2430)
    parser.add_argument("--repeat", type=int, default=5)
    return parser.parse_args()


def best_time(fn, repeat: int) -> float:
    """The best wall time of ``fn`` over ``repeat`` runs (the machines are noisy)."""
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def best_times_alternating(fns: dict, repeat: int) -> dict:
    """The best wall time of each callable over ``repeat`` rounds, the callables run one
    after another in every round, so that a machine busy for a while slows them alike."""
    best = {name: float("inf") for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            gc.collect()
            start = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def peak_memory(fn) -> tuple[int, int]:
    """Peak bytes allocated while fn runs: through Python and NumPy (tracemalloc), and the
    growth of the process's resident high-water mark (Linux; -1 elsewhere)."""
    gc.collect()
    rss_before = _reset_rss_peak()
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    fn()
    traced = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    rss_peak = _status_bytes("VmHWM")
    return traced, (rss_peak - rss_before) if rss_before >= 0 and rss_peak >= 0 else -1


def _status_bytes(field: str) -> int:
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return -1


def _reset_rss_peak() -> int:
    try:
        Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current RSS
    except OSError:
        return -1
    return _status_bytes("VmRSS")
