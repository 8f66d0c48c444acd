"""Plain-text tables for the terminal."""

from __future__ import annotations

import pandas as pd


def render(rows: list[tuple[str, ...]], header: tuple[str, ...] | None = None,
           align: str | None = None) -> str:
    """Columns padded to their widest cell; ``align`` has one "l" or "r" per column."""
    table = ([header] if header else []) + rows
    if not table:
        return ""
    widths = [max(len(str(r[i])) for r in table) for i in range(len(table[0]))]
    align = align or "l" + "r" * (len(widths) - 1)
    lines = []
    for k, row in enumerate(table):
        cells = [str(c).ljust(w) if a == "l" else str(c).rjust(w) for c, w, a in zip(row, widths, align)]
        lines.append("  ".join(cells).rstrip())
        if header and k == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def headline_table(metrics) -> str:
    """The headline metrics, labelled and shown as the report and the notebook show them."""
    from kestrelia.backtest._display import headline_rows

    return render([(label, text) for _, label, text in headline_rows(metrics)],
                  ("Figure", "Value"))


def benchmark_table(summary: pd.DataFrame) -> str:
    """The engine's benchmark summary under its own column names, values as it stores
    them (glossary units)."""
    from kestrelia.backtest._display import show, unit_kind
    from kestrelia.backtest.glossary import BENCHMARK_SUMMARY_COLUMNS

    if summary.empty:
        return "(no benchmark shares a date with the backtest)"
    columns = [c for c in BENCHMARK_SUMMARY_COLUMNS if c in summary.columns]
    units = [BENCHMARK_SUMMARY_COLUMNS[c].unit for c in columns]
    rows = [tuple(show(row[c], unit_kind(unit)) for c, unit in zip(columns, units))
            for _, row in summary.iterrows()]
    # Each column under its key with its unit, as the report shows it.
    header = (columns[0], *(f"{c} ({unit})" for c, unit in zip(columns[1:], units[1:])))
    return render(rows, header, "l" + "r" * (len(columns) - 1))
