// Shared pieces of the two chart renderers: the prologue every rendering runs first, the
// figure guard that closes a figure on every path, and the small drawing conventions
// (zero line, percent axis, panel grid) both figures use.
#pragma once

#include <initializer_list>

#include "../pelorin.hpp"

namespace kestrelia::pelorin::charts {

// What a rendering needs after its prologue.
struct Pyplot {
    py::object plt;                // matplotlib.pyplot
    py::object percent_formatter;  // matplotlib.ticker.PercentFormatter
};

// Selects the Agg backend (on every rendering, whatever the host had), imports pyplot and
// PercentFormatter, and applies _configure_strategy_plot_style through the module
// namespace. Runs while the caller holds _MATPLOTLIB_PLOT_LOCK.
Pyplot renderer_prologue();

// Draws on `fig` and closes it afterwards. When drawing (or saving) fails, the figure is
// still closed and the original exception propagates: pyplot keeps every open figure in
// a process-global list, so a figure left open would outlive the call and leak into the
// next one.
template <class Draw>
void with_figure(const py::object& plt, const py::object& fig, Draw&& draw) {
    try {
        draw();
    } catch (...) {
        try {
            plt.attr("close")(fig);
        } catch (py::error_already_set&) {
            // The drawing error is the one the caller needs to see.
        }
        throw;
    }
    plt.attr("close")(fig);
}

// `plot_title` if it is truthy, else `strategy_name`, followed by the benchmark and the
// figure's kind: "<title> | Benchmark <name> | <kind>".
py::str figure_title(const Args& args, const char* kind);

// A Python list of floats.
py::list floats(std::initializer_list<double> values);

// ax.axhline(0, color="#94a3b8", linewidth=0.8)
void zero_line(const py::object& ax);

// ax.yaxis.set_major_formatter(PercentFormatter(1.0)): ratios shown as percent.
void percent_axis(const py::object& ax, const py::object& percent_formatter);

// The grid and the hidden top and right spines of a main panel.
void style_panel(const py::object& ax);

// Date ticks of a time axis: whole days or coarser for histories of three days or more,
// with short labels (the year once, in the offset) so that the narrow panels of the wide
// layout do not print overlapping full dates. Shared x axes share this ticker.
void date_axis(const py::object& ax);

// Gives every line of `lines` (what Axes.plot returns) that has a single finite point a
// round marker: a line through one point draws nothing, so a one-week history or a single
// full rolling window would otherwise leave an empty panel.
void mark_lone_points(const py::object& lines);

// When every date of `index` is the same day, shows a week either side of it instead of
// the span of years the date locator picks for a single value.
void frame_single_date(const py::object& ax, const py::object& index);

// Colours and settings the renderers share.
inline constexpr const char* STRATEGY_COLOR = "#2563eb";
inline constexpr const char* BENCHMARK_COLOR = "#111827";
inline constexpr const char* EXCESS_COLOR = "#ef4444";
inline constexpr const char* STRATEGY_DD_FILL = "#bfdbfe";
inline constexpr const char* TITLE_COLOR = "#111827";
inline constexpr double LEGEND_FRAME_ALPHA = 0.92;

}  // namespace kestrelia::pelorin::charts
