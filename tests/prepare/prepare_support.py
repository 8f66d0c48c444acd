"""Fixtures of the prepared-data tests (a pytest plugin: test modules list it in
``pytest_plugins``; a conftest.py in this folder would shadow the shared tests/conftest.py
module that other tests import by name)."""

from __future__ import annotations

import pytest
import reference_prepare as ref
from prepare_fakes import FakeClient, installed


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
