// kestrelia.backtest._engine: the private entry point of the public Python layer. It runs
// the same pipeline body as _pelorin.run_strategy_backtest_core, with the module functions
// looked up in _pelorin's namespace, and hands back everything the pipeline produced (the
// total frame and the weight matrix included) instead of the host's result record.
#include <pybind11/pybind11.h>

#include "../pelorin/pelorin.hpp"
#include "kestrelia/binding/native_function.hpp"
#include "kestrelia/binding/pyutil.hpp"

namespace py = pybind11;
using kestrelia::binding::arg;
using kestrelia::binding::FunctionSpec;

namespace kestrelia::engine {

namespace {

py::object run_backtest(const binding::Args& args) {
    const pelorin::PipelineOutput out =
        pelorin::run_pipeline(args, args["lot_size"], args.flag("execution"));
    py::dict result;
    result["strategy_name"] = out.strategy_name;
    result["daily_return"] = out.daily_return;
    result["cumulative_return"] = out.cumulative_return;
    result["stats"] = out.stats;
    result["benchmark_summary"] = out.benchmark_summary;
    result["plot_paths"] = out.plot_paths;
    result["total"] = out.total;
    result["work"] = out.work;
    result["execution"] = out.execution;
    return result;
}

std::vector<FunctionSpec> function_table() {
    const py::object none = py::none();
    const std::string df = "pd.DataFrame";
    std::vector<FunctionSpec> t;
    t.push_back(
        {.name = "run_backtest",
         .params = {arg("strategy_matrix", df),
                    arg("can_buy_stock", df),
                    arg("cant_sell_stock", df),
                    arg("split_factor", df),
                    arg("dividend_factor", df),
                    arg("close_price", df),
                    arg("prev_close", df),
                    arg("buy_price", df),
                    arg("sell_price", df),
                    arg("benchmark_dict", "dict[str, pd.Series] | None", none),
                    arg("benchmark_names", "str", py::str("000852")),
                    arg("rolling_window", "int", py::int_(0)),
                    arg("total_money", "float", py::float_(1e8)),
                    arg("fee", "float", py::float_(0.0001)),
                    arg("rule_fee", "float", py::float_(0.0005)),
                    arg("lot_size", "int", py::int_(200)),
                    arg("strategy_name", "str", py::str("strategy")),
                    arg("plot_image_kind", "str | None", none).kw_only(),
                    arg("plot_save_path", "str | Path | None", none).kw_only(),
                    arg("plot_title", "str | None", none).kw_only(),
                    arg("execution", "bool", py::bool_(false)).kw_only()},
         .returns = "dict",
         .doc = "Run the backtest pipeline with a chosen lot size and return a dict of\n"
                "strategy_name, daily_return, cumulative_return, stats, benchmark_summary,\n"
                "plot_paths, total (the total frame), work (the restricted, smoothed weights) and\n"
                "execution (with execution=True, what the simulation traded, else None).\n"
                "Charts are drawn only when both plot_image_kind and plot_save_path are given.",
         .impl = run_backtest});
    return t;
}

}  // namespace

}  // namespace kestrelia::engine

PYBIND11_MODULE(_engine, m) {
    using namespace kestrelia;
    m.doc() = "Private backtest entry point of the public kestrelia.backtest layer.";
    // The pipeline calls the module functions by name: resolve them in _pelorin, so both
    // entry points run exactly the same steps.
    binding::set_home_module(py::module_::import("kestrelia.backtest._pelorin"));
    binding::define(m, engine::function_table());
}
