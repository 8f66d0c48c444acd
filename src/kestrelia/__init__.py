"""kestrelia: a backtest engine for China A-share target-weight strategies."""

from kestrelia._version import __version__
from kestrelia.backtest import BacktestResult, Market, Store
from kestrelia.errors import InputError, KestreliaError, StoreError

__all__ = [
    "BacktestResult",
    "InputError",
    "KestreliaError",
    "Market",
    "Store",
    "StoreError",
    "__version__",
]
