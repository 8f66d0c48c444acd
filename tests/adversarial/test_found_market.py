"""Faults found by attacking Market(...) and the market a sweep hands its strategies: each
test shows one and guards its fix."""

import numpy as np
import pandas as pd
import pytest

import kestrelia.backtest as kb
from kestrelia.backtest import Market
from kestrelia.backtest._examples import example_market as _example_market
from kestrelia.errors import InputError


def _with_missing(frame: pd.DataFrame, dtype: str) -> pd.DataFrame:
    changed = frame.astype(dtype)
    changed.iloc[1, 0] = pd.NA
    return changed


@pytest.mark.parametrize("name, dtype", [
    ("can_buy_stock", "boolean"), ("cant_sell_stock", "boolean"),
    ("close_price", "Float64"), ("sell_price", "double[pyarrow]"),
])
def test_nullable_dtypes_with_missing_values_are_refused_or_read(name, dtype):
    market = _example_market()
    matrices = dict(market.matrices())
    matrices[name] = _with_missing(matrices[name], dtype)
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    try:
        changed = Market(**matrices)
    except InputError:
        return
    result = kb.backtest(weights, changed, lot_size=100)
    assert len(result.returns) == 2


def _writes_through(values: np.ndarray) -> None:
    values.flags.writeable = True
    values[0] = values[1]


@pytest.mark.parametrize("what", ["prices", "dates"])
def test_a_strategy_cannot_change_the_market_the_others_see(what):
    market = _example_market()
    close_before = market.close_price.to_numpy().copy()
    dates_before = list(market.dates)
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)

    def meddler(m):
        target = m.close_price.to_numpy() if what == "prices" else m.close_price.index.values
        try:
            _writes_through(target)
        except ValueError:
            pass  # refused: what a read-only market should do
        return weights

    kb.sweep({"meddler": meddler}, market, workers=1, progress=False)
    assert np.array_equal(market.close_price.to_numpy(), close_before)
    assert list(market.dates) == dates_before


@pytest.mark.parametrize("name", ["close_price", "split_factor", "benchmark", "factor"])
def test_complex_market_numbers_are_refused(name):
    market = _example_market()
    matrices = dict(market.matrices())
    extra = {}
    if name == "benchmark":
        extra["benchmarks"] = {"000852": pd.Series(0.01 + 0.01j, index=market.dates)}
    elif name == "factor":
        extra["factors"] = {"pe": matrices["close_price"] * (1 + 1j)}
    else:
        matrices[name] = matrices[name] * (1 + 1j)
    with pytest.raises(InputError, match="complex128, not numeric"):
        Market(**matrices, **extra)


def test_factors_that_are_not_a_mapping_raise_input_error():
    market = _example_market()
    with pytest.raises(InputError, match="factors must be a mapping"):
        Market(**market.matrices(), factors=[market.close_price])


def test_market_slice_refuses_nat():
    with pytest.raises(InputError, match="end NaT is not an unambiguous date"):
        _example_market().slice(end=pd.NaT)


def test_an_infinite_benchmark_return_is_refused():
    # The engine's excess statistics came out finite (and meaningless) against it.
    market = _example_market()
    returns = pd.Series([0.01, np.inf, 0.0], index=market.dates)
    with pytest.raises(InputError, match=r"benchmark '000852': the return inf on 2024-01-03"):
        Market(**market.matrices(), benchmarks={"000852": returns})
    with pytest.raises(InputError, match="is not finite"):
        market.with_benchmarks({"000852": -returns})
