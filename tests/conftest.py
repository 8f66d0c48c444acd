"""Shared fixtures: the hypothesis profile and a small synthetic market."""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, settings

from tests.support.markets import Market, make_market

# CI must never fail by chance: there the search is derandomized (the same examples every
# run). Locally the search stays random, so new inputs keep being tried.
settings.register_profile(
    "ci",
    derandomize=True,
    deadline=None,
    max_examples=60,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "dev",
    deadline=None,
    max_examples=60,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("ci" if os.environ.get("CI") else "dev")

def pytest_collection_modifyitems(config, items):
    """The tests of forking run first. A process never forks while other threads run, and
    a Dask client leaves a thread of its own running until the process ends, so these
    tests must come before any test that starts one."""
    items.sort(key=lambda item: not item.nodeid.startswith("tests/api/test_forked.py"))


@pytest.fixture
def market() -> Market:
    return make_market()


@pytest.fixture(scope="session")
def pelorin():
    from kestrelia.backtest import _pelorin

    return _pelorin
