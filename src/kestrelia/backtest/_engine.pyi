# The public layer's entry points (cpp/engine/module.cpp), bound with pybind11's own
# argument handling; kept by hand beside that file.
from typing import Any

import numpy as np
import pandas as pd

class Options:
    capital: float
    fee: float
    rule_fee: float
    lot_size: float
    benchmark: str
    record: bool
    min_commission: float
    compound: bool
    def __init__(self, *, capital: float = 1e8, fee: float = 0.0001, rule_fee: float = 0.0005,
                 lot_size: float = 200.0, benchmark: str = "000852",
                 record: bool = False, min_commission: float = 0.0,
                 compound: bool = False) -> None: ...

def run(plan: Any, market: list[np.ndarray] | list[pd.DataFrame],
        benchmarks: dict[str, pd.Series], options: Options,
        rates: dict[str, np.ndarray] = ...) -> dict[str, Any]: ...
def scan_weights(values: np.ndarray, cols: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]: ...
def gather(values: np.ndarray, rows: np.ndarray | None, cols: np.ndarray | None) -> np.ndarray: ...
def first_bad_value(values: np.ndarray, rule: str) -> tuple[int, int] | None: ...
def smooth(frame: pd.DataFrame, window: int) -> pd.DataFrame: ...
