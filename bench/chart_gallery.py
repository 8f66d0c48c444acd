"""Renders both figures in both layouts for a few history lengths, for looking at them.

    python -m bench.chart_gallery OUT_DIR [--days 4,60,1260,2520]

Writes perf_<days>_<layout>.png and weekly_<days>_<layout>.png into OUT_DIR (which should
lie outside the repository: the images are not kept in git) and prints their paths.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
import pandas as pd

from kestrelia.backtest import _pelorin


def total_frame(n_days: int, seed: int = 3) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2015-01-05", periods=n_days).strftime("%Y%m%d"))
    bench = rng.normal(0.0002, 0.011, n_days)
    frame = pd.DataFrame({"daily_return": rng.normal(0.0006, 0.012, n_days),
                          "index_daily_return": bench, "close": 1 + np.cumsum(bench)},
                         index=dates)  # fmt: skip
    return _pelorin._build_total_backtesting_frame(frame)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--days", default="4,60,1260,2520")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    for n in (int(d) for d in args.days.split(",")):
        total = total_frame(n)
        stats = _pelorin.calc_strategy_stats(total, None)
        for kind in ("large", "long"):
            main_path = args.out / f"perf_{n}_{kind}.png"
            weekly_path = args.out / f"weekly_{n}_{kind}.png"
            _pelorin.plot_strategy_performance(total, stats, "gallery", None, main_path, kind,
                                               "000852", 5)  # fmt: skip
            _pelorin.plot_weekly_net_value(total, "gallery", None, weekly_path, kind, "000852")
            print(main_path, weekly_path, sep="\n")


if __name__ == "__main__":
    main()
