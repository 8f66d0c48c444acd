"""kestrelia.backtest: backtest target-weight matrices of China A-share stocks.

The public face of the engine: a :class:`Market` of date x stock matrices, the
:func:`backtest` function and its :class:`BacktestResult`, and the prepared-data
:class:`Store` a market is loaded from. Three native modules lie underneath, none meant to
be called directly: ``_engine``, the public layer's own entry into the engine (the
simulation and the engine's steps, called once per backtest with a checked plan), and
``_pelorin`` and ``_prepare``, the host toolkit's contract (its backtest pipeline and
charts; its prepared-data builder and store).

The names are loaded on first use, so that importing the package stays cheap (and the
command-line tool can answer Ctrl-C with one line even while pandas is still loading).
"""

from importlib import import_module
from typing import TYPE_CHECKING, Any

from kestrelia._version import __version__
from kestrelia.errors import InputError, KestreliaError, StoreError

if TYPE_CHECKING:
    from kestrelia.backtest.costs import Costs
    from kestrelia.backtest.execution import Execution
    from kestrelia.backtest.market import Market
    from kestrelia.backtest.result import BacktestResult
    from kestrelia.backtest.run import backtest
    from kestrelia.backtest.store import Store
    from kestrelia.backtest.sweeps import SweepResult, sweep
    from kestrelia.backtest.weights import read_weights

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
    "backtest",
    "read_weights",
    "sweep",
]

_HOMES = {
    "BacktestResult": "kestrelia.backtest.result",
    "Costs": "kestrelia.backtest.costs",
    "Execution": "kestrelia.backtest.execution",
    "Market": "kestrelia.backtest.market",
    "Store": "kestrelia.backtest.store",
    "backtest": "kestrelia.backtest.run",
    "SweepResult": "kestrelia.backtest.sweeps",
    "sweep": "kestrelia.backtest.sweeps",
    "read_weights": "kestrelia.backtest.weights",
}

if not TYPE_CHECKING:  # type checkers see the imports above instead

    def __getattr__(name: str) -> Any:
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(import_module(home), name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        # The names the package offers, loaded or not, beside its submodules and dunders;
        # not the helpers this file imports for its own use.
        return sorted((set(globals()) - {"Any", "TYPE_CHECKING", "import_module"})
                      | set(_HOMES))
