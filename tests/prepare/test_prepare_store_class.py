"""BinaryPreparedDataStore: construction, loading by the matrix dtype map, and supplementing
component matrices, including a failure while the metadata is written."""

import pickle

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest._store import component_dataset_key

NAMES = ["rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG"]


def mask(seed, dates=("20240102", "20240103", "20240104")):
    rng = np.random.default_rng(seed)
    values = np.where(rng.random((len(dates), 3)) < 0.5, 1.0, np.nan)
    return pd.DataFrame(values, index=list(dates), columns=["000001", "300750", "600000"])


def payload(prepare):
    dates = ["20240102", "20240103", "20240104"]
    close = pd.DataFrame(np.arange(9.0).reshape(3, 3) + 10, index=dates,
                         columns=["000001", "300750", "600000"])
    return {"version": 1, "meta": {"start_date": dates[0], "component_names": [NAMES[0]]},
            "data": {"close_price": close, "can_buy_stock": close > 12,
                     component_dataset_key(NAMES[0]): mask(0), "extra": close,
                     "benchmark_dict": {"000300": close["000001"].rename("index_daily_return")}}}


@pytest.fixture
def store(prepare, tmp_path):
    s = prepare.BinaryPreparedDataStore(str(tmp_path / "store"), NAMES)
    s.write(payload(prepare))
    return s


def test_construction(prepare, tmp_path):
    s = prepare.BinaryPreparedDataStore(tmp_path / "x")
    assert s.matrix_dtype == prepare.build_matrix_dtype()
    assert s.version == 1 and s.default_dtype == "float64"
    assert s.metadata_path == tmp_path / "x" / "metadata.pkl"
    with pytest.raises(TypeError, match="'component_names' has incorrect type"):
        prepare.BinaryPreparedDataStore(tmp_path, ("a",))


def test_load_reads_the_dtype_datasets_the_store_holds(prepare, store):
    result = store.load()
    assert list(result) == ["version", "meta", "data"]
    assert list(result["data"]) == ["close_price", "can_buy_stock", component_dataset_key(NAMES[0])]
    expected = payload(prepare)["data"]["close_price"]
    pd.testing.assert_frame_equal(result["data"]["close_price"], expected)
    assert result["data"]["can_buy_stock"].dtypes.unique().tolist() == [np.dtype(bool)]


@pytest.mark.parametrize("mmap", [True, False, 0, "yes"])
def test_load_by_dates_and_keys(prepare, store, mmap):
    result = store.load("2024-01-03", 20240104, keys=["close_price", "benchmark_dict"], mmap=mmap)
    assert result["data"]["close_price"].index.tolist() == ["20240103", "20240104"]
    assert result["data"]["benchmark_dict"]["000300"].tolist() == [13.0, 16.0]
    assert store.load(keys=[])["data"] == {}
    with pytest.raises(TypeError, match="'keys' has incorrect type"):
        store.load(keys=("close_price",))


def test_load_result_is_checked(prepare, store, monkeypatch):
    monkeypatch.setattr(type(store).__mro__[1], "load", lambda self, **kw: [kw])
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        store.load()


class TestAddComponents:
    def test_writes_missing_components_and_records_them(self, prepare, store):
        before = store.load_metadata()
        written = store.add_component_matrices(
            {NAMES[0]: mask(5), NAMES[1]: mask(1)}, [f" {NAMES[1]} ", NAMES[0]])
        assert written == [NAMES[1]]
        meta = store.load_metadata()
        assert meta["meta"]["component_names"] == NAMES
        keys = meta["meta"]["component_dataset_keys"]
        assert keys == {n: component_dataset_key(n) for n in NAMES}
        stamp = meta["updated_at"]
        assert stamp == meta["meta"]["updated_at"] == meta["meta"]["component_supplemented_at"]
        assert meta["updated_at"] != before["updated_at"]
        loaded = store.load()["data"]
        pd.testing.assert_frame_equal(loaded[component_dataset_key(NAMES[1])], mask(1))
        pd.testing.assert_frame_equal(loaded[component_dataset_key(NAMES[0])], mask(0))
        assert (store.store_dir / "manifest.json").read_text(encoding="utf-8").count(
            component_dataset_key(NAMES[1])) >= 1

    def test_nothing_to_write(self, prepare, store):
        before = store.load_metadata()
        assert store.add_component_matrices({}, []) == []
        assert store.add_component_matrices({NAMES[0]: mask(9)}, [NAMES[0]]) == []
        assert store.load_metadata() == before

    def test_missing_matrix_is_refused_without_recording(self, prepare, store):
        before = store.load_metadata()
        with pytest.raises(ValueError, match=f"^缺失成分股矩阵为空，无法补充: {NAMES[1]}$"):
            store.add_component_matrices({NAMES[1]: mask(1).iloc[:0]}, [NAMES[1]])
        assert store.load_metadata() == before

    def test_other_key_map_entries_stay(self, prepare, tmp_path):
        s = prepare.BinaryPreparedDataStore(tmp_path / "s", NAMES)
        p = payload(prepare)
        p["meta"]["component_dataset_keys"] = {"older": "component_older"}
        s.write(p)
        s.add_component_matrices({NAMES[1]: mask(2)}, [NAMES[1]])
        assert s.load_metadata()["meta"]["component_dataset_keys"]["older"] == "component_older"

    def test_argument_types(self, prepare, store):
        class DictSub(dict):
            pass

        with pytest.raises(TypeError, match="'component_matrices' has incorrect type"):
            store.add_component_matrices(DictSub(), [])
        with pytest.raises(TypeError, match="'component_names' has incorrect type"):
            store.add_component_matrices({}, None)

    def test_a_failed_metadata_write_leaves_the_store_unchanged(self, prepare, store, monkeypatch):
        # The metadata is pickled into a temporary file and renamed into place, so a
        # failure half-way through the pickle leaves the previous metadata in force.
        before = store.metadata_path.read_bytes()
        old = store.load()["data"]

        class FailingPickle:
            HIGHEST_PROTOCOL = pickle.HIGHEST_PROTOCOL

            @staticmethod
            def dump(obj, f, protocol):
                f.write(pickle.dumps(obj, protocol=protocol)[:20])
                raise OSError("disk full")

        monkeypatch.setattr(prepare, "pickle", FailingPickle)
        with pytest.raises(OSError, match="disk full"):
            store.add_component_matrices({NAMES[1]: mask(1)}, [NAMES[1]])
        assert store.metadata_path.read_bytes() == before
        assert not list(store.store_dir.glob(".*.tmp"))
        now = store.load()["data"]
        assert list(now) == list(old)
        for key in old:
            pd.testing.assert_frame_equal(now[key], old[key])
