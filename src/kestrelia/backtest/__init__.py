"""kestrelia.backtest: backtest target-weight matrices of China A-share stocks.

The public face of the engine: a :class:`Market` of date x stock matrices, the
:func:`backtest` function and its :class:`BacktestResult`, and the prepared-data
:class:`Store` a market is loaded from. The native modules ``_pelorin`` and ``_prepare``
underneath are the host toolkit's contract and are not meant to be called directly.
"""

from kestrelia._version import __version__
from kestrelia.backtest.market import Market
from kestrelia.backtest.result import BacktestResult
from kestrelia.backtest.run import backtest
from kestrelia.backtest.store import Store
from kestrelia.errors import InputError, KestreliaError, StoreError

__all__ = [
    "BacktestResult",
    "InputError",
    "KestreliaError",
    "Market",
    "Store",
    "StoreError",
    "__version__",
    "backtest",
]
