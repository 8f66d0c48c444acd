"""Fixtures of the prepared-data tests: the module, a small market and a recording client."""

from __future__ import annotations

import pytest

from tests.support import reference_prepare as ref
from tests.support.fakes import FakeClient, installed


@pytest.fixture(scope="session")
def prepare():
    from kestrelia.backtest import _prepare

    return _prepare


@pytest.fixture(scope="session")
def small_market():
    """(factors, index_daily) of 12 days x 16 stocks."""
    return ref.synthetic_factor_market(12, 16, seed=3)


@pytest.fixture
def recording_client(small_market):
    factors, index_daily = small_market
    with installed(FakeClient(factors, index_daily)) as fake:
        yield fake
