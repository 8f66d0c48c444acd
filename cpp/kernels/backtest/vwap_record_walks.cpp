// The recording walks of the VWAP simulation, a chunk of days at a time: day by day over
// rows, one stock at a time over column-major inputs, or over blocks of four stocks when
// layouts are mixed. Each uses the same four-lane day arithmetic as the plain walks
// (vwap_day.hpp) in the same order of additions, and records for every stock what it
// traded, what it was not allowed to trade, and where its profit came from.
#include <algorithm>
#include <cstring>
#include <vector>

#include "vwap_record.hpp"

namespace kestrelia::kernels::vwap_record {

namespace {

KESTRELIA_INLINE void add_to(double (&acc)[width], v4d x) {
    v4d a;
    std::memcpy(&a, acc, sizeof a);
    a += x;
    std::memcpy(acc, &a, sizeof a);
}

// What four lanes recorded on top of the simulation's products: each recorded day column
// and each profit part, lane by lane, and which lanes traded or were blocked.
struct LaneRecord {
    v4d cols[R::n_day_columns];
    v4d parts[R::n_stock_columns];
    v4i bought, sold, buy_blocked, sell_blocked, unpriced;
    v4d buy_price, sell_price;
};

// The recorded values of four lanes (four stocks on a day, or a stock on four days) after
// trade_to gave `det` and `p`, as lane arithmetic; false where no lane holds a weight or a
// position or wants a trade (most cells), with nothing to add. Money is in currency.
KESTRELIA_INLINE bool record_lanes(LaneRecord& r, const DayDetail& det, const DayProducts& p,
                                   const DayVectors& in, const Factors& f) {
    const v4d zero = splat(0.0);
    const v4i finite_w = is_finite(in.w);
    const v4i holding = det.position != zero;
    r.bought = det.bought != zero;
    r.sold = det.sold != zero;
    r.buy_blocked = (det.diff > zero) & ~r.bought;
    r.sell_blocked = (det.diff < zero) & ~r.sold;
    if (!any_lane((finite_w & (in.w != zero)) | holding | r.bought | r.sold | r.buy_blocked |
                  r.sell_blocked))
        return false;

    const v4d capital = f.money;
    const v4d at_prev = det.target * in.pc;
    v4d* col = r.cols;
    col[R::target_weight] = select(finite_w, abs4(in.w), zero);
    col[R::lot_weight] = select(det.valid, abs4(at_prev), zero);
    col[R::rounding_weight] = select(det.valid, abs4(in.w * capital - at_prev), zero);
    col[R::no_price_weight] = select(finite_w & (in.w != zero) & ~det.valid, abs4(in.w), zero);
    col[R::buy_blocked_weight] =
        select(r.buy_blocked, finite_or_zero(abs4(det.diff * in.pc)), zero);
    col[R::sell_blocked_weight] =
        select(r.sell_blocked, finite_or_zero(abs4(det.diff * in.pc)), zero);
    col[R::held_weight] = select(holding, finite_or_zero(abs4(det.position * in.c)), zero);
    col[R::held_count] = count_if(holding);

    // Profit parts. The simulation values a buy at close - price x (1 + buy-side rates) and a
    // sell at split x price x (1 - sell-side rates) - previous close, each replaced by 0
    // where it is not a number; where that coefficient is finite its parts are split out,
    // otherwise the whole product is the trade's. What orders below a minimum commission
    // pay on top of it is commission too.
    r.buy_price = in.bp;
    r.sell_price = det.split_eff * in.sp;
    const v4i buy_split = r.bought & is_finite(in.c - in.bp * f.buy);
    const v4i sell_split = r.sold & is_finite(det.split_eff * in.sp * f.sell - in.pc);
    r.unpriced = (r.bought & ~buy_split) | (r.sold & ~sell_split);
    const v4d buy = select(buy_split, det.bought * (in.c - r.buy_price), p.part[bought]);
    const v4d sell = select(sell_split, det.sold * (r.sell_price - in.pc), p.part[sold]);
    auto on_buys = [&](v4d rate) {
        return select(buy_split, -(det.bought * r.buy_price * rate), zero);
    };
    auto on_sells = [&](v4d rate) {
        return select(sell_split, -(det.sold * r.sell_price * rate), zero);
    };
    v4d commission = on_buys(f.commission) + on_sells(f.commission);
    if (f.min_commission > 0.0) commission += p.part[minimum];
    const v4d stamp = on_sells(f.stamp_sell) + on_buys(f.stamp_buy);
    const v4d transfer = on_buys(f.transfer) + on_sells(f.transfer);
    const v4d dividend = p.part[held_dividend] + p.part[sold_dividend];
    col[R::traded_amount] = select(r.bought, finite_or_zero(det.bought * r.buy_price), zero) +
                            select(r.sold, finite_or_zero(det.sold * r.sell_price), zero);
    col[R::buy] = buy;
    col[R::hold] = p.part[held];
    col[R::sell] = sell;
    col[R::dividend] = dividend;
    col[R::commission] = commission;
    col[R::stamp_duty] = stamp;
    col[R::transfer_fee] = transfer;
    r.parts[R::stock_buy] = buy;
    r.parts[R::stock_hold] = p.part[held];
    r.parts[R::stock_sell] = sell;
    r.parts[R::stock_dividend] = dividend;
    r.parts[R::stock_commission] = commission;
    r.parts[R::stock_stamp_duty] = stamp;
    r.parts[R::stock_transfer_fee] = transfer;
    return true;
}

// One block of four stocks on one day: the same trade_day as the plain walks (its five
// products added to the day's sums in the same order), then what it traded, what it could
// not, and the parts of its profit. Money is summed in currency and divided by the capital
// once per day at the end.
KESTRELIA_INLINE void record_block(ChunkOut& made, DayAcc& day, double* const* stock_totals,
                                   v4d& position, v4d& carried, bool hold_day, bool track,
                                   const DayVectors& in, std::ptrdiff_t at, std::ptrdiff_t j0,
                                   std::ptrdiff_t used, const Factors& f, bool in_totals) {
    DayDetail det;
    const DayProducts p = trade_day(position, carried, hold_day, track, in, f, det);
    for (int k = 0; k < n_money; ++k) add_to(day.sums[k], p.part[k]);

    LaneRecord r;
    if (!record_lanes(r, det, p, in, f)) return;
    for (int k = 0; k < R::n_day_columns; ++k) add_to(day.cols[k], r.cols[k]);
    if (in_totals) {
        for (int k = 0; k < R::n_stock_columns; ++k)
            store_at(stock_totals[k] + j0, load_at(stock_totals[k] + j0) + r.parts[k]);
    }

    const v4d zero = splat(0.0);
    if (any_lane(r.bought | r.sold))
        made.trades.add(at, j0, 0, 1, used, r.bought, det.bought, r.buy_price, r.sold, det.sold,
                        r.sell_price, r.unpriced);
    if (any_lane(r.buy_blocked | r.sell_blocked))
        made.blocked.add(at, j0, 0, 1, used, r.buy_blocked, det.diff, zero, r.sell_blocked,
                         -det.diff, zero, v4i{});
}

// One stock on four days (`used` of them real, from day i0, the chunk's day `at`): the same
// day arithmetic as the other walks, its products added to the lane's runs of day sums;
// each stock total takes the days in order.
template <bool Full>
KESTRELIA_INLINE void record_quad(ChunkOut& made, ChunkLanes& acc, double* const* stock_totals,
                                  double& position, double& carried, bool track,
                                  const std::uint8_t* hold, const DayVectors& in, std::int64_t i0,
                                  std::ptrdiff_t at, std::ptrdiff_t j, std::ptrdiff_t used,
                                  std::ptrdiff_t stock_days, const Factors& f) {
    DayDetail det;
    const DayProducts p = trade_quad(position, carried, track, hold, used, in, f, det);
    const std::ptrdiff_t lane = j % width;
    for (int k = 0; k < n_money; ++k) add_at(acc.of(lane, k) + at, p.part[k]);

    LaneRecord r;
    if (!record_lanes(r, det, p, in, f)) return;
    for (int k = 0; k < R::n_day_columns; ++k) add_at(acc.of(lane, n_money + k) + at, r.cols[k]);
    double parts[R::n_stock_columns][width];
    for (int k = 0; k < R::n_stock_columns; ++k) store(parts[k], r.parts[k]);
    for (std::ptrdiff_t d = 0; d < (Full ? width : used); ++d) {
        if (stock_days >= 0 && i0 + d >= stock_days) break;
        for (int k = 0; k < R::n_stock_columns; ++k) stock_totals[k][j] += parts[k][d];
    }

    const v4d zero = splat(0.0);
    const std::ptrdiff_t real = Full ? width : used;
    if (any_lane(r.bought | r.sold))
        made.trades.add(at, j, 1, 0, real, r.bought, det.bought, r.buy_price, r.sold, det.sold,
                        r.sell_price, r.unpriced);
    if (any_lane(r.buy_blocked | r.sell_blocked))
        made.blocked.add(at, j, 1, 0, real, r.buy_blocked, det.diff, zero, r.sell_blocked,
                         -det.diff, zero, v4i{});
}

// The inputs that move positions (weights, previous close, split factor and the two
// masks), four stocks on one day; the other inputs are zero, and the products they feed
// are not used.
template <bool Full, class Reader, class MaskReader>
KESTRELIA_INLINE DayVectors position_inputs(const Reader& sig, const Reader& pc, const Reader& sf,
                                            const MaskReader& cb, const MaskReader& cs,
                                            std::ptrdiff_t i, std::int64_t signal_row) {
    DayLanes in{};
    sig.template read<Full>(signal_row, pad_value, in.w);
    pc.template read<Full>(i, pad_value, in.pc);
    sf.template read<Full>(i, pad_value, in.sf);
    cb.template read<Full>(i, pad_can_buy, in.cb);
    cs.template read<Full>(i, pad_cant_sell, in.cs);
    return vectors_of(in);
}

// The light pass: positions before the first day of every chunk up to the last thread's
// first, by the same day arithmetic as the walks (a position depends only on the weights,
// the previous close, the split factor and the two masks), over columns in place or over rows, for
// stocks j_begin .. j_end - 1 (whole blocks, so that threads can share the work). Each thread
// carries its positions from one of its chunks to the next.
KESTRELIA_INLINE void find_chunk_starts(Standing& starts, const Job& job, std::ptrdiff_t j_begin,
                                        std::ptrdiff_t j_end) {
    const std::ptrdiff_t cols = job.cols, n_days = job.n_days;
    const bool track = job.track();
    if (!job.by_rows) {
        ColumnReader<double> sig(job.signal, false), pc(job.m.prev_close, false),
            sf(job.m.split, false);
        ColumnReader<std::uint8_t> cb(job.m.can_buy, false), cs(job.m.cant_sell, false);
        for (std::ptrdiff_t j0 = j_begin; j0 < j_end; j0 += width) {
            const bool full = j0 + width <= cols;
            for (auto* r : {&sig, &pc, &sf}) r->start_block(j0);
            cb.start_block(j0);
            cs.start_block(j0);
            v4d position = splat(0.0), carried = splat(0.0);
            for (std::ptrdiff_t i = 0; i < n_days && i <= job.light_days; ++i) {
                if (i % job.chunk_days == 0) {
                    const std::ptrdiff_t at = i / job.chunk_days * job.padded + j0;
                    store_at(starts.held.data() + at, position);
                    store_at(starts.carried.data() + at, carried);
                }
                if (i == job.light_days) break;
                const DayVectors in =
                    full ? position_inputs<true>(sig, pc, sf, cb, cs, i, job.signal_rows[i])
                         : position_inputs<false>(sig, pc, sf, cb, cs, i, job.signal_rows[i]);
                trade_day(position, carried, job.hold_day(i), track, in, job.f.on_day(i));
            }
        }
        return;
    }
    RowReader<double> sig(job.signal), pc(job.m.prev_close), sf(job.m.split);
    RowReader<std::uint8_t> cb(job.m.can_buy), cs(job.m.cant_sell);
    const auto padded = static_cast<std::size_t>(job.padded);
    std::vector<double> held(padded, 0.0), carry(padded, 0.0);
    const v4d zero = splat(0.0);
    for (std::ptrdiff_t i = 0; i < n_days && i <= job.light_days; ++i) {
        if (i % job.chunk_days == 0) {
            const std::ptrdiff_t at = i / job.chunk_days * job.padded;
            const std::ptrdiff_t end = std::min(j_end, job.padded);
            std::copy(held.begin() + j_begin, held.begin() + end,
                      starts.held.begin() + at + j_begin);
            std::copy(carry.begin() + j_begin, carry.begin() + end,
                      starts.carried.begin() + at + j_begin);
        }
        if (i == job.light_days) break;
        const bool hold_day = job.hold_day(i);
        const double* w = sig.row(job.signal_rows[i]);
        const double* prev = pc.row(i);
        const double* split = sf.row(i);
        const Factors factors = job.f.on_day(i);
        const std::uint8_t* buy = cb.row(i);
        const std::uint8_t* sell = cs.row(i);
        for (std::ptrdiff_t j0 = j_begin; j0 < j_end; j0 += width) {
            v4d position = load_at(held.data() + j0);
            v4d carried = load_at(carry.data() + j0);
            if (j0 + width <= cols) {
                const DayVectors in{load_at(w + j0),
                                    load_at(prev + j0),
                                    zero,
                                    zero,
                                    zero,
                                    load_at(split + j0),
                                    zero,
                                    mask_at(buy + j0),
                                    mask_at(sell + j0)};
                trade_day(position, carried, hold_day, track, in, factors);
            } else {
                DayLanes in{};
                lanes_of(w, j0, cols, pad_value, in.w);
                lanes_of(prev, j0, cols, pad_value, in.pc);
                lanes_of(split, j0, cols, pad_value, in.sf);
                lanes_of(buy, j0, cols, pad_can_buy, in.cb);
                lanes_of(sell, j0, cols, pad_cant_sell, in.cs);
                trade_day(position, carried, hold_day, track, vectors_of(in), factors);
            }
            store_at(held.data() + j0, position);
            store_at(carry.data() + j0, carried);
        }
    }
}

// Day by day over rows; column-major inputs in a mostly row-major set are staged a tile of
// rows at a time. Each day's accumulators take the blocks in stock order.
KESTRELIA_INLINE void chunk_rows(const Job& job, std::ptrdiff_t c0, std::ptrdiff_t c1,
                                 ChunkOut& made, Standing& standing, double* const* stock_totals) {
    const bool track = job.track();
    RowInputs rows(job.signal, job.m);
    const std::ptrdiff_t cols = job.cols;
    for (std::ptrdiff_t i = c0; i < c1; ++i) {
        const DayRows d = rows.day(i, job.signal_rows[i]);
        // The day's accumulators live on the stack while the day is walked.
        DayAcc day{};
        const bool totals = job.in_totals(i);
        const bool hold_day = job.hold_day(i);
        for (std::ptrdiff_t j0 = 0; j0 < cols; j0 += width) {
            const bool full = j0 + width <= cols;
            const DayVectors in = full ? load_day<true>(d, j0, cols) : load_day<false>(d, j0, cols);
            v4d position = load_at(standing.held.data() + j0);
            v4d carried = load_at(standing.carried.data() + j0);
            record_block(made, day, stock_totals, position, carried, hold_day, track, in, i - c0,
                         j0, full ? width : cols - j0, job.f.on_day(i), totals);
            store_at(standing.held.data() + j0, position);
            store_at(standing.carried.data() + j0, carried);
        }
        job.days[static_cast<std::size_t>(i)] = day;
    }
}

// Mixed layouts: over blocks of four stocks, reading columns in place with the next
// block's runs of days prefetched. Each day's accumulators take the blocks in stock order
// and each stock's totals take the chunk's days in order.
KESTRELIA_INLINE void chunk_columns(const Job& job, std::ptrdiff_t c0, std::ptrdiff_t c1,
                                    ThreadOut& out, ChunkOut& made, double* const* stock_totals) {
    const VwapMarket& m = job.m;
    BlockInputs in(job.signal, m, false);
    BlockInputs ahead = in;
    const std::ptrdiff_t cols = job.cols;
    const bool track = job.track();
    double* held = out.at.held.data();
    double* carry = out.at.carried.data();
    for (std::ptrdiff_t j0 = 0; j0 < cols; j0 += width) {
        const std::ptrdiff_t used = std::min(width, cols - j0);
        const bool next_block = j0 + width < cols;
        in.start_block(j0);
        if (next_block) ahead.start_block(j0 + width);
        v4d position = load_at(held + j0);
        v4d carried = load_at(carry + j0);
        for (std::ptrdiff_t i = c0; i < c1; ++i) {
            // The next block's runs of days arrive while this block is walked, a cache line
            // of doubles (eight days) at a time.
            if (next_block && (i - c0) % 8 == 0) ahead.prefetch(i, job.signal_rows[i]);
            const DayVectors day_in = used == width ? in.read<true>(i, job.signal_rows[i])
                                                    : in.read<false>(i, job.signal_rows[i]);
            record_block(made, job.days[static_cast<std::size_t>(i)], stock_totals, position,
                         carried, job.hold_day(i), track, day_in, i - c0, j0, used, job.f.on_day(i),
                         job.in_totals(i));
        }
        store_at(held + j0, position);
        store_at(carry + j0, carried);
    }
}

// One stock at a time over the chunk's days, four days to a vector, for inputs that are
// all column-major: nine runs of days are read at once rather than thirty-six. A chunk's
// run of days is short (2 KiB of each input), too short for the hardware to learn each
// run before it ends, so the next stock's runs are fetched while this one is walked, a
// cache line at a time. Each day's lane sums take the stocks in stock order, as in the
// block walk.
KESTRELIA_INLINE void chunk_stocks(const Job& job, std::ptrdiff_t c0, std::ptrdiff_t c1,
                                   ThreadOut& out, ChunkOut& made, double* const* stock_totals) {
    const std::int64_t* rows = job.signal_rows;
    out.lanes.reset(c1 - c0);
    const std::ptrdiff_t full_end = c0 + (c1 - c0) / width * width;
    std::vector<std::uint8_t>& in_step = out.in_step;
    quads_in_step(in_step, rows, c0, c1);
    quads_holding(out.holding, job.hold, c0, c1);
    const bool track = job.track();
    for (std::ptrdiff_t j = 0; j < job.cols; ++j) {
        const DayRows col = stock_column(job.signal, job.m, j);
        double position = out.at.held[static_cast<std::size_t>(j)];
        double carried = out.at.carried[static_cast<std::size_t>(j)];
        const DayRows next = stock_column(job.signal, job.m, std::min(j + 1, job.cols - 1));
        std::ptrdiff_t i0 = c0;
        for (; i0 < full_end; i0 += width) {
            if ((i0 - c0) % 8 == 0) {
                __builtin_prefetch(next.w + rows[i0]);
                prefetch_prices(next, i0);
                if ((i0 - c0) % 64 == 0) prefetch_masks(next, i0);
            }
            const auto q = static_cast<std::size_t>((i0 - c0) / width);
            const bool step = in_step[q];
            // Idle days add nothing anywhere, and their positions (zero) are already there.
            if (idle_quad(position, carried, col, i0, rows, step)) continue;
            const DayVectors in = stock_days<true>(col, i0, c1, rows, step);
            record_quad<true>(made, out.lanes, stock_totals, position, carried, track,
                              out.holding[q] ? job.hold + i0 : nullptr, in, i0, i0 - c0, j, width,
                              job.stock_days, job.f.on_days(i0));
        }
        if (i0 < c1) {
            const DayVectors in = stock_days<false>(col, i0, c1, rows, false);
            record_quad<false>(made, out.lanes, stock_totals, position, carried, track,
                               track ? job.hold + i0 : nullptr, in, i0, i0 - c0, j, c1 - i0,
                               job.stock_days, job.f.on_days(i0));
        }
        out.at.held[static_cast<std::size_t>(j)] = position;
        out.at.carried[static_cast<std::size_t>(j)] = carried;
    }
    out.lanes.to_days(job.days, c0, c1 - c0);
}

// Chunk k: its rows and per-stock totals into `made`. Inlined into both builds of
// record_chunk below (a separate function would be compiled for the baseline only).
KESTRELIA_INLINE void walk_chunk(const Job& job, std::ptrdiff_t k, ThreadOut& out, ChunkOut& made) {
    const std::ptrdiff_t c0 = k * job.chunk_days, c1 = std::min(job.n_days, c0 + job.chunk_days);
    // Room for as many rows as the thread's last chunk made, and an eighth more.
    made.trades.reset(c1 - c0, out.trades + out.trades / 8);
    made.blocked.reset(c1 - c0, out.blocked + out.blocked / 8);
    made.totals.assign(static_cast<std::size_t>(job.padded * R::n_stock_columns), 0.0);
    double* stock_totals[R::n_stock_columns];
    for (int s = 0; s < R::n_stock_columns; ++s)
        stock_totals[s] = made.totals.data() + s * job.padded;
    if (job.by_rows)
        chunk_rows(job, c0, c1, made, out.at, stock_totals);
    else if (job.by_stocks)
        chunk_stocks(job, c0, c1, out, made, stock_totals);
    else
        chunk_columns(job, c0, c1, out, made, stock_totals);
    out.trades = made.trades.size();
    out.blocked = made.blocked.size();
}

}  // namespace

void record_chunk(const Job& job, std::ptrdiff_t k, ThreadOut& out, ChunkOut& made) {
    in_best_build([&](auto) KESTRELIA_BODY { walk_chunk(job, k, out, made); });
}

void chunk_starts(Standing& starts, const Job& job, std::ptrdiff_t j_begin, std::ptrdiff_t j_end) {
    in_best_build([&](auto) KESTRELIA_BODY { find_chunk_starts(starts, job, j_begin, j_end); });
}

}  // namespace kestrelia::kernels::vwap_record
