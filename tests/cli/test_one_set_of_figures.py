"""One set of figures: on the demo, a label shows the same value, unit and sign wherever a
person reads it (the demo's and run's output, the sweep's table, report.html, the notebook
view), and the headline is result.metrics.

The outputs are read as rendered: the command lines' text, the page's tables, the notebook
view's table. What is compared is what a person sees.
"""

from __future__ import annotations

import re
from collections import defaultdict
from html.parser import HTMLParser

import pandas as pd
import pytest

from kestrelia.backtest import Store, backtest
from kestrelia.backtest._display import HEADLINE, LABELS
from kestrelia.backtest.app import strategy
from tests.support.cli import run

BENCHMARK = "000852"
UNIT = re.compile(r" \((percent|fraction|ratio|count|level|text)\)$")


class Tables(HTMLParser):
    """Every table of a page: the section (h2) and subsection (h3) it is in, its header
    cells and its rows of cell texts."""

    def __init__(self, text: str) -> None:
        super().__init__(convert_charrefs=True)
        self.tables: list[dict] = []
        self._heading = {"h2": "", "h3": ""}
        self._in: str | None = None
        self._cell: str | None = None
        self._row: list[str] | None = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        if tag in ("h2", "h3"):
            self._in, self._heading[tag] = tag, ""
            if tag == "h2":
                self._heading["h3"] = ""
        elif tag == "table":
            self.tables.append({"section": self._heading["h2"], "part": self._heading["h3"],
                                "head": [], "rows": []})
        elif tag == "tr":
            self._row = []
        elif tag in ("td", "th"):
            self._cell = ""

    def handle_endtag(self, tag):
        if tag in ("h2", "h3"):
            self._in = None
        elif tag in ("td", "th") and self._row is not None:
            self._row.append(self._cell.strip())
            self._cell = None
        elif tag == "tr" and self._row is not None:
            table = self.tables[-1]
            if table["head"]:
                table["rows"].append(self._row)
            else:
                table["head"] = self._row  # the first row: a header, or a table's first line
            self._row = None

    def handle_data(self, data):
        if self._in:
            self._heading[self._in] += data
        if self._cell is not None:
            self._cell += data

    def find(self, section: str, part: str = "") -> dict:
        found = [t for t in self.tables if t["section"] == section and t["part"] == part]
        assert len(found) == 1, (section, part, len(found))
        return found[0]


def pairs(table: dict) -> dict[str, str]:
    """Label -> shown value of a two-or-more-column table (first two cells of each row)."""
    return {row[0]: row[1] for row in table["rows"]}


def text_block(out: str, title: str) -> list[str]:
    """The lines after the line starting with ``title`` up to the next blank line."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title))
    block = []
    for line in lines[start + 1:]:
        if not line.strip():
            break
        block.append(line)
    return block


def cells(line: str) -> list[str]:
    return re.split(r"\s{2,}", line.strip())


def printed(out: str) -> dict[str, dict]:
    """The figures a command printed: its headline, what traded, its benchmark table."""
    headline = dict(cells(line) for line in text_block(out, "Figure")[1:])
    figures = {"headline": headline}
    if "What actually traded:" in out:
        figures["execution"] = dict(cells(line) for line in text_block(out, "What actually traded:"))
    lines = text_block(out, "Against each benchmark")
    head = [UNIT.sub("", h) for h in cells(lines[0])]
    assert all(UNIT.search(h) for h in cells(lines[0])[1:])  # each figure with its unit
    figures["benchmarks"] = {(row[0], key): value for row in map(cells, lines[2:])
                             for key, value in zip(head[1:], row[1:])}
    return figures


def number(text: str) -> tuple[float, float]:
    """The value a text shows and half a unit of its last digit (the rounding)."""
    scale = 0.01 if text.endswith("%") else 1.0
    digits = text.rstrip("%").replace(",", "")
    decimals = len(digits.split(".")[1]) if "." in digits else 0
    return float(digits) * scale, 0.5 * 10.0**-decimals * scale


@pytest.mark.slow
def test_a_label_shows_one_figure_everywhere(tmp_path, capsys):
    demo = tmp_path / "demo"
    code, demo_out, err = run(capsys, "demo", "--out", demo, "--stocks", "90", "--years", "0.9")
    assert code == 0, err
    # The demo's backtest again, from its store, as the demo runs it.
    store = Store(demo / "store")
    market = store.market()
    members = store.components().get(f"rq_index_components_new_{BENCHMARK}.XSHG")
    weights = strategy.reversal_weights(market.matrices(), members)
    result = backtest(weights, market, benchmark=BENCHMARK, name="demo", execution=True,
                      rolling_window=strategy.SMOOTHING_DAYS)
    weights.rename_axis("date").to_csv(tmp_path / "demo.csv")
    window = str(strategy.SMOOTHING_DAYS)
    code, run_out, err = run(capsys, "run", "--store", demo / "store", "--weights",
                             tmp_path / "demo.csv", "--out", tmp_path / "run", "--execution",
                             "--rolling-window", window, "--lot-size", "200")
    assert code == 0, err
    code, sweep_out, err = run(capsys, "sweep", "--store", demo / "store", "--weights",
                               tmp_path / "demo.csv", "--out", tmp_path / "sweep",
                               "--rolling-window", window, "--workers", "1")
    assert code == 0, err

    page = Tables((demo / "report" / "report.html").read_text(encoding="utf-8"))
    notebook = Tables(result._repr_html_())
    sweep_head = cells(next(line for line in sweep_out.splitlines()
                            if line.startswith("Strategy")))
    sweep_row = cells(text_block(sweep_out, "Strategy")[1])
    assert sweep_row[0] == "demo"
    figures: dict[str, dict[str, str]] = {
        "demo": printed(demo_out)["headline"] | printed(demo_out)["execution"],
        "run": printed(run_out)["headline"] | printed(run_out)["execution"],
        "sweep": dict(zip(sweep_head[1:], sweep_row[1:])),
        "report headline": pairs(page.find("Headline")),
        "report metrics": pairs(page.find("Risk and return metrics")),
        "report execution": pairs(page.find("Execution")),
        "report engine": pairs(page.find("The engine's statistics")),
        "notebook": {row[0]: row[1] for row in [notebook.tables[0]["head"],
                                                 *notebook.tables[0]["rows"]]},
    }

    # 1. Wherever a label is shown, it shows the same text.
    seen: dict[str, dict[str, str]] = defaultdict(dict)
    for source, shown in figures.items():
        for label, text in shown.items():
            seen[label][source] = text
    shared = {label: texts for label, texts in seen.items() if len(texts) > 1}
    for label, texts in shared.items():
        assert len(set(texts.values())) == 1, (label, texts)
    assert {LABELS[k] for k in ("annual_return", "sharpe", "max_drawdown", "turnover")} <= set(
        shared)
    # Every place that shows the headline: the two commands, the sweep, the page's headline
    # and metrics, the notebook.
    assert len(seen["Annual return"]) == 6

    # 2. The headline is the same list everywhere, and it is result.metrics: value, unit,
    # sign (the drawdown negative, a fraction of the peak).
    labels = [LABELS[k] for k in HEADLINE if k in result.metrics.index]
    for source in ("demo", "run", "report headline", "notebook"):
        assert [label for label in figures[source] if label in labels] == labels, source
    for key in (k for k in HEADLINE if k in result.metrics.index):
        shown, rounding = number(figures["report headline"][LABELS[key]])
        assert abs(shown - float(result.metrics[key])) <= rounding * 1.0001, key
    assert number(figures["demo"]["Max drawdown"])[0] < 0
    assert result.metrics["max_drawdown"] != -result.stats["max_dd"]  # two definitions...
    # ... and the engine's, under its own key and unit, is no label of the metrics'.
    engine = figures["report engine"]
    assert not {UNIT.sub("", label) for label in engine} & set(seen) - set(engine)
    assert not set(engine) & set(LABELS.values())
    for label, text in engine.items():
        key = UNIT.sub("", label)
        shown, rounding = number(text)
        assert abs(shown - float(result.stats[key])) <= rounding * 1.0001, key

    # 3. The benchmark summary reads the same on the command line and on the page, and its
    # primary row is the metrics' benchmark and excess annual returns.
    summary = page.find("The engine's statistics", "Benchmark summary")
    head = [UNIT.sub("", h) for h in summary["head"]]
    on_page = {(row[0], key): value for row in summary["rows"]
               for key, value in zip(head[1:], row[1:])}
    for out in (demo_out, run_out):
        assert printed(out)["benchmarks"] == on_page
    for key in ("benchmark_annual_return", "excess_annual_return"):
        shown, rounding = number(on_page[(BENCHMARK, key)])
        assert abs(shown - result.metrics[key]) <= rounding * 1.0001, key
        assert figures["demo"][LABELS[key]] == f"{result.metrics[key]:.2%}"

    # 4. The sweep's table holds the metrics under their names, the engine's statistics
    # under engine_ names.
    table = pd.read_csv(tmp_path / "sweep" / "stats.csv", index_col="strategy")
    for key in HEADLINE:
        assert table.loc["demo", key] == pytest.approx(result.metrics[key], rel=1e-12), key
    for key, value in result.stats.items():
        assert table.loc["demo", f"engine_{key}"] == pytest.approx(value, rel=1e-12, nan_ok=True)
