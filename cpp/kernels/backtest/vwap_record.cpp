// The recording walk of the VWAP simulation: day by day over rows, the same four-lane day
// arithmetic as the plain walks (vwap_day.hpp), and for every stock what it traded, what it
// was not allowed to trade, and where its profit came from.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "kestrelia/kernels/vwap.hpp"
#include "lanes.hpp"
#include "vwap_day.hpp"

namespace kestrelia::kernels {

namespace {

using namespace lanes;
using namespace vwap_day;
using R = ExecutionRecord;

struct Lanes {
    double w[width], pc[width], c[width], bp[width], sp[width];
    double target[width], diff[width], bought[width], sold[width], position[width];
    double split_eff[width], buy_coeff[width], sell_coeff[width];
    double p_bought[width], p_held[width], p_held_dividend[width], p_sold[width],
        p_sold_dividend[width];
    long long valid[width];
};

struct Costs {
    double fee, rule_fee, total_money;
};

KESTRELIA_INLINE double finite_or_zero(double x) { return std::isfinite(x) ? x : 0.0; }

// One stock on one day, from the lanes of its block.
void record_stock(R& rec, double* day, double* stock, std::int64_t i, std::int64_t j,
                  const Lanes& l, int k, const Costs& c) {
    const double w = l.w[k], prev = l.pc[k], close = l.c[k];
    const double bought = l.bought[k], sold = l.sold[k], diff = l.diff[k];
    const bool valid = l.valid[k] != 0;
    const double capital = c.total_money;

    if (std::isfinite(w)) day[R::target_weight] += std::fabs(w);
    if (valid) {
        const double at_prev = l.target[k] * prev;
        day[R::lot_weight] += std::fabs(at_prev) / capital;
        day[R::rounding_weight] += std::fabs(w * capital - at_prev) / capital;
    } else if (std::isfinite(w) && w != 0.0) {
        day[R::no_price_weight] += std::fabs(w);
    }

    if (diff > 0.0 && bought == 0.0) {
        rec.blocked_day.push_back(i);
        rec.blocked_stock.push_back(j);
        rec.blocked_side.push_back(1);
        rec.blocked_shares.push_back(diff);
        day[R::buy_blocked_weight] += finite_or_zero(std::fabs(diff * prev)) / capital;
    } else if (diff < 0.0 && sold == 0.0) {
        rec.blocked_day.push_back(i);
        rec.blocked_stock.push_back(j);
        rec.blocked_side.push_back(-1);
        rec.blocked_shares.push_back(-diff);
        day[R::sell_blocked_weight] += finite_or_zero(std::fabs(diff * prev)) / capital;
    }

    // Profit parts. The simulation values a buy at close - price x (1 + fee) and a sell at
    // split x price x (1 - fee - stamp duty) - previous close, each replaced by 0 where it is
    // not a number; where the coefficient is finite its parts are split out, otherwise the
    // whole product is the trade's.
    double buy = l.p_bought[k], commission = 0.0, sell = l.p_sold[k], stamp = 0.0;
    if (bought != 0.0) {
        const double price = l.bp[k];
        rec.trade_day.push_back(i);
        rec.trade_stock.push_back(j);
        rec.trade_side.push_back(1);
        rec.trade_shares.push_back(bought);
        rec.trade_price.push_back(price);
        day[R::traded_amount] += finite_or_zero(bought * price) / capital;
        if (std::isfinite(close - price * (1 + c.fee))) {
            buy = bought * (close - price);
            commission -= bought * price * c.fee;
        }
    }
    if (sold != 0.0) {
        const double price = l.split_eff[k] * l.sp[k];
        rec.trade_day.push_back(i);
        rec.trade_stock.push_back(j);
        rec.trade_side.push_back(-1);
        rec.trade_shares.push_back(sold);
        rec.trade_price.push_back(price);
        day[R::traded_amount] += finite_or_zero(sold * price) / capital;
        if (std::isfinite(l.split_eff[k] * l.sp[k] * ((1.0 - c.fee) - c.rule_fee) - prev)) {
            sell = sold * (price - prev);
            commission -= sold * price * c.fee;
            stamp -= sold * price * c.rule_fee;
        }
    }
    const double hold = l.p_held[k], dividend = l.p_held_dividend[k] + l.p_sold_dividend[k];
    day[R::buy] += buy / capital;
    day[R::hold] += hold / capital;
    day[R::sell] += sell / capital;
    day[R::dividend] += dividend / capital;
    day[R::commission] += commission / capital;
    day[R::stamp_duty] += stamp / capital;
    stock[R::stock_buy] += buy;
    stock[R::stock_hold] += hold;
    stock[R::stock_sell] += sell;
    stock[R::stock_dividend] += dividend;
    stock[R::stock_commission] += commission;
    stock[R::stock_stamp_duty] += stamp;

    const double position = l.position[k];
    if (position != 0.0) {
        day[R::held_count] += 1.0;
        day[R::held_weight] += finite_or_zero(std::fabs(position * close)) / capital;
    }
}

template <bool Full>
KESTRELIA_INLINE void record_block(R& rec, DayProducts& sums, double* positions, const DayRows& d,
                                   std::int64_t i, std::ptrdiff_t j0, std::ptrdiff_t cols,
                                   const Factors& f, const Costs& c) {
    const DayVectors in = load_day<Full>(d, j0, cols);
    v4d position = load_at(positions + j0);
    DayDetail det;
    const DayProducts p = trade_day(position, in, f, det);
    store_at(positions + j0, position);
    sums.bought += p.bought;
    sums.held += p.held;
    sums.held_dividend += p.held_dividend;
    sums.sold += p.sold;
    sums.sold_dividend += p.sold_dividend;

    Lanes l;
    store(l.w, in.w);
    store(l.pc, in.pc);
    store(l.c, in.c);
    store(l.bp, in.bp);
    store(l.sp, in.sp);
    store(l.target, det.target);
    store(l.diff, det.diff);
    store(l.bought, det.bought);
    store(l.sold, det.sold);
    store(l.position, det.position);
    store(l.split_eff, det.split_eff);
    store(l.buy_coeff, det.buy_coeff);
    store(l.sell_coeff, det.sell_coeff);
    store(l.p_bought, p.bought);
    store(l.p_held, p.held);
    store(l.p_held_dividend, p.held_dividend);
    store(l.p_sold, p.sold);
    store(l.p_sold_dividend, p.sold_dividend);
    std::memcpy(l.valid, &det.valid, sizeof l.valid);
    double* day = rec.days.data() + i * R::n_day_columns;
    // Days past stock_days still count in their own day's row, not in the stock totals.
    double ignored[R::n_stock_columns];
    const bool in_totals = rec.stock_days < 0 || i < rec.stock_days;
    const std::ptrdiff_t used = Full ? width : cols - j0;
    for (int k = 0; k < used; ++k) {
        const std::int64_t j = j0 + k;
        double* stock = in_totals ? rec.stocks.data() + j * R::n_stock_columns : ignored;
        record_stock(rec, day, stock, i, j, l, k, c);
    }
}

KESTRELIA_INLINE double lane_total(v4d x) {
    double a[width];
    store(a, x);
    return (a[0] + a[1]) + (a[2] + a[3]);
}

KESTRELIA_INLINE void simulate_recorded(double* out, R& rec, std::ptrdiff_t n_days,
                                        const F64View& signal, const std::int64_t* signal_rows,
                                        const VwapMarket& m, const Factors& f, const Costs& c) {
    const std::ptrdiff_t cols = signal.cols;
    RowReader<double> sig(signal), pc(m.prev_close), cl(m.close), bp(m.buy_price), sp(m.sell_price),
        sf(m.split), dv(m.dividend);
    RowReader<std::uint8_t> cb(m.can_buy), cs(m.cant_sell);
    std::vector<double> positions(static_cast<std::size_t>((cols + width - 1) / width * width),
                                  0.0);
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const DayRows d{sig.row(signal_rows[i]),
                        pc.row(i),
                        cl.row(i),
                        bp.row(i),
                        sp.row(i),
                        sf.row(i),
                        dv.row(i),
                        cb.row(i),
                        cs.row(i)};
        const v4d zero = splat(0.0);
        DayProducts sums{zero, zero, zero, zero, zero};
        std::ptrdiff_t j0 = 0;
        for (; j0 + width <= cols; j0 += width)
            record_block<true>(rec, sums, positions.data(), d, i, j0, cols, f, c);
        if (j0 < cols) record_block<false>(rec, sums, positions.data(), d, i, j0, cols, f, c);
        // The five day sums reduced over their lanes, then added left to right: the plain
        // walks' order.
        const double cash = lane_total(sums.bought) + lane_total(sums.held) +
                            lane_total(sums.held_dividend) + lane_total(sums.sold) +
                            lane_total(sums.sold_dividend);
        out[i] = cash / f.total_money;
        if (rec.want_positions)
            std::copy(positions.begin(), positions.begin() + cols,
                      rec.positions.begin() + i * cols);
    }
}

KESTRELIA_AVX2_CLONE void simulate_recorded_avx2(double* out, R& rec, std::ptrdiff_t n_days,
                                                 const F64View& signal,
                                                 const std::int64_t* signal_rows,
                                                 const VwapMarket& m, const Factors& f,
                                                 const Costs& c) {
    simulate_recorded(out, rec, n_days, signal, signal_rows, m, f, c);
}

void simulate_recorded_portable(double* out, R& rec, std::ptrdiff_t n_days, const F64View& signal,
                                const std::int64_t* signal_rows, const VwapMarket& m,
                                const Factors& f, const Costs& c) {
    simulate_recorded(out, rec, n_days, signal, signal_rows, m, f, c);
}

}  // namespace

Status vwap_daily_return_recorded(double* out, ExecutionRecord& record, std::ptrdiff_t n_days,
                                  const F64View& signal, const std::int64_t* signal_rows,
                                  const VwapMarket& market, const VwapParams& params) {
    Status status = vwap_check(n_days, signal, signal_rows, market);
    if (!status) return status;
    const std::ptrdiff_t n_stocks = signal.cols;
    record.days.assign(static_cast<std::size_t>(n_days * R::n_day_columns), 0.0);
    record.stocks.assign(static_cast<std::size_t>(n_stocks * R::n_stock_columns), 0.0);
    if (record.want_positions)
        record.positions.assign(static_cast<std::size_t>(n_days * n_stocks), 0.0);
    const Factors f{params.total_money, params.lot_size, 1 + params.fee,
                    (1.0 - params.fee) - params.rule_fee};
    const Costs c{params.fee, params.rule_fee, params.total_money};
    if (use_avx2())
        simulate_recorded_avx2(out, record, n_days, signal, signal_rows, market, f, c);
    else
        simulate_recorded_portable(out, record, n_days, signal, signal_rows, market, f, c);
    return status;
}

}  // namespace kestrelia::kernels
