"""Source reading, payload assembly and the two build drivers, against a fake client that
records its calls."""

import re

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest._store import component_dataset_key
from kestrelia.exceptions import NetworkError
from tests.support.fakes import FakeClient, installed


def builder(prepare):
    return prepare.GroupPreparedDataBuilder("2021-01-01", "20210131")


def test_full_build_payload(prepare, recording_client, small_market):
    payload = builder(prepare).build()
    assert list(payload) == ["version", "meta", "data"] and payload["version"] == 1
    meta = payload["meta"]
    assert list(meta) == ["start_date", "end_date", "ddb_start", "ddb_end", "component_names",
                          "component_dataset_keys", "created_at"]
    assert meta["start_date"] == "20210101" and meta["end_date"] == "20210131"
    names = prepare.COMPONENT_FACTOR_NAMES
    assert meta["component_names"] == names
    assert meta["component_dataset_keys"] == {n: component_dataset_key(n) for n in names}
    assert pd.Timestamp(meta["created_at"]) <= pd.Timestamp.now()
    data = payload["data"]
    assert list(data) == [*prepare.BASE_MATRIX_DTYPE, *(component_dataset_key(n) for n in names),
                          "benchmark_dict"]
    pd.testing.assert_frame_equal(data["close_price"], small_market[0]["Close"])
    mask = data[component_dataset_key(names[0])]
    assert set(np.unique(mask.to_numpy()[~np.isnan(mask.to_numpy())])) == {1.0}
    assert data["can_buy_stock"].dtypes.unique().tolist() == [np.dtype(bool)]
    assert list(data["benchmark_dict"]) == ["000852", "000300", "000905"]


def test_full_build_reads_each_factor_once_in_order(prepare, recording_client):
    builder(prepare).build()
    expected = [*prepare.REQUIRED_FACTOR_NAMES, *prepare.OPTIONAL_FACTOR_NAMES,
                *prepare.COMPONENT_FACTOR_NAMES]
    assert recording_client.factor_calls() == expected
    assert [c[0] for c in recording_client.calls][-1] == "get_index_daily"
    dates = {c[2:] for c in recording_client.calls if c[0] == "get_factors"}
    assert dates == {("2021-01-01", "2021-01-31")}


def test_incremental_build_reads_one_batch(prepare, recording_client):
    payload = builder(prepare).build_incremental()
    assert list(payload["meta"])[-1] == "updated_at"
    batch = [*prepare.BUILD_INPUT_NAMES, *prepare.COMPONENT_FACTOR_NAMES]
    assert recording_client.factor_calls() == [batch]
    assert [c[0] for c in recording_client.calls] == ["get_factors", "get_index_daily"]


def test_both_builds_give_the_same_data(prepare, recording_client):
    full = builder(prepare).build()["data"]
    incremental = builder(prepare).build_incremental()["data"]
    for key, value in full.items():
        if key == "benchmark_dict":
            for name in value:
                pd.testing.assert_series_equal(value[name], incremental[key][name])
        else:
            pd.testing.assert_frame_equal(value, incremental[key], obj=key)


def test_missing_component_is_fatal(prepare, small_market):
    name = prepare.COMPONENT_FACTOR_NAMES[2]
    with installed(FakeClient(*small_market, missing={name})), pytest.raises(
        ValueError, match=re.escape(f"成分股矩阵缺失，无法精确生成二进制缓存: ['{name}']")
    ):
        builder(prepare).build()


def test_missing_component_is_reported_after_the_benchmark_read(prepare, small_market):
    name = prepare.COMPONENT_FACTOR_NAMES[0]
    fake = FakeClient(small_market[0], pd.DataFrame(), missing={name})
    with installed(fake), pytest.raises(KeyError, match="基准日频数据为空"):
        builder(prepare).build()


@pytest.mark.parametrize("method", ["build", "build_incremental"])
def test_network_error_everywhere(prepare, small_market, method):
    names = {*small_market[0], "batch"}
    fake = FakeClient(*small_market, network_error=names)
    with installed(fake), pytest.raises(NetworkError, match=r"^\w+ failed$"):
        getattr(builder(prepare), method)()
    first = prepare.REQUIRED_FACTOR_NAMES[0]
    if method == "build":
        assert fake.factor_calls() == [first]
    else:
        assert fake.factor_calls()[1:] == [first]


@pytest.mark.parametrize("method", ["build", "build_incremental"])
def test_missing_optional_factor_becomes_a_nan_placeholder(prepare, small_market, method):
    with installed(FakeClient(*small_market, missing={"rq_get_dividend"})):
        b = builder(prepare)
        source = b._read_source_data(method == "build_incremental")[0]
        payload = getattr(b, method)()
    close = small_market[0]["Close"]
    placeholder = source["rq_get_dividend"]
    assert placeholder.isna().all().all()
    pd.testing.assert_index_equal(placeholder.index, close.index)
    pd.testing.assert_index_equal(placeholder.columns, close.columns)
    assert payload["data"]["rq_get_dividend"].shape == close.shape


def test_missing_close_is_refused(prepare, small_market):
    fake = FakeClient(*small_market, missing={"Close"})
    with installed(fake), pytest.raises(ValueError, match="收盘价"):
        builder(prepare).build_incremental()


def test_two_builds_are_independent(prepare, recording_client):
    b = builder(prepare)
    first, second = b.build(), b.build()
    assert first["data"] is not second["data"]
    assert first["data"]["prev_close"] is not second["data"]["prev_close"]
    assert first["meta"]["created_at"] != second["meta"]["created_at"]


def test_payload_data_is_a_new_dict_of_the_same_matrices(prepare, recording_client):
    derived = {}

    class Builder(prepare.GroupPreparedDataBuilder):
        def _build_from_matrices(self, source):
            derived.update(result=super()._build_from_matrices(source))
            return derived["result"]

    data = Builder("20210101", "20210131").build()["data"]
    assert data is not derived["result"]
    assert len(derived["result"]) == 12
    assert all(data[key] is value for key, value in derived["result"].items())


def test_assemble_payload_does_not_change_its_arguments(prepare):
    b = builder(prepare)
    data = {"close_price": pd.DataFrame()}
    components = {"c": pd.DataFrame({"a": [1.0]})}
    payload = b._assemble_payload(data, components, {}, ["c"], "updated_at")
    assert data == {"close_price": data["close_price"]}
    assert payload["data"][component_dataset_key("c")] is components["c"]
    assert payload["meta"]["component_names"] == ["c"]
    with pytest.raises(TypeError, match="'meta_time_key' has incorrect type"):
        b._assemble_payload(data, components, {}, ["c"], None)
