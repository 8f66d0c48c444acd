"""The native function objects of the two contract modules: every parameter a table
declares is read by its body, and the objects take part in garbage collection."""

from __future__ import annotations

import gc
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import _pelorin, _prepare
from tests.support import reference_prepare as ref
from tests.support.fakes import FakeClient, installed
from tests.support.markets import make_market, make_total_frame


def is_native(value) -> bool:
    # Each extension module links its own copy of the binding layer, hence its own type.
    return repr(type(value)) == "<class 'kestrelia.native_function'>"


def native_functions() -> dict[str, object]:
    """Every native function of the modules and of the classes they define, by qualname."""
    found = {}
    namespaces = [(_pelorin, vars(_pelorin)), (_prepare, vars(_prepare)),
                  (_prepare, vars(_prepare.BinaryPreparedDataStore)),
                  (_prepare, vars(_prepare.GroupPreparedDataBuilder))]  # fmt: skip
    for module, namespace in namespaces:
        for value in namespace.values():
            fn = value.__func__ if isinstance(value, staticmethod) else value
            if is_native(fn):
                found[f"{module.__name__}.{fn.__qualname__}"] = fn
    return found


def call_every_function(tmp_path) -> None:
    """Calls each native function with every parameter given, on small valid inputs."""
    market = make_market(40, 8, seed=5)
    m = market.matrices()
    bench = pd.Series(np.random.default_rng(1).normal(0, 0.01, 40), index=market.weights.index)
    plot = {"plot_image_kind": "large", "plot_title": "t"}
    _pelorin.run_strategy_backtest_core(
        market.weights, **m, benchmark_dict={"000852": bench}, benchmark_names="000852",
        rolling_window=2, total_money=1e7, fee=1e-4, rule_fee=5e-4,
        plot_save_path=str(tmp_path / "core.png"), strategy_name="s", **plot)  # fmt: skip
    _pelorin.calc_strategy_vwap_daily_return(market.weights, **m, total_money=1e7, fee=1e-4,
                                             rule_fee=5e-4, lot_size=100)  # fmt: skip
    _pelorin._smooth_strategy_weights(market.weights, 3)
    total = make_total_frame(_pelorin, 30)
    _pelorin.calc_strategy_stats(total, market.weights)
    for fmt in (_pelorin._format_pct, _pelorin._format_pct_points, _pelorin._format_num):
        fmt(0.5, digits=1)
    _pelorin._format_annual_excess(pd.Series([0.1], index=[2020]))
    _pelorin._period_return_drawdown_calmar(total["daily_return"])
    _pelorin._build_weekly_net_value_frame(total)
    # Without a title the charts are titled with the strategy name.
    _pelorin.run_strategy_backtest_core(
        market.weights, **m, plot_image_kind="small", plot_save_path=str(tmp_path / "untitled.png"),
        plot_title=None)  # fmt: skip

    factors, index_daily = ref.synthetic_factor_market(12, 16, seed=3)
    with installed(FakeClient(factors, index_daily)):
        builder = _prepare.GroupPreparedDataBuilder("20210101", "20210131")
        payload = builder.build()
        builder.build_incremental()
        _prepare.GroupPreparedDataBuilder._empty_like(total, fill_value=0.0)
        builder._read_or_empty("close", total, batch=None)
        local = sorted(payload["data"]["close_price"].index)
        _prepare.build_incremental_write_window(local, local[5], local[-1])
    _prepare.payload_slice_from_date(payload, str(local[3]))
    _prepare.parse_name_list("a, b")
    _prepare.build_matrix_dtype(component_names=None)
    _prepare.series_to_yyyymmdd(pd.Series(["20240102"]))
    store = _prepare.BinaryPreparedDataStore(str(tmp_path / "store"), component_names=None)
    store.write(payload)
    store.add_component_matrices({}, [])
    store.load(local[0], local[-1], keys=None, mmap=False)


@pytest.mark.slow
def test_every_declared_parameter_is_read_by_its_body(tmp_path):
    """A table that names a parameter its body never reads (a misspelt or a stale entry)
    fails here; a body that reads a name its table lacks fails the call itself."""
    call_every_function(tmp_path)
    unread = {}
    functions = native_functions()
    assert len(functions) > 40
    for name, fn in functions.items():
        declared = list(inspect.signature(fn).parameters)
        # A method's receiver belongs to the Python signature even where unused.
        missing = [p for p in declared if p not in fn.__params_read__ and p != "self"]
        if missing:
            unread[name] = missing
    assert unread == {}


def test_the_enumeration_covers_both_modules():
    names = native_functions()
    assert "kestrelia.backtest._pelorin.run_strategy_backtest_core" in names
    assert "kestrelia.backtest._prepare.GroupPreparedDataBuilder._empty_like" in names
    assert "kestrelia.backtest._prepare.BinaryPreparedDataStore.load" in names
    assert len(names) > 40


def test_native_functions_are_tracked_by_the_collector():
    assert all(gc.is_tracked(fn) for fn in native_functions().values())


@pytest.mark.parametrize("through", ["__dict__", "__module__", "__doc__"])
def test_a_cycle_through_a_function_is_collected(through):
    # In a child process: the function is taken out of its module, which cannot be undone.
    script = textwrap.dedent(f"""
        import gc, weakref
        from kestrelia.backtest import _pelorin
        fn = vars(_pelorin).pop("run_strategy_backtest_core")
        box = [fn]
        if {through!r} == "__dict__":
            fn.__dict__["box"] = box
        else:
            setattr(fn, {through!r}, box)
        alive = weakref.ref(fn)
        del fn, box
        gc.collect()
        print("freed" if alive() is None else "leaked")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=True, timeout=120)  # fmt: skip
    assert done.stdout.strip() == "freed", done.stderr

