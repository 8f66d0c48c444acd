// The five chart panels of the performance figure, drawn in this order: cumulative
// return, excess return and drawdown, yearly return, rolling excess stability, drawdown.
// Returns, drawdowns and win rates are ratios shown on percent axes.
#include "panels.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace kestrelia::pelorin::charts {

namespace {

double panel_title_size(const PanelContext& ctx) { return ctx.is_long ? 12.5 : 11.5; }
double twin_label_size(const PanelContext& ctx) { return ctx.is_long ? 10.0 : 9.0; }
// Every legend is 9.0 in the tall layout; the wide layout sizes each panel's own.
double legend_size(const PanelContext& ctx, double large) { return ctx.is_long ? 9.0 : large; }

void panel_title(const PanelContext& ctx, const py::object& ax, const char* text) {
    ax.attr("set_title")(text, py::arg("fontsize") = panel_title_size(ctx));
}

void twin_drawdown_label(const PanelContext& ctx, const py::object& twin) {
    twin.attr("set_ylabel")("Drawdown", py::arg("fontsize") = twin_label_size(ctx));
}

// The area between a drawdown curve and zero.
py::object drawdown_values(const py::object& series) {
    return series.attr("to_numpy")(py::arg("dtype") = binding::float_type());
}

// Handles and labels of the main axes followed by those of its twin, on the main axes.
void combined_legend(const py::object& ax, const py::object& twin, const char* loc,
                     double fontsize) {
    py::tuple main = ax.attr("get_legend_handles_labels")();
    py::tuple other = twin.attr("get_legend_handles_labels")();
    ax.attr("legend")(main[0] + other[0], main[1] + other[1], py::arg("loc") = loc,
                      py::arg("frameon") = true, py::arg("framealpha") = LEGEND_FRAME_ALPHA,
                      py::arg("fontsize") = fontsize);
}

void hide_top_spine(const py::object& ax) {
    ax.attr("spines")[py::str("top")].attr("set_visible")(false);
}

// The share of days with a positive excess return in one rolling window (what
// np.mean(v > 0) gives: NaN compares false, and a count over the length is exact).
double share_positive(py::array_t<double, py::array::forcecast> window) {
    const auto n = window.size();
    if (n == 0) return std::nan("");
    const double* v = window.data();
    py::ssize_t positive = 0;
    for (py::ssize_t i = 0; i < n; ++i)
        if (v[i] > 0) ++positive;
    return static_cast<double>(positive) / static_cast<double>(n);
}

// Widens the y range until every value label lies inside the axes. A label's length is
// fixed in points, so with small yearly values a rotated label is taller than the room
// margins(y=0.22) leaves beyond the bars. Each label runs from its anchor away from zero
// (up above a positive bar, down below a negative one); widening the range shrinks the
// data height of every label, hence the few rounds until nothing moves. The labels are
// also clipped to the axes, so nothing is drawn outside even if no range fits them.
void fit_value_labels(const py::object& ax, const std::vector<py::object>& labels) {
    if (labels.empty()) return;
    py::object renderer = ax.attr("figure").attr("canvas").attr("get_renderer")();
    const double axes_px = ax.attr("get_window_extent")(renderer).attr("height").cast<double>();
    if (!(axes_px > 0)) return;
    struct Extent {
        double anchor, px;
        bool up;
    };
    std::vector<Extent> extents;
    const double pad_px = 4.0;
    for (const py::object& label : labels) {
        const double px = label.attr("get_window_extent")(renderer).attr("height").cast<double>();
        const double anchor = py::tuple(label.attr("get_position")())[1].cast<double>();
        const bool up = label.attr("get_va")().cast<std::string>() == "bottom";
        extents.push_back({anchor, px + pad_px, up});
    }
    py::tuple limits = ax.attr("get_ylim")();
    double lo = limits[0].cast<double>(), hi = limits[1].cast<double>();
    bool moved = false;
    for (int round = 0; round < 50; ++round) {
        const double per_px = (hi - lo) / axes_px;
        const double tolerance = (hi - lo) * 1e-9;
        bool changed = false;
        for (const Extent& e : extents) {
            const double reach = e.px * per_px;
            if (e.up && e.anchor + reach > hi + tolerance) hi = e.anchor + reach, changed = true;
            if (!e.up && e.anchor - reach < lo - tolerance) lo = e.anchor - reach, changed = true;
        }
        if (!changed) break;
        moved = true;
    }
    if (moved && std::isfinite(lo) && std::isfinite(hi) && lo < hi) ax.attr("set_ylim")(lo, hi);
}

}  // namespace

void draw_cumulative_panel(const PanelContext& ctx, const py::object& ax_cum) {
    const PerformanceSeries& s = ctx.s;
    mark_lone_points(ax_cum.attr("plot")(
        s.strategy_cum.attr("index"), s.strategy_cum, py::arg("color") = STRATEGY_COLOR,
        py::arg("linewidth") = 2.4, py::arg("label") = "Strategy"));
    mark_lone_points(ax_cum.attr("plot")(s.benchmark_cum.attr("index"), s.benchmark_cum,
                                         py::arg("color") = BENCHMARK_COLOR,
                                         py::arg("linewidth") = 1.7, py::arg("linestyle") = "--",
                                         py::arg("label") = ctx.benchmark_name));
    py::object ax_cum_dd = ax_cum.attr("twinx")();
    // The twin sits below the main axes, whose background is hidden, so the drawdown
    // fills show through under the return lines.
    ax_cum_dd.attr("set_zorder")(ax_cum.attr("get_zorder")() - py::int_(1));
    ax_cum.attr("patch").attr("set_visible")(false);
    ax_cum_dd.attr("fill_between")(s.strategy_dd.attr("index"), s.strategy_dd_values, 0,
                                   py::arg("color") = STRATEGY_DD_FILL, py::arg("alpha") = 0.28,
                                   py::arg("zorder") = 0, py::arg("label") = "Strategy Drawdown");
    ax_cum_dd.attr("fill_between")(s.benchmark_dd.attr("index"), drawdown_values(s.benchmark_dd), 0,
                                   py::arg("color") = "#d1d5db", py::arg("alpha") = 0.24,
                                   py::arg("zorder") = 0,
                                   py::arg("label") = ctx.benchmark_name + py::str(" Drawdown"));
    zero_line(ax_cum);
    panel_title(ctx, ax_cum, "Cumulative Return");
    ax_cum.attr("set_ylabel")("Return");
    percent_axis(ax_cum, ctx.percent_formatter);
    twin_drawdown_label(ctx, ax_cum_dd);
    percent_axis(ax_cum_dd, ctx.percent_formatter);
    ax_cum_dd.attr("grid")(false);
    hide_top_spine(ax_cum_dd);
    combined_legend(ax_cum, ax_cum_dd, "upper left", legend_size(ctx, 8.2));
    date_axis(ax_cum);
}

void draw_excess_panel(const PanelContext& ctx, const py::object& ax_excess) {
    const PerformanceSeries& s = ctx.s;
    mark_lone_points(ax_excess.attr("plot")(
        s.excess_cum.attr("index"), s.excess_cum, py::arg("color") = EXCESS_COLOR,
        py::arg("linewidth") = 2.2, py::arg("label") = "Excess Return"));
    py::object ax_excess_2 = ax_excess.attr("twinx")();
    ax_excess_2.attr("fill_between")(s.excess_dd.attr("index"), drawdown_values(s.excess_dd), 0,
                                     py::arg("color") = "#fecaca", py::arg("alpha") = 0.34,
                                     py::arg("label") = "Excess Drawdown");
    zero_line(ax_excess);
    panel_title(ctx, ax_excess, "Excess Return & Drawdown");
    ax_excess.attr("set_ylabel")("Excess Return");
    percent_axis(ax_excess, ctx.percent_formatter);
    twin_drawdown_label(ctx, ax_excess_2);
    percent_axis(ax_excess_2, ctx.percent_formatter);
    ax_excess_2.attr("grid")(false);
    hide_top_spine(ax_excess_2);
    combined_legend(ax_excess, ax_excess_2, "upper left", legend_size(ctx, 8.0));
    date_axis(ax_excess);
}

void draw_yearly_panel(const PanelContext& ctx, const py::object& ax_year) {
    const py::object& yearly = ctx.s.yearly;
    if (py::len(yearly) > 0) {
        py::object np = binding::numpy();
        const double width = 0.26;
        py::object x = np.attr("arange")(py::len(yearly));
        py::object excess = yearly[py::str("extra_daily_return")];
        ax_year.attr("bar")(x - py::float_(width), yearly[py::str("daily_return")], width,
                            py::arg("label") = "Strategy", py::arg("color") = STRATEGY_COLOR,
                            py::arg("alpha") = 0.86);
        ax_year.attr("bar")(x, yearly[py::str("index_daily_return")], width,
                            py::arg("label") = ctx.benchmark_name,
                            py::arg("color") = BENCHMARK_COLOR, py::arg("alpha") = 0.72);
        py::object excess_bars =
            ax_year.attr("bar")(x + py::float_(width), excess, width, py::arg("label") = "Excess",
                                py::arg("color") = EXCESS_COLOR, py::arg("alpha") = 0.82);

        // Value labels on the excess bars, just beyond each bar's end: 2.5 % of the
        // largest bar of the panel, at least 0.003.
        auto values = py::array_t<double, py::array::forcecast>::ensure(
            excess.attr("to_numpy")(py::arg("dtype") = binding::float_type()));
        if (!values) throw py::error_already_set();
        const double max_abs =
            np.attr("nanmax")(
                  np.attr("abs")(yearly.attr("to_numpy")(py::arg("dtype") = binding::float_type())))
                .cast<double>();
        const double label_offset =
            std::isfinite(max_abs) ? std::max(max_abs * 0.025, 0.003) : 0.003;
        const double label_size = ctx.is_long ? 8.2 : 7.6;
        py::object format_pct = binding::global("_format_pct");
        py::ssize_t i = 0;
        std::vector<py::object> labels;
        for (py::handle bar : excess_bars) {
            if (i >= values.size()) break;
            const double value = values.at(i++);
            if (std::isnan(value)) continue;
            const bool up = value >= 0;
            const double centre =
                bar.attr("get_x")().cast<double>() + bar.attr("get_width")().cast<double>() / 2;
            labels.push_back(ax_year.attr("text")(
                centre, up ? value + label_offset : value - label_offset,
                format_pct(py::float_(value)), py::arg("ha") = "center",
                py::arg("va") = up ? "bottom" : "top", py::arg("fontsize") = label_size,
                py::arg("color") = "#991b1b", py::arg("rotation") = 90, py::arg("clip_on") = true));
        }
        ax_year.attr("margins")(py::arg("y") = 0.22);
        fit_value_labels(ax_year, labels);
        ax_year.attr("set_xticks")(x);
        ax_year.attr("set_xticklabels")(yearly.attr("index").attr("astype")(py::str("str")),
                                        py::arg("rotation") = ctx.is_long ? 45 : 0,
                                        py::arg("ha") = ctx.is_long ? "right" : "center");
        ax_year.attr("legend")(py::arg("loc") = "best", py::arg("frameon") = true,
                               py::arg("framealpha") = LEGEND_FRAME_ALPHA,
                               py::arg("fontsize") = legend_size(ctx, 8.0));
    } else {
        ax_year.attr("text")(0.5, 0.5, "No yearly data", py::arg("ha") = "center",
                             py::arg("va") = "center",
                             py::arg("transform") = ax_year.attr("transAxes"));
    }
    zero_line(ax_year);
    panel_title(ctx, ax_year, "Yearly Return");
    percent_axis(ax_year, ctx.percent_formatter);
}

void draw_rolling_panel(const PanelContext& ctx, const py::object& ax_rolling) {
    const auto n = static_cast<long>(py::len(ctx.s.daily));
    // 60 days from 60 trading days on; a third of a shorter history, at least 5.
    const long rolling_days = n >= ROLLING_STABILITY_DAYS
                                  ? ROLLING_STABILITY_DAYS
                                  : std::max(MIN_ROLLING_STABILITY_DAYS, n / 3);
    if (n >= rolling_days && rolling_days > 1) {
        py::object e = ctx.s.daily[py::str("extra_daily_return")];
        auto rolling = [&]() { return e.attr("rolling")(rolling_days); };
        // Full windows only and the sample standard deviation (pandas defaults); a flat
        // window gives an infinite or NaN Sharpe ratio, drawn as it is.
        py::object rolling_sharpe =
            rolling().attr("mean")() / rolling().attr("std")() *
            py::float_(std::pow(static_cast<double>(TRADING_DAYS_PER_YEAR), 0.5));
        py::object rolling_win =
            rolling().attr("apply")(py::cpp_function(&share_positive), py::arg("raw") = true);
        const std::string days = std::to_string(rolling_days);
        mark_lone_points(ax_rolling.attr("plot")(
            rolling_sharpe.attr("index"), rolling_sharpe, py::arg("color") = "#7c3aed",
            py::arg("linewidth") = 2.0, py::arg("label") = days + "D Excess Sharpe"));
        zero_line(ax_rolling);
        py::object ax_rolling_2 = ax_rolling.attr("twinx")();
        mark_lone_points(ax_rolling_2.attr("plot")(
            rolling_win.attr("index"), rolling_win, py::arg("color") = "#16a34a",
            py::arg("linewidth") = 1.6, py::arg("alpha") = 0.8,
            py::arg("label") = days + "D Win Rate"));
        percent_axis(ax_rolling_2, ctx.percent_formatter);
        ax_rolling_2.attr("grid")(false);
        hide_top_spine(ax_rolling_2);
        combined_legend(ax_rolling, ax_rolling_2, "best", legend_size(ctx, 7.8));
        // The first rolling_days - 1 values are NaN, so autoscaling would show only the
        // later dates (or, with one full window, a span of years around a single point):
        // the panel covers the whole history like the others.
        py::object dates = ctx.s.daily.attr("index");
        py::object first = dates.attr("min")(), last = dates.attr("max")();
        if (py::bool_(first < last)) ax_rolling.attr("set_xlim")(first, last);
        date_axis(ax_rolling);
    } else {
        ax_rolling.attr("text")(0.5, 0.5, "Not enough data", py::arg("ha") = "center",
                                py::arg("va") = "center",
                                py::arg("transform") = ax_rolling.attr("transAxes"));
    }
    panel_title(ctx, ax_rolling, "Rolling Excess Stability");
}

void draw_drawdown_panel(const PanelContext& ctx, const py::object& ax_drawdown) {
    const PerformanceSeries& s = ctx.s;
    ax_drawdown.attr("fill_between")(s.strategy_dd.attr("index"), s.strategy_dd_values, 0,
                                     py::arg("color") = STRATEGY_DD_FILL, py::arg("alpha") = 0.62,
                                     py::arg("label") = "Strategy Drawdown");
    mark_lone_points(ax_drawdown.attr("plot")(
        s.excess_dd.attr("index"), s.excess_dd, py::arg("color") = EXCESS_COLOR,
        py::arg("linewidth") = 1.7, py::arg("label") = "Excess Drawdown"));
    zero_line(ax_drawdown);
    panel_title(ctx, ax_drawdown, "Drawdown");
    percent_axis(ax_drawdown, ctx.percent_formatter);
    ax_drawdown.attr("legend")(py::arg("loc") = "lower left", py::arg("frameon") = true,
                               py::arg("framealpha") = LEGEND_FRAME_ALPHA,
                               py::arg("fontsize") = legend_size(ctx, 8.0));
    date_axis(ax_drawdown);
}

}  // namespace kestrelia::pelorin::charts
