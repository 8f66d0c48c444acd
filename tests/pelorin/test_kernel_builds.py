"""The vector kernels run as an AVX2 build where the CPU has it and as a baseline build
elsewhere; both must give bit-identical results."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).parents[2]  # where the tests package lives
SCRIPT = """
import numpy as np, pandas as pd
from tests.support.markets import make_market
from kestrelia.backtest import _pelorin
market = make_market(n_days=70, n_stocks=21, seed=8, weight_density=0.5)
market.weights.iloc[3, 2] = np.inf
daily = _pelorin.calc_strategy_vwap_daily_return(*market.args(), fee=0.0003)
smooth = _pelorin._smooth_strategy_weights(market.weights, 6)
np.savez({out!r}, daily=daily.to_numpy(), smooth=smooth.to_numpy())
"""


def run_build(tmp_path: Path, portable: bool) -> dict:
    out = tmp_path / ("portable.npz" if portable else "native.npz")
    env = dict(os.environ)
    env.pop("KESTRELIA_PORTABLE_KERNELS", None)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT), env.get("PYTHONPATH")]))
    if portable:
        env["KESTRELIA_PORTABLE_KERNELS"] = "1"
    code = SCRIPT.format(tests=str(Path(__file__).parents[1]), out=str(out))
    subprocess.run([sys.executable, "-c", code], env=env, check=True)
    return dict(np.load(out))


def test_baseline_and_native_builds_agree_bit_for_bit(tmp_path):
    native = run_build(tmp_path, portable=False)
    portable = run_build(tmp_path, portable=True)
    for key in ("daily", "smooth"):
        np.testing.assert_array_equal(native[key], portable[key])
    assert np.isfinite(native["daily"]).all() and np.isnan(native["smooth"]).any()
