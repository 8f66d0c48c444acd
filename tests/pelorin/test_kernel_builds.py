"""The vector kernels run as an AVX2 build where the CPU has it and as a baseline build
elsewhere; both must give bit-identical results, the recorded execution included."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).parents[2]  # where the tests package lives
SCRIPT = """
import numpy as np, pandas as pd
from tests.support.markets import make_market
from kestrelia.backtest import _pelorin
market = make_market(n_days=70, n_stocks=21, seed=8, weight_density=0.5)
market.weights.iloc[3, 2] = np.inf
daily = _pelorin.calc_strategy_vwap_daily_return(*market.args(), fee=0.0003)
smooth = _pelorin._smooth_strategy_weights(market.weights, 6)
from tests.support.layouts import LAYOUTS, market_in_layout, special_market
layouts = {{}}
for seed, n_days, n_stocks in CASES:
    special = special_market(seed, n_days, n_stocks)
    for layout in LAYOUTS:
        with np.errstate(all="ignore"):
            got = _pelorin.calc_strategy_vwap_daily_return(*market_in_layout(special, layout).args())
        layouts[f"{{layout}}-{{seed}}"] = got.to_numpy()
    rows = market_in_layout(special, "rows").weights
    with np.errstate(all="ignore"):
        layouts[f"smooth-rows-{{seed}}"] = _pelorin._smooth_strategy_weights(rows, 3).to_numpy()
        layouts[f"smooth-columns-{{seed}}"] = _pelorin._smooth_strategy_weights(market_in_layout(special, "columns").weights, 3).to_numpy()
# The recording walks (rows, one stock at a time, blocks of stocks), over several chunks
# of days: every number of the record.
from kestrelia.backtest import Market, backtest
recorded = make_market(n_days=300, n_stocks=23, seed=5, blocked=0.15, missing_price=0.05)
for layout in LAYOUTS:
    m = market_in_layout(recorded, layout)
    r = backtest(m.weights, Market(**m.matrices(), benchmarks={{}}), execution=True, capital=1e7)
    ex = r.execution
    trades, blocked = ex.trades, ex.blocked
    layouts.update({{f"record-{{layout}}-{{name}}": np.asarray(values, dtype=float) for name, values in dict(
        returns=r.returns, exposure=ex.exposure, attribution=ex.attribution,
        by_stock=ex.attribution_by_stock(), trade_shares=trades["shares"],
        trade_price=trades["price"], trade_codes=trades["code"].astype(int),
        trade_sell=trades["side"] == "sell", blocked_shares=blocked["shares"],
        blocked_codes=blocked["code"].astype(int)).items()}})
np.savez({out!r}, daily=daily.to_numpy(), smooth=smooth.to_numpy(), **layouts)
"""

# Empty, one-row, one-stock, tails of a block and several staged strips and tiles.
CASES = [(1, 0, 5), (2, 1, 5), (3, 2, 1), (4, 9, 17), (5, 40, 70)]


def run_build(tmp_path: Path, portable: bool) -> dict:
    out = tmp_path / ("portable.npz" if portable else "native.npz")
    env = dict(os.environ)
    env.pop("KESTRELIA_PORTABLE_KERNELS", None)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT), env.get("PYTHONPATH")]))
    if portable:
        env["KESTRELIA_PORTABLE_KERNELS"] = "1"
    code = (
        "CASES = "
        + repr(CASES)
        + "\n"
        + SCRIPT.format(out=str(out))
    )
    subprocess.run([sys.executable, "-c", code], env=env, check=True)
    return dict(np.load(out))


@pytest.mark.slow
def test_baseline_and_native_builds_agree_bit_for_bit(tmp_path):
    native = run_build(tmp_path, portable=False)
    portable = run_build(tmp_path, portable=True)
    assert set(native) == set(portable)
    for key in native:
        np.testing.assert_array_equal(
            native[key].view(np.uint64), portable[key].view(np.uint64), err_msg=key
        )
    assert np.isfinite(native["daily"]).all() and np.isnan(native["smooth"]).any()
    # Every layout takes its own path in each build, and all of them agree.
    for seed, n_days, n_stocks in CASES:
        first = native[f"columns-{seed}"]
        assert len(first) == max(n_days - 1, 0) * (n_stocks > 0)
        np.testing.assert_array_equal(
            native[f"smooth-rows-{seed}"].view(np.uint64),
            native[f"smooth-columns-{seed}"].view(np.uint64),
        )
        for layout in ("rows", "mixed"):
            np.testing.assert_array_equal(
                native[f"{layout}-{seed}"].view(np.uint64), first.view(np.uint64)
            )
    # The record too, on every layout.
    assert len(native["record-columns-trade_shares"]) > 100
    for key in native:
        if key.startswith("record-columns-"):
            for layout in ("rows", "mixed"):
                other = native[key.replace("-columns-", f"-{layout}-")]
                np.testing.assert_array_equal(other.view(np.uint64), native[key].view(np.uint64),
                                              err_msg=f"{key} ({layout})")
