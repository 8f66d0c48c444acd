// Per-calendar-year return, Sharpe ratio, maximum drawdown and Calmar ratio of the
// strategy and of its excess over the benchmark. Everything is linear in the daily
// returns (sums and means), as the net values of the total frame are.
#include <array>
#include <cmath>
#include <string>

#include "pelorin.hpp"

namespace kestrelia::pelorin {

namespace {

// series.replace([inf, -inf], nan).dropna()
py::object finite_part(const py::object& series) {
    return binding::without_infinities(series).attr("dropna")();
}

// `a, b, c = triple`: exactly three items, as Python's unpacking demands.
std::array<py::object, 3> unpack3(const py::object& triple) {
    std::array<py::object, 3> out;
    std::size_t n = 0;
    for (py::handle item : triple) {
        if (n == 3) throw py::value_error("too many values to unpack (expected 3)");
        out[n++] = py::reinterpret_borrow<py::object>(item);
    }
    if (n < 3)
        throw py::value_error("not enough values to unpack (expected 3, got " + std::to_string(n) +
                              ")");
    return out;
}

}  // namespace

py::object period_return_drawdown_calmar(const Args& args) {
    const py::object daily = args["daily_return"];
    const py::object nan = binding::numpy().attr("nan");
    if (daily.is_none() || py::len(daily) == 0) return py::make_tuple(nan, nan, nan);

    py::object period_return = daily.attr("sum")();
    py::object annualized = daily.attr("mean")() * py::int_(TRADING_DAYS_PER_YEAR);
    py::object cumulative = daily.attr("cumsum")();
    // The running peak never counts below the starting level, so a period that opens
    // with losses draws down from where it started.
    py::object peak = cumulative.attr("cummax")().attr("clip")(py::arg("lower") = 0.0);
    py::object drawdown = cumulative - peak;
    py::object lowest = drawdown.attr("min")();
    PyObject* magnitude = PyNumber_Absolute(lowest.ptr());
    if (magnitude == nullptr) throw py::error_already_set();
    py::object max_drawdown = py::reinterpret_steal<py::object>(magnitude);

    py::object calmar = nan;
    const bool present = !py::bool_(binding::pandas().attr("isna")(max_drawdown));
    if (present && py::bool_(max_drawdown > py::float_(1e-12))) calmar = annualized / max_drawdown;
    return py::make_tuple(period_return, max_drawdown, calmar);
}

py::object calc_yearly_performance_metrics(const Args& args) {
    const py::object daily = args["daily"];
    py::object pd = binding::pandas();
    py::object period = binding::global("_period_return_drawdown_calmar");
    py::object safe_sharpe = binding::global("safe_sharpe");

    py::list rows;
    py::object groups = daily.attr("groupby")(daily.attr("index").attr("year"));
    for (py::handle group : groups) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(group);
        py::object year_daily = pair[1];
        py::object strategy_daily = finite_part(year_daily[py::str("daily_return")]);
        py::object excess_daily = finite_part(year_daily[py::str("extra_daily_return")]);
        if (py::len(strategy_daily) == 0 && py::len(excess_daily) == 0) continue;

        const auto strategy = unpack3(period(strategy_daily));
        const auto excess = unpack3(period(excess_daily));
        py::dict row;
        row["year"] = py::int_(pair[0]);
        row["strategy_return"] = strategy[0];
        row["strategy_sharpe"] = safe_sharpe(strategy_daily);
        row["strategy_max_dd"] = strategy[1];
        row["strategy_calmar"] = strategy[2];
        row["excess_return"] = excess[0];
        row["excess_sharpe"] = safe_sharpe(excess_daily);
        row["excess_max_dd"] = excess[1];
        row["excess_calmar"] = excess[2];
        rows.append(row);
    }
    if (rows.empty()) return pd.attr("DataFrame")();
    return pd.attr("DataFrame")(rows).attr("set_index")("year").attr("sort_index")();
}

}  // namespace kestrelia::pelorin
