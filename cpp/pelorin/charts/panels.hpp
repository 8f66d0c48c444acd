// The five chart panels of the performance figure. The renderer derives the series once
// and hands them to each panel; no panel recomputes what another one uses.
#pragma once

#include "charts.hpp"

namespace kestrelia::pelorin::charts {

// The series and frames the panels show, all on the datetime index of plot_df.
struct PerformanceSeries {
    py::object plot_df;             // the total frame with a datetime index
    py::object strategy_cum;        // long - 1
    py::object benchmark_cum;       // close_net_value - 1
    py::object excess_cum;          // extra_return
    py::object strategy_dd;         // max_drowdown
    py::object benchmark_dd;        // close_net_value - its running maximum
    py::object excess_dd;           // extra_max_drowdown
    py::object daily;               // daily_return, index_daily_return, extra_daily_return
    py::object yearly;              // per calendar year sums of `daily`
    py::object strategy_dd_values;  // strategy_dd.to_numpy(dtype=float), filled twice
};

// Everything a panel needs besides its axes.
struct PanelContext {
    const PerformanceSeries& s;
    py::object benchmark_name;
    py::object percent_formatter;
    bool is_long;
};

void draw_cumulative_panel(const PanelContext& ctx, const py::object& ax_cum);
void draw_excess_panel(const PanelContext& ctx, const py::object& ax_excess);
void draw_yearly_panel(const PanelContext& ctx, const py::object& ax_year);
void draw_rolling_panel(const PanelContext& ctx, const py::object& ax_rolling);
void draw_drawdown_panel(const PanelContext& ctx, const py::object& ax_drawdown);

}  // namespace kestrelia::pelorin::charts
