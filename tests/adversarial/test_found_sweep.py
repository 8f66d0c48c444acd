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


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as lc, distributed.Client(lc) as client:
        yield client


def _top_two(market):
    rank = market.close_price.rank(axis=1, ascending=False, method="first")
    return (rank <= 2).astype(float).where(rank <= 2) / 2


def _store(tmp_path):
    from tests.api.test_sweep import benchmark_of, write_store
    from tests.support.markets import make_market

    m = make_market(40, 8, seed=5)
    write_store(tmp_path / "store", m, benchmark_of(m, 5))
    return tmp_path / "store"


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_a_strategy_the_cluster_cannot_receive_fails_alone(cluster, tmp_path):
    import threading

    lock = threading.Lock()
    result = kb.sweep({"good": _top_two, "holds a lock": lambda m, lock=lock: _top_two(m)},
                      _store(tmp_path), client=cluster, progress=False)
    assert list(result.stats.index) == ["good"]
    assert result.failed == {"holds a lock": "the strategy could not be sent to the cluster's "
                             "workers: TypeError: cannot pickle '_thread.lock' object"}


def test_a_client_that_is_no_client_raises_input_error(tmp_path):
    pytest.importorskip("distributed")
    with pytest.raises(InputError, match=r"client must be a dask\.distributed\.Client"):
        kb.sweep({"a": _top_two}, _store(tmp_path), client=object(), progress=False)


def test_a_strategy_that_changes_the_strategies_mapping_loses_no_result():
    market = _example_market()
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    strategies = {}

    def meddler(m):
        strategies.pop("last", None)
        strategies["added"] = weights
        return weights

    strategies.update({"meddler": meddler, "last": weights})
    result = kb.sweep(strategies, market, workers=1, progress=False)
    assert list(result.stats.index) == ["meddler", "last"] and not result.failed
