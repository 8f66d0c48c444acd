// The single-strategy performance figure: title, nine headline cards, five chart panels,
// the summary table and the yearly metrics table, in a wide ("large") or a tall layout.
// Everything shown comes from the total frame and the statistics dict; the renderer only
// derives the few series the panels draw, once, before it creates the figure.
#include <algorithm>
#include <string>
#include <vector>

#include "panels.hpp"

namespace kestrelia::pelorin {

namespace {

using charts::PerformanceSeries;

// Sizes and geometry of one layout.
struct Layout {
    double width, height;
    int rows, cols;
    double title_size, title_y;
    double card_value_size, card_label_size;
    double table_font_size, table_row_scale;
    double table_col_widths[2];
    int dpi;
};

constexpr Layout LONG_LAYOUT{15.5, 34.0, 7, 2, 17, 0.986, 13.0, 8.5, 9.4, 1.28, {0.26, 0.74}, 145};
constexpr Layout LARGE_LAYOUT{21.5, 12.6, 4, 3, 15, 0.975, 12.2, 8.0, 8.6, 1.18, {0.4, 0.6}, 165};

struct Card {
    const char* label;
    const char* key;
    const char* formatter;
};

constexpr Card CARDS[] = {
    {"Strategy Ann.", "annual_return", "_format_pct_points"},
    {"Strategy Sharpe", "long_sharp", "_format_num"},
    {"Strategy Max DD", "max_dd", "_format_pct"},
    {"Excess Ann.", "extra_annual_return", "_format_pct_points"},
    {"Excess Sharpe", "extra_sharp", "_format_num"},
    {"Excess Max DD", "extra_max_dd", "_format_pct"},
    {"Strategy Win", "win_rate", "_format_pct"},
    {"Excess Win", "excess_win_rate", "_format_pct"},
    {"Turnover", "turnover", "_format_pct"},
};

py::object column(const py::object& frame, const char* name) { return frame[py::str(name)]; }

PerformanceSeries derive_series(const py::object& plot_df) {
    PerformanceSeries s;
    s.plot_df = plot_df;
    const py::object one = py::int_(1);
    py::object benchmark_net = column(plot_df, "close_net_value");
    s.strategy_cum = column(plot_df, "long") - one;
    s.benchmark_cum = benchmark_net - one;
    s.excess_cum = column(plot_df, "extra_return");
    s.strategy_dd = column(plot_df, "max_drowdown");
    s.benchmark_dd = benchmark_net - benchmark_net.attr("expanding")().attr("max")();
    s.excess_dd = column(plot_df, "extra_max_drowdown");
    const py::list daily_columns =
        binding::texts({"daily_return", "index_daily_return", "extra_daily_return"});
    s.daily = plot_df[daily_columns].attr("copy")();
    s.yearly = s.daily.attr("groupby")(s.daily.attr("index").attr("year")).attr("sum")();
    s.strategy_dd_values = s.strategy_dd.attr("to_numpy")(py::arg("dtype") = binding::float_type());
    return s;
}

// The grid cell or slice of one axes.
py::object cell(const py::object& grid, int row, py::slice cols) {
    return grid[py::make_tuple(row, cols)];
}
py::object cell(const py::object& grid, int row, int col) { return grid[py::make_tuple(row, col)]; }
py::slice span(int first, int last) { return py::slice(first, last + 1, 1); }
py::slice all_columns() { return py::slice(py::none(), py::none(), py::none()); }

struct Axes {
    py::object cards, cum, excess, year, rolling, drawdown, table, yearly_table;
};

py::object make_grid(const py::object& fig, bool is_long, const Layout& l) {
    if (is_long)
        return fig.attr("add_gridspec")(
            l.rows, l.cols,
            py::arg("height_ratios") = charts::floats({0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0}),
            py::arg("hspace") = 0.42, py::arg("wspace") = 0.22);
    return fig.attr("add_gridspec")(
        l.rows, l.cols, py::arg("height_ratios") = charts::floats({0.78, 2.75, 2.35, 1.95}),
        // The cumulative panel's right axis label and the excess panel's left one face each
        // other across this gap; 0.24 left them touching.
        py::arg("width_ratios") = charts::floats({1.12, 1.12, 1.0}), py::arg("hspace") = 0.3,
        py::arg("wspace") = 0.3, py::arg("left") = 0.045, py::arg("right") = 0.955,
        py::arg("top") = 0.915, py::arg("bottom") = 0.045);
}

Axes make_axes(const py::object& fig, const py::object& grid, bool is_long) {
    auto add = [&](py::object where) { return fig.attr("add_subplot")(where); };
    Axes a;
    if (is_long) {
        a.cards = add(cell(grid, 0, all_columns()));
        a.cum = add(cell(grid, 1, all_columns()));
        a.excess = add(cell(grid, 2, all_columns()));
        a.year = add(cell(grid, 3, 0));
        a.rolling = add(cell(grid, 3, 1));
        a.drawdown = add(cell(grid, 4, all_columns()));
        a.table = add(cell(grid, 5, all_columns()));
        a.yearly_table = add(cell(grid, 6, all_columns()));
    } else {
        a.cards = add(cell(grid, 0, all_columns()));
        a.cum = add(cell(grid, 1, span(0, 1)));
        a.excess = add(cell(grid, 1, 2));
        a.year = add(cell(grid, 2, 0));
        a.rolling = add(cell(grid, 2, 1));
        a.drawdown = add(cell(grid, 2, 2));
        a.table = add(cell(grid, 3, 0));
        a.yearly_table = add(cell(grid, 3, span(1, 2)));
    }
    return a;
}

py::object stat(const py::dict& stats, const char* key) { return stats.attr("get")(key); }

void draw_cards(const py::object& ax, const py::dict& stats, const Layout& l) {
    // All texts are formatted before anything is drawn.
    py::object texts[std::size(CARDS)];
    for (std::size_t i = 0; i < std::size(CARDS); ++i)
        texts[i] = binding::global(CARDS[i].formatter)(stat(stats, CARDS[i].key));
    ax.attr("axis")("off");
    py::object transform = ax.attr("transAxes");
    for (std::size_t i = 0; i < std::size(CARDS); ++i) {
        const double x = (static_cast<double>(i) + 0.5) / static_cast<double>(std::size(CARDS));
        py::dict bbox;
        bbox["boxstyle"] = "round,pad=0.30";
        bbox["facecolor"] = "white";
        bbox["edgecolor"] = "#d6dbe6";
        bbox["linewidth"] = 1.0;
        ax.attr("text")(x, 0.58, texts[i], py::arg("transform") = transform,
                        py::arg("ha") = "center", py::arg("va") = "center",
                        py::arg("fontsize") = l.card_value_size, py::arg("fontweight") = "bold",
                        py::arg("color") = "#0f172a", py::arg("bbox") = bbox);
        ax.attr("text")(x, 0.16, CARDS[i].label, py::arg("transform") = transform,
                        py::arg("ha") = "center", py::arg("va") = "center",
                        py::arg("fontsize") = l.card_label_size, py::arg("color") = "#64748b");
    }
}

py::list summary_rows(const Args& args, const PerformanceSeries& s) {
    const py::dict stats = args["stats"];
    py::object index = s.plot_df.attr("index");
    auto day = [&](const char* which) { return index.attr(which)().attr("strftime")("%Y-%m-%d"); };
    py::object format_num = binding::global("_format_num");
    py::object format_pct = binding::global("_format_pct");
    py::object format_pct_points = binding::global("_format_pct_points");
    py::object annual_excess =
        py::len(s.yearly) > 0
            ? column(s.yearly, "extra_daily_return")
            : binding::pandas().attr("Series")(py::arg("dtype") = binding::float_type());

    py::list rows;
    auto add = [&](const char* metric, py::object value) {
        py::list row;
        row.append(metric);
        row.append(value);
        rows.append(row);
    };
    add("Date Range", day("min") + py::str(" ~ ") + day("max"));
    add("Trading Days", py::str(py::int_(py::len(s.plot_df))));
    add("Rolling Window", py::str(args["rolling_window"]));
    add("Benchmark", args["benchmark_name"]);
    add("Benchmark Ann.", format_pct_points(stat(stats, "benchmark_annual_return")));
    add("Benchmark Sharpe", format_num(stat(stats, "benchmark_sharp")));
    add("Return Corr.", format_num(stat(stats, "return_corr")));
    add("Avg Holding", format_num(stat(stats, "holding_count"), py::arg("digits") = 0));
    add("Turnover", format_pct(stat(stats, "turnover")));
    add("Excess Win Rate", format_pct(stat(stats, "excess_win_rate")));
    add("Annual Excess", binding::global("_format_annual_excess")(annual_excess));
    return rows;
}

// The "Annual Excess" value grows by one item a year and would run past the table's edge
// after a few years. When it does not fit on one line, the Metric column first gives up
// the room its labels do not use, then the items wrap onto as few lines as the Value column
// allows; that row grows by the extra lines and, if the table no longer fits its axes, the
// padding of every row shrinks (never the text) until it does.
void wrap_long_value(const py::object& ax, const py::object& table, long row) {
    py::object cell = table[py::make_tuple(row, 1)];
    py::object text = cell.attr("get_text")();
    const std::string full = text.attr("get_text")().cast<std::string>();
    const std::string separator = " | ";
    std::vector<std::string> items;
    for (std::size_t start = 0;;) {
        const std::size_t at = full.find(separator, start);
        items.push_back(full.substr(start, at - start));
        if (at == std::string::npos) break;
        start = at + separator.size();
    }
    if (items.size() < 2) return;
    py::object renderer = ax.attr("figure").attr("canvas").attr("get_renderer")();
    py::object axes_box = ax.attr("get_window_extent")(renderer);
    const double axes_width = axes_box.attr("width").cast<double>();
    const double axes_height = axes_box.attr("height").cast<double>();
    if (!(axes_width > 0 && axes_height > 0)) return;
    const double pad = cell.attr("PAD").cast<double>();
    auto extent = [&](const py::object& t, const char* side) {
        return t.attr("get_window_extent")(renderer).attr(side).cast<double>();
    };
    auto room = [&] {
        return cell.attr("get_width")().cast<double>() * axes_width * (1 - 2 * pad);
    };
    if (extent(text, "width") <= room()) return;

    double label_px = 0;
    for (long r = 0; r <= row; ++r)
        label_px =
            std::max(label_px, extent(table[py::make_tuple(r, 0)].attr("get_text")(), "width"));
    const double label_width = label_px / (axes_width * (1 - 2 * pad)) + 0.02;
    const double first_width = table[py::make_tuple(0, 0)].attr("get_width")().cast<double>();
    if (label_width < first_width) {
        const double value_width = table[py::make_tuple(0, 1)].attr("get_width")().cast<double>() +
                                   (first_width - label_width);
        for (long r = 0; r <= row; ++r) {
            table[py::make_tuple(r, 0)].attr("set_width")(label_width);
            table[py::make_tuple(r, 1)].attr("set_width")(value_width);
        }
    }

    auto layout = [&](std::size_t per_line) {
        std::string out;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i > 0) out += i % per_line == 0 ? std::string("\n") : separator;
            out += items[i];
        }
        return out;
    };
    std::size_t per_line = items.size();
    for (; per_line > 1; --per_line) {
        text.attr("set_text")(layout(per_line));
        if (extent(text, "width") <= room()) break;
    }
    text.attr("set_text")(items[0]);
    const double one_line = extent(text, "height") / axes_height;
    text.attr("set_text")(layout(per_line));
    const double wrapped = extent(text, "height") / axes_height;
    if (per_line == items.size()) return;

    // Every row is its text plus a padding; keep the padding the rows had if the table
    // still fits its axes (or the height it had, where the layout already lets it overflow).
    const double height = cell.attr("get_height")().cast<double>();
    const double rows = static_cast<double>(row + 1);
    const double target = std::max(1.0, rows * height);
    double padding = std::max(height - one_line, 0.0);
    padding = std::clamp((target - (rows - 1) * one_line - wrapped) / rows, 0.0, padding);
    for (long r = 0; r <= row; ++r)
        for (long col = 0; col < 2; ++col)
            table[py::make_tuple(r, col)].attr("set_height")((r == row ? wrapped : one_line) +
                                                             padding);
}

void draw_summary_table(const py::object& ax, const py::list& rows, const Layout& l) {
    ax.attr("axis")("off");
    const py::list labels = binding::texts({"Metric", "Value"});
    py::object table = ax.attr("table")(
        py::arg("cellText") = rows, py::arg("colLabels") = labels, py::arg("loc") = "center",
        py::arg("cellLoc") = "left", py::arg("colLoc") = "left",
        py::arg("colWidths") = charts::floats({l.table_col_widths[0], l.table_col_widths[1]}));
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(l.table_font_size);
    table.attr("scale")(1.0, l.table_row_scale);
    for (py::handle item : table.attr("get_celld")().attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        const long row = py::tuple(pair[0])[0].cast<long>();
        py::object c = pair[1];
        c.attr("set_edgecolor")("#e2e8f0");
        if (row == 0) {
            c.attr("set_text_props")(py::arg("weight") = "bold", py::arg("color") = "#0f172a");
            c.attr("set_facecolor")("#eef2ff");
        } else {
            c.attr("set_facecolor")(row % 2 ? "white" : "#f8fafc");
        }
    }
    wrap_long_value(ax, table, static_cast<long>(py::len(rows)));
}

}  // namespace

py::object plot_strategy_performance_unlocked(const Args& args) {
    const charts::Pyplot pp = charts::renderer_prologue();
    py::object plot_df = binding::global("_with_datetime_index")(args["total"]);
    if (py::bool_(plot_df.attr("empty"))) return py::none();

    const PerformanceSeries s = derive_series(plot_df);
    py::object yearly_metrics = binding::global("_calc_yearly_performance_metrics")(s.daily);
    const bool is_long = !args["image_kind"].equal(py::str("large"));
    const Layout& l = is_long ? LONG_LAYOUT : LARGE_LAYOUT;
    const py::dict stats = args["stats"];

    py::object fig = pp.plt.attr("figure")(py::arg("figsize") = py::make_tuple(l.width, l.height),
                                           py::arg("constrained_layout") = false);
    charts::with_figure(pp.plt, fig, [&] {
        const py::object grid = make_grid(fig, is_long, l);
        const Axes ax = make_axes(fig, grid, is_long);

        fig.attr("suptitle")(charts::figure_title(args, "Strategy Performance"),
                             py::arg("fontsize") = l.title_size, py::arg("fontweight") = "bold",
                             py::arg("color") = charts::TITLE_COLOR, py::arg("y") = l.title_y);
        draw_cards(ax.cards, stats, l);

        const charts::PanelContext ctx{s, args["benchmark_name"], pp.percent_formatter, is_long};
        charts::draw_cumulative_panel(ctx, ax.cum);
        charts::draw_excess_panel(ctx, ax.excess);
        charts::draw_yearly_panel(ctx, ax.year);
        charts::draw_rolling_panel(ctx, ax.rolling);
        charts::draw_drawdown_panel(ctx, ax.drawdown);

        draw_summary_table(ax.table, summary_rows(args, s), l);
        binding::global("_draw_yearly_metrics_table")(ax.yearly_table, yearly_metrics,
                                                      py::arg("compact") = !is_long);

        for (const py::object* panel : {&ax.cum, &ax.excess, &ax.year, &ax.rolling, &ax.drawdown})
            charts::style_panel(*panel);

        if (is_long)
            fig.attr("subplots_adjust")(py::arg("left") = 0.06, py::arg("right") = 0.94,
                                        py::arg("top") = 0.965, py::arg("bottom") = 0.035);
        fig.attr("savefig")(args["save_path"], py::arg("dpi") = l.dpi,
                            py::arg("facecolor") = fig.attr("get_facecolor")());
    });
    return py::none();
}

}  // namespace kestrelia::pelorin
