// The total frame: one row per trading day with every derived curve (excess return, net
// values, drawdowns, cumulative excess). Net values are sums of daily returns, never
// compounded, matching the fixed-capital returns of the simulation.
#include <pybind11/numpy.h>

#include <vector>

#include "kestrelia/kernels/accumulate.hpp"
#include "pelorin.hpp"

namespace kestrelia::pelorin {

namespace {

using Column = std::vector<double>;

Column column_values(const py::object& frame, const char* name) {
    py::object values = frame[py::str(name)].attr("to_numpy")(py::arg("dtype") = "float64",
                                                              py::arg("copy") = false);
    auto arr = py::array_t<double, py::array::forcecast>::ensure(values);
    if (!arr) throw py::error_already_set();
    Column out(static_cast<std::size_t>(arr.size()));
    for (py::ssize_t i = 0; i < arr.size(); ++i) out[static_cast<std::size_t>(i)] = arr.at(i);
    return out;
}

Column cumsum(const Column& in) {
    Column out(in.size());
    kernels::cumsum_skipna(out.data(), in.data(), in.size());
    return out;
}

Column expanding_max(const Column& in) {
    Column out(in.size());
    kernels::expanding_max(out.data(), in.data(), in.size());
    return out;
}

// cumsum(x) + 1, the integer 1 of the formula.
Column plus_one(Column c) {
    for (double& v : c) v = v + 1;
    return c;
}

// x - expanding_max(x): the drawdown from the running peak, a difference.
Column drawdown(const Column& x) {
    Column peak = expanding_max(x);
    for (std::size_t i = 0; i < x.size(); ++i) peak[i] = x[i] - peak[i];
    return peak;
}

void set_column(py::object& frame, const char* name, const Column& values) {
    py::array_t<double> arr(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), arr.mutable_data());
    frame.attr("__setitem__")(py::str(name), arr);
}

}  // namespace

py::object build_total_backtesting_frame(const Args& args) {
    return total_frame(args["total_backtesting"]);
}

py::object total_frame(const py::object& total_backtesting) {
    py::object total = total_backtesting.attr("copy")().attr("dropna")();
    if (py::bool_(total.attr("empty"))) return total;

    const Column daily = column_values(total, "daily_return");
    const Column index = column_values(total, "index_daily_return");
    const std::size_t n = daily.size();

    Column excess(n);
    for (std::size_t i = 0; i < n; ++i) excess[i] = daily[i] - index[i];
    set_column(total, "extra_daily_return", excess);

    Column nav = plus_one(cumsum(daily));
    Column strategy_net(n);
    for (std::size_t i = 0; i < n; ++i) strategy_net[i] = nav[i] / nav[0];
    set_column(total, "long", strategy_net);

    bool has_close = py::bool_(total.attr("columns").attr("__contains__")("close"));
    Column benchmark_net(n);
    if (has_close && py::len(total["close"]) > 0) {
        py::object first_close = total["close"].attr("iloc")[py::int_(0)];
        const bool usable = py::bool_(binding::pandas().attr("notna")(first_close)) &&
                            py::bool_(first_close.attr("__ne__")(0));
        if (usable) {
            const Column close = column_values(total, "close");
            const double first = close[0];
            for (std::size_t i = 0; i < n; ++i) benchmark_net[i] = close[i] / first;
        } else {
            // Without a usable first level the benchmark curve is its own summed returns,
            // not normalised to the first day.
            benchmark_net = plus_one(cumsum(index));
        }
    } else {
        const Column proxy = plus_one(cumsum(index));
        set_column(total, "close", proxy);
        for (std::size_t i = 0; i < n; ++i) benchmark_net[i] = proxy[i] / proxy[0];
    }
    set_column(total, "close_net_value", benchmark_net);

    set_column(total, "max_drowdown", drawdown(strategy_net));

    Column extra_return = cumsum(excess);
    const double first_excess = extra_return[0];
    for (double& v : extra_return) v = v - first_excess;
    set_column(total, "extra_return", extra_return);

    set_column(total, "extra_max_drowdown", drawdown(plus_one(extra_return)));
    return total;
}

}  // namespace kestrelia::pelorin
