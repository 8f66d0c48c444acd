// kestrelia.backtest._engine: the module frame of the public layer's entry points (see
// engine.hpp). Bound with pybind11's own argument handling and exception translation: the
// generic binder and its by-name look-ups serve the host's contract in _pelorin, not this
// module.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "../pelorin/pelorin.hpp"
#include "engine.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_engine, m) {
    using kestrelia::engine::Options;
    m.doc() = "The public kestrelia.backtest layer's way into the backtest engine.";

    py::class_<Options>(m, "Options", "The options of one backtest.")
        .def(py::init([](double capital, double fee, double rule_fee, double lot_size,
                         std::string benchmark, bool record, double min_commission, bool compound) {
                 return Options{
                     capital,        fee,     rule_fee, lot_size, std::move(benchmark), record,
                     min_commission, compound};
             }),
             py::kw_only(), py::arg("capital") = 1e8, py::arg("fee") = 0.0001,
             py::arg("rule_fee") = 0.0005, py::arg("lot_size") = 200.0,
             py::arg("benchmark") = "000852", py::arg("record") = false,
             py::arg("min_commission") = 0.0, py::arg("compound") = false)
        .def_readonly("capital", &Options::capital)
        .def_readonly("fee", &Options::fee)
        .def_readonly("rule_fee", &Options::rule_fee)
        .def_readonly("lot_size", &Options::lot_size)
        .def_readonly("benchmark", &Options::benchmark)
        .def_readonly("record", &Options::record)
        .def_readonly("min_commission", &Options::min_commission)
        .def_readonly("compound", &Options::compound);

    m.def("run", &kestrelia::engine::run, py::arg("plan"), py::arg("market"), py::arg("benchmarks"),
          py::arg("options"), py::arg("rates") = py::dict(),
          "The backtest of a plan (kestrelia.backtest._plan.Plan) in a market given as its "
          "eight arrays in the engine's order, with the benchmarks' daily returns by name: a "
          "dict of daily_return, total, stats, benchmark_summary, execution (the record, or "
          "None), and traded and held (money bought and sold, and stocks held, on each "
          "simulated day; None when recorded: the record has them).");
    m.def("scan_weights", &kestrelia::engine::scan_weights, py::arg("values"),
          py::arg("cols") = py::none(),
          "(rows with a value, columns with a value) of a 2-D float array over the columns "
          "at the positions `cols` (None: all), each value read at most once.");
    m.def("gather", &kestrelia::engine::gather, py::arg("values"), py::arg("rows"), py::arg("cols"),
          "values[rows][:, cols] of a 2-D float64 or bool array (None: every row or column) as "
          "a new array in the source's layout, copied in one pass without the GIL.");
    m.def("first_bad_value", &kestrelia::engine::first_bad_value, py::arg("values"),
          py::arg("rule"),
          "The first cell (row, column) of a 2-D float array that breaks the rule "
          "('positive' or 'non_negative'; NaN passes both), or None.");
    m.def(
        "smooth",
        [](const py::object& frame, long long window) {
            return kestrelia::pelorin::smooth(frame, window);
        },
        py::arg("frame"), py::arg("window"),
        "The engine's trailing-window smoothing of a weight matrix.");
}
