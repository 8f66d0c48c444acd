"""kestrelia: a backtest engine for China A-share target-weight strategies.

The public names live in :mod:`kestrelia.backtest` and are re-exported here (except the
``backtest`` function: ``kestrelia.backtest`` is the subpackage). They load on first use.
"""

from importlib import import_module
from typing import TYPE_CHECKING, Any

from kestrelia._version import __version__
from kestrelia.errors import InputError, KestreliaError, StoreError

if TYPE_CHECKING:
    from kestrelia.backtest import (
        BacktestResult,
        Costs,
        Execution,
        Market,
        Store,
        SweepResult,
        read_weights,
        sweep,
    )

__all__ = [
    "BacktestResult",
    "Costs",
    "Execution",
    "InputError",
    "KestreliaError",
    "Market",
    "Store",
    "StoreError",
    "SweepResult",
    "__version__",
    "read_weights",
    "sweep",
]

_FROM_BACKTEST = ("BacktestResult", "Costs", "Execution", "Market", "Store", "SweepResult", "read_weights",
                  "sweep")

if not TYPE_CHECKING:  # type checkers see the imports above instead

    def __getattr__(name: str) -> Any:
        if name == "backtest":
            return import_module("kestrelia.backtest")
        if name not in _FROM_BACKTEST:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(import_module("kestrelia.backtest"), name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        # As kestrelia.backtest's: what the package offers, not its own helpers.
        return sorted((set(globals()) - {"Any", "TYPE_CHECKING", "import_module"})
                      | set(_FROM_BACKTEST) | {"backtest"})
