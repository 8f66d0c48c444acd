"""The module frame: names, constants, classes, signatures, argument and result checks, and
the call-time lookup of outside names."""

import inspect
import typing
from pathlib import Path
from typing import Union

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import _store


class ListSub(list):
    pass


class DictSub(dict):
    pass


def incorrect(name, expected, got):
    return rf"^Argument '{name}' has incorrect type \(expected {expected}, got {got}\)$"


def test_module_names_in_order(prepare):
    names = [n for n in vars(prepare) if not n.startswith("__")]
    assert names == [
        "pickle", "Path", "Union", "np", "pd", "NetworkError", "get_instance",
        "BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key",
        "normalize_yyyymmdd", "PathLike", "FLOAT_STORAGE_DTYPE", "BOOL_STORAGE_DTYPE",
        "TAIL_RELOAD_ROWS", "PREPARED_DATA_VERSION", "COMPONENT_FACTOR_NAMES",
        "BENCHMARK_INDEX_CODES", "REQUIRED_FACTOR_NAMES", "OPTIONAL_FACTOR_NAMES",
        "BUILD_INPUT_NAMES", "BASE_MATRIX_DTYPE", "parse_name_list",
        "get_component_factor_names", "build_matrix_dtype", "series_to_yyyymmdd",
        "BinaryPreparedDataStore", "GroupPreparedDataBuilder", "payload_slice_from_date",
        "build_incremental_write_window",
    ]
    assert prepare.clean_matrix is _store.clean_matrix
    assert prepare.BinaryPreparedDataStoreBase is _store.BinaryPreparedDataStoreBase


def test_constants(prepare):
    assert typing.get_origin(prepare.PathLike) is Union
    assert typing.get_args(prepare.PathLike) == (str, Path)
    assert (prepare.FLOAT_STORAGE_DTYPE, prepare.BOOL_STORAGE_DTYPE) == ("float64", "bool")
    assert (prepare.TAIL_RELOAD_ROWS, prepare.PREPARED_DATA_VERSION) == (2, 1)
    assert prepare.COMPONENT_FACTOR_NAMES == [
        "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
        "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
        "rq_index_components_new_932000.INDX",
    ]
    assert list(prepare.BENCHMARK_INDEX_CODES.items()) == [
        ("000852", "000852.XSHG"), ("000300", "000300.XSHG"), ("000905", "000905.XSHG")]
    assert prepare.REQUIRED_FACTOR_NAMES == [
        "rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
        "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"]
    assert prepare.OPTIONAL_FACTOR_NAMES == [
        "split_coefficient_to", "rq_get_dividend", "rq_is_suspended"]
    assert prepare.BUILD_INPUT_NAMES == [*prepare.REQUIRED_FACTOR_NAMES,
                                         *prepare.OPTIONAL_FACTOR_NAMES]
    assert prepare.BUILD_INPUT_NAMES is not prepare.REQUIRED_FACTOR_NAMES
    dtypes = prepare.BASE_MATRIX_DTYPE
    assert list(dtypes) == [
        "industry_matrix", "close_price", "open_price", "close_price_valid", "prev_close",
        "buy_price", "sell_price", "rq_get_split", "rq_get_dividend", "can_buy_stock",
        "cant_sell_stock", "forward_return_rank_cache"]
    assert [k for k, v in dtypes.items() if v == "bool"] == ["can_buy_stock", "cant_sell_stock"]
    assert dtypes["close_price"] is prepare.FLOAT_STORAGE_DTYPE


def test_classes(prepare):
    store, builder = prepare.BinaryPreparedDataStore, prepare.GroupPreparedDataBuilder
    assert store.__bases__ == (_store.BinaryPreparedDataStoreBase,)
    assert builder.__bases__ == (object,)
    for cls in (store, builder):
        assert cls.__module__ == "kestrelia.backtest._prepare"
        assert cls.__qualname__ == cls.__name__
    assert "component" in store.__doc__ and "payload" in builder.__doc__
    statics = {n for n, v in vars(builder).items() if isinstance(v, staticmethod)}
    assert statics == {"_normalize_ddb_backtest_date", "_ks_factor_date", "_empty_like"}
    assert builder._ks_factors_to_matrices.__qualname__ == (
        "GroupPreparedDataBuilder._ks_factors_to_matrices")
    assert builder._empty_like.__defaults__[0] is np.nan  # the very object, not an equal NaN
    assert not [k for k in vars(builder) if not k.startswith("_") and k not in (
        "build", "build_incremental")]


@pytest.mark.parametrize("path, signature", [
    ("parse_name_list", "(raw_values) -> 'list[str]'"),
    ("build_matrix_dtype", "(component_names: 'list[str] | None' = None) -> 'dict[str, str]'"),
    ("build_incremental_write_window",
     "(base_index: 'list[str]', write_start_date: 'str', write_end_date: 'str') -> 'dict'"),
    ("BinaryPreparedDataStore.load", ("(self, start_date=None, end_date=None, "
                                      "keys: 'list[str] | None' = None, mmap: 'bool' = True) "
                                      "-> 'dict'")),
    ("BinaryPreparedDataStore.add_component_matrices",
     ("(self, component_matrices: 'dict[str, pd.DataFrame]', component_names: 'list[str]')"
      " -> 'list[str]'")),
    ("GroupPreparedDataBuilder._ks_factor_date", "(date_value: 'str | None') -> 'str | None'"),
    ("GroupPreparedDataBuilder._read_or_empty",
     ("(self, name: 'str', reference: 'pd.DataFrame', "
      "batch: 'dict[str, pd.DataFrame] | None' = None) -> 'pd.DataFrame'")),
])
def test_signatures(prepare, path, signature):
    obj = prepare
    for part in path.split("."):
        obj = inspect.getattr_static(obj, part) if isinstance(obj, type) else getattr(obj, part)
    if isinstance(obj, staticmethod):
        obj = obj.__func__
    assert str(inspect.signature(obj)) == signature


@pytest.mark.parametrize("call, error", [
    (lambda p: p.build_matrix_dtype(("a",)), incorrect("component_names", "list", "tuple")),
    (lambda p: p.GroupPreparedDataBuilder(None, "20240101"),
     incorrect("start_date", "str", "NoneType")),
    (lambda p: p.payload_slice_from_date(DictSub(data={}), "20240101"),
     incorrect("payload", "dict", "DictSub")),
    (lambda p: p.build_incremental_write_window(ListSub(["20240101"]), "20240101", "20240102"),
     incorrect("base_index", "list", "ListSub")),
    (lambda p: p.build_incremental_write_window(["20240101"], 20240101, "20240102"),
     incorrect("write_start_date", "str", "int")),
    (lambda p: p.GroupPreparedDataBuilder("20240101", "20240102")._read_or_empty("x"),
     (r"^GroupPreparedDataBuilder\._read_or_empty\(\) missing 1 required positional argument: "
      r"'reference'$")),
    (lambda p: p.GroupPreparedDataBuilder("20240101", "20240102")._build_from_matrices([]),
     incorrect("source", "dict", "list")),
    (lambda p: p.GroupPreparedDataBuilder._ks_factor_date(20240101),
     incorrect("date_value", "str", "int")),
])
def test_argument_checks(prepare, call, error):
    with pytest.raises(TypeError, match=error):
        call(prepare)


def test_result_of_the_date_normaliser_is_checked(prepare, monkeypatch):
    monkeypatch.setattr(prepare, "normalize_yyyymmdd", lambda value: 20240105)
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        prepare.GroupPreparedDataBuilder._ks_factor_date("x")
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        prepare.payload_slice_from_date({"data": {}}, "x")


def test_outside_names_are_looked_up_at_call_time(prepare, monkeypatch):
    seen = []

    class Client:
        def get_factors(self, factor, start_date, end_date):
            seen.append((factor, start_date, end_date))

    monkeypatch.setattr(prepare, "get_instance", lambda: Client())
    builder = prepare.GroupPreparedDataBuilder("2024-01-02", "20240131")
    assert builder._read_normal_factor_matrix("Close").shape == (0, 0)
    assert seen == [("Close", "2024-01-02", "2024-01-31")]

    monkeypatch.setattr(prepare, "clean_matrix", lambda matrix: "cleaned")
    table = pd.DataFrame({"ukey": ["600000.XSHG"], "date": ["2024-01-02"], "value": [1.0]})
    assert builder._ks_factors_to_matrices(table, ["A"]) == {"A": "cleaned"}


def test_methods_call_each_other_through_self(prepare):
    class Builder(prepare.GroupPreparedDataBuilder):
        def _read_normal_factor_matrix(self, name):
            return pd.DataFrame({"600000": [float(len(name))]}, index=["20240102"])

    builder = Builder("20240101", "20240105")
    reference = pd.DataFrame(index=["20240102"], columns=["600000"])
    assert builder._read_or_empty("abc", reference).iloc[0, 0] == 3.0
    assert builder._batch_or_read({}, "abcd").iloc[0, 0] == 4.0
