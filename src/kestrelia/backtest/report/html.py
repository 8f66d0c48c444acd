"""One HTML page from the plain pieces of a backtest: the headline, parameters, metrics,
monthly table, drawdown periods, charts, the engine's own statistics and tables, and a
glossary of the engine's figures.

The headline (the first table) is the metrics' (fractions of the fixed capital), labelled
and shown as everywhere else (``kestrelia.backtest._display``). The engine's statistics,
benchmark summary and yearly table follow in sections of their own, each figure under its
own key with its unit and a link to its entry in the glossary at the end of the page.

The page needs nothing but itself: the style sheet is inline, the charts are PNG data URIs,
there is no script and no reference to any other file or address (links go to places on the
page), so it opens offline and can be mailed as it is. It is laid out for a laptop screen
and prints on A4 (tables and charts are kept whole across pages, colours print as shown).

Every number cell carries its full-precision value in a ``data-value`` attribute, so what
the page shows can be checked against the objects it was made from.
"""

from __future__ import annotations

import base64
import html
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from kestrelia.backtest._display import (
    EXECUTION,
    headline_rows,
    metric_kind,
    metric_label,
    show,
    unit_kind,
)
from kestrelia.backtest.glossary import Section, Term
from kestrelia.errors import InputError

__all__ = ["render_report", "write_report"]

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Name fragments of columns and metrics that hold fractions shown as percent.
PCT_FRAGMENTS = ("return", "volatility", "drawdown", "_dd", "depth", "var_95", "cvar_95",
                 "best_day", "worst_day", "win_rate", "turnover", "alpha", "tracking_error",
                 "excess", "_share")  # fmt: skip
RATIO_FRAGMENTS = ("sharpe", "sortino", "calmar", "skew", "kurtosis", "beta", "ratio",
                   "correlation", "corr", "profit_factor", "holdings")  # fmt: skip
# Whole numbers shown with thousands separators: counts, and money in the currency.
COUNT_FRAGMENTS = ("days", "count", "trades", "commission", "stamp_duty", "capital", "lot_size",
                   "rolling_window")
HOLDINGS_FRAGMENTS = ("holdings",)

STYLE = """
:root { --ink: #0f172a; --muted: #64748b; --line: #e2e8f0; --band: #f8fafc; --head: #eef2ff; }
* { box-sizing: border-box; }
body { margin: 0; background: #f1f5f9; color: var(--ink);
       font: 14px/1.45 "Helvetica Neue", Arial, "Noto Sans CJK SC", "DejaVu Sans", sans-serif;
       -webkit-print-color-adjust: exact; print-color-adjust: exact; }
main { max-width: 1180px; margin: 0 auto; padding: 24px 28px 40px; background: white; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 28px 0 10px; padding-bottom: 4px; border-bottom: 2px solid var(--head); }
p.note { color: var(--muted); margin: 4px 0 10px; font-size: 12.5px; }
section { break-inside: avoid; page-break-inside: avoid; }
.grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(320px, 1fr)); gap: 18px 28px; }
table { border-collapse: collapse; width: 100%; font-size: 13px; font-variant-numeric: tabular-nums; }
th, td { border: 1px solid var(--line); padding: 4px 8px; text-align: right; white-space: nowrap; }
th { background: var(--head); font-weight: 600; }
th:first-child, td:first-child { text-align: left; }
tbody tr:nth-child(even) td { background: var(--band); }
td.text, th.text { text-align: left; white-space: normal; }
td.definition { text-align: left; white-space: normal; color: var(--muted); font-size: 12.5px; }
table.monthly td, table.monthly th { padding: 4px 5px; font-size: 12.5px; }
table.monthly tbody tr td.cell { background: var(--cell); }
table.monthly td.total { font-weight: 600; border-left: 2px solid #cbd5e1; }
.scroll { overflow-x: auto; }
figure { margin: 14px 0 22px; break-inside: avoid; page-break-inside: avoid; }
figure img { display: block; width: 100%; height: auto; border: 1px solid var(--line); }
figcaption { color: var(--muted); font-size: 12.5px; margin-top: 4px; }
a { color: #1d4ed8; text-decoration: none; }
span.unit { color: var(--muted); font-weight: normal; }
table.glossary td, table.glossary th { white-space: normal; text-align: left; vertical-align: top; }
table.glossary td:first-child { white-space: nowrap; font-family: monospace; }
table.glossary tr:target td { background: #fef9c3; }
h3 { font-size: 15px; margin: 18px 0 6px; }
.legend span { display: inline-block; padding: 1px 8px; margin-right: 6px; border: 1px solid var(--line); }
@page { size: A4; margin: 12mm; }
@media print {
  body { background: white; font-size: 11px; }
  main { max-width: none; padding: 0; }
  table { font-size: 10.5px; }
  th, td { padding: 2px 5px; }
  h2 { break-after: avoid; page-break-after: avoid; }
}
"""


def _kind(name: object) -> str:
    """How a column or item of a table not described elsewhere is shown, by its name."""
    text = str(name).lower()
    if text.endswith(("_peak", "_trough", "_recovery")) or text in {"peak", "trough", "recovery"}:
        return "date"
    if any(f in text for f in HOLDINGS_FRAGMENTS):
        return "holdings"
    if any(f in text for f in COUNT_FRAGMENTS):
        return "count"
    if any(f in text for f in RATIO_FRAGMENTS):
        return "ratio"
    if any(f in text for f in PCT_FRAGMENTS):
        return "pct"
    return "number"


def _is_missing(value: Any) -> bool:
    try:
        return value is None or bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def _format(value: Any, kind: str) -> str:
    return show(value, kind)


def _cell(value: object, kind: str, css: str = "", style: str = "") -> str:
    shown = html.escape(_format(value, kind))
    attrs = f' class="{css}"' if css else ""
    if style:
        attrs += f' style="{style}"'
    if not _is_missing(value) and isinstance(value, (int, float, np.number)) and kind != "date":
        attrs += f' data-value="{float(value)!r}"'
    return f"<td{attrs}>{shown}</td>"


def _label(text: object) -> str:
    return html.escape(str(text).replace("_", " "))


def _key_value_table(pairs: Sequence[tuple[str, str]],
                     header: tuple[str, str] = ("Item", "Value")) -> str:
    head = "".join(f"<th class=text>{html.escape(h)}</th>" for h in header)
    body = "".join(f"<tr><td>{html.escape(k)}</td><td class=text>{v}</td></tr>" for k, v in pairs)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _engine_key(key: str, anchor: str, terms: Mapping[str, Term] | None) -> str:
    """An engine figure's key, linked to its glossary entry, with its unit."""
    term = (terms or {}).get(key)
    if term is None:
        return html.escape(key)
    return (f'<a href="#{anchor}-{html.escape(key)}">{html.escape(key)}</a> '
            f"<span class=unit>({html.escape(term.unit)})</span>")


def _engine_kind(key: str, terms: Mapping[str, Term] | None) -> str:
    term = (terms or {}).get(key)
    return unit_kind(term.unit) if term is not None else "number"


def _stats_table(stats: Mapping[str, Any] | pd.Series, section: Section | None) -> str:
    terms = section.terms if section else None
    anchor = section.anchor if section else ""
    rows = [f"<tr><td>{_engine_key(str(key), anchor, terms)}</td>"
            f"{_cell(value, _engine_kind(str(key), terms))}</tr>"
            for key, value in dict(stats).items()]
    return ("<table><thead><tr><th>Key (unit)</th><th>Value</th></tr></thead>"
            f"<tbody>{''.join(rows)}</tbody></table>")  # fmt: skip


def _headline_table(metrics: pd.Series) -> str:
    rows = []
    for key, label, _ in headline_rows(metrics):
        rows.append(f'<tr><td><a href="#metric-{key}">{html.escape(label)}</a></td>'
                    f"{_cell(metrics[key], metric_kind(key))}</tr>")
    return ("<table class=headline><thead><tr><th>Figure</th><th>Value</th></tr></thead>"
            f"<tbody>{''.join(rows)}</tbody></table>")  # fmt: skip


def _metrics_table(metrics: pd.Series, definitions: Mapping[str, str]) -> str:
    rows = []
    for key, value in metrics.items():
        definition = html.escape(definitions.get(str(key), ""))
        rows.append(f'<tr id="metric-{html.escape(str(key))}">'
                    f"<td>{html.escape(metric_label(str(key)))}</td>"
                    f"{_cell(value, metric_kind(str(key)))}"
                    f"<td class=definition>{definition}</td></tr>")  # fmt: skip
    return ("<table class=metrics><thead><tr><th>Metric</th><th>Value</th><th class=text>Definition</th>"
            f"</tr></thead><tbody>{''.join(rows)}</tbody></table>")  # fmt: skip


def _engine_frame_table(frame: pd.DataFrame, section: Section, index_kind: str = "text") -> str:
    """One of the engine's tables: every column under its key, with its unit and a link to
    its glossary entry, and its values as they are stored."""
    index_name = str(frame.index.name or "")
    head = f"<th>{_engine_key(index_name, section.anchor, section.terms)}</th>" + "".join(
        f"<th>{_engine_key(str(c), section.anchor, section.terms)}</th>" for c in frame.columns)
    rows = []
    for label, row in frame.iterrows():
        shown = _format(label, "date") if index_kind == "date" else html.escape(str(label))
        cells = "".join(_cell(v, _engine_kind(str(c), section.terms)) for c, v in row.items())
        rows.append(f"<tr><td>{shown}</td>{cells}</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def _glossary(sections: Sequence[Section]) -> str:
    parts = []
    for section in sections:
        rows = "".join(
            f'<tr id="{section.anchor}-{html.escape(key)}"><td>{html.escape(key)}</td>'
            f"<td>{html.escape(term.unit)}</td><td>{html.escape(term.meaning)}</td>"
            f"<td>{html.escape(term.versus)}</td></tr>"
            for key, term in section.terms.items())
        parts.append(
            f"<h3>{html.escape(section.title)}</h3><p class=note>In {html.escape(section.where)}."
            "</p><table class=glossary><thead><tr><th>Key</th><th>Unit</th><th>What it is</th>"
            f"<th>Against the metrics</th></tr></thead><tbody>{rows}</tbody></table>")
    return "".join(parts)


def _execution_table(summary: pd.Series | Mapping[str, Any]) -> str:
    """The execution summary: its known items under the labels the command line prints,
    any other item by its name."""
    values = dict(summary.items())
    rows = [(label, values[key], kind) for key, (label, kind) in EXECUTION.items()
            if key in values]
    rows += [(str(k).replace("_", " "), v, _kind(k)) for k, v in values.items()
             if k not in EXECUTION]
    body = "".join(f"<tr><td>{html.escape(label)}</td>{_cell(value, kind)}</tr>"
                   for label, value, kind in rows)
    return f"<table><thead><tr><th>Item</th><th>Value</th></tr></thead><tbody>{body}</tbody></table>"


def _parameters_table(parameters: Mapping[str, object]) -> str:
    pairs = []
    for key, value in parameters.items():
        kind = ("money" if key == "capital" else "count" if key in ("lot_size", "rolling_window")
                else "number")  # fmt: skip
        pairs.append((str(key), html.escape(_format(value, kind))))
    return _key_value_table(pairs, ("Parameter", "Value"))


def _frame_table(frame: pd.DataFrame, index_kind: str = "text", css: str = "") -> str:
    index_name = frame.index.name or ""
    head = f"<th>{_label(index_name)}</th>" + "".join(
        f"<th>{_label(c)}</th>" for c in frame.columns
    )
    rows = []
    for label, row in frame.iterrows():
        shown = _format(label, "date") if index_kind == "date" else html.escape(str(label))
        cells = "".join(_cell(v, _kind(c)) for c, v in row.items())
        rows.append(f"<tr><td>{shown}</td>{cells}</tr>")
    attrs = f" class={css}" if css else ""
    return f"<table{attrs}><thead><tr>{head}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def _shade(value: float, scale: float) -> str:
    """Blue for gains, red for losses, deeper with size (capped at `scale`)."""
    if _is_missing(value) or not scale > 0:
        return "#ffffff"
    strength = min(abs(float(value)) / scale, 1.0) * 0.55
    r, g, b = (37, 99, 235) if value > 0 else (220, 38, 38)
    mix = [round(255 + (c - 255) * strength) for c in (r, g, b)]
    return "#{:02x}{:02x}{:02x}".format(*mix)


def _monthly_table(monthly: pd.DataFrame) -> str:
    months = [c for c in monthly.columns if str(c) != "Year"]
    values = monthly[months].to_numpy(dtype=float) if months else np.empty(0)
    finite = np.abs(values[np.isfinite(values)])
    # The 95th percentile keeps one extreme month from washing out every other colour.
    scale = float(np.percentile(finite, 95)) if finite.size else 0.0
    head = "<th>Year</th>" + "".join(
        f"<th>{'Total' if str(c) == 'Year' else html.escape(str(c))}</th>" for c in monthly.columns
    )
    rows = []
    for year, row in monthly.iterrows():
        cells = []
        for column, value in row.items():
            if str(column) == "Year":
                cells.append(_cell(value, "pct", "total"))
            else:
                cells.append(_cell(value, "pct", "cell", f"--cell: {_shade(value, scale)}"))
        rows.append(f"<tr><td>{html.escape(str(year))}</td>{''.join(cells)}</tr>")
    legend = (f'<p class="note legend"><span style="background:{_shade(1, 1)}">gain</span>'
              f'<span style="background:{_shade(-1, 1)}">loss</span>deeper colour = larger '
              "month; months without a trading day show --.</p>")  # fmt: skip
    return (f"{legend}<div class=scroll><table class=monthly><thead><tr>{head}</tr></thead>"
            f"<tbody>{''.join(rows)}</tbody></table></div>")  # fmt: skip


def _figure(caption: str, png: bytes, what: str) -> str:
    if not isinstance(png, (bytes, bytearray, memoryview)) or not bytes(png[:8]) == PNG_SIGNATURE:
        raise InputError(f"{what} {caption!r} is not PNG bytes")
    data = base64.b64encode(bytes(png)).decode("ascii")
    text = html.escape(str(caption))
    return (f'<figure><img src="data:image/png;base64,{data}" alt="{text}">'
            f"<figcaption>{text}</figcaption></figure>")  # fmt: skip


def _section(title: str, body: str, note: str = "", anchor: str = "") -> str:
    # Text between tags needs no quotes escaped: "engine's" stays readable in the source.
    note_html = f"<p class=note>{html.escape(note, quote=False)}</p>" if note else ""
    ident = f' id="{anchor}"' if anchor else ""
    return (f"<section{ident}><h2>{html.escape(title, quote=False)}</h2>{note_html}{body}"
            "</section>")


def _pairs_table(summary: object) -> str:
    """A frame as it is; a Series or mapping as item / value rows."""
    if isinstance(summary, pd.DataFrame):
        return _frame_table(summary)
    items = summary.items() if hasattr(summary, "items") else dict(summary).items()  # type: ignore[call-overload]
    rows = "".join(f"<tr><td>{_label(k)}</td>{_cell(v, _kind(k))}</tr>" for k, v in items)
    return (
        f"<table><thead><tr><th>Item</th><th>Value</th></tr></thead><tbody>{rows}</tbody></table>"
    )


def render_report(
    *,
    title: str,
    parameters: Mapping[str, object] | None = None,
    stats: Mapping[str, object] | pd.Series | None = None,
    metrics: pd.Series | None = None,
    definitions: Mapping[str, str] | None = None,
    monthly: pd.DataFrame | None = None,
    yearly: pd.DataFrame | None = None,
    benchmark_summary: pd.DataFrame | pd.Series | Mapping[str, Any] | None = None,
    drawdowns: pd.DataFrame | None = None,
    charts: Sequence[tuple[str, bytes]] = (),
    execution: pd.Series | Mapping[str, Any] | None = None,
    execution_charts: Sequence[tuple[str, bytes]] = (),
    glossary: Sequence[Section] | None = None,
    subtitle: str = "",
    compound: bool = False,
) -> str:
    """The report page as text. Pieces that are None are left out; chart bytes must be PNG.

    `metrics` holds fractions (shown as percent or plain ratios by name) and `definitions`
    one line per metric; the headline, the page's first table, is taken from them. `stats`
    (the engine's statistics dict), `yearly` and `benchmark_summary` are the engine's: with
    a `glossary` (``kestrelia.backtest.glossary.GLOSSARY``) their keys link to its entries
    and carry their units, and their values are shown as they are stored. `monthly` and
    `drawdowns` are shown as they come. With `compound` (a backtest sized from its equity)
    the notes say that the equity and the monthly table compound the returns.
    """
    if not isinstance(title, str):
        raise InputError(f"title must be text, got {type(title).__name__}")
    sections = {s.anchor: s for s in glossary or ()}
    parts = [f"<h1>{html.escape(title)}</h1>"]
    if subtitle:
        parts.append(f"<p class=note>{html.escape(subtitle)}</p>")
    overview = []
    if metrics is not None and headline_rows(metrics):
        overview.append(_section(
            "Headline", _headline_table(metrics),
            "The metrics below, as fractions of the initial capital: these are the "
            "figures the command line and the notebook show."))  # fmt: skip
    if parameters:
        overview.append(_section("Run parameters", _parameters_table(parameters)))
    if overview:
        parts.append(f"<div class=grid>{''.join(overview)}</div>")
    if metrics is not None:
        parts.append(_section(
            "Risk and return metrics", _metrics_table(metrics, definitions or {}),
            "Sized from the equity each day; daily returns are the profit over the equity the "
            "day began with; equity E = cumulative product of (1 + daily return) over the "
            "initial capital; 252 trading days a year." if compound else
            "Fractions of the fixed initial capital; equity E = 1 + cumulative sum of daily "
            "returns (not compounded); 252 trading days a year.",
        ))  # fmt: skip
    if monthly is not None:
        parts.append(_section("Monthly returns", _monthly_table(monthly),
                              "Each month's daily returns compounded; Total compounds the year."
                              if compound else
                              "Sum of the daily returns of each month; Total is the sum over the year."))  # fmt: skip
    if drawdowns is not None:
        body = (_frame_table(drawdowns) if len(drawdowns)
                else "<p class=note>No drawdown: the equity never fell below its peak.</p>")  # fmt: skip
        parts.append(_section("Drawdown periods", body,
                              "Deepest first; depth relative to the peak; -- = not recovered."))  # fmt: skip
    if charts:
        parts.append(_section("Charts", "".join(_figure(c, png, "chart") for c, png in charts)))
    if execution is not None or execution_charts:
        body = ""
        if execution is not None:
            body += _execution_table(execution)
        body += "".join(_figure(c, png, "execution chart") for c, png in execution_charts)
        parts.append(_section("Execution", body))
    engine = []
    if stats is not None and len(stats):
        engine.append(_stats_table(stats, sections.get("stats")))
    if yearly is not None and len(yearly):
        engine.append("<h3>Yearly table</h3>" + _scroll(_engine_table(yearly, sections.get("yearly"))))
    if benchmark_summary is not None and len(benchmark_summary):
        engine.append("<h3>Benchmark summary</h3>"
                      + _scroll(_summary_table(benchmark_summary, sections.get("summary"))))
    if engine:
        parts.append(_section(
            "The engine's statistics", "".join(engine),
            "The engine's own figures, as it stores them, under their own keys and units: "
            "several measure an idea of the metrics above on another basis, which the glossary "
            "below gives. The performance chart's cards and tables show these."))  # fmt: skip
    if sections:
        parts.append(_section(
            "Glossary of the engine's figures", _glossary(list(sections.values())),
            "Units: percent is percentage points (5.0 is 5 %); fraction is 0.05 for 5 %; a "
            "level is a net value that starts at 1.0."))  # fmt: skip
    return (
        "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
        '<meta name=viewport content="width=device-width, initial-scale=1">'
        f"<title>{html.escape(title)}</title><style>{STYLE}</style></head>"
        f"<body><main>{''.join(parts)}</main></body></html>\n"
    )


def _scroll(body: str) -> str:
    return f"<div class=scroll>{body}</div>"


def _engine_table(frame: pd.DataFrame, section: Section | None) -> str:
    return _frame_table(frame) if section is None else _engine_frame_table(frame, section)


def _summary_table(summary: pd.DataFrame | pd.Series | Mapping[str, Any],
                   section: Section | None) -> str:
    """The benchmark summary, one row per benchmark, named by its benchmark (its positions
    0, 1, 2 are no label of anything)."""
    if isinstance(summary, pd.DataFrame) and "benchmark_name" in summary.columns:
        summary = summary.set_index("benchmark_name")
    if isinstance(summary, pd.DataFrame) and section is not None:
        return _engine_frame_table(summary, section)
    return _pairs_table(summary)


def write_report(path: str | os.PathLike[str], **pieces: Any) -> Path:
    """Writes render_report(**pieces) to `path` (UTF-8), replacing a page that is there, so
    that a failed write never leaves half a page; the page gets the mode the umask gives any
    new file. Returns the path."""
    from kestrelia.backtest._output import write_files

    target = Path(path)
    text = render_report(**pieces)
    written = write_files(target.parent, {
        target.name: lambda file: file.write_text(text, encoding="utf-8")}, force=True)
    return written[0]
