"""The chart of the rolling figures (``BacktestResult.rolling``): annualised return and
volatility, Sharpe ratio, and beta and correlation against the benchmark, over a moving
window, on one figure.

Drawn with matplotlib's object API on its own Figure: pyplot and its global state are not
touched, so it needs no lock and can be drawn beside the engine's charts.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["png_bytes", "rolling_figure"]

STRATEGY = "#2563eb"
SECOND = "#f59e0b"
MUTED = "#64748b"


def rolling_figure(frame: pd.DataFrame, name: str, window: int) -> Figure | None:
    """The figure of ``frame`` (what ``rolling_metrics`` returns), or None when it holds no
    finite value (a run shorter than the window)."""
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
    from matplotlib.figure import Figure
    from matplotlib.ticker import PercentFormatter

    if not np.isfinite(frame.to_numpy(dtype=float)).any():
        return None
    frame = frame.dropna(how="all")
    dates = pd.DatetimeIndex(frame.index)
    benchmark = "beta" in frame.columns
    rows = 3 if benchmark else 2
    fig = Figure(figsize=(14, 2.9 * rows + 0.7), dpi=100)
    # Fixed margins rather than a layout engine: the panels share one x axis and labels of
    # known size, and a layout pass would cost another measurement of every text.
    fig.subplots_adjust(left=0.06, right=0.985, top=1 - 0.55 / (2.9 * rows + 0.7),
                        bottom=0.35 / (2.9 * rows + 0.7), hspace=0.28)
    axes = fig.subplots(rows, 1, sharex=True)
    fig.suptitle(f"{name}: rolling {window}-day figures", fontsize=14, fontweight="bold",
                 parse_math=False)
    marker = "o" if len(dates) == 1 else None

    ax = axes[0]
    ax.plot(dates, frame["annual_return"].to_numpy(), color=STRATEGY, linewidth=1.2,
            label="Annual return (mean x 252)", marker=marker)
    ax.plot(dates, frame["volatility"].to_numpy(), color=SECOND, linewidth=1.2,
            label="Volatility (std x sqrt(252))", marker=marker)
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_title("Annualised return and volatility", loc="left", fontsize=11)

    ax = axes[1]
    ax.plot(dates, frame["sharpe"].to_numpy(), color=STRATEGY, linewidth=1.2,
            label="Sharpe ratio", marker=marker)
    ax.set_title("Sharpe ratio", loc="left", fontsize=11)

    if benchmark:
        ax = axes[2]
        ax.plot(dates, frame["beta"].to_numpy(), color=STRATEGY, linewidth=1.2, label="Beta",
                marker=marker)
        ax.plot(dates, frame["correlation"].to_numpy(), color=SECOND, linewidth=1.2,
                label="Correlation", marker=marker)
        ax.set_title("Against the benchmark", loc="left", fontsize=11)

    for ax in axes:
        ax.axhline(0.0, color=MUTED, linewidth=0.7)
        ax.grid(alpha=0.3)
        ax.legend(loc="upper left", fontsize=9, ncol=2, framealpha=0.85, edgecolor="none")
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
    locator = AutoDateLocator(minticks=3, maxticks=10)  # type: ignore[no-untyped-call]
    axes[-1].xaxis.set_major_locator(locator)
    axes[-1].xaxis.set_major_formatter(ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]
    return fig


def png_bytes(fig: Figure) -> bytes:
    """The figure as PNG bytes, drawn by Agg (no pyplot, no file)."""
    import io

    from matplotlib.backends.backend_agg import FigureCanvasAgg

    FigureCanvasAgg(fig)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return buffer.getvalue()
