// The VWAP daily return: market alignment through the outside helper, then the native
// simulation over the whole matrix with the GIL released.
#include "kestrelia/kernels/vwap.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "kestrelia/kernels/scan.hpp"
#include "pelorin.hpp"

namespace kestrelia::pelorin {

namespace {

// signal_matrix.shift(1).dropna(how="all") without materialising it: day k of the
// simulation reads the weights of source row rows[k], the row before it.
struct ShiftedSignal {
    binding::F64Matrix values;
    std::vector<std::int64_t> rows;
    py::object index;
    py::object columns;
};

ShiftedSignal shift_signal(const py::object& signal_matrix) {
    ShiftedSignal s;
    s.values = binding::frame_f64(signal_matrix);
    const auto n = s.values.rows;
    std::vector<std::uint8_t> has_value(static_cast<std::size_t>(n));
    {
        const auto view = s.values.view();
        py::gil_scoped_release nogil;  // reads the array only
        kernels::rows_with_value(has_value.data(), view);
    }
    std::vector<std::int64_t> positions;
    for (std::ptrdiff_t i = 1; i < n; ++i) {
        if (has_value[static_cast<std::size_t>(i - 1)]) {
            s.rows.push_back(i - 1);
            positions.push_back(i);
        }
    }
    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(positions.size()));
    std::copy(positions.begin(), positions.end(), take.mutable_data());
    s.index = signal_matrix.attr("index").attr("take")(take);
    s.columns = signal_matrix.attr("columns");
    return s;
}

constexpr std::array<const char*, 8> market_keys = {
    "prev_close_arr", "can_buy_arr",    "cant_sell_arr", "close_arr",
    "buy_price_arr",  "sell_price_arr", "split_arr",     "dividend_arr",
};

void require_shape(const char* key, py::ssize_t rows, py::ssize_t cols, std::ptrdiff_t n_days,
                   std::ptrdiff_t n_stocks) {
    if (rows == n_days && cols == n_stocks) return;
    throw py::value_error("_build_market_arrays returned '" + std::string(key) + "' of shape (" +
                          std::to_string(rows) + ", " + std::to_string(cols) +
                          "); expected one row per trading day and one column per stock: (" +
                          std::to_string(n_days) + ", " + std::to_string(n_stocks) + ")");
}

// A NumPy array that takes over a vector's buffer (no copy: the record's long tables run to
// millions of rows); the array frees it.
template <class T, class Alloc>
py::array take_array(std::vector<T, Alloc>&& values, const py::dtype& dtype,
                     std::vector<py::ssize_t> shape) {
    using Vector = std::vector<T, Alloc>;
    auto* owner = new Vector(std::move(values));
    py::capsule free_owner(owner, [](void* p) { delete static_cast<Vector*>(p); });
    return py::array(dtype, std::move(shape), owner->data(), free_owner);
}

template <class T>
py::array to_array(std::vector<T>&& values) {
    const auto n = static_cast<py::ssize_t>(values.size());
    return take_array(std::move(values), py::dtype::of<T>(), {n});
}

py::array to_table(std::vector<double>&& values, std::ptrdiff_t rows, std::ptrdiff_t cols) {
    return take_array(std::move(values), py::dtype::of<double>(),
                      {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

// A long table as a NumPy structured array over its rows (fields shares, price, stock and
// side; the walks' own field is left out).
py::array long_table(kernels::Column<kernels::TableRow>&& rows) {
    using Row = kernels::TableRow;
    py::dict fields;
    fields["names"] = py::make_tuple("shares", "price", "stock", "side");
    fields["formats"] = py::make_tuple("f8", "f8", "i4", "i1");
    fields["offsets"] = py::make_tuple(offsetof(Row, shares), offsetof(Row, price),
                                       offsetof(Row, stock), offsetof(Row, side));
    fields["itemsize"] = sizeof(Row);
    const auto n = static_cast<py::ssize_t>(rows.size());
    return take_array(std::move(rows), py::dtype::from_args(fields), {n});
}

// The record as NumPy arrays and the labels they refer to (day i is dates[i], stock j is
// codes[j]).
// The share events as a NumPy structured array (fields day, stock, factor).
py::array share_event_table(std::vector<kernels::ShareEvent>&& events) {
    using E = kernels::ShareEvent;
    py::dict fields;
    fields["names"] = py::make_tuple("day", "stock", "factor");
    fields["formats"] = py::make_tuple("i4", "i4", "f8");
    fields["offsets"] = py::make_tuple(offsetof(E, day), offsetof(E, stock), offsetof(E, factor));
    fields["itemsize"] = sizeof(E);
    const auto n = static_cast<py::ssize_t>(events.size());
    return take_array(std::move(events), py::dtype::from_args(fields), {n});
}

}  // namespace

py::dict record_dict(kernels::ExecutionRecord&& r, const kernels::F64View& split,
                     const py::object& dates, const py::object& codes) {
    using R = kernels::ExecutionRecord;
    const std::ptrdiff_t n_days = split.rows, n_stocks = split.cols;
    std::vector<kernels::ShareEvent> events;
    {
        py::gil_scoped_release nogil;  // reads the split factors only
        events = kernels::share_events(split);
    }
    py::dict d;
    d["share_events"] = share_event_table(std::move(events));
    d["dates"] = dates;
    d["codes"] = codes;
    d["trades"] = long_table(std::move(r.trades));
    d["trades_per_day"] = to_array(std::move(r.trades_per_day));
    d["blocked"] = long_table(std::move(r.blocked));
    d["blocked_per_day"] = to_array(std::move(r.blocked_per_day));
    d["days"] = to_table(std::move(r.days), n_days, R::n_day_columns);
    d["day_columns"] = binding::texts(
        {"target_weight", "lot_weight", "held_weight", "buy_blocked_weight", "sell_blocked_weight",
         "rounding_weight", "no_price_weight", "traded_amount", "held_count", "buy", "hold", "sell",
         "dividend", "commission", "stamp_duty", "transfer_fee"});
    d["stocks"] = to_table(std::move(r.stocks), n_stocks, R::n_stock_columns);
    d["stock_columns"] = binding::texts(
        {"buy", "hold", "sell", "dividend", "commission", "stamp_duty", "transfer_fee"});
    return d;
}

VwapOutcome vwap_simulation(const VwapCall& call, bool record) {
    const kernels::VwapParams& params = call.params;
    VwapOutcome outcome;
    ShiftedSignal signal = shift_signal(call.signal_matrix);
    if (signal.rows.empty()) {
        outcome.daily_return =
            binding::pandas().attr("Series")(py::arg("dtype") = binding::float_type());
        return outcome;
    }

    py::object market = binding::global("_build_market_arrays")(
        signal.index, signal.columns, call.can_buy_stock, call.cant_sell_stock, call.split_factor,
        call.dividend_factor, call.close_price, call.prev_close, call.buy_price, call.sell_price);
    std::array<py::object, market_keys.size()> arrays;
    for (std::size_t k = 0; k < market_keys.size(); ++k) arrays[k] = market[market_keys[k]];

    const auto n_days = static_cast<std::ptrdiff_t>(signal.rows.size());
    const auto n_stocks = signal.values.cols;
    auto f64 = [&](std::size_t k) {
        binding::F64Matrix m = binding::f64_matrix(arrays[k]);
        require_shape(market_keys[k], m.rows, m.cols, n_days, n_stocks);
        return m;
    };
    auto mask = [&](std::size_t k) {
        binding::BoolMatrix m = binding::bool_matrix(arrays[k]);
        require_shape(market_keys[k], m.rows, m.cols, n_days, n_stocks);
        return m;
    };
    const auto prev_close = f64(0);
    const auto can_buy = mask(1);
    const auto cant_sell = mask(2);
    const auto close = f64(3);
    const auto buy_price = f64(4);
    const auto sell_price = f64(5);
    const auto split = f64(6);
    const auto dividend = f64(7);

    kernels::VwapMarket market_views{prev_close.view(), close.view(),    buy_price.view(),
                                     sell_price.view(), split.view(),    dividend.view(),
                                     can_buy.view(),    cant_sell.view()};
    py::array_t<double> out(static_cast<py::ssize_t>(n_days));
    double* dst = out.mutable_data();
    const auto signal_view = signal.values.view();
    kernels::Status status;
    kernels::ExecutionRecord recorded;
    if (record && !call.last_day.is_none())
        recorded.stock_days =
            py::cast<std::ptrdiff_t>(signal.index.attr("__le__")(call.last_day).attr("sum")());
    {
        // Only NumPy buffers kept alive above are read, and only `out` and the record
        // (plain C++ vectors) are written.
        py::gil_scoped_release nogil;
        if (record)
            status = kernels::vwap_daily_return_recorded(dst, recorded, n_days, signal_view,
                                                         signal.rows.data(), nullptr, market_views,
                                                         params);
        else
            status = kernels::vwap_daily_return(dst, n_days, signal_view, signal.rows.data(),
                                                nullptr, market_views, params);
    }
    if (!status) {
        // The shapes and the row map are checked above and built here, so this is a fault
        // of this module: the message names where the kernel stopped.
        if (status.position >= 0)
            throw py::value_error(
                py::str("VWAP simulation has no weights row for trading day {} (row {})")
                    .format(signal.index[py::int_(status.position)], status.position)
                    .cast<std::string>());
        throw py::value_error("VWAP simulation received inconsistent market arrays");
    }
    outcome.daily_return = binding::pandas().attr("Series")(out, py::arg("index") = signal.index,
                                                            py::arg("copy") = false);
    if (record)
        outcome.record =
            record_dict(std::move(recorded), split.view(), signal.index, signal.columns);
    return outcome;
}

VwapCall vwap_call(const Args& args, const char* signal_name) {
    VwapCall call{args[signal_name],       args["can_buy_stock"],
                  args["cant_sell_stock"], args["split_factor"],
                  args["dividend_factor"], args["close_price"],
                  args["prev_close"],      args["buy_price"],
                  args["sell_price"],      {}};
    call.params.total_money = args.f64("total_money");
    call.params.fee = args.f64("fee");
    call.params.rule_fee = args.f64("rule_fee");
    return call;
}

py::object calc_strategy_vwap_daily_return(const Args& args) {
    VwapCall call = vwap_call(args, "signal_matrix");
    call.params.lot_size = static_cast<double>(args.i64("lot_size"));
    return vwap_simulation(call, false).daily_return;
}

}  // namespace kestrelia::pelorin
