// The recording walks of the VWAP simulation: day by day over rows, or over blocks of
// columns a chunk of days at a time, with the same four-lane day arithmetic as the plain
// walks (vwap_day.hpp) in the same order of additions, and for every stock what it traded,
// what it was not allowed to trade, and where its profit came from.
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

struct Costs {
    double fee, rule_fee, total_money;
};

// A day's accumulators as plain doubles (no over-aligned type in a std::vector): the five
// sums the return is made of, then the recorded columns, each summed over four lanes.
struct DayAcc {
    double sums[5][width];
    double cols[R::n_day_columns][width];
};

KESTRELIA_INLINE void add_to(double (&acc)[width], v4d x) {
    v4d a;
    std::memcpy(&a, acc, sizeof a);
    a += x;
    std::memcpy(acc, &a, sizeof a);
}

KESTRELIA_INLINE double lane_total(const double (&x)[width]) {
    return (x[0] + x[1]) + (x[2] + x[3]);
}

KESTRELIA_INLINE v4d finite_or_zero(v4d x) { return select(is_finite(x), x, splat(0.0)); }

KESTRELIA_INLINE bool any_lane(v4i mask) {
    long long m[width];
    std::memcpy(m, &mask, sizeof m);
    return (m[0] | m[1] | m[2] | m[3]) != 0;
}

// The long tables take a row for each lane where `up` (side +1) or `down` (side -1) is set,
// lanes in stock order (no lane has both: a stock wants to buy or to sell, not both).
KESTRELIA_INLINE void append(std::vector<std::int64_t>& days, std::vector<std::int64_t>& stocks,
                             std::vector<std::int8_t>& sides, std::vector<double>& shares,
                             std::vector<double>* prices, std::int64_t i, std::ptrdiff_t j0,
                             std::ptrdiff_t used, v4i up, v4d up_shares, v4d up_price, v4i down,
                             v4d down_shares, v4d down_price) {
    long long u[width], d[width];
    double us[width], up_[width], ds[width], dp[width];
    std::memcpy(u, &up, sizeof u);
    std::memcpy(d, &down, sizeof d);
    store(us, up_shares);
    store(up_, up_price);
    store(ds, down_shares);
    store(dp, down_price);
    for (std::ptrdiff_t k = 0; k < used; ++k) {
        if (!u[k] && !d[k]) continue;
        days.push_back(i);
        stocks.push_back(j0 + k);
        sides.push_back(u[k] ? 1 : -1);
        shares.push_back(u[k] ? us[k] : ds[k]);
        if (prices) prices->push_back(u[k] ? up_[k] : dp[k]);
    }
}

// One block of four stocks on one day: the same trade_day as the plain walks (its five
// products added to the day's sums in the same order), then what it traded, what it could
// not, and the parts of its profit, all as lane arithmetic. Money is summed in currency and
// divided by the capital once per day at the end.
KESTRELIA_INLINE void record_block(R& rec, DayAcc& day, double* const* stock_totals, v4d& position,
                                   const DayVectors& in, std::int64_t i, std::ptrdiff_t j0,
                                   std::ptrdiff_t used, const Factors& f, const Costs& c,
                                   bool in_totals) {
    DayDetail det;
    const DayProducts p = trade_day(position, in, f, det);
    add_to(day.sums[0], p.bought);
    add_to(day.sums[1], p.held);
    add_to(day.sums[2], p.held_dividend);
    add_to(day.sums[3], p.sold);
    add_to(day.sums[4], p.sold_dividend);

    const v4d zero = splat(0.0);
    const v4i finite_w = is_finite(in.w);
    const v4i holding = det.position != zero;
    const v4i bought = det.bought != zero, sold = det.sold != zero;
    const v4i buy_blocked = (det.diff > zero) & ~bought;
    const v4i sell_blocked = (det.diff < zero) & ~sold;
    // Most cells hold no weight, no position and want no trade: nothing to add there.
    if (!any_lane((finite_w & (in.w != zero)) | holding | bought | sold | buy_blocked |
                  sell_blocked))
        return;

    const v4d capital = splat(c.total_money);
    const v4d at_prev = det.target * in.pc;
    auto& col = day.cols;
    add_to(col[R::target_weight], select(finite_w, abs4(in.w), zero));
    add_to(col[R::lot_weight], select(det.valid, abs4(at_prev), zero));
    add_to(col[R::rounding_weight], select(det.valid, abs4(in.w * capital - at_prev), zero));
    add_to(col[R::no_price_weight],
           select(finite_w & (in.w != zero) & ~det.valid, abs4(in.w), zero));
    add_to(col[R::buy_blocked_weight],
           select(buy_blocked, finite_or_zero(abs4(det.diff * in.pc)), zero));
    add_to(col[R::sell_blocked_weight],
           select(sell_blocked, finite_or_zero(abs4(det.diff * in.pc)), zero));
    add_to(col[R::held_weight], select(holding, finite_or_zero(abs4(det.position * in.c)), zero));
    add_to(col[R::held_count], count_if(holding));

    // Profit parts. The simulation values a buy at close - price x (1 + fee) and a sell at
    // split x price x (1 - fee - stamp duty) - previous close, each replaced by 0 where it is
    // not a number; where that coefficient is finite its parts are split out, otherwise the
    // whole product is the trade's.
    const v4d buy_price = in.bp, sell_price = det.split_eff * in.sp;
    const v4i buy_split = bought & is_finite(in.c - in.bp * splat(1 + c.fee));
    const v4i sell_split =
        sold & is_finite(det.split_eff * in.sp * splat((1.0 - c.fee) - c.rule_fee) - in.pc);
    const v4d buy = select(buy_split, det.bought * (in.c - buy_price), p.bought);
    const v4d sell = select(sell_split, det.sold * (sell_price - in.pc), p.sold);
    const v4d commission = select(buy_split, -(det.bought * buy_price * splat(c.fee)), zero) +
                           select(sell_split, -(det.sold * sell_price * splat(c.fee)), zero);
    const v4d stamp = select(sell_split, -(det.sold * sell_price * splat(c.rule_fee)), zero);
    const v4d dividend = p.held_dividend + p.sold_dividend;
    add_to(col[R::traded_amount], select(bought, finite_or_zero(det.bought * buy_price), zero) +
                                      select(sold, finite_or_zero(det.sold * sell_price), zero));
    add_to(col[R::buy], buy);
    add_to(col[R::hold], p.held);
    add_to(col[R::sell], sell);
    add_to(col[R::dividend], dividend);
    add_to(col[R::commission], commission);
    add_to(col[R::stamp_duty], stamp);
    if (in_totals) {
        const v4d parts[R::n_stock_columns] = {buy, p.held, sell, dividend, commission, stamp};
        for (int k = 0; k < R::n_stock_columns; ++k)
            store_at(stock_totals[k] + j0, load_at(stock_totals[k] + j0) + parts[k]);
    }

    if (any_lane(bought | sold))
        append(rec.trade_day, rec.trade_stock, rec.trade_side, rec.trade_shares, &rec.trade_price,
               i, j0, used, bought, det.bought, buy_price, sold, det.sold, sell_price);
    if (any_lane(buy_blocked | sell_blocked))
        append(rec.blocked_day, rec.blocked_stock, rec.blocked_side, rec.blocked_shares, nullptr, i,
               j0, used, buy_blocked, det.diff, zero, sell_blocked, -det.diff, zero);
}

struct Walk {
    R& rec;
    std::vector<DayAcc>& days;
    double* const* stock_totals;
    std::vector<double>& positions;  // end-of-day positions, n_days x cols, when wanted
    std::ptrdiff_t cols;
    const Factors& f;
    const Costs& c;

    bool in_totals(std::ptrdiff_t i) const { return rec.stock_days < 0 || i < rec.stock_days; }
};

// Day by day over rows; column-major inputs in a mostly row-major set are staged a tile of
// rows at a time.
// Inlined into the AVX2 and the baseline clones alike (a separate function would be
// compiled for the baseline only).
KESTRELIA_INLINE void walk_rows(Walk& w, std::ptrdiff_t n_days, const F64View& signal,
                                const std::int64_t* signal_rows, const VwapMarket& m) {
    RowReader<double> sig(signal), pc(m.prev_close), cl(m.close), bp(m.buy_price), sp(m.sell_price),
        sf(m.split), dv(m.dividend);
    RowReader<std::uint8_t> cb(m.can_buy), cs(m.cant_sell);
    std::vector<double> held(static_cast<std::size_t>((w.cols + width - 1) / width * width), 0.0);
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
        // The day's accumulators live on the stack while the day is walked.
        DayAcc day{};
        const bool totals = w.in_totals(i);
        for (std::ptrdiff_t j0 = 0; j0 < w.cols; j0 += width) {
            const bool full = j0 + width <= w.cols;
            const DayVectors in =
                full ? load_day<true>(d, j0, w.cols) : load_day<false>(d, j0, w.cols);
            v4d position = load_at(held.data() + j0);
            record_block(w.rec, day, w.stock_totals, position, in, i, j0,
                         full ? width : w.cols - j0, w.f, w.c, totals);
            store_at(held.data() + j0, position);
        }
        w.days[static_cast<std::size_t>(i)] = day;
        if (w.rec.want_positions)
            std::copy(held.begin(), held.begin() + w.cols, w.positions.begin() + i * w.cols);
    }
}

// Moves the long-table rows of one chunk of days, made block by block, to the record in
// (day, stock) order: a stable counting sort by day. Inside a day the rows were made in
// stock order, so the record's order is the row walk's.
void append_by_day(std::vector<std::int64_t>& days, std::vector<std::int64_t>& stocks,
                   std::vector<std::int8_t>& sides, std::vector<double>& shares,
                   std::vector<double>* prices, const std::vector<std::int64_t>& c_days,
                   const std::vector<std::int64_t>& c_stocks,
                   const std::vector<std::int8_t>& c_sides, const std::vector<double>& c_shares,
                   const std::vector<double>* c_prices, std::int64_t first_day,
                   std::vector<std::size_t>& slot) {
    const std::size_t n = c_days.size(), base = days.size();
    std::fill(slot.begin(), slot.end(), 0);
    for (std::size_t e = 0; e < n; ++e) ++slot[static_cast<std::size_t>(c_days[e] - first_day) + 1];
    for (std::size_t k = 1; k < slot.size(); ++k) slot[k] += slot[k - 1];
    days.resize(base + n);
    stocks.resize(base + n);
    sides.resize(base + n);
    shares.resize(base + n);
    if (prices) prices->resize(base + n);
    for (std::size_t e = 0; e < n; ++e) {
        const std::size_t at = base + slot[static_cast<std::size_t>(c_days[e] - first_day)]++;
        days[at] = c_days[e];
        stocks[at] = c_stocks[e];
        sides[at] = c_sides[e];
        shares[at] = c_shares[e];
        if (prices) (*prices)[at] = (*c_prices)[e];
    }
}

// Days of a chunk of the column walk: their accumulators stay in the core's cache while
// every block of stocks adds to them.
constexpr std::ptrdiff_t chunk_days = 256;

// Over blocks of four stocks, reading columns in place, a chunk of days at a time. Each
// day's accumulators take the blocks in stock order and each stock's totals take the days
// in order: the additions of the row walk, in the same order.
KESTRELIA_INLINE void walk_column_chunks(Walk& w, std::ptrdiff_t n_days, const F64View& signal,
                                         const std::int64_t* signal_rows, const VwapMarket& m) {
    InPlaceInputs in{InPlace<double>(signal),           InPlace<double>(m.prev_close),
                     InPlace<double>(m.close),          InPlace<double>(m.buy_price),
                     InPlace<double>(m.sell_price),     InPlace<double>(m.split),
                     InPlace<double>(m.dividend),       InPlace<std::uint8_t>(m.can_buy),
                     InPlace<std::uint8_t>(m.cant_sell)};
    InPlaceInputs ahead = in;
    const std::ptrdiff_t cols = w.cols;
    std::vector<double> held(static_cast<std::size_t>((cols + width - 1) / width * width), 0.0);
    R chunk;  // the chunk's long-table rows, block by block
    std::vector<std::size_t> slot(static_cast<std::size_t>(chunk_days + 1));
    for (std::ptrdiff_t c0 = 0; c0 < n_days; c0 += chunk_days) {
        const std::ptrdiff_t c1 = std::min(n_days, c0 + chunk_days);
        for (auto* v :
             {&chunk.trade_day, &chunk.trade_stock, &chunk.blocked_day, &chunk.blocked_stock})
            v->clear();
        chunk.trade_side.clear();
        chunk.blocked_side.clear();
        chunk.trade_shares.clear();
        chunk.trade_price.clear();
        chunk.blocked_shares.clear();
        for (std::ptrdiff_t j0 = 0; j0 < cols; j0 += width) {
            const std::ptrdiff_t used = std::min(width, cols - j0);
            const bool next_block = j0 + width < cols;
            in.start_block(j0);
            if (next_block) ahead.start_block(j0 + width);
            v4d position = load_at(held.data() + j0);
            for (std::ptrdiff_t i = c0; i < c1; ++i) {
                // The next block's runs of days arrive while this block is walked, a cache
                // line of doubles (eight days) at a time.
                if (next_block && (i - c0) % 8 == 0) ahead.prefetch(i, signal_rows[i]);
                const DayVectors day_in = used == width ? in.read<true>(i, signal_rows[i])
                                                        : in.read<false>(i, signal_rows[i]);
                record_block(chunk, w.days[static_cast<std::size_t>(i)], w.stock_totals, position,
                             day_in, i, j0, used, w.f, w.c, w.in_totals(i));
                if (w.rec.want_positions) {
                    double lanes_now[width];
                    store(lanes_now, position);
                    std::copy(lanes_now, lanes_now + used, w.positions.begin() + i * cols + j0);
                }
            }
            store_at(held.data() + j0, position);
        }
        R& rec = w.rec;
        append_by_day(rec.trade_day, rec.trade_stock, rec.trade_side, rec.trade_shares,
                      &rec.trade_price, chunk.trade_day, chunk.trade_stock, chunk.trade_side,
                      chunk.trade_shares, &chunk.trade_price, c0, slot);
        append_by_day(rec.blocked_day, rec.blocked_stock, rec.blocked_side, rec.blocked_shares,
                      nullptr, chunk.blocked_day, chunk.blocked_stock, chunk.blocked_side,
                      chunk.blocked_shares, nullptr, c0, slot);
    }
}

KESTRELIA_INLINE void simulate_recorded(double* out, R& rec, std::ptrdiff_t n_days,
                                        const F64View& signal, const std::int64_t* signal_rows,
                                        const VwapMarket& m, const Factors& f, const Costs& c) {
    const std::ptrdiff_t cols = signal.cols;
    const std::ptrdiff_t padded = (cols + width - 1) / width * width;
    std::vector<double> totals(static_cast<std::size_t>(padded * R::n_stock_columns), 0.0);
    double* stock_totals[R::n_stock_columns];
    for (int k = 0; k < R::n_stock_columns; ++k) stock_totals[k] = totals.data() + k * padded;
    std::vector<DayAcc> days(static_cast<std::size_t>(n_days), DayAcc{});
    Walk w{rec, days, stock_totals, rec.positions, cols, f, c};
    // Day by day over rows when most inputs are laid out by rows; otherwise over columns in
    // place, a chunk of days at a time (walking all days per block would stream every day's
    // accumulators once per block, and staging rows out of columns touches a memory page
    // per stock and day).
    if (mostly_row_major(signal, m))
        walk_rows(w, n_days, signal, signal_rows, m);
    else
        walk_column_chunks(w, n_days, signal, signal_rows, m);
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const DayAcc& day = days[static_cast<std::size_t>(i)];
        // The five day sums reduced over their lanes, then added left to right: the plain
        // walks' order.
        const double cash = lane_total(day.sums[0]) + lane_total(day.sums[1]) +
                            lane_total(day.sums[2]) + lane_total(day.sums[3]) +
                            lane_total(day.sums[4]);
        out[i] = cash / f.total_money;
        double* row = rec.days.data() + i * R::n_day_columns;
        for (int k = 0; k < R::n_day_columns; ++k) row[k] = lane_total(day.cols[k]);
    }
    for (std::ptrdiff_t j = 0; j < cols; ++j)
        for (int k = 0; k < R::n_stock_columns; ++k)
            rec.stocks[static_cast<std::size_t>(j * R::n_stock_columns + k)] = stock_totals[k][j];
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
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        double* day = record.days.data() + i * R::n_day_columns;
        for (int col : {R::lot_weight, R::held_weight, R::buy_blocked_weight,
                        R::sell_blocked_weight, R::rounding_weight, R::traded_amount, R::buy,
                        R::hold, R::sell, R::dividend, R::commission, R::stamp_duty})
            day[col] /= params.total_money;
    }
    return status;
}

}  // namespace kestrelia::kernels
