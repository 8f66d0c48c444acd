// Matrix derivation: the ten source factors become the twelve base matrices.
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

const char* const source_keys[] = {
    "rq_industry_exposure_new",
    "limit_down",
    "limit_up",
    "Close",
    "Open",
    "tick_vwap_price_935_1005",
    "tick_vwap_price_925_1000",
    "split_coefficient_to",
    "rq_get_dividend",
    "rq_is_suspended",
};

// frame == limit.reindex(frame's labels), added to filter_stock (a cell missing on one
// side only counts as 0).
py::object at_limit_plus_filter(const py::object& price, const py::object& limit,
                                const py::object& filter_stock) {
    py::object aligned = limit.attr("reindex")(py::arg("index") = price.attr("index"),
                                               py::arg("columns") = price.attr("columns"));
    return price.attr("__eq__")(aligned).attr("add")(filter_stock,
                                                     py::arg("fill_value") = py::float_(0.0));
}

}  // namespace

py::object build_from_matrices(const Args& a) {
    py::object source = a["source"];
    py::object np = binding::numpy();
    py::object pd = binding::pandas();
    py::dict s;
    for (const char* key : source_keys) s[key] = source[py::str(key)];

    py::object industry = s["rq_industry_exposure_new"];
    py::object limit_down = s["limit_down"];
    py::object limit_up = s["limit_up"];
    py::object close_price = s["Close"];
    py::object open_price = s["Open"];
    py::object buy_price = s["tick_vwap_price_935_1005"];
    py::object sell_price = s["tick_vwap_price_925_1000"];
    py::object split = s["split_coefficient_to"];
    py::object dividend = s["rq_get_dividend"];
    py::object filter_stock_raw = s["rq_is_suspended"];

    // Without a single close price every price, mask and factor would be empty or NaN, and
    // a store updated with it would lose its tail: refuse instead.
    if (!has_rows(close_price) ||
        !close_price.attr("notna")().attr("to_numpy")().attr("any")().cast<bool>())
        throw py::value_error("数据服务没有返回任何收盘价（Close），无法生成准备数据。");

    const py::int_ zero(0), one(1), ten(10);
    py::object close_price_valid = close_price * zero + one;
    py::object filter_stock = pd.attr("DataFrame")(
        np.attr("where")(filter_stock_raw.attr("eq")(one), np.attr("nan"), one),
        py::arg("index") = filter_stock_raw.attr("index"),
        py::arg("columns") = filter_stock_raw.attr("columns"));

    py::object first_close = close_price.attr("index").attr("min")();
    py::object last_close = close_price.attr("index").attr("max")();
    py::object split_all = split / ten * close_price_valid;
    py::object rq_get_split =
        split_all.attr("loc")[split_all.attr("index").attr("__ge__")(first_close)];
    py::object dividend_all = dividend / ten * py::float_(0.9) + (close_price_valid - one);
    py::object rq_get_dividend =
        dividend_all.attr("loc")[dividend_all.attr("index").attr("__le__")(last_close)];

    py::object cant_sell_stock =
        at_limit_plus_filter(sell_price, limit_down, filter_stock).attr("__gt__")(zero);
    py::object can_buy_stock =
        at_limit_plus_filter(buy_price, limit_up, filter_stock).attr("__le__")(zero);

    py::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));
    py::object forward_return = open_price.attr("shift")(-2) / open_price.attr("shift")(-1) - one;
    py::object forward_return_rank_cache =
        forward_return.attr("replace")(infinities, np.attr("nan"))
            .attr("rank")(py::arg("axis") = 1, py::arg("method") = "average");

    py::dict out;
    out["industry_matrix"] = industry;
    out["close_price"] = close_price;
    out["open_price"] = open_price;
    out["close_price_valid"] = close_price_valid;
    out["prev_close"] = close_price.attr("shift")(1);
    out["buy_price"] = buy_price;
    out["sell_price"] = sell_price;
    out["rq_get_split"] = rq_get_split;
    out["rq_get_dividend"] = rq_get_dividend;
    out["can_buy_stock"] = can_buy_stock;
    out["cant_sell_stock"] = cant_sell_stock;
    out["forward_return_rank_cache"] = forward_return_rank_cache;
    return out;
}

}  // namespace kestrelia::prepare
