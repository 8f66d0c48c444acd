"""The incremental write window and payload slicing."""

from typing import ClassVar

import numpy as np
import pandas as pd
import pytest

from tests.support.fakes import FakeClient, installed

DATES = ["20240101", "20240102", "20240103", "20240104"]


def payload_of(dates=DATES, meta=None):
    frame = pd.DataFrame({"600000": np.arange(len(dates), dtype=float)}, index=dates)
    series = pd.Series(np.arange(len(dates), dtype=float), index=dates, name="index_daily_return")
    return {
        "version": 1,
        "meta": {"start_date": dates[0], "end_date": dates[-1]} if meta is None else meta,
        "data": {"close_price": frame, "note": series, "benchmark_dict": {"000300": series}},
    }


class TestSlice:
    def test_rows_from_the_write_start(self, prepare):
        payload = payload_of()
        sliced = prepare.payload_slice_from_date(payload, "2024-01-02")
        assert list(sliced) == ["version", "meta", "data"]
        assert sliced["data"]["close_price"].index.tolist() == DATES[1:]
        assert sliced["data"]["benchmark_dict"]["000300"].index.tolist() == DATES[1:]
        assert sliced["data"]["note"] is payload["data"]["note"]
        assert sliced["meta"] == {"start_date": "20240102", "end_date": "20240104",
                                  "write_start_date": "20240102", "read_start_date": "20240101"}
        assert payload["data"]["close_price"].shape == (4, 1)
        assert payload["meta"] == {"start_date": "20240101", "end_date": "20240104"}

    def test_labels_are_compared_as_text(self, prepare):
        frame = pd.DataFrame({"a": [1.0, 2.0]}, index=[20240101, 20240102])
        sliced = prepare.payload_slice_from_date({"data": {"m": frame}}, "20240102")
        assert sliced["data"]["m"].index.tolist() == [20240102]
        assert sliced["meta"]["read_start_date"] is None

    def test_a_start_that_is_no_date_is_refused(self, prepare):
        # Comparing labels with a missing start would silently empty every matrix.
        with pytest.raises(ValueError, match=r"^write_start_date / write_end_date 不能为空。$"):
            prepare.payload_slice_from_date(payload_of(), "  ")

    @pytest.mark.parametrize("payload, error, message", [
        ({}, KeyError, "data"),
        ({"data": None}, AttributeError, "'NoneType' object has no attribute 'items'"),
        ({"data": {"benchmark_dict": None}}, AttributeError, "has no attribute 'items'"),
        ({"data": {}, "meta": None}, TypeError,
         "argument after \\*\\* must be a mapping, not NoneType"),
    ])
    def test_malformed_payloads(self, prepare, payload, error, message):
        with pytest.raises(error, match=message):
            prepare.payload_slice_from_date(payload, "20240102")


class RecordingBuilder:
    """Stands in for GroupPreparedDataBuilder: records its range, returns a payload."""

    made: ClassVar[list] = []

    def __init__(self, *, start_date, end_date):
        RecordingBuilder.made.append((start_date, end_date))
        self.start, self.end = start_date, end_date

    def build_incremental(self):
        dates = [d for d in pd.bdate_range("2023-12-25", "2024-01-20").strftime("%Y%m%d")
                 if self.start <= d <= self.end]
        return payload_of(dates, meta={"start_date": self.start, "end_date": self.end,
                                       "updated_at": "now"})


@pytest.fixture
def recording(prepare, monkeypatch):
    RecordingBuilder.made = []
    monkeypatch.setattr(prepare, "GroupPreparedDataBuilder", RecordingBuilder)
    return RecordingBuilder.made


class TestWindow:
    def test_reads_one_local_day_back_and_writes_the_window(self, prepare, recording):
        payload = prepare.build_incremental_write_window(
            ["20240101", "20240102", "20240103"], "20240102", "20240110")
        assert recording == [("20240101", "20240110")]
        assert payload["data"]["close_price"].index[0] == "20240102"
        assert payload["data"]["benchmark_dict"]["000300"].index[0] == "20240102"
        assert payload["meta"] == {
            "start_date": "20240102", "end_date": "20240110", "updated_at": "now",
            "write_start_date": "20240102", "read_start_date": "20240101",
            "requested_write_start_date": "20240102", "write_end_date": "20240110"}

    def test_appending_after_the_last_local_date(self, prepare, recording):
        payload = prepare.build_incremental_write_window(["20240102", "20240103"], "2024-01-08",
                                                         "2024-01-10")
        assert recording == [("20240103", "20240110")]
        assert payload["data"]["close_price"].index.tolist() == ["20240108", "20240109", "20240110"]
        assert payload["meta"]["write_start_date"] == "20240108"

    def test_a_start_before_the_first_local_date(self, prepare, recording):
        payload = prepare.build_incremental_write_window(["20240103", "20240104"], "20231201",
                                                         "20240110")
        assert recording == [("20240103", "20240110")]
        assert payload["meta"]["write_start_date"] == "20240103"
        assert payload["meta"]["requested_write_start_date"] == "20231201"

    @pytest.mark.parametrize("base, start, end, message", [
        ([], "20240102", "20240103", "本地准备数据 close_price 日期索引为空,无法增量更新。"),
        (["20240102"], "", "20240103", "write_start_date / write_end_date 不能为空。"),
        (["20240102"], "20240102", " ", "write_start_date / write_end_date 不能为空。"),
    ])
    def test_refusals(self, prepare, recording, base, start, end, message):
        with pytest.raises(ValueError, match=f"^{message}$"):
            prepare.build_incremental_write_window(base, start, end)
        assert recording == []

    def test_with_the_real_builder(self, prepare, small_market):
        factors, index_daily = small_market
        local = list(factors["Close"].index[:8])
        with installed(FakeClient(factors, index_daily)) as fake:
            payload = prepare.build_incremental_write_window(local, local[5], "20210131")
        assert fake.calls[0][2] == f"{local[4][:4]}-{local[4][4:6]}-{local[4][6:]}"
        close = payload["data"]["close_price"]
        assert close.index[0] == local[5]
        # The first written day has its previous close: the look-back day was read.
        pd.testing.assert_series_equal(payload["data"]["prev_close"].iloc[0],
                                       factors["Close"].loc[local[4]], check_names=False)
        assert payload["meta"]["read_start_date"] == local[4]
