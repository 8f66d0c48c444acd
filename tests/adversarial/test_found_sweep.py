"""Faults found by attacking sweeps: each test shows one and guards its fix."""

import pandas as pd
import pytest

import kestrelia.backtest as kb
from kestrelia.backtest._examples import example_market as _example_market
from kestrelia.errors import InputError


@pytest.mark.parametrize("window", [{"start": "01/02/2024"}, {"end": "2024-13-01"},
                                    {"start": "20240104", "end": "20240102"}],
                         ids=["day-first start", "no such month", "start after end"])
def test_a_bad_start_or_end_stops_the_sweep_before_it_runs(window):
    market = _example_market()
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    with pytest.raises(InputError):  # what backtest() itself says
        kb.backtest(weights, market, **window)
    ran = []

    def strategy(m):
        ran.append(True)
        return weights

    try:
        result = kb.sweep({"a": strategy, "b": weights}, market, progress=False, **window)
    except InputError:
        assert not ran
        return
    raise AssertionError(f"the sweep ran and failed every strategy: {result.failed}")
