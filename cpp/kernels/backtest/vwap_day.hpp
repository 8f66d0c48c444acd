// The arithmetic of one simulated day of four stocks, shared by every walk of the VWAP
// simulation (stock-outer, day-outer, and the recording walk), so that all of them give the
// same bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kestrelia/kernels/vwap.hpp"
#include "lanes.hpp"

namespace kestrelia::kernels::vwap_day {

using namespace lanes;

// What the trades of four lanes (four stocks on a day, or a stock on four days) are sized
// and charged with, lane by lane: the money targets are sized from (the capital, or the
// day's equity), what a bought share costs and a sold one yields per unit of its price
// (1 + buy-side rates, 1 - sell-side rates), the commission rate (for the minimum per
// order), and the other rates apart (for the execution record's parts).
struct Factors {
    v4d money, buy, sell, commission, stamp_buy, stamp_sell, transfer;
    double lot_size, min_commission;
};

// The same for a whole backtest: constants, and per-day values (arrays of n_days + width
// elements, null where a constant holds) where the cost model or the sizing changes from
// one day to the next.
struct DayRates {
    double total_money, lot_size, buy, sell, commission, stamp_buy, stamp_sell, transfer,
        min_commission;
    const double* money = nullptr;
    const double* buy_day = nullptr;
    const double* sell_day = nullptr;
    const double* commission_day = nullptr;
    const double* stamp_buy_day = nullptr;
    const double* stamp_sell_day = nullptr;
    const double* transfer_day = nullptr;

    // Whether anything changes from day to day or a minimum commission is paid (else
    // on_day(0) holds for every day, and the minimum's part is zero).
    bool by_day() const {
        return money || buy_day || sell_day || commission_day || stamp_buy_day || stamp_sell_day ||
               transfer_day || min_commission > 0.0;
    }
    // Day i's, the same in every lane.
    KESTRELIA_INLINE Factors on_day(std::ptrdiff_t i) const {
        return with(
            [i](const double* day, double constant) { return splat(day ? day[i] : constant); });
    }
    // Days i0 .. i0 + 3, one a lane.
    KESTRELIA_INLINE Factors on_days(std::ptrdiff_t i0) const {
        return with([i0](const double* day, double constant) {
            return day ? load_at(day + i0) : splat(constant);
        });
    }
    // The factors with each rate read by `at` from its per-day array (or its constant).
    template <class At>
    KESTRELIA_INLINE Factors with(At at) const {
        return {at(money, total_money),
                at(buy_day, buy),
                at(sell_day, sell),
                at(commission_day, commission),
                at(stamp_buy_day, stamp_buy),
                at(stamp_sell_day, stamp_sell),
                at(transfer_day, transfer),
                lot_size,
                min_commission};
    }
};

// The DayRates of VwapParams, with the per-day arrays it needs (padded by a quad, so that
// the last quad of days loads whole vectors). A bought share costs ((1 + commission) +
// stamp duty on buys) + transfer fee per unit of its price and a sold one yields
// ((1 - commission) - stamp duty) - transfer fee; with the constants alone these are
// 1 + fee and (1 - fee) - rule_fee, to the bit.
class DayRateArrays {
public:
    DayRateArrays(std::ptrdiff_t n_days, const VwapParams& p)
        : rates{p.total_money, p.lot_size, 1 + p.fee,       (1.0 - p.fee) - p.rule_fee, p.fee, 0.0,
                p.rule_fee,    0.0,        p.min_commission} {
        const auto n = static_cast<std::size_t>(n_days + width);
        if (p.money) rates.money = copy(money_, p.money, n_days, 0.0);
        if (!p.commission && !p.stamp_sell && !p.stamp_buy && !p.transfer) return;
        rates.commission_day = copy(commission_, p.commission, n_days, p.fee);
        rates.stamp_sell_day = copy(stamp_sell_, p.stamp_sell, n_days, p.rule_fee);
        rates.stamp_buy_day = copy(stamp_buy_, p.stamp_buy, n_days, 0.0);
        rates.transfer_day = copy(transfer_, p.transfer, n_days, 0.0);
        buy_.assign(n, 1.0);
        sell_.assign(n, 1.0);
        for (std::ptrdiff_t i = 0; i < n_days; ++i) {
            const auto k = static_cast<std::size_t>(i);
            buy_[k] = ((1 + commission_[k]) + stamp_buy_[k]) + transfer_[k];
            sell_[k] = ((1.0 - commission_[k]) - stamp_sell_[k]) - transfer_[k];
        }
        rates.buy_day = buy_.data();
        rates.sell_day = sell_.data();
    }

    DayRates rates;

private:
    static const double* copy(std::vector<double>& to, const double* from, std::ptrdiff_t n_days,
                              double constant) {
        to.assign(static_cast<std::size_t>(n_days + width), constant);
        if (from) std::copy(from, from + n_days, to.begin());
        return to.data();
    }

    std::vector<double> money_, commission_, stamp_sell_, stamp_buy_, transfer_, buy_, sell_;
};

// The inputs of four neighbouring stocks on one day.
struct DayLanes {
    double w[width], pc[width], c[width], bp[width], sp[width], sf[width], dv[width];
    std::uint8_t cb[width], cs[width];
};

// The same inputs as vectors, and the two masks as lane masks.
struct DayVectors {
    v4d w, pc, c, bp, sp, sf, dv;
    v4i cb, cs;
};

KESTRELIA_INLINE DayVectors vectors_of(const DayLanes& in) {
    return {load(in.w),  load(in.pc), load(in.c),     load(in.bp),   load(in.sp),
            load(in.sf), load(in.dv), mask_of(in.cb), mask_of(in.cs)};
}

// What one day of four stocks adds to the day's sums: the five money products of the
// return (in this order, which is the order they are combined in), then the money bought
// and sold (traded) and the number of stocks held at the end of the day (holding).
// With a minimum commission per order, `minimum` is what orders below it pay on top of
// their commission (zero or negative money), added after the five.
enum Part : int {
    bought,
    held,
    held_dividend,
    sold,
    sold_dividend,
    minimum,
    traded,
    holding,
    n_parts
};

struct DayProducts {
    v4d part[n_parts];
};

// What a day of four stocks did, for the recording walk: the lot-rounded target, the wanted
// change, the shares bought and sold, the position after trading, and the coefficients.
struct DayDetail {
    v4d target, diff, bought, sold, position, split_eff, dividend_eff;
    v4d buy_coeff, hold_coeff, sell_coeff;
    v4i valid;
};

// What a day's split factor does to a share count: a finite factor multiplies it, anything
// else (a factor no split can have) leaves it as it is.
KESTRELIA_INLINE v4d share_factor(v4d split_eff) {
    return select(is_finite(split_eff), split_eff, splat(1.0));
}

// The lot-rounded target of four stocks on one day, and which of them have one (a finite
// weight and a finite, positive previous close). It does not depend on the position.
struct DayTarget {
    v4d target;
    v4i valid;
};

KESTRELIA_INLINE DayTarget day_target(const DayVectors& in, const Factors& f) {
    const v4d total_money = f.money, lot = splat(f.lot_size), zero = splat(0.0);
    const v4d raw_target = (total_money * in.w) / (in.pc * lot);
    const v4i valid = is_finite(in.w) & is_finite(in.pc) & (in.pc > zero);
    return {select(valid, floor4(raw_target) * lot, zero), valid};
}

// What orders whose commission (the rate times the amount) falls short of the minimum pay
// on top of it, as money lost (zero or negative); zero without a minimum. An order is one
// stock, one side, one day.
KESTRELIA_INLINE v4d minimum_top_up(v4d bought, v4d sold, v4d buy_price, v4d sell_price,
                                    const Factors& f) {
    const v4d zero = splat(0.0);
    if (!(f.min_commission > 0.0)) return zero;
    const v4d least = splat(f.min_commission);
    const v4d on_buy = bought * buy_price * f.commission;
    const v4d on_sell = sold * sell_price * f.commission;
    const v4d short_buy = select((bought != zero) & (on_buy < least), least - on_buy, zero);
    const v4d short_sell = select((sold != zero) & (on_sell < least), least - on_sell, zero);
    return -(short_buy + short_sell);
}

// One day of four stocks: trades `position` towards the day's target and returns the
// five money products. Every walk calls this, so their lanes are bit-identical. Every
// expression keeps the order of the NumPy formulation, so lot rounding and the per-share
// coefficients are bit-identical to it. `detail` receives the intermediate values; walks
// that do not read it let the compiler drop those stores.
KESTRELIA_INLINE DayProducts trade_to(v4d& position, const DayTarget& t, const DayVectors& in,
                                      const Factors& f, DayDetail& detail) {
    const v4d buy_factor = f.buy, sell_factor = f.sell, zero = splat(0.0);
    const v4d prev = in.pc, cl = in.c;
    const v4d target = t.target;

    const v4d diff = target - position;
    const v4d real_buy = select((diff > zero) & in.cb, diff, zero);
    const v4d sold = select((diff < zero) & ~in.cs, -diff, zero);
    const v4d hold = position - sold;

    const v4d split_factor = in.sf;
    const v4d split_eff = select(is_nan(split_factor), splat(1.0), split_factor);
    // The shares kept through a split day are old shares and the day's buys new ones (as
    // the day's profit prices them), so the day ends holding the kept shares times the
    // split factor plus the buys, in whole shares. Without a split this is hold + buy.
    const v4d share = share_factor(split_eff);
    position = hold * share + real_buy;
    // Rare (splits are), and an identity on the whole share counts of the other lanes.
    if (any_lane(share != splat(1.0))) position = rint4(position);
    const v4d dividend_eff = nan_to_num(in.dv);
    const v4d buy_coeff = nan_to_num(cl - in.bp * buy_factor);
    const v4d hold_coeff = nan_to_num(split_eff * cl - prev);
    const v4d sell_coeff = nan_to_num(split_eff * in.sp * sell_factor - prev);
    detail = {target,       diff,      real_buy,   sold,       position, split_eff,
              dividend_eff, buy_coeff, hold_coeff, sell_coeff, t.valid};
    const v4d traded = select(real_buy != zero, finite_or_zero(real_buy * in.bp), zero) +
                       select(sold != zero, finite_or_zero(sold * (split_eff * in.sp)), zero);
    return {{real_buy * buy_coeff, hold * hold_coeff, hold * dividend_eff, sold * sell_coeff,
             sold * dividend_eff, minimum_top_up(real_buy, sold, in.bp, split_eff * in.sp, f),
             traded, count_if(position != zero)}};
}

constexpr double pad_nan = __builtin_nan("");

// The lanes whose weight wants a position that the day could not size (no usable previous
// close).
KESTRELIA_INLINE v4i unsized(const DayTarget& t, v4d w) {
    return ~t.valid & is_finite(w) & (w != splat(0.0));
}

// The target a day that sets none keeps: the one carried into it, times the day's split
// factor, in whole shares (as the position it was reached with is).
KESTRELIA_INLINE v4d carried_out(v4d target, v4d split_eff) {
    return rint4(target * share_factor(split_eff));
}

// One day of four stocks. A day that sets no new target (`hold_day`) trades towards the
// target carried into it, so a position blocked by a limit or a suspension keeps being
// retried; with `track` (a schedule that has such days) `carried` comes out as the target
// the day carries into the next.
//
// A target whose day could not size it (a weight, but no usable previous close: a row
// dated before the market's first day, a stock suspended on the rebalance day) is carried
// as NaN, and the first day that sets no new target and can size it does, from the
// weights of the row that set it (which such days read).
KESTRELIA_INLINE DayProducts trade_day(v4d& position, v4d& carried, bool hold_day, bool track,
                                       const DayVectors& in, const Factors& f, DayDetail& detail) {
    DayTarget t = day_target(in, f);
    const v4i sizing = hold_day ? is_nan(carried) : v4i{-1, -1, -1, -1};
    if (hold_day) t.target = select(sizing, t.target, carried);
    const DayProducts p = trade_to(position, t, in, f, detail);
    if (track)
        carried = select(sizing & unsized(t, in.w), splat(pad_nan),
                         carried_out(t.target, detail.split_eff));
    return p;
}

KESTRELIA_INLINE DayProducts trade_day(v4d& position, v4d& carried, bool hold_day, bool track,
                                       const DayVectors& in, const Factors& f) {
    DayDetail unused;
    return trade_day(position, carried, hold_day, track, in, f, unused);
}

// The targets of one stock's `used` days from a quad's lanes: days flagged in `hold` (none
// when it is null) take the target carried into them (or, while it is not sized, size it
// as trade_day does), and `carried` goes in as the target carried into the first day and
// comes out as the one carried out of the last, day by day in order (a day carries what
// the day before left it).
KESTRELIA_INLINE void carry_days(DayTarget& t, double& carried, v4d split_eff, v4d w,
                                 const std::uint8_t* hold, std::ptrdiff_t used) {
    const v4d factor = share_factor(split_eff);
    // The usual quad between rebalances: every day holds a sized target and no split moves
    // the count.
    if (hold != nullptr && used == width && (hold[0] & hold[1] & hold[2] & hold[3]) &&
        carried == carried && !any_lane(factor != splat(1.0))) {
        t.target = splat(carried);
        return;
    }
    double target[width], share[width];
    long long open[width];
    store(target, t.target);
    store(share, factor);
    const v4i not_sized = unsized(t, w);
    std::memcpy(open, &not_sized, sizeof open);
    for (std::ptrdiff_t k = hold == nullptr ? used - 1 : 0; k < used; ++k) {
        const bool sizing = hold == nullptr || !hold[k] || carried != carried;
        if (!sizing) target[k] = carried;
        carried = sizing && open[k] ? pad_nan : __builtin_rint(target[k] * share[k]);
    }
    t.target = load(target);
}

// Lanes past the last stock read NaN prices and weights, no buying and no selling: they
// trade nothing and add +0.0 to every sum, whichever traversal fills them.
constexpr double pad_value = pad_nan;
constexpr std::uint8_t pad_can_buy = 0, pad_cant_sell = 1;

// The rows of one day, all inputs.
struct DayRows {
    const double *w, *pc, *c, *bp, *sp, *sf, *dv;
    const std::uint8_t *cb, *cs;
};

// Four neighbouring values of a row or a column from `first`; those from `end` on read `pad`.
template <class T>
KESTRELIA_INLINE void lanes_of(const T* values, std::ptrdiff_t first, std::ptrdiff_t end, T pad,
                               T (&out)[width]) {
    for (std::ptrdiff_t k = 0; k < width; ++k) out[k] = first + k < end ? values[first + k] : pad;
}

// Values first .. first + 3 of the eight market inputs of `d` (a day's rows or a stock's
// columns); those from `end` on read the padding.
KESTRELIA_INLINE void market_lanes(const DayRows& d, std::ptrdiff_t first, std::ptrdiff_t end,
                                   DayLanes& lanes) {
    lanes_of(d.pc, first, end, pad_value, lanes.pc);
    lanes_of(d.c, first, end, pad_value, lanes.c);
    lanes_of(d.bp, first, end, pad_value, lanes.bp);
    lanes_of(d.sp, first, end, pad_value, lanes.sp);
    lanes_of(d.sf, first, end, pad_value, lanes.sf);
    lanes_of(d.dv, first, end, pad_value, lanes.dv);
    lanes_of(d.cb, first, end, pad_can_buy, lanes.cb);
    lanes_of(d.cs, first, end, pad_cant_sell, lanes.cs);
}

// The inputs of stocks j0 .. j0 + 3 on one day, read from the day's rows.
template <bool Full>
KESTRELIA_INLINE DayVectors load_day(const DayRows& d, std::ptrdiff_t j0, std::ptrdiff_t cols) {
    if constexpr (Full) {
        // Straight vector loads from the rows (staging through small arrays would make
        // each vector wait on two half-width stores).
        return {load_at(d.w + j0),  load_at(d.pc + j0), load_at(d.c + j0),
                load_at(d.bp + j0), load_at(d.sp + j0), load_at(d.sf + j0),
                load_at(d.dv + j0), mask_at(d.cb + j0), mask_at(d.cs + j0)};
    } else {
        DayLanes lanes;
        lanes_of(d.w, j0, cols, pad_value, lanes.w);
        market_lanes(d, j0, cols, lanes);
        return vectors_of(lanes);
    }
}

// Stock j's column of every input (each stock's days contiguous: column-major inputs).
KESTRELIA_INLINE DayRows stock_column(const F64View& signal, const VwapMarket& m,
                                      std::ptrdiff_t j) {
    return DayRows{signal.column(j),      m.prev_close.column(j), m.close.column(j),
                   m.buy_price.column(j), m.sell_price.column(j), m.split.column(j),
                   m.dividend.column(j),  m.can_buy.column(j),    m.cant_sell.column(j)};
}

// For each whole quad of days from `first` to `end`, whether its signal rows are
// consecutive (the quad's weights are then one vector load).
inline void quads_in_step(std::vector<std::uint8_t>& out, const std::int64_t* signal_rows,
                          std::ptrdiff_t first, std::ptrdiff_t end) {
    out.assign(static_cast<std::size_t>((end - first) / width), 0);
    for (std::size_t q = 0; q < out.size(); ++q) {
        const std::int64_t* r = signal_rows + first + static_cast<std::ptrdiff_t>(q) * width;
        out[q] = r[1] == r[0] + 1 && r[2] == r[0] + 2 && r[3] == r[0] + 3;
    }
}

// For each whole quad of days from `first` to `end`, whether one of its days sets no new
// target (all zero when `hold` is null: every day sets one).
inline void quads_holding(std::vector<std::uint8_t>& out, const std::uint8_t* hold,
                          std::ptrdiff_t first, std::ptrdiff_t end) {
    out.assign(static_cast<std::size_t>((end - first) / width), 0);
    if (hold == nullptr) return;
    for (std::size_t q = 0; q < out.size(); ++q) {
        const std::uint8_t* h = hold + first + static_cast<std::ptrdiff_t>(q) * width;
        out[q] = (h[0] | h[1] | h[2] | h[3]) != 0;
    }
}

// The inputs of one stock on days i0 .. i0 + 3.
template <bool Full>
KESTRELIA_INLINE DayVectors stock_days(const DayRows& col, std::ptrdiff_t i0, std::ptrdiff_t n_days,
                                       const std::int64_t* signal_rows, bool signal_in_step) {
    if constexpr (Full) {
        const v4d w = signal_in_step ? load_at(col.w + signal_rows[i0])
                                     : v4d{col.w[signal_rows[i0]], col.w[signal_rows[i0 + 1]],
                                           col.w[signal_rows[i0 + 2]], col.w[signal_rows[i0 + 3]]};
        return {w,
                load_at(col.pc + i0),
                load_at(col.c + i0),
                load_at(col.bp + i0),
                load_at(col.sp + i0),
                load_at(col.sf + i0),
                load_at(col.dv + i0),
                mask_at(col.cb + i0),
                mask_at(col.cs + i0)};
    } else {
        DayLanes lanes;
        for (std::ptrdiff_t k = 0; k < width; ++k)
            lanes.w[k] = i0 + k < n_days ? col.w[signal_rows[i0 + k]] : pad_value;
        market_lanes(col, i0, n_days, lanes);
        return vectors_of(lanes);
    }
}

KESTRELIA_INLINE v4d shift_in(double carry, v4d x) { return v4d{carry, x[0], x[1], x[2]}; }

// Four days of one stock, traded one after the other. Each day starts from the position
// the day before ended at, so the days are traded from a guess of those positions (the
// day's target, where a day without a blocked trade ends), and the guess is replaced by
// what trading from it gave until the two agree bit for bit; every round fixes at least
// one more day, so at most four rounds are needed and the products and `detail` are those
// of trading the days one by one. `position` goes in as the day before the first's and
// comes out as the last day's.
//
// With `track` (a schedule with days that set no target), the days' targets are carried as
// carry_days says: `carried` goes in as the target carried into the first day and comes out
// as the one carried out of the last; `hold` flags the quad's days that set none (null when
// none of them does). `used` is the number of real days.
KESTRELIA_INLINE DayProducts trade_quad(double& position, double& carried, bool track,
                                        const std::uint8_t* hold, std::ptrdiff_t used,
                                        const DayVectors& in, const Factors& f, DayDetail& detail) {
    DayTarget t = day_target(in, f);
    if (track) carry_days(t, carried, select(is_nan(in.sf), splat(1.0), in.sf), in.w, hold, used);
    v4d guess = t.target;
    for (;;) {
        v4d ended = shift_in(position, guess);
        const DayProducts p = trade_to(ended, t, in, f, detail);
        const v4i same = (v4i)ended == (v4i)guess;
        if (same[0] && same[1] && same[2]) {
            position = ended[3];
            return p;
        }
        guess = ended;
    }
}

// Whether four whole days of one stock trade nothing from `position`: days without a
// finite, non-zero weight have a zero target whatever the prices, so from no position
// every product is zero and nothing is traded, held or blocked. Their prices need not be
// read, and skipping them keeps every sum's bits (a sum plus zero is the same sum, as no
// sum is ever -0). Sparse weights leave most of a stock's history idle.
//
// A day that sets no target reads the weights of the day that last set one, so a quad is
// idle only if the target carried into it (`carried`) is zero as well.
KESTRELIA_INLINE bool idle_quad(double position, double carried, const DayRows& col,
                                std::ptrdiff_t i0, const std::int64_t* signal_rows,
                                bool signal_in_step) {
    if (position != 0.0 || carried != 0.0) return false;
    const v4d w = signal_in_step ? load_at(col.w + signal_rows[i0])
                                 : v4d{col.w[signal_rows[i0]], col.w[signal_rows[i0 + 1]],
                                       col.w[signal_rows[i0 + 2]], col.w[signal_rows[i0 + 3]]};
    const v4i wanted = is_finite(w) & (w != splat(0.0));
    return (wanted[0] | wanted[1] | wanted[2] | wanted[3]) == 0;
}

// Ask for the cache line that holds day i of each price column of a stock (eight days),
// or of each mask column (64 days).
KESTRELIA_INLINE void prefetch_prices(const DayRows& col, std::ptrdiff_t i) {
    for (const double* p : {col.pc, col.c, col.bp, col.sp, col.sf, col.dv})
        __builtin_prefetch(p + i);
}
KESTRELIA_INLINE void prefetch_masks(const DayRows& col, std::ptrdiff_t i) {
    __builtin_prefetch(col.cb + i);
    __builtin_prefetch(col.cs + i);
}

KESTRELIA_INLINE void add_at(double* sum, v4d x) { store_at(sum, load_at(sum) + x); }

// The nine inputs of a block of four neighbouring stocks, one day at a time (see
// ColumnReader; `stage` says whether row-major inputs are staged a strip at a time).
struct BlockInputs {
    ColumnReader<double> sig, pc, cl, bp, sp, sf, dv;
    ColumnReader<std::uint8_t> cb, cs;

    BlockInputs(const F64View& signal, const VwapMarket& m, bool stage)
        : sig(signal, stage),
          pc(m.prev_close, stage),
          cl(m.close, stage),
          bp(m.buy_price, stage),
          sp(m.sell_price, stage),
          sf(m.split, stage),
          dv(m.dividend, stage),
          cb(m.can_buy, stage),
          cs(m.cant_sell, stage) {}

    void start_block(std::ptrdiff_t j0) {
        for (auto* r : {&sig, &pc, &cl, &bp, &sp, &sf, &dv}) r->start_block(j0);
        cb.start_block(j0);
        cs.start_block(j0);
    }

    template <bool Full>
    KESTRELIA_INLINE DayVectors read(std::ptrdiff_t i, std::int64_t signal_row) const {
        DayLanes in;
        sig.read<Full>(signal_row, pad_value, in.w);
        pc.read<Full>(i, pad_value, in.pc);
        cl.read<Full>(i, pad_value, in.c);
        bp.read<Full>(i, pad_value, in.bp);
        sp.read<Full>(i, pad_value, in.sp);
        sf.read<Full>(i, pad_value, in.sf);
        dv.read<Full>(i, pad_value, in.dv);
        cb.read<Full>(i, pad_can_buy, in.cb);
        cs.read<Full>(i, pad_cant_sell, in.cs);
        return vectors_of(in);
    }

    KESTRELIA_INLINE void prefetch(std::ptrdiff_t i, std::int64_t signal_row) const {
        sig.prefetch(signal_row);
        for (const auto* r : {&pc, &cl, &bp, &sp, &sf, &dv}) r->prefetch(i);
        cb.prefetch(i);
        cs.prefetch(i);
    }
};

// The rows of the nine inputs a day at a time, whatever each matrix's layout (RowReader).
class RowInputs {
public:
    RowInputs(const F64View& signal, const VwapMarket& m)
        : sig_(signal),
          pc_(m.prev_close),
          cl_(m.close),
          bp_(m.buy_price),
          sp_(m.sell_price),
          sf_(m.split),
          dv_(m.dividend),
          cb_(m.can_buy),
          cs_(m.cant_sell) {}

    // Day i's rows, its weights those of signal row `signal_row`.
    DayRows day(std::ptrdiff_t i, std::int64_t signal_row) {
        return DayRows{sig_.row(signal_row), pc_.row(i), cl_.row(i), bp_.row(i), sp_.row(i),
                       sf_.row(i),           dv_.row(i), cb_.row(i), cs_.row(i)};
    }

private:
    RowReader<double> sig_, pc_, cl_, bp_, sp_, sf_, dv_;
    RowReader<std::uint8_t> cb_, cs_;
};

}  // namespace kestrelia::kernels::vwap_day

namespace kestrelia::kernels {
// The shape and row checks every walk makes before it reads anything.
Status vwap_check(std::ptrdiff_t n_days, const F64View& signal, const std::int64_t* signal_rows,
                  const VwapMarket& market);
// Whether most input bytes are laid out by rows: the walks go day by day over rows then,
// and over columns otherwise (the plain simulation one stock at a time when every input
// is column-major, four stocks at a time when the layouts are mixed).
bool mostly_row_major(const F64View& signal, const VwapMarket& market);
// Whether every input keeps each stock's days contiguous (column-major): the walks then go
// one stock at a time, four days to a vector.
bool all_column_major(const F64View& signal, const VwapMarket& market);
}  // namespace kestrelia::kernels
