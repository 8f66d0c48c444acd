"""Display formatting: missing values, Python's own rounding, ratios versus percentage
points, and the one-line yearly excess."""

from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st


@pytest.mark.parametrize(
    "name, value, digits, expected",
    [
        ("_format_num", 1.234, 2, "1.23"),
        ("_format_pct", 0.05, 2, "5.00%"),
        ("_format_pct_points", 5.0, 2, "5.00%"),
        ("_format_pct_points", 0.05, 2, "0.05%"),
        ("_format_num", float("inf"), 2, "inf"),
        ("_format_pct", float("-inf"), 2, "-inf%"),
        ("_format_num", -0.0, 2, "-0.00"),
        ("_format_num", 5.0, 0, "5"),
        ("_format_pct", 0.05, 0, "5%"),
        ("_format_num", 1.2391, 2.9, "1.24"),  # digits goes through int(): 2, not 3
        ("_format_num", 0.125, 2, "0.12"),  # exact half: round half to even
        ("_format_num", 2.675, 2, "2.67"),  # stored just below the half
        ("_format_num", np.float32(0.5), 1, "0.5"),
        ("_format_num", Decimal("1.005"), 2, "1.00"),  # float() first, then formatted
        ("_format_num", 7, 1, "7.0"),
        ("_format_num", True, 1, "1.0"),
    ],
)
def test_formatted_values(pelorin, name, value, digits, expected):
    assert getattr(pelorin, name)(value, digits) == expected


@pytest.mark.parametrize("name", ["_format_num", "_format_pct", "_format_pct_points"])
@pytest.mark.parametrize("missing", [None, float("nan"), np.nan, pd.NA, pd.NaT, np.float64("nan")])
def test_missing_values_show_two_dashes(pelorin, name, missing):
    assert getattr(pelorin, name)(missing) == "--"


@given(value=st.floats(allow_nan=False), digits=st.integers(0, 12))
def test_formatting_is_pythons_format(pelorin, value, digits):
    assert pelorin._format_num(value, digits) == format(value, f".{digits}f")
    assert pelorin._format_pct(value, digits) == format(value, f".{digits}%")
    assert pelorin._format_pct_points(value, digits) == format(value, f".{digits}f") + "%"


def test_bad_values_and_digits(pelorin):
    with pytest.raises(TypeError, match=r"^Argument 'digits' has incorrect type \(expected int, got str\)$"):
        pelorin._format_pct(0.1, "2")
    with pytest.raises(ValueError, match="could not convert"):
        pelorin._format_num("abc")
    with pytest.raises(ValueError, match="ambiguous"):
        pelorin._format_num(np.array([1.0, 2.0]))
    with pytest.raises(ValueError, match="Format specifier missing precision"):
        pelorin._format_num(1.0, -1)


@pytest.mark.parametrize(
    "series, expected",
    [
        (pd.Series([0.05, np.nan, -0.02], index=[2023, 2024, 2025]), "2023: 5.00% | 2025: -2.00%"),
        (pd.Series([0.1, 0.2], index=[2021, 2019]), "2021: 10.00% | 2019: 20.00%"),  # series order
        (pd.Series([0.1], index=np.array([2020], dtype=np.int32)), "2020: 10.00%"),
        (pd.Series([0.1], index=[2020.0]), "2020.0: 10.00%"),  # the key's own str form
        (pd.Series([np.inf], index=[2020]), "2020: inf%"),
        (pd.Series([np.nan, np.nan], index=[2020, 2021]), "--"),
        (pd.Series(dtype=float), "--"),
        (None, "--"),
    ],
)
def test_annual_excess_line(pelorin, series, expected):
    assert pelorin._format_annual_excess(series) == expected


def test_annual_excess_formats_through_the_module(pelorin, monkeypatch):
    monkeypatch.setattr(pelorin, "_format_pct", lambda value: f"<{value:g}>")
    assert pelorin._format_annual_excess(pd.Series([0.5], index=[2024])) == "2024: <0.5>"
