"""Many strategies over one market: a thread pool sharing one memory-mapped market, or a
Dask cluster whose workers each map the store once.

The native simulation releases the GIL, so threads over one ``Market`` run backtests side by
side without copying the market; on a cluster, each task carries only the store's path and
the strategy's description, never the market matrices.

One module per part: ``driver`` (``sweep()`` and its checks), ``result``
(``SweepResult``, its tables, chart and files), ``task`` (what happens to each strategy),
``local`` (the thread pool), ``threads`` (threads that outlive a sweep, and the exit's
wait for them) and ``cluster`` (the Dask runner, its per-worker market cache and the
pinning of the store's state).
"""

# Beside sweep() and SweepResult, the face hands on what the command-line tool reads (the
# files a sweep saves, whether strategies still run at exit) and the store pinning that the
# workers use.
from kestrelia.backtest.sweeps.cluster import DISTRIBUTED_HINT as DISTRIBUTED_HINT
from kestrelia.backtest.sweeps.cluster import store_state as store_state
from kestrelia.backtest.sweeps.cluster import worker_market as worker_market
from kestrelia.backtest.sweeps.driver import Strategy as Strategy
from kestrelia.backtest.sweeps.driver import sweep
from kestrelia.backtest.sweeps.result import LEGEND_LIMIT as LEGEND_LIMIT
from kestrelia.backtest.sweeps.result import PARTIAL_NOTE as PARTIAL_NOTE
from kestrelia.backtest.sweeps.result import SWEEP_FILES as SWEEP_FILES
from kestrelia.backtest.sweeps.result import SweepResult
from kestrelia.backtest.sweeps.threads import running_threads as running_threads

__all__ = ["SweepResult", "sweep"]
