// The statistics dict of one run. Series-level figures go through pandas (their
// semantics define the result); the whole-matrix holding and turnover reductions are
// native.
#include <pybind11/numpy.h>

#include <cmath>
#include <vector>

#include "kestrelia/kernels/scan.hpp"
#include "pelorin.hpp"

namespace kestrelia::pelorin {

namespace {

py::object empty_stats() {
    // This order differs from the computed dict's in the middle, as callers have seen it.
    py::dict stats;
    for (const char* key :
         {"annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp",
          "extra_max_dd", "benchmark_annual_return", "benchmark_sharp", "return_corr", "win_rate",
          "excess_win_rate", "holding_count", "turnover"})
        stats[key] = binding::numpy().attr("nan");
    return stats;
}

// total[col].replace([inf, -inf], nan).dropna()
py::object finite_returns(const py::object& total, const char* column) {
    return binding::without_infinities(total[py::str(column)]).attr("dropna")();
}

py::object last(const py::object& total, const char* column) {
    return total[py::str(column)].attr("iloc")[py::int_(-1)];
}

// daily_return.corr(index_daily_return). Fewer than two pairs, or a series without
// spread, have no correlation (NaN). Older pandas computes it with np.corrcoef, which also
// warns in both cases: min_periods=2 answers the first without calling it (NaN, as pandas
// gives anyway), and the floating-point warnings are silenced around the call.
py::object return_corr(const py::object& total) {
    py::object state = binding::numpy().attr("errstate")(py::arg("divide") = "ignore",
                                                         py::arg("invalid") = "ignore");
    state.attr("__enter__")();
    py::object corr;
    try {
        corr = total["daily_return"].attr("corr")(total["index_daily_return"],
                                                  py::arg("min_periods") = 2);
    } catch (...) {
        state.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    state.attr("__exit__")(py::none(), py::none(), py::none());
    return corr;
}

py::object share_positive(const py::object& series) {
    if (py::len(series) == 0) return binding::numpy().attr("nan");
    return py::float_(series.attr("__gt__")(0).attr("mean")().cast<double>());
}

}  // namespace

// holding_count = mean over days of the number of finite weights;
// turnover = half the mean over consecutive days of the summed absolute weight changes
// (NaN counting as 0). With `rows`, the matrix is the one whose row k is view's row
// rows[k] (n_rows of them).
Holdings holdings_of(const kernels::F64View& view, const std::int64_t* rows, std::ptrdiff_t n_rows,
                     double limit) {
    py::object nan = binding::numpy().attr("nan");
    if (rows == nullptr) n_rows = view.rows;
    if (n_rows == 0) return {nan, nan};
    kernels::CellCounts cells;
    const auto pairs = std::max<std::ptrdiff_t>(n_rows - 1, 0);
    py::array_t<double> row_sums(static_cast<py::ssize_t>(pairs));
    double* sums = row_sums.mutable_data();
    {
        py::gil_scoped_release nogil;  // reads the weights, writes row_sums only
        cells = rows == nullptr
                    ? kernels::holdings_and_turnover(sums, view, limit)
                    : kernels::holdings_and_turnover_rows(sums, view, rows, n_rows, limit);
    }
    // The per-row finite counts are whole numbers, so their float mean is exact in any
    // summation order.
    Holdings h;
    h.beyond_limit = cells.beyond;
    if (h.beyond_limit > 0 && std::isfinite(limit)) return h;
    h.holding_count = py::float_(static_cast<double>(cells.finite) / static_cast<double>(n_rows));
    if (n_rows > 1)
        h.turnover = py::float_(row_sums.attr("mean")().cast<double>() / 2.0);
    else
        h.turnover = nan;
    return h;
}

namespace {

Holdings holdings(const py::object& signal_df) {
    if (signal_df.is_none() || py::len(signal_df) == 0) {
        py::object nan = binding::numpy().attr("nan");
        return {nan, nan};
    }
    binding::F64Matrix values = binding::frame_f64(signal_df);
    return holdings_of(values.view());
}

}  // namespace

py::object calc_strategy_stats(const Args& args) {
    py::object total = args["total_frame"].attr("copy")().attr("dropna")();
    if (py::len(total) == 0) return empty_stats();
    return strategy_stats(total, holdings(args["signal_df"]), binding::global("safe_sharpe"));
}

py::object strategy_stats(const py::object& total_frame, const Holdings& h,
                          const py::object& safe_sharpe) {
    py::object total = total_frame.attr("copy")().attr("dropna")();
    const auto n = py::len(total);
    if (n == 0) return empty_stats();

    auto sharpe = [&](const py::object& series) {
        return safe_sharpe(series, py::arg("periods") = TRADING_DAYS_PER_YEAR);
    };
    py::object daily_return = finite_returns(total, "daily_return");
    py::object benchmark_daily_return = finite_returns(total, "index_daily_return");
    py::object extra_daily_return = finite_returns(total, "extra_daily_return");
    py::float_ trading_years(static_cast<double>(n) / static_cast<double>(TRADING_DAYS_PER_YEAR));
    py::object benchmark_total_return = last(total, "close_net_value") - py::int_(1);

    py::object hundred = py::int_(100);
    py::object builtin_abs = py::module_::import("builtins").attr("abs");
    py::dict stats;
    stats["annual_return"] = (last(total, "long") - py::int_(1)) / trading_years * hundred;
    stats["long_sharp"] = sharpe(daily_return);
    stats["max_dd"] = builtin_abs(total["max_drowdown"].attr("min")());
    stats["benchmark_annual_return"] = benchmark_total_return / trading_years * hundred;
    stats["benchmark_sharp"] = sharpe(benchmark_daily_return);
    stats["extra_annual_return"] = last(total, "extra_return") / trading_years * hundred;
    stats["extra_sharp"] = sharpe(extra_daily_return);
    stats["extra_max_dd"] = builtin_abs(total["extra_max_drowdown"].attr("min")());
    stats["return_corr"] = return_corr(total);
    stats["win_rate"] = share_positive(daily_return);
    stats["excess_win_rate"] = share_positive(extra_daily_return);
    stats["holding_count"] = h.holding_count;
    stats["turnover"] = h.turnover;
    return stats;
}

}  // namespace kestrelia::pelorin
