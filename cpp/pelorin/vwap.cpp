// The VWAP daily return: market alignment through the outside helper, then the native
// simulation over the whole matrix with the GIL released.
#include <pybind11/numpy.h>

#include <array>
#include <string>
#include <vector>

#include "kestrelia/kernels/scan.hpp"
#include "kestrelia/kernels/vwap.hpp"
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

}  // namespace

py::object calc_strategy_vwap_daily_return(const Args& args) {
    const py::object signal_matrix = args["signal_matrix"];
    kernels::VwapParams params;
    params.total_money = args.f64("total_money");
    params.fee = args.f64("fee");
    params.rule_fee = args.f64("rule_fee");
    params.lot_size = static_cast<double>(args.i64("lot_size"));

    ShiftedSignal signal = shift_signal(signal_matrix);
    if (signal.rows.empty())
        return binding::pandas().attr("Series")(py::arg("dtype") = binding::float_type());

    py::object market = binding::global("_build_market_arrays")(
        signal.index, signal.columns, args["can_buy_stock"], args["cant_sell_stock"],
        args["split_factor"], args["dividend_factor"], args["close_price"], args["prev_close"],
        args["buy_price"], args["sell_price"]);
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
    {
        // Only NumPy buffers kept alive above are read, and only `out` is written.
        py::gil_scoped_release nogil;
        status = kernels::vwap_daily_return(dst, n_days, signal_view, signal.rows.data(),
                                            market_views, params);
    }
    if (!status) throw py::value_error("VWAP simulation received inconsistent market arrays");
    return binding::pandas().attr("Series")(out, py::arg("index") = signal.index,
                                            py::arg("copy") = false);
}

}  // namespace kestrelia::pelorin
