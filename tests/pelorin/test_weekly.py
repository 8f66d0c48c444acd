"""The weekly net-value frame: Friday-anchored week ends, each column's last finite
value of the week."""

import numpy as np
import pandas as pd
import pytest

from tests.support import reference


def total_frame(dates, long=None, seed=0):
    n = len(dates)
    rng = np.random.default_rng(seed)
    values = {
        "long": 1 + np.cumsum(rng.normal(0, 0.01, n)) if long is None else long,
        "close_net_value": 1 + np.cumsum(rng.normal(0, 0.01, n)),
        "extra_return": np.cumsum(rng.normal(0, 0.01, n)),
        "daily_return": rng.normal(0, 0.01, n),
    }
    return pd.DataFrame(values, index=pd.Index(pd.DatetimeIndex(dates).strftime("%Y%m%d")))


@pytest.mark.parametrize("seed", [0, 1])
def test_weekly_frame_equals_the_pandas_formulation(pelorin, seed):
    total = total_frame(pd.bdate_range("2022-01-03", periods=400), seed=seed)
    rng = np.random.default_rng(seed)
    for col in ("long", "close_net_value", "extra_return"):
        total.iloc[rng.choice(400, 15, replace=False), total.columns.get_loc(col)] = np.nan
        total.iloc[rng.choice(400, 5, replace=False), total.columns.get_loc(col)] = -np.inf
    before = total.copy()
    got = pelorin._build_weekly_net_value_frame(total)
    pd.testing.assert_frame_equal(got, reference.weekly_net_value_frame(total), check_exact=True)
    pd.testing.assert_frame_equal(total, before)
    assert list(got.columns) == ["long", "close_net_value", "extra_return", "extra_net_value"]


def test_week_labels_and_last_values(pelorin):
    # Mon 2024-01-01 .. Fri 01-05, a Saturday, then Mon 01-08 .. Wed 01-10; the week of
    # 01-15 is a holiday week; one more day on Tue 01-23.
    dates = ["2024-01-01", "2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05", "2024-01-06",
             "2024-01-08", "2024-01-09", "2024-01-10", "2024-01-23"]  # fmt: skip
    total = total_frame(dates, long=np.arange(10.0))
    total.loc["20240110", "long"] = np.nan  # last day of week 2 without a strategy value
    total.loc["20240110", "extra_return"] = np.inf
    got = pelorin._build_weekly_net_value_frame(total)
    assert list(got.index) == list(pd.to_datetime(["2024-01-05", "2024-01-12", "2024-01-26"]))
    # The Saturday (5.0) falls into the week ending on the next Friday, whose last
    # strategy value is Tuesday's (7.0) because Wednesday's is missing.
    assert list(got["long"]) == [4.0, 7.0, 9.0]
    assert got["close_net_value"].iloc[1] == total.loc["20240110", "close_net_value"]
    assert got["extra_return"].iloc[1] == total.loc["20240109", "extra_return"]
    np.testing.assert_array_equal(got["extra_net_value"], got["extra_return"] + 1)


def test_empty_and_all_missing_inputs(pelorin):
    empty = pelorin._build_weekly_net_value_frame(total_frame([]))
    assert empty.empty and list(empty.columns) == []
    total = total_frame(pd.bdate_range("2024-01-01", periods=8))
    total[["long", "close_net_value", "extra_return"]] = [np.nan, np.inf, -np.inf]
    got = pelorin._build_weekly_net_value_frame(total)
    assert got.empty and list(got.columns) == ["long", "close_net_value", "extra_return"]
    with pytest.raises(KeyError, match=r"\['extra_return'\] not in index"):
        pelorin._build_weekly_net_value_frame(total.drop(columns="extra_return"))


def test_dates_come_through_the_module_helper(pelorin, monkeypatch):
    seen = []
    original = pelorin._with_datetime_index
    monkeypatch.setattr(pelorin, "_with_datetime_index", lambda df: seen.append(df) or original(df))
    total = total_frame(pd.bdate_range("2024-01-01", periods=8))
    pelorin._build_weekly_net_value_frame(total)
    assert len(seen) == 1 and seen[0] is total
