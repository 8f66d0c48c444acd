"""A small demo (market folder, store and report) shared by the command-line tests that
only read it or copy it; the data-service client registry is restored after."""

import pytest

from kestrelia import singleton
from kestrelia.backtest.app import cli


@pytest.fixture(scope="session")
def small_demo(tmp_path_factory):
    previous = singleton.set_instance(None)
    out = tmp_path_factory.mktemp("small-demo")
    assert cli.main(["demo", "--out", str(out), "--stocks", "60", "--years", "0.4", "--force"]) == 0
    yield out
    singleton.set_instance(previous)
