// The daily simulation of a fixed-capital portfolio that trades towards target weights at
// VWAP prices in whole lots.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels {

struct VwapMarket {
    F64View prev_close, close, buy_price, sell_price, split, dividend;
    MaskView can_buy, cant_sell;
};

struct VwapParams {
    double total_money = 1e8;
    double fee = 0.0001;       // commission on both sides
    double rule_fee = 0.0005;  // stamp duty on sells
    double lot_size = 200.0;
    // Rates that change from day to day, one value per simulated day each (null: the
    // constants above, no stamp duty on buys and no transfer fee).
    const double* commission = nullptr;
    const double* stamp_sell = nullptr;
    const double* stamp_buy = nullptr;
    const double* transfer = nullptr;  // on both sides
    // The least commission an order (one stock, one side, one day) pays; 0: none.
    double min_commission = 0.0;
    // Sizing: each day's targets from this money (one value per day; null: total_money),
    // or, with `compound`, from the equity at the previous close (total_money plus the
    // profit so far; nothing from the first day it is not positive).
    const double* money = nullptr;
    bool compound = false;
};

// out[i] = the profit and loss of simulated day i over total_money.
//
// Day i trades towards the weights of signal row signal_rows[i] (the previous day's
// weights set today's target). Where hold[i] is non-zero (hold may be null: every day sets
// a target), day i sets no new target: each stock keeps the share count of the day before's
// target times the day before's split factor, in whole shares, so positions drift with the
// market and blocked orders are retried (signal_rows[i] should then name the row that set
// the target, whose weights are still the stock's wanted ones). A split day ends holding
// the shares kept through it times the split factor plus the shares bought, in whole
// shares. Every market view has one row per simulated day and one
// column per stock, in any layout: the simulation walks stock-outer when most input bytes
// are column-major and day-outer when most are row-major, staging the rest a strip or a
// tile at a time. Per-stock positions evolve independently; five per-day accumulators
// (bought, held, held dividends, sold, sold dividends) are each summed over stocks in
// stock order and combined left to right at the end, so both walks give the same bits.
//
// With `totals`, also each day's money bought and sold (in the currency of total_money;
// a sell at the split-adjusted price), the number of stocks held at the end of the day,
// the day's profit and the money its targets were sized from.
struct DayTotals {
    double* traded = nullptr;
    double* held = nullptr;
    double* cash = nullptr;   // the day's profit in money (out[i] x total_money, unrounded)
    double* money = nullptr;  // the money the day's targets were sized from
};
Status vwap_daily_return(double* out, std::ptrdiff_t n_days, const F64View& signal,
                         const std::int64_t* signal_rows, const std::uint8_t* hold,
                         const VwapMarket& market, const VwapParams& params, DayTotals totals = {});

// What the simulation did, cell by cell, for the execution report. Trades and blocked
// orders are long tables in (day, stock) order; the per-day and per-stock tables are
// row-major with the columns named below. Money is in the currency of total_money.
// An allocator that leaves the elements `resize` adds uninitialised: the long tables are
// sized once and every element is then written, so zeroing them first would only cost a
// pass over memory.
template <class T>
struct Uninitialized : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Uninitialized<U>;
    };
    Uninitialized() = default;
    template <class U>
    Uninitialized(const Uninitialized<U>&) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using Column = std::vector<T, Uninitialized<T>>;

// A row of a long table: the stock, the side (+1 buy, -1 sell), the shares and, for a
// trade, the price. The walks keep a row's day within their chunk of days in `chunk_day`
// while they sort rows into day order; it means nothing in a finished table.
struct TableRow {
    double shares, price;
    std::int32_t stock;
    std::int16_t chunk_day;
    std::int8_t side;
};

struct ExecutionRecord {
    // One row per executed trade, in (day, stock) order, and how many rows each day has. A
    // sell's price carries the day's split factor, as the simulation values it.
    Column<TableRow> trades;
    std::vector<std::int64_t> trades_per_day;
    // One row per stock and day where a wanted trade was not allowed, the shares left
    // untraded, in the same order (the price is 0).
    Column<TableRow> blocked;
    std::vector<std::int64_t> blocked_per_day;

    enum DayColumn {
        target_weight,        // sum of |weight| of the day's finite target weights
        lot_weight,           // sum of |lot-rounded target x previous close| / capital
        held_weight,          // sum of |end-of-day shares x close| / capital
        buy_blocked_weight,   // sum of |wanted buy x previous close| / capital, not allowed
        sell_blocked_weight,  // the same for sells
        rounding_weight,      // sum of |weight x capital - target x previous close| / capital
        no_price_weight,      // sum of |weight| where the previous close is missing or <= 0
        traded_amount,        // money bought and sold / capital
        held_count,           // stocks with a non-zero end-of-day position
        buy,
        hold,
        sell,
        dividend,
        commission,
        stamp_duty,
        transfer_fee,  // profit parts / capital
        n_day_columns
    };
    enum StockColumn {
        stock_buy,
        stock_hold,
        stock_sell,
        stock_dividend,
        stock_commission,
        stock_stamp_duty,
        stock_transfer_fee,
        n_stock_columns
    };
    std::vector<double> days;    // n_days x n_day_columns
    std::vector<double> stocks;  // n_stocks x n_stock_columns, in currency
    // The per-stock totals cover the first stock_days days (all when negative).
    std::ptrdiff_t stock_days = -1;
};

// A day on which a stock's share count changes other than by trading: a split factor that
// is finite and not 1 multiplies the shares kept through the day.
struct ShareEvent {
    std::int32_t day, stock;
    double factor;
};

// The share events of a split-factor matrix (days x stocks, any layout), stock by stock and
// each stock's days in order.
std::vector<ShareEvent> share_events(const F64View& split);

// vwap_daily_return, recording what traded. `out` is bit-identical to vwap_daily_return's
// on the same input: the same per-day arithmetic, summed in the same order. The days are
// recorded in chunks on one thread per core (KESTRELIA_NUM_THREADS sets another number),
// each chunk starting from positions found by a first pass over the inputs that move them;
// each stock's totals are added up chunk by chunk, so no result depends on the number of
// threads.
Status vwap_daily_return_recorded(double* out, ExecutionRecord& record, std::ptrdiff_t n_days,
                                  const F64View& signal, const std::int64_t* signal_rows,
                                  const std::uint8_t* hold, const VwapMarket& market,
                                  const VwapParams& params);

}  // namespace kestrelia::kernels
