"""The builder's reading half: construction, date forms, single and batch reads with their
fallbacks, placeholders and component masks."""

import numpy as np
import pandas as pd
import pytest

from kestrelia.exceptions import NetworkError
from tests.support.fakes import FakeClient, installed


def builder(prepare, start="20210101", end="20210131"):
    return prepare.GroupPreparedDataBuilder(start, end)


class TestConstructionAndDates:
    def test_attributes(self, prepare):
        b = prepare.GroupPreparedDataBuilder("2024-01-02", "2024/01/31")
        assert vars(b) == {"default_start": "20240102", "end_date": "20240131",
                           "_ddb_start": "20240102", "_ddb_end": "20240131"}
        assert vars(prepare.GroupPreparedDataBuilder("", "20240131"))["default_start"] is None

    @pytest.mark.parametrize("value, expected", [
        ("2024010", "20240100"), (2024010, "20240100"), ("20240102", "20240102"),
        ("2024-01-02", "2024-01-02"), ("202401a", "202401a"), ("", ""), (None, None),
    ])
    def test_backtest_date_form(self, prepare, value, expected):
        assert prepare.GroupPreparedDataBuilder._normalize_ddb_backtest_date(value) == expected

    def test_service_date_form(self, prepare):
        assert prepare.GroupPreparedDataBuilder._ks_factor_date("20240105") == "2024-01-05"
        assert prepare.GroupPreparedDataBuilder._ks_factor_date("2024/1/5") == "2024-01-05"
        assert prepare.GroupPreparedDataBuilder._ks_factor_date(None) is None


class TestReads:
    def test_single_read(self, prepare, recording_client, small_market):
        result = builder(prepare)._read_normal_factor_matrix("Close")
        pd.testing.assert_frame_equal(result, small_market[0]["Close"])
        assert recording_client.calls == [("get_factors", "Close", "2021-01-01", "2021-01-31")]

    def test_single_read_without_data_is_empty(self, prepare, recording_client):
        assert builder(prepare)._read_normal_factor_matrix("nothing").shape == (0, 0)

    def test_batch_read_is_one_request(self, prepare, recording_client, small_market):
        result = builder(prepare)._read_normal_factor_batch(["Close", " Open "])
        assert list(result) == ["Close", "Open"]
        pd.testing.assert_frame_equal(result["Open"], small_market[0]["Open"])
        assert recording_client.factor_calls() == [["Close", "Open"]]
        assert builder(prepare)._read_normal_factor_batch([" "]) == {}

    def test_batch_network_error_falls_back_to_single_reads(self, prepare, small_market):
        fake = FakeClient(*small_market, network_error={"batch"})
        with installed(fake):
            result = builder(prepare)._read_normal_factor_batch(["Close", "Open"])
        assert fake.factor_calls() == [["Close", "Open"], "Close", "Open"]
        pd.testing.assert_frame_equal(result["Close"], small_market[0]["Close"])

    def test_batch_rereads_missing_factors_singly(self, prepare, small_market):
        fake = FakeClient(*small_market)
        with installed(fake):
            result = builder(prepare)._read_normal_factor_batch(["Close", "absent"])
        assert fake.factor_calls() == [["Close", "absent"], "absent"]
        assert result["absent"].shape == (0, 0)

    def test_batch_propagates_other_errors(self, prepare):
        class Broken(FakeClient):
            def get_factors(self, factor, start_date, end_date):
                return pd.DataFrame({"value": [1.0]})

        with installed(Broken({}, None)), pytest.raises(KeyError, match="ukey/date"):
            builder(prepare)._read_normal_factor_batch(["Close"])

    def test_single_reads_after_a_failed_batch_are_not_guarded(self, prepare, small_market):
        fake = FakeClient(*small_market, network_error={"batch", "Open"})
        with installed(fake), pytest.raises(NetworkError, match=r"^Open failed$"):
            builder(prepare)._read_normal_factor_batch(["Close", "Open"])


class TestBatchHelpers:
    def test_read_or_empty_with_an_empty_batch_entry(self, prepare, recording_client):
        reference = pd.DataFrame(1.0, index=["20210104", "20210105"], columns=["000001"])
        result = builder(prepare)._read_or_empty("x", reference, batch={"x": pd.DataFrame()})
        assert result.shape == (2, 1) and result.isna().all().all()
        assert recording_client.calls == []

    def test_read_or_empty_sorts_batch_entries(self, prepare, recording_client):
        unsorted = pd.DataFrame({"a": [2.0, 1.0]}, index=["20210105", "20210104"])
        result = builder(prepare)._read_or_empty("x", unsorted, batch={"x": unsorted})
        assert result.index.tolist() == ["20210104", "20210105"]

    def test_read_or_empty_without_batch_reads(self, prepare, recording_client, small_market):
        reference = pd.DataFrame()
        pd.testing.assert_frame_equal(builder(prepare)._read_or_empty("Open", reference),
                                      small_market[0]["Open"])
        assert builder(prepare)._read_or_empty("absent", reference).shape == (0, 0)

    def test_batch_or_read(self, prepare, recording_client, small_market):
        b = builder(prepare)
        entry = pd.DataFrame({"a": [2.0, 1.0]}, index=["20210105", "20210104"])
        assert b._batch_or_read({"x": entry}, "x").index.tolist() == ["20210104", "20210105"]
        pd.testing.assert_frame_equal(b._batch_or_read({}, "Close"), small_market[0]["Close"])
        assert recording_client.factor_calls() == ["Close"]
        with pytest.raises(TypeError, match="'batch' has incorrect type"):
            b._batch_or_read(None, "Close")


class TestComponentMasks:
    def test_values_become_membership(self, prepare):
        raw = pd.DataFrame({"a": [1.0, 0.0, np.nan, 5.0], "b": [np.inf, -np.inf, 2.0, 0.0]},
                           index=["20210107", "20210106", "20210105", "20210104"])
        result = builder(prepare)._component_matrices(["c"], batch={"c": raw})["c"]
        expected = pd.DataFrame({"a": [1.0, np.nan, np.nan, 1.0][::-1],
                                 "b": [np.nan, 1.0, np.nan, np.nan]},
                                index=["20210104", "20210105", "20210106", "20210107"])
        pd.testing.assert_frame_equal(result, expected)

    def test_failed_and_empty_components_are_left_out(self, prepare, small_market):
        names = prepare.get_component_factor_names()
        fake = FakeClient(*small_market, network_error={names[0]}, missing={names[1]})
        with installed(fake):
            result = builder(prepare)._component_matrices(names)
        assert list(result) == names[2:]
        assert fake.factor_calls() == names

    def test_batch_entries_are_used_before_reading(self, prepare, recording_client, small_market):
        names = prepare.get_component_factor_names()[:2]
        batch = {names[0]: small_market[0][names[0]]}
        result = builder(prepare)._component_matrices(names, batch=batch)
        assert list(result) == names
        assert recording_client.factor_calls() == [names[1]]

    def test_other_errors_propagate(self, prepare, small_market):
        class Broken(FakeClient):
            def get_factors(self, factor, start_date, end_date):
                raise RuntimeError("service down")

        with installed(Broken(*small_market)), pytest.raises(RuntimeError, match="service down"):
            builder(prepare)._component_matrices(["c"])
