"""The HTML report: it parses, refers to nothing outside itself, embeds every chart it
names, shows the numbers it was given, and renders in a headless browser."""

from __future__ import annotations

import base64
import io
import re
import shutil
import subprocess
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest._display import headline_rows, metric_label
from kestrelia.backtest.glossary import GLOSSARY
from kestrelia.backtest.metrics import (
    METRIC_DEFINITIONS,
    compute_metrics,
    drawdown_periods,
    monthly_returns,
)
from kestrelia.backtest.report import render_report, write_report
from kestrelia.errors import InputError

DATA_URI = re.compile(r"data:image/png;base64,[A-Za-z0-9+/=]+")


class Page(HTMLParser):
    """Tags, images, and (row label, shown text, data-value) of every table cell."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.images, self.rows, self.open_tags = [], [], [], []
        self._row, self._cell = None, None
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append(tag)
        if tag not in {"meta", "img", "br"}:
            self.open_tags.append(tag)
        if tag == "img":
            self.images.append(attrs)
        elif tag == "tr":
            self._row = []
        elif tag in {"td", "th"}:
            self._cell = [attrs, ""]

    def handle_endtag(self, tag):
        assert self.open_tags and self.open_tags.pop() == tag, f"unbalanced </{tag}>"
        if tag in {"td", "th"} and self._row is not None:
            self._row.append(tuple(self._cell))
            self._cell = None
        elif tag == "tr":
            self.rows.append(self._row)
            self._row = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell[1] += data

    def row(self, label, cells=None):
        found = [r for r in self.rows if r and r[0][1] == label and cells in (None, len(r))]
        assert len(found) == 1, f"{len(found)} rows labelled {label!r}"
        return found[0]


def png(width=3.0, height=1.6, seed=0):
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width, height), dpi=80)
    ax = fig.add_subplot()
    ax.plot(np.cumsum(np.random.default_rng(seed).normal(size=50)))
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return buffer.getvalue()


@pytest.fixture(scope="module")
def pieces():
    rng = np.random.default_rng(7)
    index = pd.bdate_range("2021-01-04", periods=600)
    r = pd.Series(rng.normal(0.0004, 0.011, 600), index=index)
    b = pd.Series(rng.normal(0.0002, 0.01, 600), index=index)
    r.iloc[5] = np.nan
    yearly = pd.DataFrame(
        {"strategy_return": [0.1, -0.05, 0.02], "strategy_sharpe": [1.2, -0.4, 0.3],
         "strategy_max_dd": [0.08, 0.12, 0.05]},
        index=pd.Index([2021, 2022, 2023], name="year"),
    )  # fmt: skip
    return {
        "title": "Alpha <momentum> & co",
        "parameters": {"strategy": "alpha", "benchmark": "000852", "start": "20210104"},
        "stats": {
            "annual_return": 9.87,
            "long_sharp": 1.23,
            "max_dd": 0.1234,
            "holding_count": 31.6,
        },
        "metrics": compute_metrics(r, b),
        "definitions": METRIC_DEFINITIONS,
        "monthly": monthly_returns(r),
        "yearly": yearly,
        "benchmark_summary": pd.DataFrame(
            {"excess_annual_return": [0.05], "excess_sharpe": [0.7]},
            index=pd.Index(["000852"], name="benchmark"),
        ),
        "drawdowns": drawdown_periods(r),
        "charts": [("Performance", png(seed=1)), ("Weekly net value", png(seed=2))],
        "execution": pd.Series({"fill_rate": 0.97, "orders": 1200}),
        "execution_charts": [("Execution fills", png(seed=3))],
        "glossary": GLOSSARY,
    }


def test_page_is_self_contained(pieces):
    text = render_report(**pieces)
    page = Page(text)
    assert page.open_tags == [] and {"html", "head", "body", "style", "table", "img"} <= set(
        page.tags
    )
    stripped = DATA_URI.sub("", text)
    for needle in (
        "http:",
        "https:",
        "//",
        "<script",
        "<link",
        "url(",
        "@import",
        "<iframe",
        "file:",
    ):
        assert needle not in stripped.lower(), needle
    assert all(img["src"].startswith("data:image/png;base64,") for img in page.images)
    assert len(re.findall(r"src=", text)) == len(page.images)
    assert "<momentum>" not in text and "Alpha &lt;momentum&gt; &amp; co" in text


def test_every_named_chart_is_embedded(pieces):
    page = Page(render_report(**pieces))
    charts = pieces["charts"] + pieces["execution_charts"]
    assert [img["alt"] for img in page.images] == [caption for caption, _ in charts]
    for img, (_, data) in zip(page.images, charts):
        assert base64.b64decode(img["src"].split(",", 1)[1]) == data


def test_metrics_shown_are_the_metrics(pieces):
    page = Page(render_report(**pieces))
    metrics = pieces["metrics"]
    for key, value in metrics.items():
        _, (attrs, shown), (_, definition) = page.row(metric_label(key), cells=3)
        assert definition == METRIC_DEFINITIONS[key]
        if isinstance(value, pd.Timestamp) or pd.isna(value):
            assert shown == (value.strftime("%Y-%m-%d") if pd.notna(value) else "--")
            continue
        assert float(attrs["data-value"]) == float(value), key
        number = float(shown.rstrip("%").replace(",", ""))
        scale = 100 if shown.endswith("%") else 1
        assert number == pytest.approx(value * scale, abs=0.0051), key
    for year, row in pieces["monthly"].iterrows():
        cells = page.row(str(year), cells=14)[1:]
        assert [float(a["data-value"]) if "data-value" in a else np.nan for a, _ in cells] == pytest.approx(
            row.to_numpy(), nan_ok=True)  # fmt: skip
    # The engine's statistics under their keys, with their units, as they are stored.
    stats = tuple(page.row(label, cells=2)[1][1] for label in (
        "annual_return (percent)", "max_dd (fraction)", "holding_count (count)"))
    assert stats == ("9.87", "0.1234", "31.6")
    # The headline is the metrics' again, under the same labels with the same texts.
    for _, label, text in headline_rows(metrics):
        assert page.row(label, cells=2)[1][1] == text == page.row(label, cells=3)[1][1]


def test_engine_figures_link_to_their_glossary_entries(pieces):
    text = render_report(**pieces)
    targets = set(re.findall(r'id="([^"]+)"', text))
    links = re.findall(r'href="#([^"]+)"', text)
    assert {f"stats-{key}" for key in pieces["stats"]} <= set(links)
    assert set(links) <= targets  # every link lands on the page
    for section in GLOSSARY:
        assert {f"{section.anchor}-{key}" for key in section.terms} <= targets


def test_monthly_cells_are_coloured_by_sign_and_size():
    r = pd.Series([0.05, -0.05, 0.005, -0.001],
                  index=pd.to_datetime(["2024-01-02", "2024-02-01", "2024-03-01", "2024-04-01"]))  # fmt: skip
    page = Page(render_report(title="t", monthly=monthly_returns(r)))
    colour = {}
    for attrs, shown in page.row("2024", cells=14)[1:13]:
        match = re.search(r"--cell: #(..)(..)(..)", attrs.get("style", ""))
        colour[shown] = tuple(int(c, 16) for c in match.groups())
    assert colour["--"] == (255, 255, 255)
    assert colour["5.00%"][2] > colour["5.00%"][0]  # gain: blue
    assert colour["-5.00%"][0] > colour["-5.00%"][2]  # loss: red
    assert sum(colour["5.00%"]) < sum(colour["0.50%"]) < 3 * 255  # deeper for larger months


def test_optional_pieces_and_bad_input(tmp_path):
    bare = Page(render_report(title="only a title"))
    assert bare.images == [] and bare.rows == []
    assert "No drawdown" in render_report(
        title="t", drawdowns=drawdown_periods(pd.Series([0.01], index=["20240102"]))
    )
    with pytest.raises(InputError, match="chart 'broken' is not PNG bytes"):
        render_report(title="t", charts=[("broken", b"GIF89a....")])
    with pytest.raises(InputError, match="title must be text"):
        render_report(title=None)
    path = write_report(tmp_path / "report.html", title="written")
    assert path.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert [p.name for p in tmp_path.iterdir()] == ["report.html"]  # no temporary file left


def find_browser():
    for name in ("chromium", "chromium-browser", "google-chrome", "chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


@pytest.mark.skipif(
    find_browser() is None, reason="no headless Chromium on PATH (Debian package 'chromium')"
)
@pytest.mark.slow
def test_renders_in_headless_browser(pieces, tmp_path):
    import matplotlib.image

    report = write_report(tmp_path / "report.html", **pieces)
    shot = tmp_path / "report.png"
    command = [find_browser(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--no-first-run", f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1280,3000",
               f"--screenshot={shot}", report.as_uri()]  # fmt: skip
    done = subprocess.run(command, capture_output=True, text=True, timeout=180)
    assert shot.exists(), done.stderr[-2000:]
    image = matplotlib.image.imread(shot)
    assert image.shape[:2] == (3000, 1280)
    gray = image[..., :3].mean(axis=2)
    # A rendered page: mostly light, with a fair share of text, table and chart pixels.
    assert gray.std() > 0.05 and (gray < 0.5).mean() > 0.005 and (gray > 0.9).mean() > 0.3
