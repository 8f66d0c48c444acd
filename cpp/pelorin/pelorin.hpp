// Implementations of the _pelorin module functions, one concern per source file. The
// declarations (parameters, annotations, defaults, docstrings) live in module.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <limits>

#include "kestrelia/binding/pyutil.hpp"
#include "kestrelia/binding/signature.hpp"
#include "kestrelia/kernels/vwap.hpp"

namespace kestrelia::pelorin {

namespace py = pybind11;
using binding::Args;

inline constexpr long TRADING_DAYS_PER_YEAR = 252;
inline constexpr long ROLLING_STABILITY_DAYS = 60;
inline constexpr long MIN_ROLLING_STABILITY_DAYS = 5;

// smoothing.cpp
py::object smooth_strategy_weights(const Args& args);
// The smoothed weights of a matrix (the matrix itself when window <= 1).
py::object smooth(const py::object& matrix, long long window);

// vwap.cpp
py::object calc_strategy_vwap_daily_return(const Args& args);
// The inputs of one simulation: the weights (whose previous row sets each day's target),
// the eight market matrices, and the money parameters.
struct VwapCall {
    py::object signal_matrix, can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
        close_price, prev_close, buy_price, sell_price;
    kernels::VwapParams params;
    py::object last_day = py::none();  // recorded stock totals stop at this date
};
struct VwapOutcome {
    py::object daily_return;
    py::object record = py::none();  // a dict of arrays when recorded
};
VwapCall vwap_call(const Args& args, const char* signal_name);
// A recorded simulation's record as a dict of NumPy arrays: the long tables with their
// counts per day, the per-day and per-stock tables, the share events of `split` (the
// simulated days' split factors), and the labels (day i is dates[i], stock j codes[j]).
py::dict record_dict(kernels::ExecutionRecord&& record, const kernels::F64View& split,
                     const py::object& dates, const py::object& codes);
// The simulation of calc_strategy_vwap_daily_return; with `record`, the same returns and
// what traded.
VwapOutcome vwap_simulation(const VwapCall& call, bool record);

// total_frame.cpp
py::object build_total_backtesting_frame(const Args& args);
// The total frame of `total_backtesting` (daily_return, index_daily_return, close).
py::object total_frame(const py::object& total_backtesting);

// stats.cpp
py::object calc_strategy_stats(const Args& args);
// The holding count and turnover of a target-weight matrix; with `rows`, of the matrix
// whose row k is the view's row rows[k] (n_rows of them). With a finite `limit`, a matrix
// that holds a weight of that magnitude or more (or an infinite one) gets only its count of
// them.
struct Holdings {
    py::object holding_count;
    py::object turnover;
    std::int64_t beyond_limit = 0;  // weights of magnitude `limit` or more
};
Holdings holdings_of(const kernels::F64View& view, const std::int64_t* rows = nullptr,
                     std::ptrdiff_t n_rows = 0,
                     double limit = std::numeric_limits<double>::infinity());
// The statistics dict of a total frame, with the holdings already reduced.
py::object strategy_stats(const py::object& total_frame, const Holdings& holdings,
                          const py::object& safe_sharpe);

// pipeline.cpp
// The steps of the pipeline after the simulation: the daily returns (frame `df`, one
// column daily_return) joined with the primary benchmark's series, or with a flat one; and
// the excess over every benchmark of the dict.
py::object join_primary_benchmark(const py::object& df, const py::object& bm_series);
py::object flat_benchmark(const py::object& df);
py::object benchmark_summary(const py::object& benchmark_dict, const py::object& total,
                             const py::object& safe_sharpe);
// Everything one backtest produces: the result record's fields, the total frame and the
// restricted, smoothed weight matrix the statistics were computed from.
struct PipelineOutput {
    py::object strategy_name;
    py::object daily_return;
    py::object cumulative_return;
    py::object stats;
    py::object benchmark_summary;
    py::dict plot_paths;
    py::object total;
    py::object work;
    py::object execution = py::none();  // the simulation's record, when asked for
};
// The pipeline body. `args` carry the parameters of run_strategy_backtest_core; the lot
// size is passed to the VWAP simulation as given; None keeps the simulation's default.
// With `record`, the simulation also records what traded (PipelineOutput::execution).
PipelineOutput run_pipeline(const Args& args, const py::object& lot_size, bool record);
py::object run_strategy_backtest_core(const Args& args);

// formatting.cpp
py::object format_pct(const Args& args);
py::object format_pct_points(const Args& args);
py::object format_num(const Args& args);
py::object format_annual_excess(const Args& args);

// yearly.cpp
py::object period_return_drawdown_calmar(const Args& args);
py::object calc_yearly_performance_metrics(const Args& args);

// weekly.cpp
py::object build_weekly_net_value_frame(const Args& args);

// charts/style.cpp
py::object configure_strategy_plot_style(const Args& args);

// charts/yearly_table.cpp
py::object draw_yearly_metrics_table(const Args& args);

// charts/performance.cpp
py::object plot_strategy_performance_unlocked(const Args& args);

// charts/weekly_chart.cpp
py::object plot_weekly_net_value_unlocked(const Args& args);

// charts/entry.cpp
py::object plot_strategy_performance(const Args& args);
py::object plot_weekly_net_value(const Args& args);
// The pipeline's chart step: with both plot_image_kind and plot_save_path given, draws
// both charts through the locked entry points and returns {"main", "weekly_net_value"}
// paths; otherwise an empty dict and nothing is drawn. `args` are the pipeline's.
py::dict run_chart_step(const Args& args, const py::object& total, const py::object& stats);

using binding::call_global;

}  // namespace kestrelia::pelorin
