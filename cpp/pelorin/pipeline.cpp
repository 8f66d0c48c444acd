// The whole backtest: restriction to priced dates and stocks, smoothing, the VWAP daily
// return, the benchmark join, the total frame, the statistics and the per-benchmark
// excess summary. Every step is called through the module namespace.
#include <pybind11/numpy.h>

#include <cmath>
#include <vector>

#include "kestrelia/kernels/scan.hpp"
#include "pelorin.hpp"

namespace kestrelia::pelorin {

namespace {

py::array_t<bool> as_bool_array(const std::vector<std::uint8_t>& flags) {
    py::array_t<bool> out(static_cast<py::ssize_t>(flags.size()));
    bool* dst = out.mutable_data();
    for (std::size_t i = 0; i < flags.size(); ++i) dst[i] = flags[i] != 0;
    return out;
}

// `subset` selects exactly the labels of `labels`, in order: selecting it with .loc would
// rebuild an equal frame, so the copy can be skipped.
bool selects_everything(const py::object& subset, const py::object& labels) {
    return py::bool_(labels.attr("is_unique")) && py::bool_(subset.attr("equals")(labels)) &&
           subset.attr("dtype").equal(labels.attr("dtype")) &&
           subset.attr("name").equal(labels.attr("name"));
}

// work = strategy.loc[strategy.index ∩ close.index]; then the stocks that also have a
// close price, without stocks that never carry a weight.
py::object restrict_to_priced(const py::object& strategy, const py::object& close_price) {
    py::object work = strategy;
    py::object dates = strategy.attr("index").attr("intersection")(close_price.attr("index"));
    if (!selects_everything(dates, strategy.attr("index"))) work = work.attr("loc")[dates];

    py::object columns = work.attr("columns");
    py::object common = columns.attr("intersection")(close_price.attr("columns"));
    if (!selects_everything(common, columns))
        work =
            work.attr("loc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), common)];

    if (!binding::all_float64(work))
        return work.attr("dropna")(py::arg("axis") = 1, py::arg("how") = "all");
    binding::F64Matrix values = binding::frame_f64(work);
    std::vector<std::uint8_t> weighted(static_cast<std::size_t>(values.cols));
    {
        const auto view = values.view();
        py::gil_scoped_release nogil;  // reads the weights only
        kernels::columns_with_value(weighted.data(), view);
    }
    for (auto w : weighted)
        if (!w) return work.attr("dropna")(py::arg("axis") = 1, py::arg("how") = "all");
    return work;
}

// What the pipeline needs of work.dropna(how="all"): whether any date carries a weight,
// and the last such date.
struct SignalDates {
    bool empty = true;
    py::object last;
};

SignalDates signal_dates(const py::object& work) {
    SignalDates out;
    if (!binding::all_float64(work)) {
        py::object valid = work.attr("dropna")(py::arg("how") = "all");
        out.empty = py::bool_(valid.attr("empty"));
        if (!out.empty) out.last = valid.attr("index").attr("max")();
        return out;
    }
    binding::F64Matrix values = binding::frame_f64(work);
    std::vector<std::uint8_t> has_value(static_cast<std::size_t>(values.rows));
    {
        const auto view = values.view();
        py::gil_scoped_release nogil;  // reads the weights only
        kernels::rows_with_value(has_value.data(), view);
    }
    for (auto v : has_value)
        if (v) out.empty = false;
    if (!out.empty)
        out.last = work.attr("index").attr("__getitem__")(as_bool_array(has_value)).attr("max")();
    return out;
}

py::object make_result(const py::object& strategy_name, const py::object& daily_return,
                       const py::object& cumulative_return, const py::object& stats,
                       const py::object& benchmark_summary, const py::object& plot_paths) {
    return binding::global("_PelorinResult")(
        py::arg("strategy_name") = strategy_name, py::arg("daily_return") = daily_return,
        py::arg("cumulative_return") = cumulative_return, py::arg("stats") = stats,
        py::arg("benchmark_summary") = benchmark_summary, py::arg("plot_paths") = plot_paths);
}

}  // namespace

// Strategy returns joined with the primary benchmark (inner join on dates). The benchmark
// level is accumulated over the backtest's own date range only, so its net value does not
// depend on benchmark history before the backtest.
py::object join_primary_benchmark(const py::object& df, const py::object& bm_series) {
    py::object pd = binding::pandas();
    py::object bm_daily =
        binding::without_infinities(bm_series.attr("astype")(binding::float_type()))
            .attr("fillna")(0.0);
    py::object bm_index = bm_daily.attr("index");
    bm_daily = bm_daily.attr("loc")[bm_index.attr("__ge__")(df.attr("index").attr("min")())];
    bm_index = bm_daily.attr("index");
    bm_daily = bm_daily.attr("loc")[bm_index.attr("__le__")(df.attr("index").attr("max")())];
    py::dict columns;
    columns["close"] = bm_daily.attr("cumsum")().attr("add")(1.0);
    columns["index_daily_return"] = bm_daily;
    py::object benchmark = pd.attr("DataFrame")(columns);
    py::list frames;
    frames.append(df);
    frames.append(benchmark);
    return pd.attr("concat")(frames, py::arg("axis") = 1, py::arg("join") = "inner");
}

py::object flat_benchmark(const py::object& df) {
    py::object total_backtesting = df.attr("copy")();
    total_backtesting.attr("__setitem__")("index_daily_return", 0.0);
    total_backtesting.attr("__setitem__")("close", 1.0);
    return total_backtesting;
}

py::object benchmark_summary(const py::object& benchmark_dict, const py::object& total,
                             const py::object& safe_sharpe) {
    py::object pd = binding::pandas();
    if (benchmark_dict.is_none() || py::len(benchmark_dict) == 0) return pd.attr("DataFrame")();
    py::object index = total.attr("index");
    py::int_ days(TRADING_DAYS_PER_YEAR);
    py::list rows;
    for (auto item : benchmark_dict.attr("items")()) {
        py::object name = item.cast<py::tuple>()[0];
        py::object series = item.cast<py::tuple>()[1];
        py::object aligned = series.attr("reindex")(index).attr("dropna")();
        py::object common = index.attr("intersection")(aligned.attr("index"));
        if (py::len(common) == 0) continue;
        py::object strat = total.attr("loc")[py::make_tuple(common, "daily_return")];
        py::object bm = aligned.attr("loc")[common];
        py::object excess_daily = strat - bm;
        py::object excess_cum = excess_daily.attr("cumsum")();
        py::dict row;
        row["benchmark_name"] = name;
        row["benchmark_annual_return"] = bm.attr("mean")() * days;
        row["excess_annual_return"] = excess_daily.attr("mean")() * days;
        row["excess_sharpe"] = safe_sharpe(excess_daily, py::arg("periods") = days);
        row["excess_max_dd"] = (excess_cum - excess_cum.attr("cummax")()).attr("min")();
        rows.append(row);
    }
    return pd.attr("DataFrame")(rows);
}

PipelineOutput run_pipeline(const Args& args, const py::object& lot_size, bool record) {
    py::object pd = binding::pandas();
    PipelineOutput out;
    out.strategy_name = args["strategy_name"];
    const py::object benchmark_dict = args["benchmark_dict"];

    py::object work = restrict_to_priced(args["strategy_matrix"], args["close_price"]);
    work = call_global("_smooth_strategy_weights", work, args["rolling_window"]);
    out.work = work;
    const SignalDates valid = signal_dates(work);

    const py::list empty_columns = binding::texts(
        {"daily_return", "index_daily_return", "long", "close_net_value", "max_drowdown",
         "extra_return", "extra_max_drowdown", "extra_daily_return"});
    const py::object empty_frame = pd.attr("DataFrame")(py::arg("columns") = empty_columns);
    const py::object empty_stats = call_global("calc_strategy_stats", empty_frame, work);
    // Without a return day there is no total frame: the early result carries empty
    // returns, the statistics of an empty frame, and that empty frame as the total.
    auto early_result = [&]() {
        py::object empty = pd.attr("Series")(py::arg("dtype") = binding::float_type());
        out.daily_return = empty;
        out.cumulative_return = empty;
        out.stats = empty_stats;
        out.benchmark_summary = pd.attr("DataFrame")();
        out.plot_paths = py::dict();
        out.total = empty_frame;
        return out;
    };
    if (valid.empty) return early_result();

    py::object daily_return;
    if (record) {
        // The recording walk gives the same returns as the module function, bit for bit.
        VwapCall call{work,
                      args["can_buy_stock"],
                      args["cant_sell_stock"],
                      args["split_factor"],
                      args["dividend_factor"],
                      args["close_price"],
                      args["prev_close"],
                      args["buy_price"],
                      args["sell_price"],
                      {}};
        call.params.total_money = args.f64("total_money");
        call.params.fee = args.f64("fee");
        call.params.rule_fee = args.f64("rule_fee");
        if (!lot_size.is_none()) call.params.lot_size = lot_size.cast<double>();
        call.last_day = valid.last;
        VwapOutcome outcome = vwap_simulation(call, true);
        daily_return = outcome.daily_return;
        out.execution = outcome.record;
    } else {
        py::dict vwap_options;
        if (!lot_size.is_none()) vwap_options["lot_size"] = lot_size;
        daily_return = binding::global("calc_strategy_vwap_daily_return")(
            py::arg("signal_matrix") = work, py::arg("can_buy_stock") = args["can_buy_stock"],
            py::arg("cant_sell_stock") = args["cant_sell_stock"],
            py::arg("split_factor") = args["split_factor"],
            py::arg("dividend_factor") = args["dividend_factor"],
            py::arg("close_price") = args["close_price"],
            py::arg("prev_close") = args["prev_close"], py::arg("buy_price") = args["buy_price"],
            py::arg("sell_price") = args["sell_price"],
            py::arg("total_money") = args["total_money"], py::arg("fee") = args["fee"],
            py::arg("rule_fee") = args["rule_fee"], **vwap_options);
    }
    if (py::bool_(daily_return.attr("empty"))) return early_result();

    // The trading day after the last dated weights is not part of the backtest. When it
    // was the only return day nothing is left, and the run has no result beyond the
    // early one.
    daily_return =
        daily_return.attr("__getitem__")(daily_return.attr("index").attr("__le__")(valid.last));
    if (py::len(daily_return) == 0) return early_result();

    const py::object primary = args["benchmark_names"];
    py::dict frame_columns;
    frame_columns["daily_return"] = daily_return;
    py::object df = pd.attr("DataFrame")(frame_columns);
    py::object total_backtesting;
    if (!benchmark_dict.is_none() && py::bool_(benchmark_dict.attr("__contains__")(primary))) {
        total_backtesting = join_primary_benchmark(df, benchmark_dict[primary]);
    } else {
        total_backtesting = flat_benchmark(df);
    }
    if (py::bool_(total_backtesting.attr("empty"))) return early_result();

    py::object total = call_global("_build_total_backtesting_frame", total_backtesting);
    out.total = total;
    out.stats = call_global("calc_strategy_stats", total, work);
    out.benchmark_summary =
        benchmark_summary(benchmark_dict, total, binding::global("safe_sharpe"));
    out.plot_paths = run_chart_step(args, total, out.stats);
    out.daily_return = total["daily_return"];
    out.cumulative_return = total["long"];
    return out;
}

py::object run_strategy_backtest_core(const Args& args) {
    // The host's pipeline trades in the simulation's default lots (200 shares).
    const PipelineOutput out = run_pipeline(args, py::none(), false);
    return make_result(out.strategy_name, out.daily_return, out.cumulative_return, out.stats,
                       out.benchmark_summary, out.plot_paths);
}

}  // namespace kestrelia::pelorin
