"""The store base module: date normaliser, component keys, clean matrices, and the binary
store's round trips, tail updates and crash safety."""

import datetime as dt
import json
import pickle
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kestrelia._dates import normalize_yyyymmdd
from kestrelia.backtest._storage import durable
from kestrelia.backtest._store import (
    BinaryPreparedDataStoreBase,
    clean_matrix,
    component_dataset_key,
)

DTYPES = {"close_price": "float64", "can_buy_stock": "bool"}


class TestNormalize:
    @pytest.mark.parametrize("value", [
        "20240102", " 2024-01-02 ", "2024/1/2", "2024.01.02", "2024-01-02 15:30:00",
        "2024-01-02T09:30", "Jan 2, 2024", 20240102, np.int64(20240102), 20240102.0,
        dt.date(2024, 1, 2), dt.datetime(2024, 1, 2, 23, 59), pd.Timestamp("2024-01-02"),
        np.datetime64("2024-01-02"), "20240102.0",
    ])
    def test_dates(self, value):
        assert normalize_yyyymmdd(value) == "20240102"

    @pytest.mark.parametrize("value", ["09990101", "0999-01-01", dt.date(999, 1, 1),
                                       np.datetime64("0999-01-01")])
    def test_years_before_1000_keep_four_digits(self, value):
        from kestrelia._dates import parse_date

        assert normalize_yyyymmdd(value) == "09990101"
        assert parse_date(value) == "09990101"

    @pytest.mark.parametrize("value", [
        None, "", "   ", pd.NaT, np.nan, np.datetime64("NaT"), pd.NA])
    def test_missing(self, value):
        assert normalize_yyyymmdd(value) is None

    @pytest.mark.parametrize("value", [
        "yesterday", "2024", "2024010", "20241301", "20240230", 2024010, 1.5, True, [20240102],
        20240102.5, object(),
    ])
    def test_refused_values_are_named(self, value):
        named = re.escape(repr(value)[:8])
        with pytest.raises(ValueError, match=named):
            normalize_yyyymmdd(value)


class TestComponentKey:
    def test_built_in_names(self):
        from kestrelia.backtest import _prepare

        keys = [component_dataset_key(n) for n in _prepare.COMPONENT_FACTOR_NAMES]
        assert len(set(keys)) == 5
        assert not set(keys) & set(_prepare.BASE_MATRIX_DTYPE)
        assert keys == [component_dataset_key(n) for n in _prepare.COMPONENT_FACTOR_NAMES]

    def test_unsafe_names_stay_distinct_and_are_stored_inside_the_folder(self, tmp_path):
        from kestrelia.backtest import _prepare

        names = ["a/b", "a_b", "a b", "a\\b", "../x", *_prepare.COMPONENT_FACTOR_NAMES]
        keys = [component_dataset_key(n) for n in names]
        assert len(set(keys)) == len(names)
        s = BinaryPreparedDataStoreBase(tmp_path / "s", {}, 1, "float64")
        bench = pd.Series([0.1, 0.2, 0.3, 0.4], index=sample().index, name="r")
        data = {k: sample(offset=i) for i, k in enumerate(keys)}
        s.write({"meta": {}, "data": {**data, "benchmark_dict": {"../x": bench, "a..b": bench}}})
        loaded = s.load(mmap=False)["data"]
        for i, key in enumerate(keys):
            np.testing.assert_array_equal(loaded[key].to_numpy(), sample(offset=i).to_numpy())
        assert list(loaded["benchmark_dict"]) == ["../x", "a..b"]
        np.testing.assert_array_equal(loaded["benchmark_dict"]["a..b"].to_numpy(), bench.to_numpy())
        assert s.verify() == []
        assert {p.parent for p in tmp_path.rglob("*.npy")} == {s.store_dir}

    @pytest.mark.parametrize("name, error, message", [
        ("", ValueError, "component name must not be empty"),
        ("  ", ValueError, "component name must not be empty"),
        (3, TypeError, "component name must be str, got int"),
    ])
    def test_refused(self, name, error, message):
        with pytest.raises(error, match=message):
            component_dataset_key(name)


class TestCleanMatrix:
    def test_text_labels_sorted_float_values(self):
        raw = pd.DataFrame({2: [1, 2], 1: [3, None]},
                           index=pd.Index([20240103, 20240102], name="d"))
        result = clean_matrix(raw)
        assert result.index.tolist() == ["20240102", "20240103"]
        assert result.columns.tolist() == ["1", "2"]
        assert result.index.name is None and result.columns.name is None
        assert result.dtypes.unique().tolist() == [np.dtype("float64")]
        assert result.loc["20240103", "1"] == 3.0 and np.isnan(result.loc["20240102", "1"])

    def test_missing_labels_stay_missing(self):
        raw = pd.DataFrame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]],
                           index=pd.Index(["20240103", None, "20240102"], dtype=object),
                           columns=pd.Index([np.nan, "000001"], dtype=object))
        result = clean_matrix(raw)
        assert result.index[:2].tolist() == ["20240102", "20240103"]
        assert pd.isna(result.index[2]) and pd.isna(result.columns[1])
        assert result.columns[0] == "000001"
        assert result.iloc[2].tolist() == [4.0, 3.0]

    def test_nothing_is_dropped(self):
        raw = pd.DataFrame([[np.nan, np.nan]], index=["b"], columns=["y", "x"])
        assert clean_matrix(raw).shape == (1, 2)
        assert clean_matrix(pd.DataFrame()).shape == (0, 0)


def sample(dates=("20240102", "20240103", "20240104", "20240105"), codes=("000001", "600000"),
           offset=0.0):
    values = np.arange(len(dates) * len(codes), dtype=float).reshape(len(dates), len(codes))
    return pd.DataFrame(values + offset, index=list(dates), columns=list(codes))


def payload(offset=0.0, **kwargs):
    close = sample(offset=offset, **kwargs)
    bench = pd.Series(close.iloc[:, 0].to_numpy(), index=close.index, name="index_daily_return")
    return {"version": 1, "meta": {"start_date": close.index[0], "tag": offset},
            "data": {"close_price": close, "can_buy_stock": close > close.to_numpy().mean(),
                     "other": close * 2, "note": "not stored",
                     "benchmark_dict": {"000300": bench}}}


@pytest.fixture
def store(tmp_path):
    s = BinaryPreparedDataStoreBase(tmp_path / "s", DTYPES, 1, "float64")
    s.write(payload())
    return s


def snapshot(store):
    return {p.name: p.read_bytes() for p in store.store_dir.iterdir()}


class TestRoundTrip:
    def test_write_and_load(self, store):
        result = store.load()
        assert result["version"] == 1 and result["meta"]["tag"] == 0.0
        assert list(result["data"]) == ["close_price", "can_buy_stock", "other", "benchmark_dict"]
        expected = payload()["data"]
        pd.testing.assert_frame_equal(result["data"]["close_price"], expected["close_price"])
        pd.testing.assert_frame_equal(result["data"]["can_buy_stock"], expected["can_buy_stock"])
        pd.testing.assert_series_equal(result["data"]["benchmark_dict"]["000300"],
                                       expected["benchmark_dict"]["000300"])
        metadata = pickle.loads(store.metadata_path.read_bytes())
        assert set(metadata) == {"version", "datasets", "meta", "updated_at"}
        manifest = json.loads((store.store_dir / "manifest.json").read_text(encoding="utf-8"))
        assert manifest["datasets"]["close_price"]["shape"] == [4, 2]

    @pytest.mark.parametrize("start, end, rows", [
        (None, None, 4), ("20240103", None, 3), (None, "2024-01-03", 2),
        ("20240103", "20240103", 1),
        ("20240106", None, 0), ("20240104", "20240103", 0), ("20231201", "20240110", 4),
    ])
    def test_date_bounds_are_inclusive(self, store, start, end, rows):
        result = store.load(start, end, keys=["close_price", "benchmark_dict"])
        assert len(result["data"]["close_price"]) == rows
        assert len(result["data"]["benchmark_dict"]["000300"]) == rows

    def test_mmap_loads_are_zero_copy_views_of_the_file(self, store):
        mapped = store.load(keys=["close_price"])["data"]["close_price"]
        values = mapped.to_numpy()
        assert not values.flags.writeable
        base = values
        while getattr(base, "base", None) is not None and not isinstance(base, np.memmap):
            base = base.base
        assert isinstance(base, np.memmap)
        copied = store.load(keys=["close_price"], mmap=False)["data"]["close_price"].to_numpy()
        assert copied.flags.f_contiguous
        base = copied
        while getattr(base, "base", None) is not None:
            assert not isinstance(base, np.memmap)
            base = base.base
        assert not isinstance(base, np.memmap)
        on_disk = np.load(next(store.store_dir.glob("close_price.*.npy")), mmap_mode="r")
        assert on_disk.flags.f_contiguous  # each stock's history is contiguous

    def test_unknown_key(self, store):
        with pytest.raises(KeyError, match="nothing"):
            store.load(keys=["nothing"])

    def test_a_store_never_written(self, tmp_path):
        s = BinaryPreparedDataStoreBase("~/../" + str(tmp_path / "new"), DTYPES, 1, "float64")
        assert s.load_metadata() == {} and s.load()["data"] == {}
        assert "~" not in str(s.store_dir)

    @pytest.mark.parametrize("bad, message", [
        ({"close_price": sample(dates=("20240102", "2024-01-02"))},
         "close_price: duplicate dates in the index"),
        ({"close_price": sample(codes=("000001", "000001"))},
         "close_price: duplicate stock codes in the columns"),
        ({"../evil": sample()}, r"dataset key '\.\./evil' cannot be stored"),
        ({"a..b": sample()}, r"dataset key 'a\.\.b' cannot be stored \(.*no '\.\.'\)"),
        ({"close_price": sample(dates=("20240102", "junk"))},
         "cannot read 'junk' as a YYYYMMDD date"),
    ])
    def test_unsafe_payloads_are_refused(self, store, bad, message):
        before = snapshot(store)
        with pytest.raises(ValueError, match=message):
            store.write({"meta": {}, "data": bad})
        assert snapshot(store) == before

    def test_unsorted_dates_are_stored_sorted(self, tmp_path):
        s = BinaryPreparedDataStoreBase(tmp_path / "u", DTYPES, 1, "float64")
        frame = sample().iloc[::-1]
        s.write({"data": {"close_price": frame}})
        pd.testing.assert_frame_equal(s.load()["data"]["close_price"], frame.sort_index())


class TestUpdateTail:
    def test_rows_from_the_first_date_are_replaced(self, store):
        new = payload(offset=100.0, dates=("20240104", "20240105", "20240108"),
                      codes=("000001", "000002", "600000"))
        new["meta"] = {"end_date": "20240108"}
        store.update_tail(new)
        result = store.load()
        close = result["data"]["close_price"]
        assert close.index.tolist() == ["20240102", "20240103", "20240104", "20240105", "20240108"]
        assert close.columns.tolist() == ["000001", "000002", "600000"]
        old_rows = sample().iloc[:2].reindex(columns=close.columns)
        pd.testing.assert_frame_equal(close.iloc[:2], old_rows)
        pd.testing.assert_frame_equal(close.iloc[2:], new["data"]["close_price"])
        masks = result["data"]["can_buy_stock"]
        assert masks.dtypes.unique().tolist() == [np.dtype(bool)]
        assert not masks.loc[["20240102", "20240103"], "000002"].any()
        bench = result["data"]["benchmark_dict"]["000300"]
        assert bench.index.tolist() == close.index.tolist()
        assert result["meta"] == {"start_date": "20240102", "tag": 0.0, "end_date": "20240108"}

    def test_datasets_missing_from_the_payload_are_kept(self, store):
        other = store.load(keys=["other"])["data"]["other"]
        new = payload(offset=5.0, dates=("20240105",))
        del new["data"]["other"]
        store.update_tail(new)
        pd.testing.assert_frame_equal(store.load(keys=["other"])["data"]["other"], other)

    def test_an_empty_store_is_written_whole(self, tmp_path):
        s = BinaryPreparedDataStoreBase(tmp_path / "e", DTYPES, 1, "float64")
        s.update_tail(payload())
        assert len(s.load()["data"]["close_price"]) == 4

    def test_a_payload_without_rows_is_refused(self, store):
        before = snapshot(store)
        empty = {"data": {"close_price": sample().iloc[:0]}}
        with pytest.raises(ValueError, match="no dated rows"):
            store.update_tail(empty)
        assert snapshot(store) == before

    def test_replaced_files_are_removed(self, store):
        store.update_tail(payload(offset=1.0, dates=("20240105",)))
        files = sorted(p.name for p in store.store_dir.glob("*.npy"))
        assert len(files) == 4  # close_price, can_buy_stock, other, one benchmark series


class TestUpdateWindow:
    """The rewrite of a window inside the store: stored rows after it stay."""

    def test_the_window_is_replaced_and_the_rows_on_either_side_kept(self, store):
        before = store.load(mmap=False)["data"]
        new = payload(offset=100.0, dates=("20240103", "20240104", "20240108"),
                      codes=("000001", "000002"))
        del new["data"]["other"]
        store.update_window(new, "20240104")
        result = store.load(mmap=False)["data"]
        close = result["close_price"]
        assert close.index.tolist() == ["20240102", "20240103", "20240104", "20240105"]
        assert close.columns.tolist() == ["000001", "000002", "600000"]
        window = ["20240103", "20240104"]
        pd.testing.assert_frame_equal(close.loc[window, ["000001", "000002"]],
                                      new["data"]["close_price"].loc[window])
        assert close.loc[window, "600000"].isna().all()
        kept = ["20240102", "20240105"]
        pd.testing.assert_frame_equal(close.loc[kept, ["000001", "600000"]],
                                      before["close_price"].loc[kept])
        assert close.loc[kept, "000002"].isna().all()
        masks = result["can_buy_stock"]
        assert masks.dtypes.unique().tolist() == [np.dtype(bool)]
        assert not masks.loc[kept, "000002"].any() and not masks.loc[window, "600000"].any()
        pd.testing.assert_frame_equal(result["other"], before["other"])
        bench = result["benchmark_dict"]["000300"]
        assert bench.index.tolist() == close.index.tolist()
        assert bench.loc[kept].tolist() == before["benchmark_dict"]["000300"].loc[kept].tolist()
        assert bench.loc[window].tolist() == [100.0, 102.0]  # the payload's first column
        assert store.verify() == []

    def test_a_benchmark_the_payload_lacks_is_kept_whole(self, store):
        series = store.load(mmap=False)["data"]["benchmark_dict"]["000300"]
        new = payload(offset=7.0, dates=("20240103",))
        new["data"]["benchmark_dict"] = {"000905": new["data"]["benchmark_dict"]["000300"]}
        store.update_window(new, "20240103")
        loaded = store.load(mmap=False)["data"]["benchmark_dict"]
        pd.testing.assert_series_equal(loaded["000300"], series)
        assert loaded["000905"].index.tolist() == ["20240103"]

    def test_a_window_from_before_the_first_row(self, store):
        before = store.load(mmap=False)["data"]["close_price"]
        new = payload(offset=50.0, dates=("20231229", "20240102"))
        store.update_window(new, "20240102")
        close = store.load(mmap=False)["data"]["close_price"]
        assert close.index.tolist() == ["20231229", *before.index]
        pd.testing.assert_frame_equal(close.iloc[:2], new["data"]["close_price"])
        pd.testing.assert_frame_equal(close.iloc[2:], before.iloc[1:])

    @pytest.mark.parametrize("last, message", [
        ("20240102", "starts on 20240103, after 20240102"),
        ("someday", "cannot read 'someday' as a YYYYMMDD date"),
        (None, "last None is not a date"),
    ])
    def test_a_last_day_before_the_payload_or_no_date_is_refused(self, store, last, message):
        before = snapshot(store)
        with pytest.raises(ValueError, match=message):
            store.update_window(payload(offset=1.0, dates=("20240103",)), last)
        assert snapshot(store) == before


class TestCrashSafety:
    """A write that fails half-way leaves the previous store readable and unchanged."""

    @pytest.fixture
    def failing_third_file(self, monkeypatch):
        calls = []
        real = np.lib.format.write_array

        def write_array(f, array, *args, **kwargs):
            calls.append(1)
            if len(calls) == 3:
                f.write(b"\x93NUMPY partial")
                raise OSError("no space left on device")
            return real(f, array, *args, **kwargs)

        monkeypatch.setattr(np.lib.format, "write_array", write_array)
        return calls

    @pytest.mark.parametrize("write", [
        lambda store, new: store.write(new),
        lambda store, new: store.update_tail(new),
        lambda store, new: store.update_window(new, "20240104"),
    ], ids=["write", "update_tail", "update_window"])
    def test_failure_in_the_middle(self, store, failing_third_file, write):
        before = store.load(mmap=False)
        metadata_before = store.metadata_path.read_bytes()
        new = payload(offset=50.0, dates=("20240103", "20240104"))
        with pytest.raises(OSError, match="no space"):
            write(store, new)
        assert len(failing_third_file) == 3
        assert store.metadata_path.read_bytes() == metadata_before
        after = store.load(mmap=False)
        assert after["meta"] == before["meta"]
        for key in ("close_price", "can_buy_stock", "other"):
            pd.testing.assert_frame_equal(after["data"][key], before["data"][key])
        assert not list(store.store_dir.glob(".*.tmp"))

    def test_a_failed_write_removes_its_own_files_and_no_others(self, store, monkeypatch):
        before = {p.name for p in store.store_dir.glob("*.npy")}
        # Named like a data file, but the store never listed it: a killed writer's or the user's.
        stray = store.store_dir / "close_price.0123456789ab.npy"
        stray.write_bytes(b"not the store's")
        monkeypatch.setattr(store, "_commit", lambda metadata: (_ for _ in ()).throw(OSError("disk full")))
        with pytest.raises(OSError, match="disk full"):
            store.write(payload(offset=9.0))
        assert {p.name for p in store.store_dir.glob("*.npy")} == before | {stray.name}
        monkeypatch.undo()
        store.write(payload(offset=9.0))
        assert {p.name for p in store.store_dir.glob("*.npy")} - before - {stray.name}
        assert len(list(store.store_dir.glob("*.npy"))) == 5
        assert stray.read_bytes() == b"not the store's"
        assert store.load()["data"]["close_price"].iloc[0, 0] == 9.0

    def test_failure_while_replacing_the_metadata(self, store, monkeypatch):
        before = store.metadata_path.read_bytes()
        real_replace = durable.os.replace

        def replace(src, dst):
            if Path(dst).name == "metadata.pkl":
                raise OSError("disk full")
            return real_replace(src, dst)

        monkeypatch.setattr(durable.os, "replace", replace)
        with pytest.raises(OSError, match="disk full"):
            store.write(payload(offset=3.0))
        assert store.metadata_path.read_bytes() == before
        assert store.load()["data"]["close_price"].iloc[0, 0] == 0.0
