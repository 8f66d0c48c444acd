// The daily simulation of a fixed-capital portfolio that trades towards target weights at
// VWAP prices in whole lots.
#pragma once

#include <cstdint>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels {

struct VwapMarket {
    F64View prev_close, close, buy_price, sell_price, split, dividend;
    MaskView can_buy, cant_sell;
};

struct VwapParams {
    double total_money = 1e8;
    double fee = 0.0001;
    double rule_fee = 0.0005;
    double lot_size = 200.0;
};

// out[i] = the profit and loss of simulated day i over total_money.
//
// Day i trades towards the weights of signal row signal_rows[i] (the previous day's
// weights set today's target). Every market view has one row per simulated day and one
// column per stock, in any layout: the simulation walks stock-outer when most input bytes
// are column-major and day-outer when most are row-major, staging the rest a strip or a
// tile at a time. Per-stock positions evolve independently; five per-day accumulators
// (bought, held, held dividends, sold, sold dividends) are each summed over stocks in
// stock order and combined left to right at the end, so both walks give the same bits.
Status vwap_daily_return(double* out, std::ptrdiff_t n_days, const F64View& signal,
                         const std::int64_t* signal_rows, const VwapMarket& market,
                         const VwapParams& params);

}  // namespace kestrelia::kernels
