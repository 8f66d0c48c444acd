"""Name lists, the storage dtype map and the date-string normaliser."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrelia.backtest._store import component_dataset_key


class TestParseNameList:
    @pytest.mark.parametrize("raw, expected", [
        (None, []),
        ("", []),
        (" ,，\n ;；  \n", []),
        ("a；b;c\nd，e", ["a", "b", "c", "d", "e"]),
        ("a, b；c", ["a", "b", "c"]),
        (["a", " b "], ["a", "b"]),
        ("x,,\n", ["x"]),
        ([" name", 1, None], ["name", "1", "None"]),
        (("a", "a"), ["a", "a"]),
    ])
    def test_cases(self, prepare, raw, expected):
        assert prepare.parse_name_list(raw) == expected

    def test_non_iterable_raises(self, prepare):
        with pytest.raises(TypeError, match="'int' object is not iterable"):
            prepare.parse_name_list(5)

    def test_component_names_are_a_new_list(self, prepare):
        names = prepare.get_component_factor_names()
        assert names == prepare.COMPONENT_FACTOR_NAMES
        names.append("x")
        assert prepare.get_component_factor_names() == prepare.COMPONENT_FACTOR_NAMES


class TestBuildMatrixDtype:
    def test_empty_list_is_the_base_map(self, prepare):
        result = prepare.build_matrix_dtype([])
        assert result == prepare.BASE_MATRIX_DTYPE
        assert result is not prepare.BASE_MATRIX_DTYPE

    def test_default_adds_the_built_in_components(self, prepare):
        result = prepare.build_matrix_dtype()
        assert len(result) == 17
        keys = [component_dataset_key(n) for n in prepare.COMPONENT_FACTOR_NAMES]
        assert list(result)[12:] == keys
        assert set(list(result.values())[12:]) == {"float64"}

    def test_names_are_cleaned_and_keys_may_collide(self, prepare, monkeypatch):
        assert list(prepare.build_matrix_dtype([" a ", "b"]))[12:] == [
            component_dataset_key("a"), component_dataset_key("b")]
        monkeypatch.setattr(prepare, "component_dataset_key", lambda name: "close_price")
        result = prepare.build_matrix_dtype(["a", "b"])
        assert len(result) == 12 and list(result)[1] == "close_price"

    def test_rejected_name_propagates(self, prepare, monkeypatch):
        def refuse(name):
            raise ValueError(f"bad name {name}")

        monkeypatch.setattr(prepare, "component_dataset_key", refuse)
        with pytest.raises(ValueError, match="bad name ok"):
            prepare.build_matrix_dtype(["ok"])


class TestSeriesToYyyymmdd:
    def test_list_with_an_unparseable_text(self, prepare):
        result = prepare.series_to_yyyymmdd(["2024-01-02", "not a date"])
        assert result.index.tolist() == [0, 1]
        assert result.iloc[0] == "20240102" and pd.isna(result.iloc[1])

    def test_series_keeps_its_index(self, prepare):
        values = pd.Series(["2024-01-02", "2024-01-03"], index=["x", "y"], name="d")
        result = prepare.series_to_yyyymmdd(values)
        assert result.index.tolist() == ["x", "y"] and result.name == "d"
        assert result.tolist() == ["20240102", "20240103"]

    @pytest.mark.parametrize("values", [
        [20240102, 20240103],
        np.array([20240102, 20240103], dtype=np.int32),
        pd.Series([20240102.0, 20240103.0]),
        pd.Series([20240102, 20240103], dtype="Int64"),
        pd.Series(["20240102", "20240103.0"]),
        pd.Series([20240102, "2024-01-03"], dtype=object),
        pd.Series([20240102, 20240103], dtype="category"),
    ])
    def test_eight_digit_numbers_are_dates_not_nanoseconds(self, prepare, values):
        # pd.to_datetime reads 20240102 as nanoseconds after 1970: every row would land on
        # 19700101.
        assert prepare.series_to_yyyymmdd(values).tolist() == ["20240102", "20240103"]

    def test_eight_digits_that_are_no_date_are_missing(self, prepare):
        result = prepare.series_to_yyyymmdd([20241301, 20240230, 20240229, np.nan, 5])
        assert result.iloc[2] == "20240229"
        assert result.iloc[[0, 1, 3]].isna().all()
        assert result.iloc[4] == "19700101"  # not eight digits: the general reading

    def test_eight_digit_text_among_dashed_dates(self, prepare):
        values = pd.Series(["20240102", "2024-01-03", "2024-01-04"])
        assert prepare.series_to_yyyymmdd(values).tolist() == ["20240102", "20240103", "20240104"]

    @pytest.mark.parametrize("values", [
        ["20240102", "2024-01-03"],
        ["20240102", pd.Timestamp("2024-01-03"), 20240104],
        [20240102.0, np.nan],
    ])
    @pytest.mark.parametrize("wrap", [pd.Series, pd.Index])
    def test_the_input_is_not_modified(self, prepare, values, wrap):
        # Eight-digit values are hidden from pd.to_datetime in a copy, never in the input.
        given_values = wrap(values, dtype=object if isinstance(values[0], str) else None)
        before = given_values.copy(deep=True)
        result = prepare.series_to_yyyymmdd(given_values)
        assert result.iloc[0] == "20240102"
        assert given_values.equals(before)

    def test_datetimes_and_scalars(self, prepare):
        stamps = pd.Series(pd.to_datetime(["2024-01-02 15:00", None]))
        assert prepare.series_to_yyyymmdd(stamps).iloc[0] == "20240102"
        assert prepare.series_to_yyyymmdd(dt.date(2024, 1, 2)).tolist() == ["20240102"]
        assert prepare.series_to_yyyymmdd(20240102).tolist() == ["20240102"]

    @given(st.lists(st.one_of(
        st.dates(min_value=dt.date(1990, 1, 1), max_value=dt.date(2100, 1, 1)).map(
            lambda d: d.strftime("%Y-%m-%d")),
        st.sampled_from(["junk", "", None]),
    ), min_size=1, max_size=20).filter(lambda v: v[0] not in ("junk", "", None)))
    def test_equals_pandas_where_no_eight_digit_value_occurs(self, prepare, values):
        series = pd.Series(values, dtype=object)
        expected = pd.to_datetime(series, errors="coerce").dt.strftime("%Y%m%d")
        pd.testing.assert_series_equal(prepare.series_to_yyyymmdd(series), expected)
