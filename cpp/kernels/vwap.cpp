#include "kestrelia/kernels/vwap.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace kestrelia::kernels {

namespace {

inline double nan_to_num(double v) {
    if (std::isnan(v)) return 0.0;
    if (std::isinf(v))
        return v > 0 ? std::numeric_limits<double>::max() : -std::numeric_limits<double>::max();
    return v;
}

struct DayTerms {
    double bought, held, held_dividend, sold, sold_dividend;
};

// One stock on one day. `position` is the stock's holding after the previous simulated
// day; it becomes the holding after this one. Every expression keeps the order of the
// NumPy formulation so that lot rounding and coefficients are bit-identical.
inline DayTerms simulate_cell(double& position, double weight, double prev_close, double close,
                              double buy_price, double sell_price, double split, double dividend,
                              bool can_buy, bool cant_sell, const VwapParams& p,
                              double buy_factor, double sell_factor) {
    const double raw_target = (p.total_money * weight) / (prev_close * p.lot_size);
    const bool valid = std::isfinite(weight) && std::isfinite(prev_close) && prev_close > 0;
    const double target = valid ? std::floor(raw_target) * p.lot_size : 0.0;

    const double diff = target - position;
    const double real_buy = (diff > 0 && can_buy) ? diff : 0.0;
    const double sell = (diff < 0 && !cant_sell) ? -diff : 0.0;
    const double hold = position - sell;
    position = hold + real_buy;

    const double split_eff = std::isnan(split) ? 1.0 : split;
    const double dividend_eff = nan_to_num(dividend);
    const double buy_coeff = nan_to_num(close - buy_price * buy_factor);
    const double hold_coeff = nan_to_num(split_eff * close - prev_close);
    const double sell_coeff = nan_to_num(split_eff * sell_price * sell_factor - prev_close);
    return {real_buy * buy_coeff, hold * hold_coeff, hold * dividend_eff, sell * sell_coeff,
            sell * dividend_eff};
}

bool shaped(const F64View& v, std::ptrdiff_t rows, std::ptrdiff_t cols) {
    return v.rows == rows && v.cols == cols;
}
bool shaped(const MaskView& v, std::ptrdiff_t rows, std::ptrdiff_t cols) {
    return v.rows == rows && v.cols == cols;
}

}  // namespace

Status vwap_daily_return(double* out, std::ptrdiff_t n_days, const F64View& signal,
                         const std::int64_t* signal_rows, const VwapMarket& market,
                         const VwapParams& params) {
    Status status;
    const std::ptrdiff_t n_stocks = signal.cols;
    const VwapMarket& m = market;
    if (!shaped(m.prev_close, n_days, n_stocks) || !shaped(m.close, n_days, n_stocks) ||
        !shaped(m.buy_price, n_days, n_stocks) || !shaped(m.sell_price, n_days, n_stocks) ||
        !shaped(m.split, n_days, n_stocks) || !shaped(m.dividend, n_days, n_stocks) ||
        !shaped(m.can_buy, n_days, n_stocks) || !shaped(m.cant_sell, n_days, n_stocks)) {
        status.code = Status::shape_mismatch;
        return status;
    }
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        if (signal_rows[i] < 0 || signal_rows[i] >= signal.rows) {
            status.code = Status::bad_argument;
            status.position = i;
            return status;
        }
    }

    const double buy_factor = 1 + params.fee;
    const double sell_factor = (1.0 - params.fee) - params.rule_fee;
    std::vector<double> bought(static_cast<std::size_t>(n_days), 0.0);
    std::vector<double> held(bought), held_div(bought), sold(bought), sold_div(bought);

    auto accumulate = [&](std::ptrdiff_t i, const DayTerms& t) {
        const auto k = static_cast<std::size_t>(i);
        bought[k] += t.bought;
        held[k] += t.held;
        held_div[k] += t.held_dividend;
        sold[k] += t.sold;
        sold_div[k] += t.sold_dividend;
    };
    auto cell = [&](double& position, std::ptrdiff_t i, std::ptrdiff_t j) {
        return simulate_cell(position, signal(signal_rows[i], j), m.prev_close(i, j),
                             m.close(i, j), m.buy_price(i, j), m.sell_price(i, j), m.split(i, j),
                             m.dividend(i, j), m.can_buy(i, j) != 0, m.cant_sell(i, j) != 0,
                             params, buy_factor, sell_factor);
    };

    // Stock j's terms are added to the day sums in stock order in both loop orders, so the
    // result does not depend on the layout.
    if (m.close.column_major()) {
        for (std::ptrdiff_t j = 0; j < n_stocks; ++j) {
            double position = 0.0;
            for (std::ptrdiff_t i = 0; i < n_days; ++i) accumulate(i, cell(position, i, j));
        }
    } else {
        std::vector<double> positions(static_cast<std::size_t>(n_stocks), 0.0);
        for (std::ptrdiff_t i = 0; i < n_days; ++i)
            for (std::ptrdiff_t j = 0; j < n_stocks; ++j)
                accumulate(i, cell(positions[static_cast<std::size_t>(j)], i, j));
    }

    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const double cash = bought[k] + held[k] + held_div[k] + sold[k] + sold_div[k];
        out[i] = cash / params.total_money;
    }
    return status;
}

}  // namespace kestrelia::kernels
