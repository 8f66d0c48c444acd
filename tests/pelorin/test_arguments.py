"""The argument rules shared by every module function: arity and keyword errors in
CPython's wording, and the annotation-driven conversions and type errors."""

import re
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest


class StrSub(str):
    pass


class DictSub(dict):
    pass


def incorrect(name, expected, got):
    return rf"^Argument '{name}' has incorrect type \(expected {expected}, got {got}\)$"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p._smooth_strategy_weights(), r"missing 2 required positional arguments: "
         r"'strategy_matrix' and 'rolling_window'"),
        (lambda p: p._smooth_strategy_weights(pd.DataFrame()),
         r"^_smooth_strategy_weights\(\) missing 1 required positional argument: 'rolling_window'$"),
        (lambda p: p._smooth_strategy_weights(1, 2, 3),
         r"^_smooth_strategy_weights\(\) takes 2 positional arguments but 3 were given$"),
        (lambda p: p.calc_strategy_vwap_daily_return(*range(14)),
         r"^calc_strategy_vwap_daily_return\(\) takes from 9 to 13 positional arguments "
         r"but 14 were given$"),
        (lambda p: p._smooth_strategy_weights(1, 2, window=3),
         r"^_smooth_strategy_weights\(\) got an unexpected keyword argument 'window'$"),
        (lambda p: p._smooth_strategy_weights(1, 2, rolling_window=3),
         r"^_smooth_strategy_weights\(\) got multiple values for argument 'rolling_window'$"),
        (lambda p: p._build_total_backtesting_frame(**{1: 2}),
         r"keywords must be strings"),
    ],
)
def test_arity_and_keyword_errors(pelorin, call, message):
    with pytest.raises(TypeError, match=message):
        call(pelorin)


def test_three_missing_names_are_joined_like_python(pelorin):
    message = ("calc_strategy_vwap_daily_return() missing 3 required positional arguments: "
               "'prev_close', 'buy_price', and 'sell_price'")
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        pelorin.calc_strategy_vwap_daily_return(1, 2, 3, 4, 5, 6)


@pytest.mark.parametrize(
    "kwargs, name, expected, got",
    [
        ({"strategy_name": None}, "strategy_name", "str", "NoneType"),
        ({"strategy_name": StrSub("x")}, "strategy_name", "str", "StrSub"),
        ({"benchmark_names": 852}, "benchmark_names", "str", "int"),
        ({"plot_image_kind": b"large"}, "plot_image_kind", "str", "bytes"),
        ({"benchmark_dict": DictSub()}, "benchmark_dict", "dict", "DictSub"),
        ({"benchmark_dict": []}, "benchmark_dict", "dict", "list"),
        ({"rolling_window": "5"}, "rolling_window", "int", "str"),
        ({"rolling_window": None}, "rolling_window", "int", "NoneType"),
    ],
)
def test_exact_types_are_enforced_before_any_work(pelorin, kwargs, name, expected, got):
    # The matrices are not even frames: the type check must come first.
    with pytest.raises(TypeError, match=incorrect(name, expected, got)):
        pelorin.run_strategy_backtest_core(*range(9), **kwargs)


def test_floats_use_the_float_protocol(pelorin, market):
    with pytest.raises(TypeError, match="must be real number, not NoneType"):
        pelorin.calc_strategy_vwap_daily_return(*market.args(), total_money=None)
    with pytest.raises(TypeError, match="must be real number, not str"):
        pelorin.calc_strategy_vwap_daily_return(*market.args(), fee="0.1")
    base = pelorin.calc_strategy_vwap_daily_return(*market.args(), total_money=1e8)
    for money in (100_000_000, np.float32(1e8), Decimal("1e8")):
        same = pelorin.calc_strategy_vwap_daily_return(*market.args(), total_money=money)
        pd.testing.assert_series_equal(same, base)


def test_ints_convert_any_number_with_int(pelorin, market):
    base = pelorin.calc_strategy_vwap_daily_return(*market.args(), lot_size=200)
    for lot in (200.0, 200.7, np.int64(200), np.float64(200.0), Decimal(200)):
        same = pelorin.calc_strategy_vwap_daily_return(*market.args(), lot_size=lot)
        pd.testing.assert_series_equal(same, base)
    with pytest.raises(TypeError, match=incorrect("lot_size", "int", "str")):
        pelorin.calc_strategy_vwap_daily_return(*market.args(), lot_size="200")
    with pytest.raises(ValueError, match="NaN"):
        pelorin.calc_strategy_vwap_daily_return(*market.args(), lot_size=float("nan"))
    smoothed = pelorin._smooth_strategy_weights(market.weights, 5.0)
    pd.testing.assert_frame_equal(smoothed, pelorin._smooth_strategy_weights(market.weights, 5))


def test_optional_str_accepts_none(pelorin, market):
    result = pelorin.run_strategy_backtest_core(
        *market.args(), plot_title=None, plot_image_kind=None, benchmark_dict=None
    )
    assert result.strategy_name == "strategy"
