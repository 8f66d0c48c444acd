// kestrelia.backtest._engine: the public layer's own way into the backtest. The Python
// layer (kestrelia.backtest.run and _plan) checks and reads the weights once and works out
// which market days and stocks the simulation walks; this module runs the simulation on
// the caller's arrays through index maps (nothing is gathered) and then the same C++ steps
// as the host's pipeline, called directly: the benchmark join, the total frame, the
// statistics and the excess over every benchmark.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

namespace kestrelia::engine {

namespace py = pybind11;

// The options of one backtest, filled once by the Python layer.
struct Options {
    double capital = 1e8;
    double fee = 0.0001;       // commission on both sides, when no rates by day are given
    double rule_fee = 0.0005;  // stamp duty on sells, likewise
    double lot_size = 200.0;
    std::string benchmark = "000852";
    bool record = false;
    double min_commission = 0.0;  // the least commission an order pays
    bool compound = false;        // size each day from the equity at the previous close
};

// run.cpp: the backtest of a plan (see kestrelia.backtest._plan.Plan) in a market given as
// its eight arrays in the engine's order (can_buy_stock, cant_sell_stock, split_factor,
// dividend_factor, close_price, prev_close, buy_price, sell_price), with the benchmarks'
// daily-return series by name. Returns a dict of daily_return, total (the total frame),
// stats, benchmark_summary, execution (the record, or None), and traded and held (money
// bought and sold, and stocks held, on each simulated day; None with a record, which has
// them in its day table).
// `rates` may give rates by day (arrays of one value per simulated day): "commission",
// "stamp_sell", "stamp_buy" and "transfer". The dict also holds cash and money: each day's
// profit and the money its targets were sized from.
py::dict run(const py::object& plan, const py::sequence& market, const py::dict& benchmarks,
             const Options& options, const py::dict& rates);

// checks.cpp: which rows and columns of a weight matrix hold a value, and the value rules
// of the market's numbers.
py::tuple scan_weights(const py::array& values, const py::object& cols);
// values[rows][:, cols] (None: all of them) as a new array in the source's layout.
py::array gather(const py::array& values, const py::object& rows, const py::object& cols);
py::object first_bad_value(const py::array& values, const std::string& rule);

}  // namespace kestrelia::engine
