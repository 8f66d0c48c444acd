"""A fake data-service client for the prepared-data tests: it serves wide matrices as the
service's narrow tables and records every request."""

from __future__ import annotations

import contextlib
from typing import Any

import numpy as np
import pandas as pd

from kestrelia import singleton
from kestrelia.exceptions import NetworkError

FACTOR_COLUMNS = ["ukey", "date", "factor", "value"]


def narrow(wide: pd.DataFrame, name: str) -> pd.DataFrame:
    """A wide date x code matrix as the service's narrow rows (NaN cells have no row)."""
    stacked = wide.stack().dropna()
    if len(stacked) == 0:
        return pd.DataFrame(columns=FACTOR_COLUMNS)
    dates = stacked.index.get_level_values(0)
    codes = stacked.index.get_level_values(1)
    suffix = np.where(pd.Index(codes).str.startswith("6"), ".XSHG", ".XSHE")
    return pd.DataFrame({
        "ukey": codes + suffix,
        "date": pd.to_datetime(dates, format="%Y%m%d").strftime("%Y-%m-%d"),
        "factor": name,
        "value": stacked.to_numpy(),
    })


class FakeClient:
    """Serves wide matrices as narrow service tables and records every call.

    ``network_error`` holds factor names (or the key "batch") whose requests fail with
    NetworkError; ``missing`` names are answered with no rows.
    """

    def __init__(self, factors: dict[str, pd.DataFrame], index_daily: pd.DataFrame | None,
                 *, network_error: set[str] = frozenset(), missing: set[str] = frozenset()):
        self.factors = factors
        self.index_daily = index_daily
        self.network_error = set(network_error)
        self.missing = set(missing)
        self.calls: list[tuple] = []

    def get_factors(self, factor, start_date, end_date):
        names = [factor] if isinstance(factor, str) else list(factor)
        self.calls.append(("get_factors", factor if isinstance(factor, str) else list(factor),
                           start_date, end_date))
        if not isinstance(factor, str) and "batch" in self.network_error:
            raise NetworkError("batch request failed")
        if isinstance(factor, str) and factor in self.network_error:
            raise NetworkError(f"{factor} failed")
        parts = [narrow(self.factors[n], n) for n in names
                 if n in self.factors and n not in self.missing]
        if not parts:
            return pd.DataFrame(columns=FACTOR_COLUMNS)
        return pd.concat(parts, ignore_index=True)

    def get_index_daily(self, ukeys, start_date, end_date):
        self.calls.append(("get_index_daily", list(ukeys), start_date, end_date))
        return self.index_daily

    def factor_calls(self) -> list:
        return [call[1] for call in self.calls if call[0] == "get_factors"]


@contextlib.contextmanager
def installed(client: Any):
    """Registers `client` as the data-service client for the duration of the block."""
    previous = singleton.set_instance(client)
    try:
        yield client
    finally:
        singleton.set_instance(previous)
