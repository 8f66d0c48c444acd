"""The two figures, inspected before they are closed (layout, title, cards, panels,
tables, legends, saved PNG), the yearly metrics table and the global style."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from matplotlib.colors import to_rgba

from tests.support.markets import make_total_frame

HEADERS = {
    False: ["Year", "Strategy Return", "Strategy Sharpe", "Strategy Max DD", "Strategy Calmar",
            "Excess Return", "Excess Sharpe", "Excess Max DD", "Excess Calmar"],
    True: ["Year", "Ret", "Sharpe", "MaxDD", "Calmar", "ExRet", "ExSh", "ExDD", "ExCal"],
}  # fmt: skip


def texts(ax):
    return [t.get_text() for t in ax.texts]


def legend_labels(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


def cell_texts(table):
    cells = table.get_celld()
    rows, cols = 1 + max(r for r, _ in cells), 1 + max(c for _, c in cells)
    return [[cells[r, c].get_text().get_text() for c in range(cols)] for r in range(rows)]


def assert_banded(table):
    """Header #eef2ff in bold, then white and #f8fafc rows; every edge #e2e8f0."""
    for (row, _), cell in table.get_celld().items():
        band = "#eef2ff" if row == 0 else ("white" if row % 2 else "#f8fafc")
        assert cell.get_facecolor() == to_rgba(band) and cell.get_edgecolor() == to_rgba("#e2e8f0")
        assert (cell.get_text().get_weight() == "bold") == (row == 0)


def render(pelorin, total, stats=None, kind="large", **kw):
    stats = pelorin.calc_strategy_stats(total, None) if stats is None else stats
    kw = {"strategy_name": "S", "save_path": "x.png", "image_kind": kind, "rolling_window": 3} | kw
    pelorin.plot_strategy_performance(total, stats, **kw)


# -- performance figure ------------------------------------------------------------------

LAYOUTS = {  # size, dpi, grid, height ratios, width ratios, axes (row, first col, end col)
    "long": ((15.5, 34.0), 145, (7, 2), [0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0], [1, 1],
             [(0, 0, 2), (1, 0, 2), (2, 0, 2), (3, 0, 1), (3, 1, 2), (4, 0, 2), (5, 0, 2), (6, 0, 2)]),
    "large": ((21.5, 12.6), 165, (4, 3), [0.78, 2.75, 2.35, 1.95], [1.12, 1.12, 1.0],
              [(0, 0, 3), (1, 0, 2), (1, 2, 3), (2, 0, 1), (2, 1, 2), (2, 2, 3), (3, 0, 1), (3, 1, 3)]),
}  # fmt: skip


@pytest.mark.parametrize("kind, layout", [("large", "large"), ("long", "long"), ("LARGE", "long")])
def test_performance_layout(pelorin, saved, kind, layout):
    size, dpi, grid, heights, widths, spans = LAYOUTS[layout]
    render(pelorin, make_total_frame(pelorin, 300), kind=kind, plot_title="X")
    fig = saved.fig
    assert tuple(fig.get_size_inches()) == size
    assert saved[0][1:] == ("x.png", {"dpi": dpi, "facecolor": fig.get_facecolor()})
    main, twins = fig.axes[:8], fig.axes[8:]
    gs = main[0].get_subplotspec().get_gridspec()
    assert ((gs.nrows, gs.ncols), gs.get_height_ratios(), gs.get_width_ratios()) == (grid, heights, widths)
    specs = [a.get_subplotspec() for a in main]
    assert [(s.rowspan.start, s.colspan.start, s.colspan.stop) for s in specs] == spans
    pars = fig.subplotpars
    margins = (pars.left, pars.right, pars.top, pars.bottom) if layout == "long" else (gs.left, gs.right, gs.top, gs.bottom)
    assert margins == ((0.06, 0.94, 0.965, 0.035) if layout == "long" else (0.045, 0.955, 0.915, 0.045))
    assert fig.get_suptitle() == "X | Benchmark 000852 | Strategy Performance"
    assert fig._suptitle.get_fontsize() == (17 if layout == "long" else 15)
    # Twins of the cumulative, excess and rolling panels; the first one drawn underneath.
    assert all(t.get_shared_x_axes().joined(t, h) for t, h in zip(twins, (main[1], main[2], main[4])))
    assert twins[0].get_zorder() == main[1].get_zorder() - 1 and not main[1].patch.get_visible()
    for ax in main[1:6]:
        line = ax.yaxis.get_gridlines()[0]
        assert line.get_visible() and (line.get_color(), line.get_alpha()) == ("#e5e7eb", 0.84)
        assert not ax.spines["top"].get_visible() and not ax.spines["right"].get_visible()
    assert not any(t.yaxis.get_gridlines()[0].get_visible() for t in twins)


def test_cards_and_summary_table(pelorin, saved):
    total = make_total_frame(pelorin, 300, start="2021-11-01").iloc[::-1]  # unsorted dates
    stats = pelorin.calc_strategy_stats(total, None) | {"annual_return": 12.345, "extra_sharp": np.nan,
                                                        "turnover": 0.123, "holding_count": 31.6}  # fmt: skip
    render(pelorin, total, stats=stats, kind="long", rolling_window=7.9)
    cards, table = saved.fig.axes[0], saved.fig.axes[6].tables[0]
    assert texts(cards)[:6] == ["12.35%", "Strategy Ann.", pelorin._format_num(stats["long_sharp"]),
                                "Strategy Sharpe", pelorin._format_pct(stats["max_dd"]), "Strategy Max DD"]
    assert texts(cards)[8:10] + texts(cards)[16:] == ["--", "Excess Sharpe", "12.30%", "Turnover"]
    assert [t.get_position()[0] for t in cards.texts[::2]] == pytest.approx([(i + 0.5) / 9 for i in range(9)])
    assert all(v.get_bbox_patch() and not lbl.get_bbox_patch() for v, lbl in zip(cards.texts[::2], cards.texts[1::2]))
    yearly = total["extra_daily_return"].groupby(pd.to_datetime(total.index).year).sum()
    assert cell_texts(table) == [
        ["Metric", "Value"], ["Date Range", "2021-11-01 ~ 2022-12-23"], ["Trading Days", "300"],
        ["Rolling Window", "7"], ["Benchmark", "000852"],
        ["Benchmark Ann.", pelorin._format_pct_points(stats["benchmark_annual_return"])],
        ["Benchmark Sharpe", pelorin._format_num(stats["benchmark_sharp"])],
        ["Return Corr.", pelorin._format_num(stats["return_corr"])], ["Avg Holding", "32"],
        ["Turnover", "12.30%"], ["Excess Win Rate", pelorin._format_pct(stats["excess_win_rate"])],
        ["Annual Excess", f"2021: {yearly[2021]:.2%} | 2022: {yearly[2022]:.2%}"],
    ]  # fmt: skip
    assert_banded(table)
    assert (table[0, 0].get_width(), table[1, 1].get_width(), table[1, 0].get_text().get_fontsize()) == (0.26, 0.74, 9.4)


def test_empty_stats_show_dashes(pelorin, saved):
    render(pelorin, make_total_frame(pelorin, 20), stats={})
    values = [row[1] for row in cell_texts(saved.fig.axes[6].tables[0])[1:]]
    assert texts(saved.fig.axes[0])[::2] == ["--"] * 9
    assert values[4:10] == ["--"] * 6 and "--" not in values[:4] + values[10:]


def test_panel_legends_and_titles(pelorin, saved):
    render(pelorin, make_total_frame(pelorin, 300), benchmark_name="000300")
    panels = saved.fig.axes[1:6]
    assert [legend_labels(ax) for ax in panels] == [
        ["Strategy", "000300", "Strategy Drawdown", "000300 Drawdown"], ["Excess Return", "Excess Drawdown"],
        ["Strategy", "000300", "Excess"], ["60D Excess Sharpe", "60D Win Rate"],
        ["Strategy Drawdown", "Excess Drawdown"],
    ]  # fmt: skip
    assert [ax.get_legend().get_texts()[0].get_fontsize() for ax in panels] == [8.2, 8.0, 8.0, 7.8, 8.0]
    assert [ax.get_title() for ax in panels] == [
        "Cumulative Return", "Excess Return & Drawdown", "Yearly Return", "Rolling Excess Stability", "Drawdown"]


@pytest.mark.parametrize("n, window", [(4, None), (5, 5), (14, 5), (30, 10), (59, 19), (60, 60), (130, 60)])
def test_rolling_window(pelorin, saved, n, window):
    total = make_total_frame(pelorin, n)
    render(pelorin, total, kind="long")
    rolling = saved.fig.axes[4]
    if window is None:
        assert texts(rolling) == ["Not enough data"] and rolling.get_legend() is None
        return
    assert legend_labels(rolling) == [f"{window}D Excess Sharpe", f"{window}D Win Rate"]
    e = total["extra_daily_return"]
    sharpe = e.rolling(window).mean() / e.rolling(window).std() * 252**0.5
    win = e.rolling(window).apply(lambda v: np.mean(v > 0), raw=True)
    np.testing.assert_array_equal(rolling.lines[0].get_ydata(), sharpe.to_numpy())
    np.testing.assert_array_equal(saved.fig.axes[10].lines[0].get_ydata(), win.to_numpy())


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # inf - inf
def test_yearly_bars_and_labels(pelorin, saved):
    total = make_total_frame(pelorin, 700, start="2019-01-01")
    in_2020 = np.flatnonzero(pd.to_datetime(total.index).year == 2020)
    total.iloc[in_2020[:2], total.columns.get_loc("extra_daily_return")] = [np.inf, -np.inf]
    render(pelorin, total)
    year = saved.fig.axes[3]
    yearly = total[["daily_return", "index_daily_return", "extra_daily_return"]].groupby(
        pd.to_datetime(total.index).year).sum()  # fmt: skip
    np.testing.assert_array_equal([p.get_height() for p in year.patches], yearly.to_numpy().T.ravel())
    assert [t.get_text() for t in year.get_xticklabels()] == ["2019", "2020", "2021"]
    excess = yearly["extra_daily_return"]  # 2020 is NaN (inf - inf): no label
    assert texts(year) == [pelorin._format_pct(excess[y]) for y in (2019, 2021)]
    offset = max(np.nanmax(np.abs(yearly.to_numpy())) * 0.025, 0.003)
    for label, bar, value in zip(year.texts, year.patches[6::2], excess[[2019, 2021]]):
        x, y = label.get_position()
        assert x == pytest.approx(bar.get_x() + bar.get_width() / 2)
        assert (y, label.get_va()) == ((value + offset, "bottom") if value >= 0 else (value - offset, "top"))
        assert (label.get_rotation(), label.get_color()) == (90, "#991b1b")


# -- weekly figure ------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["large", "long"])
def test_weekly_figure(pelorin, saved, kind):
    total = make_total_frame(pelorin, 300)
    pelorin.plot_weekly_net_value(total, "S", "Alpha", "w.png", kind, "000852")
    fig, is_long = saved.fig, kind == "long"
    assert tuple(fig.get_size_inches()) == ((15.5, 12.4) if is_long else (18.8, 8.6))
    assert saved[0][2] == {"dpi": 145 if is_long else 170, "facecolor": fig.get_facecolor()}
    assert fig.get_suptitle() == "Alpha | Benchmark 000852 | Weekly Net Value"
    nav, dd, table_ax = fig.axes
    gs = nav.get_subplotspec().get_gridspec()
    assert ((gs.nrows, gs.ncols), gs.get_height_ratios()) == (((3, 1), [3.1, 1.45, 1.9]) if is_long else ((2, 2), [2.35, 1.55]))
    assert nav.get_shared_x_axes().joined(nav, dd) and nav.get_title() == ("Weekly Net Value" if is_long else "")
    assert legend_labels(nav) == ["Strategy", "000852", "Excess"]
    assert legend_labels(dd) == ["Strategy Drawdown", "000852 Drawdown", "Excess Drawdown"]
    assert (dd.get_legend()._ncols, dd.get_title()) == (3 if is_long else 1, "Weekly Drawdown")
    weekly = pelorin._build_weekly_net_value_frame(total)
    np.testing.assert_array_equal(nav.lines[0].get_ydata(), weekly["long"].to_numpy())
    for line in dd.lines[:2]:  # drawdowns of the weekly samples
        y = np.asarray(line.get_ydata(), dtype=float)
        assert y[0] == 0 and (y <= 0).all()
    assert cell_texts(table_ax.tables[0])[0] == HEADERS[not is_long]


@pytest.mark.slow
def test_png_sizes_on_disk(pelorin, saved, tmp_path):
    from PIL import Image

    saved.write = True
    total = make_total_frame(pelorin, 60)
    stats = pelorin.calc_strategy_stats(total, None)
    for kind in ("large", "long"):
        pelorin.plot_strategy_performance(total, stats, save_path=tmp_path / f"p_{kind}.png", image_kind=kind)
        pelorin.plot_weekly_net_value(total, save_path=tmp_path / f"w_{kind}.png", image_kind=kind)
    sizes = {}
    for path in tmp_path.glob("*.png"):
        with Image.open(path) as image:
            sizes[path.stem] = image.size
    assert sizes == {"p_large": (3547, 2079), "p_long": (2247, 4930),
                     "w_large": (3196, 1462), "w_long": (2247, 1798)}  # fmt: skip


# -- yearly metrics table -----------------------------------------------------------------


def test_yearly_table(pelorin):
    import matplotlib.pyplot as plt

    metrics = pd.DataFrame(
        [[0.1, 1.0, 0.05, 2.0, 0.02, 0.5, 0.01, np.nan], [-0.1, -1.0, 0.2, -0.5, -0.02, -0.5, 0.03, -0.7]],
        index=pd.Index([2023.0, 2024.0], name="year"),
        columns=["strategy_return", "strategy_sharpe", "strategy_max_dd", "strategy_calmar",
                 "excess_return", "excess_sharpe", "excess_max_dd", "excess_calmar"],
    )  # fmt: skip
    fig = plt.figure()
    compact, full, empty = (fig.add_subplot(3, 1, i) for i in (1, 2, 3))
    assert pelorin._draw_yearly_metrics_table(compact, metrics, compact="yes") is None
    pelorin._draw_yearly_metrics_table(full, metrics, compact=0)
    pelorin._draw_yearly_metrics_table(empty, pd.DataFrame())
    plt.close(fig)
    table = compact.tables[0]
    assert cell_texts(table) == [
        HEADERS[True],
        ["2023", "10.00%", "1.00", "5.00%", "2.00", "2.00%", "0.50", "1.00%", "--"],
        ["2024", "-10.00%", "-1.00", "20.00%", "-0.50", "-2.00%", "-0.50", "3.00%", "-0.70"],
    ]
    assert_banded(table)
    colours = [table[1, c].get_text().get_color() for c in range(9)]
    assert colours[1:] == ["#1d4ed8"] * 4 + ["#b91c1c"] * 4 and colours[0] not in colours[1:]
    assert [table[0, c].get_width() for c in range(9)] == [0.09, 0.11, 0.11, 0.12, 0.11, 0.12, 0.11, 0.11, 0.12]
    assert (compact.get_title(), compact.title.get_fontsize(), full.title.get_fontsize()) == (
        "Yearly Strategy & Excess Metrics", 10.2, 11.5)
    assert cell_texts(full.tables[0])[0] == HEADERS[False] and not compact.axison
    assert texts(empty) == ["No yearly metric data"] and len(empty.tables) == 0 and empty.get_title() == ""


# -- style and prologue -------------------------------------------------------------------


def test_style_is_applied_on_every_rendering(pelorin, saved, tmp_path):
    import matplotlib
    import matplotlib.pyplot as plt

    plt.rcParams["font.sans-serif"] = ["Host Font"]
    plt.rcParams["axes.unicode_minus"] = True
    empty = make_total_frame(pelorin, 0)
    path = tmp_path / "none.png"
    assert pelorin.plot_weekly_net_value(empty, save_path=path) == {"weekly_net_value": str(path)}
    assert pelorin.plot_strategy_performance(empty, {}, save_path="p.png") == {"main": "p.png"}
    assert saved == [] and not path.exists()  # nothing drawn
    assert matplotlib.get_backend().lower() == "agg" and plt.rcParams["axes.unicode_minus"] is False
    assert plt.rcParams["font.sans-serif"][::8] == ["Helvetica Neue", "DejaVu Sans"]


def test_style_without_the_style_sheet(pelorin, monkeypatch):
    import matplotlib.pyplot as plt

    def missing(name):
        raise OSError(f"{name} is not a valid package style")

    monkeypatch.setattr(plt.style, "use", missing)
    plt.rcParams["axes.unicode_minus"] = True
    assert pelorin._configure_strategy_plot_style(plt) is None
    assert plt.rcParams["axes.unicode_minus"] is False and plt.rcParams["figure.facecolor"] == "white"
    monkeypatch.setattr(plt.style, "use", lambda name: (_ for _ in ()).throw(KeyboardInterrupt("stopped")))
    with pytest.raises(KeyboardInterrupt, match="stopped"):  # not an Exception: not swallowed
        pelorin._configure_strategy_plot_style(plt)
