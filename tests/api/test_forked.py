"""Work done by a forked child beside the caller: the same results as done here, the work
done here whenever the child cannot do it, and no child where forking is unsafe."""

from __future__ import annotations

import os
import signal
import threading
import time

import pandas as pd
import pytest

from kestrelia.backtest import Market, backtest
from kestrelia.backtest._forked import Beside, can_fork
from tests.support.markets import make_market

needs_fork = pytest.mark.skipif(not can_fork(), reason="no child can be forked here (one core, "
                                "not Linux, or other threads running)")


@needs_fork
def test_a_child_returns_what_the_jobs_return():
    parent = os.getpid()
    with Beside({"pid": os.getpid, "text": lambda: "x" * 300_000}) as beside:
        assert beside.forked
        result = beside.result()
    assert result["pid"] != parent and result["text"] == "x" * 300_000
    assert beside.result() is result  # taken once


@needs_fork
def test_what_a_child_cannot_do_is_done_here():
    calls = []

    def fails_in_the_child():
        if os.getpid() != parent:
            raise RuntimeError("child only")
        calls.append("here")
        return "done here"

    parent = os.getpid()
    with Beside({"job": fails_in_the_child}) as beside:
        assert beside.result() == {"job": "done here"} and calls == ["here"]

    def dies():
        if os.getpid() != parent:
            os.kill(os.getpid(), signal.SIGKILL)
        return "survived"

    with Beside({"job": dies}) as beside:
        assert beside.result() == {"job": "survived"}

    def raises():
        raise ValueError("the same error, with its traceback from here")

    with Beside({"job": raises}) as beside, pytest.raises(ValueError, match="the same error"):
        beside.result()


@needs_fork
def test_closing_ends_a_child_whose_results_were_not_taken():
    with Beside({"sleep": lambda: time.sleep(60)}) as beside:
        pid = beside._pid
        assert pid > 0
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)  # reaped: no zombie left


def test_no_child_where_forking_is_unsafe(monkeypatch):
    monkeypatch.setenv("KESTRELIA_FORK", "0")
    with Beside({"pid": os.getpid}) as beside:
        assert not beside.forked and beside.result() == {"pid": os.getpid()}
    monkeypatch.delenv("KESTRELIA_FORK")
    stop = threading.Event()
    other = threading.Thread(target=stop.wait)
    other.start()
    try:
        # Another thread could hold a lock the child would wait on for ever.
        assert not can_fork()
        with Beside({"pid": os.getpid}) as beside:
            assert not beside.forked and beside.result() == {"pid": os.getpid()}
    finally:
        stop.set()
        other.join()


@needs_fork
@pytest.mark.slow
def test_a_report_saved_with_a_child_is_the_one_saved_without(tmp_path, monkeypatch):
    m = make_market(n_days=170, n_stocks=12, seed=5, blocked=0.05)
    benchmark = pd.Series(0.0005, index=m.weights.index, name="000852")
    result = backtest(m.weights, Market(**m.matrices(), benchmarks={"000852": benchmark}),
                      lot_size=100, execution=True, name="twin")
    saved = {}
    for fork in ("1", "0"):
        monkeypatch.setenv("KESTRELIA_FORK", fork)
        files = result.save(tmp_path / fork)
        saved[fork] = {p.name: p.read_bytes() for p in files}
    assert saved["1"] == saved["0"]
    assert {"twin.png", "twin_weekly_net_value.png", "twin_execution.png"} <= set(saved["1"])
    assert saved["1"]["report.html"].count(b"data:image/png;base64,") == 4  # rolling too
