"""The pivot of service tables into factor matrices: edge cases, and a differential test of
the native pivot against the literal pandas chain (tests/support/reference_prepare.py)."""

import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.support import reference_prepare as ref

# pandas warns when it cannot infer a date format from the first text; the native pivot
# and the chain then warn alike.
pytestmark = pytest.mark.filterwarnings("ignore:Could not infer format:UserWarning")


def pivot(prepare, df, names):
    return prepare.GroupPreparedDataBuilder("20240101", "20241231")._ks_factors_to_matrices(
        df, names)


def assert_same(got, expected):
    assert list(got) == list(expected)
    for name in expected:
        pd.testing.assert_frame_equal(got[name], expected[name], obj=name)


def matrix(values, dates, codes):
    return pd.DataFrame(np.asarray(values, dtype=float), index=pd.Index(dates, dtype="str"),
                        columns=pd.Index(codes, dtype="str"))


class TestEdgeCases:
    def test_narrow_table_keeps_only_requested_factors(self, prepare):
        table = pd.DataFrame({"ukey": ["600000.XSHG", "600000.XSHG"], "date": ["2024-01-02"] * 2,
                              "factor": ["A", "B"], "value": [1.0, 2.0]})
        result = pivot(prepare, table, ["A"])
        assert list(result) == ["A"]
        pd.testing.assert_frame_equal(result["A"], matrix([[1.0]], ["20240102"], ["600000"]))

    def test_narrow_table_without_factor_names(self, prepare):
        table = pd.DataFrame({"ukey": ["000001.XSHE"], "date": ["2024-01-02"], "value": [3.0]})
        both = pivot(prepare, table, ["A", "B"])
        assert [m.shape for m in both.values()] == [(0, 0), (0, 0)]
        assert pivot(prepare, table, ["A"])["A"].iloc[0, 0] == 3.0

    def test_later_row_wins_and_non_numbers_are_dropped(self, prepare):
        table = pd.DataFrame({
            "ukey": ["600000.XSHG", "600000.XSHG", "000001.XSHE", "000001.XSHE"],
            "date": ["2024-01-02"] * 4,
            "value": [1.0, 2.0, 5.0, "n/a"],
        })
        result = pivot(prepare, table, ["A"])["A"]
        assert result.loc["20240102", "600000"] == 2.0
        assert result.loc["20240102", "000001"] == 5.0

    def test_keys_sharing_six_digits_fall_into_one_column(self, prepare):
        table = pd.DataFrame({"ukey": ["600000.XSHG", "600000.XSHE"], "DataDate": ["20240102"] * 2,
                              "x": [1.0, 7.0]})
        result = pivot(prepare, table, ["A"])["A"]
        pd.testing.assert_frame_equal(result, matrix([[7.0]], ["20240102"], ["600000"]))

    def test_wide_table_lacking_a_factor(self, prepare):
        table = pd.DataFrame({"ukey": ["600000.XSHG", "000001.XSHE"],
                              "date": ["2024-01-03", "2024-01-02"], "A": [1, 2]})
        result = pivot(prepare, table, ["A", "B"])
        assert result["B"].shape == (0, 0)
        pd.testing.assert_frame_equal(
            result["A"], matrix([[2.0, np.nan], [np.nan, 1.0]], ["20240102", "20240103"],
                                ["000001", "600000"]))

    @pytest.mark.parametrize("table", [None, pd.DataFrame(), pd.DataFrame(columns=["a", "b"])])
    def test_empty_results_give_empty_frames(self, prepare, table):
        result = pivot(prepare, table, ["A", "B"])
        assert list(result) == ["A", "B"]
        assert all(m.shape == (0, 0) for m in result.values())
        assert result["A"] is not result["B"]

    def test_missing_key_columns(self, prepare):
        with pytest.raises(KeyError, match="因子查询返回结果缺少 ukey/date 列"):
            pivot(prepare, pd.DataFrame({"ukey": ["1"], "value": [1.0]}), ["A"])

    def test_integer_dates_are_yyyymmdd(self, prepare):
        table = pd.DataFrame({"ukey": ["600000.XSHG"] * 2, "date": [20240102, 20240103],
                              "value": [1.0, 2.0]})
        assert pivot(prepare, table, ["A"])["A"].index.tolist() == ["20240102", "20240103"]

    def test_unobserved_categories_are_not_factors(self, prepare):
        factor = pd.Categorical(["A"], categories=["A", "B"])
        table = pd.DataFrame({"ukey": ["600000.XSHG"], "date": ["2024-01-02"], "factor": factor,
                              "value": [1.0]})
        result = pivot(prepare, table, ["A", "B"])
        assert result["A"].shape == (1, 1) and result["B"].shape == (0, 0)
        assert_same(result, ref.factors_to_matrices(table, ["A", "B"]))

    @pytest.mark.parametrize("table", [
        # duplicate column labels after the renames
        pd.DataFrame([["600000.XSHG", "2024-01-02", "2024-01-03", 1.0]],
                     columns=["ukey", "date", "DataDate", "x"]),
        # a wide factor named like a key column
        pd.DataFrame({"ukey": ["600000.XSHG"], "DataDate": ["2024-01-02"], "A": [1.0]}),
    ])
    def test_unusual_layouts_follow_pandas(self, prepare, table):
        names = ["ukey", "A"]
        try:
            expected = ref.factors_to_matrices(table, names)
        except Exception as error:  # the same failure is expected
            with pytest.raises(type(error), match=re.escape(str(error))):
                pivot(prepare, table, names)
        else:
            assert_same(pivot(prepare, table, names), expected)

    @pytest.mark.parametrize("dates", [
        None,  # dashed text
        ["20220103", "20220104", "20220105"],
        [pd.Timestamp("2022-01-03"), "20220104", 20220105],
    ], ids=["dashed", "eight-digit-text", "mixed-objects"])
    def test_the_input_is_not_modified_and_reads_alike_twice(self, prepare, dates):
        table = ref.narrow_market_table(3, 4, ["A"])
        if dates is not None:
            table["date"] = pd.Series(np.repeat(np.array(dates, dtype=object), 4), dtype=object)
        before = table.copy(deep=True)
        first = pivot(prepare, table, ["A"])
        pd.testing.assert_frame_equal(table, before)
        assert first["A"].shape == (3, 4)
        assert first["A"].index.tolist() == ["20220103", "20220104", "20220105"]
        # A client that serves the same table again must get the same matrices.
        assert_same(pivot(prepare, table, ["A"]), first)


UKEYS = ["600000.XSHG", "600000.XSHE", "000001.XSHE", "000001", "300750.XSHE", "688001.XSHG",
         "6000", "", None]
DATES = ["2024-01-02", "2024-01-03", "20240104", "2024-01-05 09:30:00", "2024/01/08",
         "junk", None]
VALUES = [1.5, -2.0, 0.0, np.nan, np.inf, 7, "3.25", "n/a", None, True]
FACTORS = ["A", "B", "C", None]


@st.composite
def service_tables(draw):
    n = draw(st.integers(0, 30))
    narrow = draw(st.booleans())
    data = {
        "ukey": draw(st.lists(st.sampled_from(UKEYS), min_size=n, max_size=n)),
        "date": draw(st.lists(st.sampled_from(DATES), min_size=n, max_size=n)),
    }
    if narrow:
        data["value"] = draw(st.lists(st.sampled_from(VALUES), min_size=n, max_size=n))
        if draw(st.booleans()):
            data["factor"] = draw(st.lists(st.sampled_from(FACTORS), min_size=n, max_size=n))
    else:
        for name in draw(st.lists(st.sampled_from(["A", "B", "C"]), unique=True, max_size=3)):
            data[name] = draw(st.lists(st.sampled_from(VALUES), min_size=n, max_size=n))
    table = pd.DataFrame({k: pd.Series(v, dtype=object) for k, v in data.items()})
    dtypes = {}
    for column in ("ukey", "date", "factor"):
        if column in table:
            dtypes[column] = draw(st.sampled_from(["object", "str", "category"]))
    if "value" in table and draw(st.booleans()):
        dtypes["value"] = "str"
    table = table.astype(dtypes)
    if draw(st.booleans()) and n > 0:
        # dates as integers or datetimes, as services deliver them
        kind = draw(st.sampled_from(["int", "datetime"]))
        days = draw(st.lists(st.integers(2, 9), min_size=n, max_size=n))
        if kind == "int":
            table["date"] = [20240100 + d for d in days]
        else:
            table["date"] = pd.to_datetime([f"2024-01-0{d}" for d in days])
    names = draw(st.lists(st.sampled_from(["A", "B", "C", "D"]), min_size=0, max_size=3))
    return table, names


@pytest.mark.slow
@settings(max_examples=150)
@given(service_tables())
def test_native_pivot_equals_the_pandas_chain(prepare, case):
    table, names = case
    expected = ref.factors_to_matrices(table, names)
    assert_same(pivot(prepare, table, names), expected)


def test_native_pivot_equals_the_chain_on_a_market_table(prepare):
    table = ref.narrow_market_table(40, 60, ["A", "B", "C"], seed=5)
    table.loc[table.sample(frac=0.1, random_state=1).index, "value"] = np.nan
    duplicated = table.sample(frac=0.05, random_state=2).assign(value=-1.0)
    table = pd.concat([table, duplicated], ignore_index=True)
    names = ["B", "A", "Z"]
    assert_same(pivot(prepare, table, names), ref.factors_to_matrices(table, names))
    wide = table.pivot_table(index=["ukey", "date"], columns="factor", values="value",
                             aggfunc="last").reset_index()
    assert_same(pivot(prepare, wide, names), ref.factors_to_matrices(wide, names))
