// The weekly net-value figure: strategy, benchmark and excess net values sampled once a
// week, their weekly drawdowns, and the yearly metrics table, in a wide two-by-two
// ("large") or a tall one-column layout.
#include "charts.hpp"

namespace kestrelia::pelorin {

namespace {

struct WeeklyLayout {
    double width, height;
    double title_size, title_y;
    double dd_title_size;
    int dd_legend_columns;
    int dpi;
};

constexpr WeeklyLayout LONG_WEEKLY{15.5, 12.4, 16, 0.975, 12, 3, 145};
constexpr WeeklyLayout LARGE_WEEKLY{18.8, 8.6, 15, 0.965, 11, 1, 170};

// nav - nav.expanding().max(): the drawdown of the weekly samples, zero or negative.
py::object weekly_drawdown(const py::object& nav) {
    return nav - nav.attr("expanding")().attr("max")();
}

}  // namespace

py::object plot_weekly_net_value_unlocked(const Args& args) {
    const charts::Pyplot pp = charts::renderer_prologue();
    py::object weekly = binding::global("_build_weekly_net_value_frame")(args["total"]);
    if (py::bool_(weekly.attr("empty"))) return py::none();

    const py::list daily_columns =
        binding::texts({"daily_return", "index_daily_return", "extra_daily_return"});
    py::object daily =
        binding::global("_with_datetime_index")(args["total"])[daily_columns].attr("copy")();
    py::object yearly_metrics = binding::global("_calc_yearly_performance_metrics")(daily);
    py::object strategy_nav = weekly[py::str("long")];
    py::object benchmark_nav = weekly[py::str("close_net_value")];
    py::object excess_nav = weekly[py::str("extra_net_value")];
    py::object strategy_dd = weekly_drawdown(strategy_nav);
    py::object benchmark_dd = weekly_drawdown(benchmark_nav);
    py::object excess_dd = weekly_drawdown(excess_nav);
    const bool is_long = !args["image_kind"].equal(py::str("large"));
    const WeeklyLayout& l = is_long ? LONG_WEEKLY : LARGE_WEEKLY;
    const py::object benchmark_name = args["benchmark_name"];

    py::object fig = pp.plt.attr("figure")(py::arg("figsize") = py::make_tuple(l.width, l.height),
                                           py::arg("constrained_layout") = false);
    charts::with_figure(pp.plt, fig, [&] {
        py::object grid, ax_nav, ax_dd, ax_yearly_table;
        if (is_long) {
            grid = fig.attr("add_gridspec")(
                3, 1, py::arg("height_ratios") = charts::floats({3.1, 1.45, 1.9}),
                py::arg("hspace") = 0.34);
            ax_nav = fig.attr("add_subplot")(grid[py::make_tuple(0, 0)]);
            ax_dd = fig.attr("add_subplot")(grid[py::make_tuple(1, 0)], py::arg("sharex") = ax_nav);
            ax_yearly_table = fig.attr("add_subplot")(grid[py::make_tuple(2, 0)]);
        } else {
            grid = fig.attr("add_gridspec")(
                2, 2, py::arg("height_ratios") = charts::floats({2.35, 1.55}),
                py::arg("width_ratios") = charts::floats({2.55, 1.2}), py::arg("hspace") = 0.26,
                py::arg("wspace") = 0.16, py::arg("left") = 0.055, py::arg("right") = 0.985,
                py::arg("top") = 0.9, py::arg("bottom") = 0.08);
            ax_nav = fig.attr("add_subplot")(
                grid[py::make_tuple(0, py::slice(py::none(), py::none(), py::none()))]);
            ax_dd = fig.attr("add_subplot")(grid[py::make_tuple(1, 0)], py::arg("sharex") = ax_nav);
            ax_yearly_table = fig.attr("add_subplot")(grid[py::make_tuple(1, 1)]);
        }

        fig.attr("suptitle")(charts::figure_title(args, "Weekly Net Value"),
                             py::arg("fontsize") = l.title_size, py::arg("fontweight") = "bold",
                             py::arg("color") = charts::TITLE_COLOR, py::arg("y") = l.title_y);

        charts::mark_lone_points(ax_nav.attr("plot")(
            strategy_nav.attr("index"), strategy_nav, py::arg("color") = charts::STRATEGY_COLOR,
            py::arg("linewidth") = 2.4, py::arg("label") = "Strategy"));
        charts::mark_lone_points(ax_nav.attr("plot")(
            benchmark_nav.attr("index"), benchmark_nav, py::arg("color") = charts::BENCHMARK_COLOR,
            py::arg("linewidth") = 1.8, py::arg("linestyle") = "--",
            py::arg("label") = benchmark_name));
        charts::mark_lone_points(ax_nav.attr("plot")(
            excess_nav.attr("index"), excess_nav, py::arg("color") = charts::EXCESS_COLOR,
            py::arg("linewidth") = 2.0, py::arg("alpha") = 0.92, py::arg("label") = "Excess"));
        // The starting net value.
        ax_nav.attr("axhline")(1.0, py::arg("color") = "#94a3b8", py::arg("linewidth") = 0.9);
        ax_nav.attr("set_ylabel")("Net Value");
        if (is_long) ax_nav.attr("set_title")("Weekly Net Value");
        ax_nav.attr("legend")(py::arg("loc") = "best", py::arg("frameon") = true,
                              py::arg("framealpha") = charts::LEGEND_FRAME_ALPHA);

        ax_dd.attr("fill_between")(
            strategy_dd.attr("index"),
            strategy_dd.attr("to_numpy")(py::arg("dtype") = binding::float_type()), 0,
            py::arg("color") = charts::STRATEGY_DD_FILL, py::arg("alpha") = 0.58,
            py::arg("label") = "Strategy Drawdown");
        charts::mark_lone_points(ax_dd.attr("plot")(
            benchmark_dd.attr("index"), benchmark_dd, py::arg("color") = charts::BENCHMARK_COLOR,
            py::arg("linewidth") = 1.25, py::arg("alpha") = 0.76,
            py::arg("label") = benchmark_name + py::str(" Drawdown")));
        charts::mark_lone_points(
            ax_dd.attr("plot")(excess_dd.attr("index"), excess_dd,
                               py::arg("color") = charts::EXCESS_COLOR, py::arg("linewidth") = 1.45,
                               py::arg("alpha") = 0.86, py::arg("label") = "Excess Drawdown"));
        charts::zero_line(ax_dd);
        ax_dd.attr("set_title")("Weekly Drawdown", py::arg("fontsize") = l.dd_title_size);
        ax_dd.attr("set_ylabel")("Drawdown");
        charts::percent_axis(ax_dd, pp.percent_formatter);
        ax_dd.attr("legend")(py::arg("loc") = "lower left", py::arg("frameon") = true,
                             py::arg("framealpha") = charts::LEGEND_FRAME_ALPHA,
                             py::arg("ncol") = l.dd_legend_columns);

        binding::global("_draw_yearly_metrics_table")(ax_yearly_table, yearly_metrics,
                                                      py::arg("compact") = !is_long);
        charts::style_panel(ax_nav);
        charts::style_panel(ax_dd);
        charts::date_axis(ax_nav);  // ax_dd shares this axis
        charts::frame_single_date(ax_nav, strategy_nav.attr("index"));

        if (is_long)
            fig.attr("subplots_adjust")(py::arg("left") = 0.065, py::arg("right") = 0.965,
                                        py::arg("top") = 0.94, py::arg("bottom") = 0.055);
        fig.attr("savefig")(args["save_path"], py::arg("dpi") = l.dpi,
                            py::arg("facecolor") = fig.attr("get_facecolor")());
    });
    return py::none();
}

}  // namespace kestrelia::pelorin
