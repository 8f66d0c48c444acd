// kestrelia.backtest._pelorin: the module frame (imports, constants, chart lock, result
// record) and the one declarative table of its functions.
//
// The module's docstring below is the contract's text. The "factor-group backtest" it
// compares with is the host toolkit's own (a backtest of stock groups formed by a factor)
// and is not in this repository; kestrelia.backtest._core is the stand-in for the host's
// module of helpers that both backtests share, the three this module binds at import.
#include <pybind11/pybind11.h>

#include "kestrelia/binding/native_function.hpp"
#include "kestrelia/binding/pyutil.hpp"
#include "pelorin.hpp"

namespace py = pybind11;
using kestrelia::binding::arg;
using kestrelia::binding::FunctionSpec;

namespace kestrelia::pelorin {

namespace {

constexpr const char* module_doc =
    "Pure computation core of the strategy layer.\n"
    "\n"
    "Takes the user's target-weight matrix and computes a single-portfolio VWAP daily\n"
    "return with the same adjustment, rounding and fee semantics as the factor-group\n"
    "backtest of kestrelia.backtest._core, so that a single portfolio with uniform weights\n"
    "and a single factor group give returns that can be compared against each other and\n"
    "converge. Also derives the total frame, the statistics and the two PNG reports.";

constexpr const char* result_doc =
    "Result record of run_strategy_backtest_core.\n"
    "\n"
    "All fields are internal computation results and are not exposed to end users; the\n"
    "strategy-layer service of the host builds its own response object from this record.";

// The result record: a real dataclass whose annotations are the texts as written.
py::object make_result_class(py::module_& m) {
    py::dict annotations;
    annotations["strategy_name"] = "str";
    annotations["daily_return"] = "pd.Series";
    annotations["cumulative_return"] = "pd.Series";
    annotations["stats"] = "dict";
    annotations["benchmark_summary"] = "pd.DataFrame";
    annotations["plot_paths"] = "dict[str, str]";
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "_PelorinResult";
    ns["__doc__"] = result_doc;
    ns["__annotations__"] = annotations;
    py::module_ builtins = py::module_::import("builtins");
    py::object cls =
        builtins.attr("type")("_PelorinResult", py::make_tuple(builtins.attr("object")), ns);
    return m.attr("dataclass")(cls);
}

const std::string df = "pd.DataFrame";

std::vector<FunctionSpec> function_table() {
    const py::object none = py::none();
    std::vector<FunctionSpec> t;

    t.push_back(
        {.name = "_smooth_strategy_weights",
         .params = {arg("strategy_matrix", df), arg("rolling_window", "int")},
         .returns = df,
         .doc = "Replace each day's target weights by their trailing mean over the last\n"
                "rolling_window trading days (missing weights count as zero in the window).\n"
                "\n"
                "Windows of 0 and 1 mean no smoothing and return strategy_matrix itself. The\n"
                "first rolling_window - 1 dates are dropped, and a smoothed weight of exactly\n"
                "zero becomes NaN (no signal).",
         .impl = smooth_strategy_weights});

    t.push_back(
        {.name = "calc_strategy_vwap_daily_return",
         .params = {arg("signal_matrix", df), arg("can_buy_stock", df), arg("cant_sell_stock", df),
                    arg("split_factor", df), arg("dividend_factor", df), arg("close_price", df),
                    arg("prev_close", df), arg("buy_price", df), arg("sell_price", df),
                    arg("total_money", "float", py::float_(1e8)),
                    arg("fee", "float", py::float_(0.0001)),
                    arg("rule_fee", "float", py::float_(0.0005)),
                    arg("lot_size", "int", py::int_(200))},
         .returns = "pd.Series",
         .doc =
             "Daily return of one fixed-capital portfolio trading at VWAP prices.\n"
             "\n"
             "On each trading day T the portfolio trades towards the target implied by the\n"
             "weights of day T-1: weights become whole lots of lot_size shares at the previous\n"
             "close, buys and sells happen only where can_buy_stock / cant_sell_stock allow,\n"
             "the day is valued at buy, sell and close prices with commission (fee, both sides)\n"
             "and stamp duty (rule_fee, sells), split factors adjust the prices of shares held\n"
             "or sold and dividends are credited to them. The result is each day's profit and\n"
             "loss over total_money (no compounding), indexed by the trading days that follow a\n"
             "day with weights.",
         .impl = calc_strategy_vwap_daily_return});

    t.push_back({.name = "_build_total_backtesting_frame",
                 .params = {arg("total_backtesting", df)},
                 .returns = df,
                 .doc =
                     "Build the total frame from daily_return, index_daily_return and an optional\n"
                     "close column: rows with any NaN are dropped, then extra_daily_return, long,\n"
                     "close_net_value, max_drowdown, extra_return and extra_max_drowdown are\n"
                     "derived (net values are sums of daily returns, drawdowns are differences\n"
                     "from the running peak). The input is not modified.",
                 .impl = build_total_backtesting_frame});

    t.push_back({.name = "calc_strategy_stats",
                 .params = {arg("total_frame", df), arg("signal_df", df)},
                 .returns = "dict",
                 .doc = "The thirteen summary statistics of a total frame and its weight matrix.\n"
                        "\n"
                        "Annual returns are in percentage points (linear over n / 252 years);\n"
                        "drawdowns, win rates and turnover are ratios; holding_count is the mean\n"
                        "number of finite weights per day.",
                 .impl = calc_strategy_stats});

    t.push_back(
        {.name = "run_strategy_backtest_core",
         .params = {arg("strategy_matrix", df), arg("can_buy_stock", df),
                    arg("cant_sell_stock", df), arg("split_factor", df), arg("dividend_factor", df),
                    arg("close_price", df), arg("prev_close", df), arg("buy_price", df),
                    arg("sell_price", df),
                    arg("benchmark_dict", "dict[str, pd.Series] | None", none),
                    arg("benchmark_names", "str", py::str("000852")),
                    arg("rolling_window", "int", py::int_(0)),
                    arg("total_money", "float", py::float_(1e8)),
                    arg("fee", "float", py::float_(0.0001)),
                    arg("rule_fee", "float", py::float_(0.0005)),
                    arg("plot_image_kind", "str | None", py::str("large")),
                    arg("plot_save_path", "str | Path | None", none),
                    arg("strategy_name", "str", py::str("strategy")),
                    arg("plot_title", "str | None", none)},
         .returns = "_PelorinResult",
         .doc =
             "Run a whole backtest of a target-weight matrix.\n"
             "\n"
             "Restricts the weights to the dates and stocks of close_price, smooths them over\n"
             "rolling_window days, computes the VWAP daily return, joins it with the primary\n"
             "benchmark benchmark_names of benchmark_dict (a flat benchmark when absent), builds\n"
             "the total frame and the statistics, summarises the excess over every benchmark\n"
             "and, when both plot_image_kind and plot_save_path are given, draws the two PNG\n"
             "charts. Returns a _PelorinResult.",
         .impl = run_strategy_backtest_core});

    const std::string chart_lock_note =
        "\n\nThe caller must hold _MATPLOTLIB_PLOT_LOCK: pyplot's state is process-global.";
    const std::string str_path = "str | Path";

    t.push_back({.name = "_format_pct",
                 .params = {arg("value"), arg("digits", "int", py::int_(2))},
                 .returns = "str",
                 .doc = "A ratio as a percentage with `digits` decimals (0.05 gives '5.00%');\n"
                        "'--' for a missing value (None, NaN, pd.NA, NaT).",
                 .impl = format_pct});

    t.push_back({.name = "_format_pct_points",
                 .params = {arg("value"), arg("digits", "int", py::int_(2))},
                 .returns = "str",
                 .doc = "Percentage points with `digits` decimals followed by '%' (5.0 gives\n"
                        "'5.00%'); '--' for a missing value.",
                 .impl = format_pct_points});

    t.push_back({.name = "_format_num",
                 .params = {arg("value"), arg("digits", "int", py::int_(2))},
                 .returns = "str",
                 .doc = "A number in fixed-point notation with `digits` decimals (1.234 gives\n"
                        "'1.23'); '--' for a missing value.",
                 .impl = format_num});

    t.push_back({.name = "_format_annual_excess",
                 .params = {arg("annual_excess", "pd.Series")},
                 .returns = "str",
                 .doc =
                     "Per-year excess returns (ratios) as one line, 'year: pct' items joined by\n"
                     "' | ' in the series' order; missing years are left out, and '--' stands\n"
                     "for an empty, absent or all-missing series.",
                 .impl = format_annual_excess});

    t.push_back({.name = "_period_return_drawdown_calmar",
                 .params = {arg("daily_return", "pd.Series")},
                 .returns = "tuple[float, float, float]",
                 .doc =
                     "(period return, maximum drawdown, Calmar ratio) of one period's daily\n"
                     "returns: the simple sum, the deepest fall of the summed curve below its\n"
                     "running peak (never counted below the starting level), and the annualised\n"
                     "mean return over that drawdown (NaN when there is no drawdown). Three NaN\n"
                     "for None or an empty series.",
                 .impl = period_return_drawdown_calmar});

    t.push_back({.name = "_calc_yearly_performance_metrics",
                 .params = {arg("daily", df)},
                 .returns = df,
                 .doc = "Per calendar year the return, Sharpe ratio, maximum drawdown and Calmar\n"
                        "ratio of daily_return and of extra_daily_return (infinite days dropped),\n"
                        "indexed by year; an empty frame when no year has a finite return.",
                 .impl = calc_yearly_performance_metrics});

    t.push_back({.name = "_configure_strategy_plot_style",
                 .params = {arg("plt")},
                 .returns = "None",
                 .doc =
                     "Apply the charts' global style to pyplot: the whitegrid style sheet (when\n"
                     "available), the sans-serif font list, ASCII minus signs, bold axes titles\n"
                     "and the figure and axes face colours.",
                 .impl = configure_strategy_plot_style});

    t.push_back({.name = "_draw_yearly_metrics_table",
                 .params = {arg("ax"), arg("yearly_metrics", df),
                            arg("compact", "bool", py::bool_(false)).kw_only()},
                 .returns = "None",
                 .doc =
                     "Draw the yearly strategy (blue) and excess (red) metrics as a table on ax;\n"
                     "compact uses abbreviated headers and smaller type. An empty frame draws a\n"
                     "placeholder text instead.",
                 .impl = draw_yearly_metrics_table});

    t.push_back({.name = "_build_weekly_net_value_frame",
                 .params = {arg("total", df)},
                 .returns = df,
                 .doc =
                     "Sample long, close_net_value and extra_return of a total frame on\n"
                     "Friday-anchored week ends (each column's last finite value of the week) and\n"
                     "add extra_net_value = extra_return + 1.",
                 .impl = build_weekly_net_value_frame});

    t.push_back(
        {.name = "plot_strategy_performance",
         .params = {arg("total", df), arg("stats", "dict"),
                    arg("strategy_name", "str", py::str("strategy")),
                    arg("plot_title", "str | None", none),
                    arg("save_path", str_path, py::str("./strategy_backtest.png")),
                    arg("image_kind", "str", py::str("large")),
                    arg("benchmark_name", "str", py::str("000852")),
                    arg("rolling_window", "int", py::int_(0))},
         .returns = "dict[str, str]",
         .doc = "Draw the strategy performance figure of a total frame and its statistics to\n"
                "save_path (PNG) under _MATPLOTLIB_PLOT_LOCK and return {'main': str(save_path)}.\n"
                "\n"
                "image_kind 'large' gives the wide landscape page, any other value the tall one.\n"
                "An empty total frame draws and writes nothing.",
         .impl = plot_strategy_performance});

    t.push_back({.name = "_plot_strategy_performance_unlocked",
                 .params = {arg("total", df), arg("stats", "dict"), arg("strategy_name", "str"),
                            arg("plot_title", "str | None"), arg("save_path", str_path),
                            arg("image_kind", "str"), arg("benchmark_name", "str"),
                            arg("rolling_window", "int")},
                 .returns = "None",
                 .doc = "Render the strategy performance figure to save_path." + chart_lock_note,
                 .impl = plot_strategy_performance_unlocked});

    t.push_back(
        {.name = "plot_weekly_net_value",
         .params = {arg("total", df), arg("strategy_name", "str", py::str("strategy")),
                    arg("plot_title", "str | None", none),
                    arg("save_path", str_path, py::str("./strategy_weekly_net_value.png")),
                    arg("image_kind", "str", py::str("large")),
                    arg("benchmark_name", "str", py::str("000852"))},
         .returns = "dict[str, str]",
         .doc = "Draw the weekly net-value figure of a total frame to save_path (PNG) under\n"
                "_MATPLOTLIB_PLOT_LOCK and return {'weekly_net_value': str(save_path)}.\n"
                "\n"
                "image_kind 'large' gives the wide two-by-two layout, any other value the tall\n"
                "one-column layout. A total frame without weeks draws and writes nothing.",
         .impl = plot_weekly_net_value});

    t.push_back({.name = "_plot_weekly_net_value_unlocked",
                 .params = {arg("total", df), arg("strategy_name", "str"),
                            arg("plot_title", "str | None"), arg("save_path", str_path),
                            arg("image_kind", "str"), arg("benchmark_name", "str")},
                 .returns = "None",
                 .doc = "Render the weekly net-value figure to save_path." + chart_lock_note,
                 .impl = plot_weekly_net_value_unlocked});

    return t;
}

}  // namespace

}  // namespace kestrelia::pelorin

PYBIND11_MODULE(_pelorin, m) {
    using namespace kestrelia;
    m.doc() = pelorin::module_doc;
    binding::set_home_module(m);

    m.attr("contextlib") = py::module_::import("contextlib");
    m.attr("threading") = py::module_::import("threading");
    m.attr("dataclass") = py::module_::import("dataclasses").attr("dataclass");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("np") = binding::numpy();
    m.attr("pd") = binding::pandas();
    py::module_ core = py::module_::import("kestrelia.backtest._core");
    m.attr("_build_market_arrays") = core.attr("_build_market_arrays");
    m.attr("_with_datetime_index") = core.attr("_with_datetime_index");
    m.attr("safe_sharpe") = core.attr("safe_sharpe");
    m.attr("_MATPLOTLIB_PLOT_LOCK") = m.attr("threading").attr("RLock")();

    m.attr("TRADING_DAYS_PER_YEAR") = py::int_(pelorin::TRADING_DAYS_PER_YEAR);
    m.attr("ROLLING_STABILITY_DAYS") = py::int_(pelorin::ROLLING_STABILITY_DAYS);
    m.attr("MIN_ROLLING_STABILITY_DAYS") = py::int_(pelorin::MIN_ROLLING_STABILITY_DAYS);

    // dataclasses resolves string annotations through sys.modules[cls.__module__].
    py::dict modules = py::module_::import("sys").attr("modules");
    py::object name = m.attr("__name__");
    if (!modules.contains(name)) modules[name] = m;
    m.attr("_PelorinResult") = pelorin::make_result_class(m);

    binding::define(m, pelorin::function_table());
}
