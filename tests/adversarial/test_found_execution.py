"""Faults found by attacking the execution record: each test shows one and guards its fix."""

import numpy as np
import pandas as pd
import pytest

import kestrelia.backtest as kb
from tests.support.markets import make_market


def test_the_record_of_a_ruined_compounding_run_agrees_with_its_returns_and_metrics():
    m = make_market(40, 8, seed=0)
    market = kb.Market(**m.matrices())
    # Ten times the equity at 30 % a side: the equity is gone after the first day.
    result = kb.backtest(m.weights * 10, market, sizing="compound", execution=True,
                         costs=kb.Costs(commission=0.3, stamp_duty=0.3))
    assert result.ruined_on is not None
    ex = result.execution
    ruined = ex.attribution.index >= result.ruined_on
    assert result.returns[ruined].isna().all()
    # Each attribution row sums to its day's return: NaN where the return is NaN.
    assert ex.attribution[ruined].isna().all().all()
    assert np.isfinite(ex.attribution[~ruined].to_numpy()).all()
    assert not np.isinf(ex.turnover.to_numpy()).any()
    assert ex.summary["executed_turnover"] == pytest.approx(result.metrics["turnover"])
    assert ex.summary["average_holdings"] == pytest.approx(result.metrics["average_holdings"])


def test_the_costs_of_the_trades_are_the_costs_the_returns_paid():
    """A sale on a day without a previous close adds nothing to the day's return, costs
    included: the record charges it what the return paid."""
    m = make_market(50, 10, seed=3)
    result = kb.backtest(m.weights, kb.Market(**m.matrices()), execution=True,
                         costs=kb.Costs.china_a_share())
    ex = result.execution
    charged = ex.trades.groupby("date")[["commission", "stamp_duty"]].sum() / 1e8
    paid = -ex.attribution[["commission", "stamp_duty"]]
    pd.testing.assert_frame_equal(charged.reindex(paid.index, fill_value=0.0), paid,
                                  check_names=False, atol=1e-12, rtol=0)
