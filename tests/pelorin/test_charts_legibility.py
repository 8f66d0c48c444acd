"""What the charts must not do whatever the history length: labels that touch or leave
their axes, a summary line running past its table, panels left empty by single points.
Each figure is drawn (not saved) and its artists' extents are measured on the canvas."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

# Every case draws whole figures, a second or two each.
pytestmark = pytest.mark.slow


def make_total_frame(pelorin, n, *, seed=3, scale=1.0, start="2015-01-05"):
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range(start, periods=n).strftime("%Y%m%d"))
    bench = rng.normal(0.0002, 0.011, n) * scale
    frame = pd.DataFrame({"daily_return": rng.normal(0.0006, 0.012, n) * scale,
                          "index_daily_return": bench, "close": 1 + np.cumsum(bench)}, index=dates)  # fmt: skip
    return pelorin._build_total_backtesting_frame(frame)


@pytest.fixture
def drawn(monkeypatch):
    """Figures handed to savefig, drawn on their canvas instead of written; the renderer is
    kept on the figure because closing it swaps the Agg canvas out."""
    from matplotlib.figure import Figure

    figures = []

    def savefig(fig, *args, **kwargs):
        fig.canvas.draw()
        fig.test_renderer = fig.canvas.get_renderer()
        figures.append(fig)

    monkeypatch.setattr(Figure, "savefig", savefig)
    return figures


def performance(pelorin, drawn, total, kind):
    pelorin.plot_strategy_performance(total, pelorin.calc_strategy_stats(total, None),
                                      save_path="x.png", image_kind=kind)  # fmt: skip
    return drawn[-1]


def inside(inner, outer, tol=1.0):
    return (inner.x0 >= outer.x0 - tol and inner.x1 <= outer.x1 + tol
            and inner.y0 >= outer.y0 - tol and inner.y1 <= outer.y1 + tol)  # fmt: skip


@pytest.mark.parametrize("n, scale", [(60, 1.0), (300, 0.05), (2520, 1.0)])
@pytest.mark.parametrize("kind", ["large", "long"])
def test_yearly_bar_labels_stay_inside_the_axes(pelorin, drawn, n, scale, kind):
    fig = performance(pelorin, drawn, make_total_frame(pelorin, n, scale=scale), kind)
    ax_year = fig.axes[3]
    renderer = fig.test_renderer
    box = ax_year.get_window_extent(renderer)
    assert ax_year.texts, "expected value labels"
    for label in ax_year.texts:
        assert inside(label.get_window_extent(renderer), box), label.get_text()
        assert label.get_clip_on()


@pytest.mark.parametrize("n", [60, 1260, 2520])
def test_facing_axis_labels_do_not_touch_in_the_wide_layout(pelorin, drawn, n):
    fig = performance(pelorin, drawn, make_total_frame(pelorin, n), "large")
    renderer = fig.test_renderer
    cum_twin, excess = fig.axes[8], fig.axes[2]
    right = cum_twin.yaxis.label.get_window_extent(renderer)
    left = [excess.yaxis.label.get_window_extent(renderer)]
    left += [t.get_window_extent(renderer) for t in excess.get_yticklabels() if t.get_text()]
    assert cum_twin.yaxis.label.get_text() == "Drawdown"
    assert right.x1 + 4 <= min(b.x0 for b in left)


@pytest.mark.parametrize("n", [300, 1260, 2520, 5040])
@pytest.mark.parametrize("kind", ["large", "long"])
def test_annual_excess_wraps_inside_the_summary_table(pelorin, drawn, n, kind):
    # Two years fit on one line: the table as the layout draws it without wrapping.
    fig = performance(pelorin, drawn, make_total_frame(pelorin, 300), kind)
    unwrapped = fig.axes[6].tables[0].get_window_extent(fig.test_renderer).height
    total = make_total_frame(pelorin, n)
    fig = performance(pelorin, drawn, total, kind)
    renderer = fig.test_renderer
    ax_table = fig.axes[6]
    table = ax_table.tables[0]
    cells = table.get_celld()
    last = max(r for r, _ in cells)
    value = cells[last, 1]
    assert cells[last, 0].get_text().get_text() == "Annual Excess"
    yearly = total["extra_daily_return"].groupby(pd.to_datetime(total.index).year).sum()
    # the same items, only line breaks added
    assert value.get_text().get_text().replace("\n", " | ") == pelorin._format_annual_excess(yearly)
    for (row, col), cell in cells.items():
        assert inside(
            cell.get_text().get_window_extent(renderer), cell.get_window_extent(renderer)
        ), (row, col)
    table_box = table.get_window_extent(renderer)
    axes_box = ax_table.get_window_extent(renderer)
    assert table_box.height <= max(axes_box.height, unwrapped) + 2
    assert sum(cells[0, c].get_width() for c in (0, 1)) == pytest.approx(1.0)


@pytest.mark.parametrize("kind", ["large", "long"])
def test_single_points_get_markers(pelorin, drawn, kind):
    # Four days, one week: every weekly line is a single point.
    total = make_total_frame(pelorin, 4)
    pelorin.plot_weekly_net_value(total, save_path="w.png", image_kind=kind)
    ax_nav, ax_dd = drawn[-1].axes[:2]
    assert len(ax_nav.lines) >= 3
    for line in ax_nav.lines[:3] + ax_dd.lines[:2]:
        assert len(line.get_xdata()) == 1 and line.get_marker() == "o"
    low, high = ax_nav.get_xlim()
    assert high - low <= 15  # days around the week, not a span of years
    # Sixty days: one full 60-day window, so the rolling lines hold one finite point each.
    performance(pelorin, drawn, make_total_frame(pelorin, 60), kind)
    rolling, rolling_twin = drawn[-1].axes[4], drawn[-1].axes[10]
    for line in (rolling.lines[0], rolling_twin.lines[0]):
        assert np.isfinite(np.asarray(line.get_ydata(), float)).sum() == 1
        assert line.get_marker() == "o"
    # A longer history keeps plain lines.
    fig = performance(pelorin, drawn, make_total_frame(pelorin, 300), kind)
    assert all(line.get_marker() in ("None", None, "") for ax in fig.axes for line in ax.lines)
