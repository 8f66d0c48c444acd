// The public backtest: the simulation over index maps into the caller's arrays, then the
// pipeline's own steps called directly.
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "../pelorin/pelorin.hpp"
#include "engine.hpp"
#include "kestrelia/binding/pyutil.hpp"
#include "kestrelia/kernels/vwap.hpp"

namespace kestrelia::engine {

namespace {

using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The plan's arrays, each read once (see kestrelia.backtest._plan.Plan).
struct Plan {
    binding::F64Matrix values;
    Ints signal_rows, weight_cols, market_cols, stats_rows;
    py::object hold;  // Flags, or None when every day sets a target
    std::ptrdiff_t first_row = 0;
    bool stats_on_values = false;
    py::object dates, codes;
    py::object row_labels, column_labels;  // the caller's labels of the weights

    explicit Plan(const py::object& p)
        : values(binding::f64_matrix(p.attr("values"))),
          signal_rows(Ints::ensure(p.attr("signal_rows"))),
          weight_cols(Ints::ensure(p.attr("weight_cols"))),
          market_cols(Ints::ensure(p.attr("market_cols"))),
          stats_rows(Ints::ensure(p.attr("stats_rows"))),
          hold(p.attr("hold")),
          first_row(p.attr("first_row").cast<std::ptrdiff_t>()),
          stats_on_values(p.attr("stats_on_values").cast<bool>()),
          dates(p.attr("dates")),
          codes(p.attr("codes")),
          row_labels(p.attr("row_labels")),
          column_labels(p.attr("column_labels")) {
        if (!signal_rows || !weight_cols || !market_cols || !stats_rows)
            throw py::error_already_set();
        if (!hold.is_none()) hold = Flags::ensure(hold);
        if (weight_cols.size() != market_cols.size())
            throw py::value_error("the plan's weight and market columns differ in number");
        if (!hold.is_none() && py::len(hold) != static_cast<std::size_t>(signal_rows.size()))
            throw py::value_error("the plan has not one hold flag per day");
    }

    std::ptrdiff_t n_days() const { return signal_rows.size(); }
    std::ptrdiff_t n_stocks() const { return weight_cols.size(); }
    const std::uint8_t* hold_days() const {
        return hold.is_none() ? nullptr : py::cast<Flags>(hold).data();
    }
};

// Whether `cols` names every column of a matrix `width` wide, in order: the view then
// needs no map (and rows stay contiguous for the walks that read them in place).
bool every_column(const std::int64_t* cols, std::ptrdiff_t n, std::ptrdiff_t width) {
    if (n != width) return false;
    for (std::ptrdiff_t j = 0; j < n; ++j)
        if (cols[j] != j) return false;
    return true;
}

// A market array's rows first_row .. first_row + n_days - 1, its columns through `cols`.
template <class M>
auto window(const M& m, const char* name, const Plan& plan, const std::int64_t* cols) {
    auto v = m.view();
    const std::ptrdiff_t end = plan.first_row + plan.n_days();
    if (plan.first_row < 0 || end > v.rows)
        throw py::value_error(std::string("the plan's days run past the market's ") + name);
    for (std::ptrdiff_t j = 0; j < plan.n_stocks(); ++j)
        if (cols[j] < 0 || cols[j] >= v.cols)
            throw py::value_error(std::string("the plan's stocks run past the market's ") + name);
    v.data += plan.first_row * v.row_stride;
    v.rows = plan.n_days();
    if (!every_column(cols, plan.n_stocks(), v.cols)) v.col_map = cols;
    v.cols = plan.n_stocks();
    return v;
}

[[noreturn]] void input_error(const std::string& message) {
    PyErr_SetString(py::module_::import("kestrelia.errors").attr("InputError").ptr(),
                    message.c_str());
    throw py::error_already_set();
}

struct Simulation {
    py::array_t<double> returns, traded, held, cash, money;
    py::object record = py::none();
};

Simulation simulate(const Plan& plan, const py::sequence& market, const py::dict& rates,
                    const Options& options) {
    if (py::len(market) != 8) throw py::value_error("the market has not eight arrays");
    std::array<binding::BoolMatrix, 2> masks{binding::bool_matrix(market[0]),
                                             binding::bool_matrix(market[1])};
    std::array<binding::F64Matrix, 6> prices;
    for (std::size_t k = 0; k < prices.size(); ++k) prices[k] = binding::f64_matrix(market[k + 2]);
    const std::int64_t* cols = plan.market_cols.data();
    const kernels::VwapMarket m{window(prices[3], "prev_close", plan, cols),
                                window(prices[2], "close_price", plan, cols),
                                window(prices[4], "buy_price", plan, cols),
                                window(prices[5], "sell_price", plan, cols),
                                window(prices[0], "split_factor", plan, cols),
                                window(prices[1], "dividend_factor", plan, cols),
                                window(masks[0], "can_buy_stock", plan, cols),
                                window(masks[1], "cant_sell_stock", plan, cols)};
    kernels::F64View signal = plan.values.view();
    for (std::ptrdiff_t j = 0; j < plan.n_stocks(); ++j)
        if (plan.weight_cols.data()[j] < 0 || plan.weight_cols.data()[j] >= signal.cols)
            throw py::value_error("the plan's stocks run past the weights' columns");
    if (!every_column(plan.weight_cols.data(), plan.n_stocks(), signal.cols))
        signal.col_map = plan.weight_cols.data();
    signal.cols = plan.n_stocks();

    kernels::VwapParams params;
    params.total_money = options.capital;
    params.fee = options.fee;
    params.rule_fee = options.rule_fee;
    params.lot_size = options.lot_size;
    params.min_commission = options.min_commission;
    // Rates by day, each an array of one value per simulated day (or absent).
    std::array<Doubles, 4> by_day;
    const char* rate_names[] = {"commission", "stamp_sell", "stamp_buy", "transfer"};
    const double** rate_fields[] = {&params.commission, &params.stamp_sell, &params.stamp_buy,
                                    &params.transfer};
    for (std::size_t k = 0; k < by_day.size(); ++k) {
        if (!rates.contains(rate_names[k]) || rates[rate_names[k]].is_none()) continue;
        by_day[k] = Doubles::ensure(rates[rate_names[k]]);
        if (!by_day[k]) throw py::error_already_set();
        if (by_day[k].size() != plan.n_days())
            throw py::value_error(std::string("the ") + rate_names[k] +
                                  " rates have not one value per day");
        *rate_fields[k] = by_day[k].data();
    }
    Simulation out;
    const auto n = static_cast<py::ssize_t>(plan.n_days());
    out.returns = py::array_t<double>(n);
    double* dst = out.returns.mutable_data();
    out.cash = py::array_t<double>(n);
    out.money = py::array_t<double>(n);
    kernels::DayTotals totals;
    totals.cash = out.cash.mutable_data();
    totals.money = out.money.mutable_data();
    if (!options.record) {
        out.traded = py::array_t<double>(n);
        out.held = py::array_t<double>(n);
        totals.traded = out.traded.mutable_data();
        totals.held = out.held.mutable_data();
    }
    const std::uint8_t* hold = plan.hold_days();
    kernels::ExecutionRecord recorded;
    kernels::Status status;
    {
        // Reads the caller's arrays and the plan's (all kept alive above), writes `returns`,
        // the day totals and the record (plain C++ vectors) only.
        py::gil_scoped_release nogil;
        if (!options.record || options.compound) {
            params.compound = options.compound;
            status = kernels::vwap_daily_return(dst, plan.n_days(), signal, plan.signal_rows.data(),
                                                hold, m, params, totals);
        }
        if (status && options.record) {
            // The record sizes each day from the money the compounding walk found, which
            // makes the same positions; its returns are the same to the bit.
            params.compound = false;
            if (options.compound) params.money = totals.money;
            status = kernels::vwap_daily_return_recorded(dst, recorded, plan.n_days(), signal,
                                                         plan.signal_rows.data(), hold, m, params);
        }
    }
    if (!status) {
        if (status.position >= 0)
            throw py::value_error("the plan names a weights row that does not exist for day " +
                                  std::to_string(status.position));
        throw py::value_error("the plan's days, stocks and market arrays do not fit together");
    }
    if (options.record)
        out.record = pelorin::record_dict(std::move(recorded), m.split, plan.dates, plan.codes);
    return out;
}

// Weights are fractions of the capital: one of a million or more (a million times the
// capital in one stock) is no position anyone holds, and its numbers overflow the
// statistics.
constexpr double weight_limit = 1e6;

// The first weight the statistics met (by row then column) that is infinite or of
// magnitude weight_limit or more, named by the caller's labels (the statistics read every
// weight the simulation reads).
[[noreturn]] void weight_beyond_limit(const Plan& plan) {
    const kernels::F64View v = plan.values.view();
    std::vector<std::int64_t> rows;
    if (plan.stats_on_values)
        for (std::int64_t i = 0; i < v.rows; ++i) rows.push_back(i);
    else
        rows.assign(plan.stats_rows.data(), plan.stats_rows.data() + plan.stats_rows.size());
    for (const std::int64_t i : rows) {
        for (std::ptrdiff_t k = 0; k < (plan.stats_on_values ? v.cols : plan.n_stocks()); ++k) {
            const std::int64_t j = plan.stats_on_values ? k : plan.weight_cols.data()[k];
            const double w = v(i, j);
            if (!(std::fabs(w) >= weight_limit)) continue;
            const char* why = std::isfinite(w)
                                  ? "is not a fraction of the capital (a weight's magnitude "
                                    "must stay below 1e6)"
                                  : "is not finite";
            input_error(
                py::str("weights: the weight {} at ({!r}, {!r}) {}")
                    .format(w, plan.row_labels[py::int_(i)], plan.column_labels[py::int_(j)], why)
                    .cast<std::string>());
        }
    }
    input_error("weights: a weight is not finite");
}

// The statistics' holding count and turnover, of the targets carried to every day.
pelorin::Holdings holdings(const Plan& plan) {
    kernels::F64View view = plan.values.view();
    if (plan.stats_on_values) return pelorin::holdings_of(view, nullptr, 0, weight_limit);
    const bool mapped = !every_column(plan.weight_cols.data(), plan.n_stocks(), view.cols);
    if (mapped) view.col_map = plan.weight_cols.data();
    view.cols = plan.n_stocks();
    // A run of consecutive rows is a slice of the weights: the whole-matrix pass reads it
    // (through the column map only where it walks columns, as it does in column order).
    const std::int64_t* rows = plan.stats_rows.data();
    const std::ptrdiff_t n = plan.stats_rows.size();
    bool run = n > 0;
    for (std::ptrdiff_t k = 1; k < n && run; ++k) run = rows[k] == rows[0] + k;
    if (run && (view.column_major() || !mapped)) {
        view.data += rows[0] * view.row_stride;
        view.rows = n;
        return pelorin::holdings_of(view, nullptr, 0, weight_limit);
    }
    return pelorin::holdings_of(view, rows, n, weight_limit);
}

}  // namespace

py::dict run(const py::object& plan_object, const py::sequence& market, const py::dict& benchmarks,
             const Options& options, const py::dict& rates) {
    const Plan plan(plan_object);
    // The statistics' pass reads every weight the simulation will, so it goes first and
    // refuses an infinite one before anything is simulated.
    const pelorin::Holdings held = holdings(plan);
    if (held.beyond_limit > 0) weight_beyond_limit(plan);
    Simulation sim = simulate(plan, market, rates, options);

    py::object pd = binding::pandas();
    py::object returns =
        pd.attr("Series")(sim.returns, py::arg("index") = plan.dates,
                          py::arg("name") = "daily_return", py::arg("copy") = false);
    if (!py::bool_(returns.attr("notna")().attr("any")()))
        input_error(
            "every return day of the backtest is NaN (weights or prices so large that "
            "the positions overflow?); there is nothing to report");
    py::dict columns;
    columns["daily_return"] = returns;
    const py::object df = pd.attr("DataFrame")(columns);
    const py::str primary(options.benchmark);
    const bool has_primary = py::bool_(benchmarks.attr("__contains__")(primary));
    py::object joined = has_primary ? pelorin::join_primary_benchmark(df, benchmarks[primary])
                                    : pelorin::flat_benchmark(df);
    const py::object total = pelorin::total_frame(joined);
    if (py::len(total) == 0)
        input_error(has_primary ? "the benchmark " + options.benchmark +
                                      " has no return on any day of the backtest with a return"
                                : std::string("no day of the backtest has a return"));

    const py::object safe_sharpe =
        py::module_::import("kestrelia.backtest._core").attr("safe_sharpe");
    py::dict out;
    out["daily_return"] = total["daily_return"];
    out["total"] = total;
    out["stats"] = pelorin::strategy_stats(total, held, safe_sharpe);
    out["benchmark_summary"] = pelorin::benchmark_summary(benchmarks, total, safe_sharpe);
    out["execution"] = sim.record;
    // Each day's profit and the money its targets were sized from (the capital, or the
    // equity at the previous close when compounding).
    out["cash"] = pd.attr("Series")(sim.cash, py::arg("index") = plan.dates,
                                    py::arg("name") = "cash", py::arg("copy") = false);
    out["money"] = pd.attr("Series")(sim.money, py::arg("index") = plan.dates,
                                     py::arg("name") = "money", py::arg("copy") = false);
    // Money bought and sold and stocks held on each simulated day (with a record, its own
    // day table has them).
    if (sim.record.is_none()) {
        out["traded"] = pd.attr("Series")(sim.traded, py::arg("index") = plan.dates,
                                          py::arg("name") = "traded", py::arg("copy") = false);
        out["held"] = pd.attr("Series")(sim.held, py::arg("index") = plan.dates,
                                        py::arg("name") = "held", py::arg("copy") = false);
    } else {
        out["traded"] = py::none();
        out["held"] = py::none();
    }
    return out;
}

}  // namespace kestrelia::engine
