#include "kestrelia/kernels/vwap.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "lanes.hpp"
#include "vwap_day.hpp"

namespace kestrelia::kernels {

namespace {

using namespace lanes;
using namespace vwap_day;

// A day's lane-wise sums of each part, stored as plain doubles (no over-aligned
// allocation needed).
struct DaySums {
    double part[n_parts][width];
};

KESTRELIA_INLINE void add_to(double (&sum)[width], v4d x) {
    v4d s;
    std::memcpy(&s, sum, sizeof s);
    s += x;
    std::memcpy(sum, &s, sizeof s);
}

template <class T>
bool shaped(const MatrixView<T>& v, std::ptrdiff_t rows, std::ptrdiff_t cols) {
    return v.rows == rows && v.cols == cols;
}

// Block path, for mixed layouts: one block of four stocks over all days (row-major inputs
// staged a strip at a time); each day's products are added to that day's sums, blocks in
// stock order.
template <bool Full>
KESTRELIA_INLINE void simulate_block(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                                     const std::int64_t* signal_rows, const std::uint8_t* hold,
                                     const BlockInputs& r, const DayRates& rates) {
    v4d position = splat(0.0), carried = splat(0.0);
    const bool track = hold != nullptr;
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const DayProducts p = trade_day(position, carried, track && hold[i], track,
                                        r.read<Full>(i, signal_rows[i]), rates.on_day(i));

        DaySums& d = days[static_cast<std::size_t>(i)];
        for (int k = 0; k < n_parts; ++k) add_to(d.part[k], p.part[k]);
    }
}

KESTRELIA_INLINE void simulate_columns(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                                       const F64View& signal, const std::int64_t* signal_rows,
                                       const std::uint8_t* hold, const VwapMarket& m,
                                       const DayRates& f) {
    BlockInputs r(signal, m, true);
    for (std::ptrdiff_t j0 = 0; j0 < signal.cols; j0 += width) {
        r.start_block(j0);
        if (j0 + width <= signal.cols)
            simulate_block<true>(days, n_days, signal_rows, hold, r, f);
        else
            simulate_block<false>(days, n_days, signal_rows, hold, r, f);
    }
}

// The five day sums of one lane, each a run over the days (padded to whole quads), so that
// four days of one stock are added with one vector operation.
class LaneSums {
public:
    static constexpr std::ptrdiff_t n_sums = n_parts;

    explicit LaneSums(std::ptrdiff_t n_days)
        : days_((n_days + width - 1) / width * width),
          sums_(static_cast<std::size_t>(width * n_sums * days_), 0.0) {}

    KESTRELIA_INLINE double* of(std::ptrdiff_t lane, std::ptrdiff_t sum) {
        return sums_.data() + (lane * n_sums + sum) * days_;
    }

    // The sums in the per-day layout the other walks fill.
    void to_days(std::vector<DaySums>& days) {
        for (std::size_t i = 0; i < days.size(); ++i) {
            const auto at = static_cast<std::ptrdiff_t>(i);
            for (std::ptrdiff_t k = 0; k < width; ++k)
                for (int s = 0; s < n_parts; ++s) days[i].part[s][k] = of(k, s)[at];
        }
    }

private:
    std::ptrdiff_t days_;
    std::vector<double> sums_;
};

// Four days of one stock, added to the sums of its lane.
// `hold` flags the quad's days that set no new target (null when none of them does), and
// `track` says whether the schedule has such days at all. `Sums` says what the walk needs:
// rates read day by day (and a minimum commission's part) or one set of constants
// (`fixed`), and whether the money traded and the stocks held are summed too.
template <bool ByDay, bool Totals>
struct Sums {
    static constexpr bool by_day = ByDay;
    static KESTRELIA_INLINE constexpr bool wanted(int part) {
        return (ByDay || part != minimum) && (Totals || (part != traded && part != holding));
    }
};

template <bool Full, class Costing>
KESTRELIA_INLINE void stock_quad(double& position, double& carried, LaneSums& sums,
                                 std::ptrdiff_t lane, const DayRows& col, std::ptrdiff_t i0,
                                 std::ptrdiff_t n_days, const std::int64_t* signal_rows,
                                 bool signal_in_step, bool track, const std::uint8_t* hold,
                                 const DayRates& rates, const Factors& fixed) {
    if (Full && idle_quad(position, carried, col, i0, signal_rows, signal_in_step)) return;
    const DayVectors in = stock_days<Full>(col, i0, n_days, signal_rows, signal_in_step);
    DayDetail unused;
    const DayProducts p = trade_quad(position, carried, track, hold, Full ? width : n_days - i0, in,
                                     Costing::by_day ? rates.on_days(i0) : fixed, unused);
    for (int k = 0; k < n_parts; ++k)
        if (Costing::wanted(k)) add_at(sums.of(lane, k) + i0, p.part[k]);
}

// Stock path, for inputs that all keep each stock's days contiguous (column-major): one
// stock at a time over its whole history, four days to a vector, its products added to
// the sums of lane (stock mod 4). Every day's lane sums take the stocks in the same order
// as the block walk, so the bits are the same.
template <class Costing>
KESTRELIA_INLINE void simulate_stocks(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                                      const F64View& signal, const std::int64_t* signal_rows,
                                      const std::uint8_t* hold, const VwapMarket& m,
                                      const DayRates& f) {
    LaneSums sums(n_days);
    std::vector<std::uint8_t> in_step, holding;
    quads_in_step(in_step, signal_rows, 0, n_days);
    quads_holding(holding, hold, 0, n_days);
    const bool track = hold != nullptr;
    const Factors fixed = f.on_day(0);
    const std::ptrdiff_t full_days = n_days / width * width;
    for (std::ptrdiff_t j = 0; j < signal.cols; ++j) {
        const DayRows col = stock_column(signal, m, j);
        const std::ptrdiff_t lane = j % width;
        double position = 0.0, carried = 0.0;
        std::ptrdiff_t i0 = 0;
        for (; i0 < full_days; i0 += width) {
            // Idle days skip the prices, and after a run of them the hardware has lost
            // track of the price columns: the lines three ahead are asked for.
            if (i0 % 8 == 0) {
                prefetch_prices(col, i0 + 24);
                if (i0 % 64 == 0) prefetch_masks(col, i0 + 64);
            }
            const auto q = static_cast<std::size_t>(i0 / width);
            stock_quad<true, Costing>(position, carried, sums, lane, col, i0, n_days, signal_rows,
                                      in_step[q], track, holding[q] ? hold + i0 : nullptr, f,
                                      fixed);
        }
        if (i0 < n_days)
            stock_quad<false, Costing>(position, carried, sums, lane, col, i0, n_days, signal_rows,
                                       false, track, track ? hold + i0 : nullptr, f, fixed);
    }
    sums.to_days(days);
}

template <bool Full>
KESTRELIA_INLINE void day_block(DayProducts& sums, double* positions, double* carried,
                                bool hold_day, const DayRows& d, std::ptrdiff_t j0,
                                std::ptrdiff_t cols, const Factors& f) {
    const DayVectors in = load_day<Full>(d, j0, cols);
    v4d position = load_at(positions + j0);
    const bool track = carried != nullptr;
    v4d carry = track ? load_at(carried + j0) : splat(0.0);
    const DayProducts p = trade_day(position, carry, hold_day, track, in, f);
    store_at(positions + j0, position);
    if (track) store_at(carried + j0, carry);
    for (int k = 0; k < n_parts; ++k) sums.part[k] += p.part[k];
}

KESTRELIA_INLINE double lane_sum(const double (&x)[width]) { return (x[0] + x[1]) + (x[2] + x[3]); }

// A day's profit in money: each of the five sums (and the top-ups of a minimum commission,
// when there is one) reduced over its lanes, then added left to right.
KESTRELIA_INLINE double day_cash(const DaySums& d, bool minimum_paid) {
    const double cash = lane_sum(d.part[bought]) + lane_sum(d.part[held]) +
                        lane_sum(d.part[held_dividend]) + lane_sum(d.part[sold]) +
                        lane_sum(d.part[sold_dividend]);
    return minimum_paid ? cash + lane_sum(d.part[minimum]) : cash;
}

// Row path: day-outer over contiguous rows, with the positions of all stocks kept in one
// small array. Each day's sums start at zero and take the blocks in stock order, the same
// additions in the same order as the column path.
//
// With `compound`, each day's targets are sized from the equity at the previous close (the
// capital plus every earlier day's profit), which only a day-outer walk knows before the
// day: `equity` (n_days + width elements) receives it; from the first day it is not
// positive, every later day sizes from nothing.
KESTRELIA_INLINE void simulate_rows(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                                    const F64View& signal, const std::int64_t* signal_rows,
                                    const std::uint8_t* hold, const VwapMarket& m,
                                    const DayRates& rates, double* equity) {
    const std::ptrdiff_t cols = signal.cols;
    RowInputs rows(signal, m);
    // Padded to whole blocks; the padding lanes stay at zero shares.
    const auto padded = static_cast<std::size_t>((cols + width - 1) / width * width);
    std::vector<double> positions(padded, 0.0), carried(hold ? padded : 0, 0.0);
    double* carry = hold ? carried.data() : nullptr;
    double wealth = rates.total_money;
    bool solvent = wealth > 0.0;
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const bool hold_day = hold && hold[i];
        const DayRows d = rows.day(i, signal_rows[i]);
        Factors f = rates.on_day(i);
        if (equity != nullptr) {
            equity[i] = solvent ? wealth : 0.0;
            f.money = splat(equity[i]);
        }
        DayProducts sums{};
        std::ptrdiff_t j0 = 0;
        for (; j0 + width <= cols; j0 += width)
            day_block<true>(sums, positions.data(), carry, hold_day, d, j0, cols, f);
        if (j0 < cols) day_block<false>(sums, positions.data(), carry, hold_day, d, j0, cols, f);
        DaySums& out = days[static_cast<std::size_t>(i)];
        for (int k = 0; k < n_parts; ++k) store(out.part[k], sums.part[k]);
        if (equity != nullptr) {
            wealth = wealth + day_cash(out, rates.min_commission > 0.0);
            solvent = solvent && wealth > 0.0;
        }
    }
}

// Compounding over column-major inputs. The walk must go day by day (a day's targets need
// the equity the day before), but rows of column-major matrices are one value per column:
// reading them a day at a time costs a cache line and a page walk per value. So the days go
// a tile at a time: each tile copies the next `tile` days of the columns it needs into rows
// (one short contiguous run per column), and only those.
//
// A stock that holds no shares, carries no target and has no weight on any day of the tile
// trades nothing on any of them and adds nothing to a day's sums (as the stock walk skips
// it), so it is left out. The row walk adds stock j into lane j % 4 of the day's sums, in
// stock order: each lane is a sum of its own. So the stocks left are packed lane by lane, a
// lane's stocks in their order, into as many quads as the busiest lane needs (a lane that
// runs out reads the padding, which adds +0.0): every lane adds the same values in the same
// order as the row walk, and the sums come out the same bits.
class CompoundTiles {
public:
    static constexpr std::ptrdiff_t tile = 16;

    CompoundTiles(const F64View& signal, const std::int64_t* signal_rows, const VwapMarket& m,
                  std::ptrdiff_t n_days)
        : signal_(signal),
          rows_(signal_rows),
          m_(m),
          n_days_(n_days),
          cols_(signal.cols),
          n_tiles_((n_days + tile - 1) / tile),
          weighted_(static_cast<std::size_t>(cols_ * n_tiles_), 0),
          busy_(static_cast<std::size_t>(cols_), 0) {
        // Which stocks have a weight on some day of each tile: one pass down each column.
        for (std::ptrdiff_t j = 0; j < cols_; ++j) {
            const double* w = signal.column(j);
            for (std::ptrdiff_t b = 0; b < n_tiles_; ++b) {
                const std::ptrdiff_t end = std::min(n_days, (b + 1) * tile);
                for (std::ptrdiff_t i = b * tile; i < end; ++i) {
                    const double v = w[rows_[i] * signal.row_stride];
                    if (v - v == 0.0 && v != 0.0) {  // finite and not zero
                        weighted_[static_cast<std::size_t>(b * cols_ + j)] = 1;
                        break;
                    }
                }
            }
        }
    }

    std::ptrdiff_t n_tiles() const { return n_tiles_; }
    std::ptrdiff_t n_quads() const { return n_quads_; }
    // The stocks of the staged tile's quads, lane by lane (`cols` in a padding lane).
    const std::int64_t* stocks(std::ptrdiff_t a) const {
        return &stocks_[static_cast<std::size_t>(a * width)];
    }

    // Stages tile b: the stocks it needs, and each input's rows of them (a row per day).
    void stage(std::ptrdiff_t b) {
        std::ptrdiff_t count[width] = {0, 0, 0, 0};
        for (std::ptrdiff_t j = 0; j < cols_; ++j) count[j % width] += needed(b, j);
        n_quads_ = std::max(std::max(count[0], count[1]), std::max(count[2], count[3]));
        stocks_.assign(static_cast<std::size_t>(n_quads_ * width), cols_);
        std::ptrdiff_t next[width] = {0, 0, 0, 0};
        for (std::ptrdiff_t j = 0; j < cols_; ++j) {
            if (!needed(b, j)) continue;
            const std::ptrdiff_t lane = j % width;
            stocks_[static_cast<std::size_t>(next[lane]++ * width + lane)] = j;
        }
        i0_ = b * tile;
        n_ = std::min(tile, n_days_ - i0_);
        stride_ = n_quads_ * width;
        const auto size = static_cast<std::size_t>(tile * stride_);
        for (auto* v : {&w_, &pc_, &c_, &bp_, &sp_, &sf_, &dv_}) v->resize(size);
        cb_.resize(size);
        cs_.resize(size);
        for (std::ptrdiff_t at = 0; at < stride_; ++at) {
            const std::int64_t j = stocks_[static_cast<std::size_t>(at)];
            if (j == cols_) {
                pad(at);
                continue;
            }
            const double* w = signal_.column(j);
            for (std::ptrdiff_t t = 0; t < n_; ++t)
                w_[static_cast<std::size_t>(t * stride_ + at)] =
                    w[rows_[i0_ + t] * signal_.row_stride];
            copy(m_.prev_close, j, at, pc_);
            copy(m_.close, j, at, c_);
            copy(m_.buy_price, j, at, bp_);
            copy(m_.sell_price, j, at, sp_);
            copy(m_.split, j, at, sf_);
            copy(m_.dividend, j, at, dv_);
            copy(m_.can_buy, j, at, cb_);
            copy(m_.cant_sell, j, at, cs_);
        }
    }

    // Day t of the staged tile, quad a.
    KESTRELIA_INLINE DayVectors read(std::ptrdiff_t t, std::ptrdiff_t a) const {
        const auto k = static_cast<std::size_t>(t * stride_ + a * width);
        return {load_at(&w_[k]),  load_at(&pc_[k]), load_at(&c_[k]),
                load_at(&bp_[k]), load_at(&sp_[k]), load_at(&sf_[k]),
                load_at(&dv_[k]), mask_at(&cb_[k]), mask_at(&cs_[k])};
    }

    // After the tile: which of its stocks hold shares or carry a target into the next.
    void settle(const double* positions, const double* carried) {
        for (const std::int64_t j : stocks_)
            if (j != cols_)
                busy_[static_cast<std::size_t>(j)] =
                    positions[j] != 0.0 || (carried && carried[j] != 0.0);
    }

private:
    bool needed(std::ptrdiff_t b, std::ptrdiff_t j) const {
        return busy_[static_cast<std::size_t>(j)] ||
               weighted_[static_cast<std::size_t>(b * cols_ + j)];
    }

    template <class T>
    void copy(const MatrixView<T>& v, std::ptrdiff_t j, std::ptrdiff_t at, std::vector<T>& to) {
        const T* src = v.column(j) + i0_ * v.row_stride;
        for (std::ptrdiff_t t = 0; t < n_; ++t)
            to[static_cast<std::size_t>(t * stride_ + at)] = src[t * v.row_stride];
    }

    // A lane without a stock: the padding every walk reads past the last stock.
    void pad(std::ptrdiff_t at) {
        for (std::ptrdiff_t t = 0; t < n_; ++t) {
            const auto k = static_cast<std::size_t>(t * stride_ + at);
            w_[k] = pc_[k] = c_[k] = bp_[k] = sp_[k] = sf_[k] = dv_[k] = pad_value;
            cb_[k] = pad_can_buy;
            cs_[k] = pad_cant_sell;
        }
    }

    const F64View& signal_;
    const std::int64_t* rows_;
    const VwapMarket& m_;
    std::ptrdiff_t n_days_, cols_, n_tiles_, n_quads_ = 0, i0_ = 0, n_ = 0, stride_ = 0;
    std::vector<std::uint8_t> weighted_, busy_;
    std::vector<std::int64_t> stocks_;
    std::vector<double> w_, pc_, c_, bp_, sp_, sf_, dv_;
    std::vector<std::uint8_t> cb_, cs_;
};

// Four stocks' values (a padding lane's stock is `cols`, the spare last slot).
KESTRELIA_INLINE v4d gather4(const double* x, const std::int64_t* j) {
    return v4d{x[j[0]], x[j[1]], x[j[2]], x[j[3]]};
}
KESTRELIA_INLINE void scatter4(double* x, const std::int64_t* j, v4d v) {
    x[j[0]] = v[0];
    x[j[1]] = v[1];
    x[j[2]] = v[2];
    x[j[3]] = v[3];
}

KESTRELIA_INLINE void simulate_compound_columns(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                                                const F64View& signal,
                                                const std::int64_t* signal_rows,
                                                const std::uint8_t* hold, const VwapMarket& m,
                                                const DayRates& rates, double* equity) {
    CompoundTiles tiles(signal, signal_rows, m, n_days);
    // One slot per stock and a spare one for the padding lanes, which stays at zero.
    const auto slots = static_cast<std::size_t>(signal.cols + 1);
    std::vector<double> positions(slots, 0.0), carried(hold ? slots : 0, 0.0);
    double* carry = hold ? carried.data() : nullptr;
    const bool track = carry != nullptr;
    double wealth = rates.total_money;
    bool solvent = wealth > 0.0;
    for (std::ptrdiff_t b = 0; b < tiles.n_tiles(); ++b) {
        tiles.stage(b);
        const std::ptrdiff_t i0 = b * CompoundTiles::tile;
        const std::ptrdiff_t n = std::min(CompoundTiles::tile, n_days - i0);
        for (std::ptrdiff_t t = 0; t < n; ++t) {
            const std::ptrdiff_t i = i0 + t;
            const bool hold_day = hold && hold[i];
            Factors f = rates.on_day(i);
            equity[i] = solvent ? wealth : 0.0;
            f.money = splat(equity[i]);
            DayProducts sums{};
            for (std::ptrdiff_t a = 0; a < tiles.n_quads(); ++a) {
                const std::int64_t* j = tiles.stocks(a);
                v4d position = gather4(positions.data(), j);
                v4d carry_in = track ? gather4(carry, j) : splat(0.0);
                const DayProducts p =
                    trade_day(position, carry_in, hold_day, track, tiles.read(t, a), f);
                scatter4(positions.data(), j, position);
                if (track) scatter4(carry, j, carry_in);
                for (int k = 0; k < n_parts; ++k) sums.part[k] += p.part[k];
            }
            DaySums& out = days[static_cast<std::size_t>(i)];
            for (int k = 0; k < n_parts; ++k) store(out.part[k], sums.part[k]);
            wealth = wealth + day_cash(out, rates.min_commission > 0.0);
            solvent = solvent && wealth > 0.0;
        }
        tiles.settle(positions.data(), carry);
    }
}

}  // namespace

Status vwap_check(std::ptrdiff_t n_days, const F64View& signal, const std::int64_t* signal_rows,
                  const VwapMarket& m) {
    Status status;
    const std::ptrdiff_t n_stocks = signal.cols;
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
    return status;
}

namespace {

// Bytes of a matrix laid out by rows (+) or by columns (-); vectors and other strides
// count for neither.
template <class T>
std::ptrdiff_t row_major_bytes(const MatrixView<T>& v) {
    if (v.rows <= 1 || v.cols <= 1) return 0;
    const std::ptrdiff_t bytes = v.rows * v.cols * static_cast<std::ptrdiff_t>(sizeof(T));
    if (v.col_stride == 1) return bytes;
    if (v.row_stride == 1) return -bytes;
    return 0;
}

template <class T>
bool days_contiguous(const MatrixView<T>& v) {
    return v.row_stride == 1 || v.rows <= 1;
}

}  // namespace

bool all_column_major(const F64View& signal, const VwapMarket& m) {
    return days_contiguous(signal) && days_contiguous(m.prev_close) && days_contiguous(m.close) &&
           days_contiguous(m.buy_price) && days_contiguous(m.sell_price) &&
           days_contiguous(m.split) && days_contiguous(m.dividend) && days_contiguous(m.can_buy) &&
           days_contiguous(m.cant_sell);
}

// The traversal that reads most of the input bytes in place; the rest is staged a
// strip (columns) or a tile (rows) at a time.
bool mostly_row_major(const F64View& signal, const VwapMarket& m) {
    const std::ptrdiff_t balance =
        row_major_bytes(signal) + row_major_bytes(m.prev_close) + row_major_bytes(m.close) +
        row_major_bytes(m.buy_price) + row_major_bytes(m.sell_price) + row_major_bytes(m.split) +
        row_major_bytes(m.dividend) + row_major_bytes(m.can_buy) + row_major_bytes(m.cant_sell);
    return balance > 0;
}

Status vwap_daily_return(double* out, std::ptrdiff_t n_days, const F64View& signal,
                         const std::int64_t* signal_rows, const std::uint8_t* hold,
                         const VwapMarket& market, const VwapParams& params, DayTotals totals) {
    const Status status = vwap_check(n_days, signal, signal_rows, market);
    if (!status) return status;
    const VwapMarket& m = market;

    const DayRateArrays arrays(n_days, params);
    const DayRates& f = arrays.rates;
    std::vector<DaySums> days(static_cast<std::size_t>(n_days), DaySums{});
    std::vector<double> equity(params.compound ? static_cast<std::size_t>(n_days + width) : 0);
    const bool by_rows = mostly_row_major(signal, m);
    // Each walk is a function of its own in each build: laid out next to another, the
    // stock walk once slowed the block walk by a third. Compounding needs each day's profit
    // before the next day's targets: a day-outer walk, over tiles of days of the columns it
    // needs when the inputs are column-major (as a market's are).
    if (params.compound && !by_rows && all_column_major(signal, m))
        in_best_build([&](auto) KESTRELIA_BODY {
            simulate_compound_columns(days, n_days, signal, signal_rows, hold, m, f, equity.data());
        });
    else if (params.compound)
        in_best_build([&](auto) KESTRELIA_BODY {
            simulate_rows(days, n_days, signal, signal_rows, hold, m, f, equity.data());
        });
    else if (!by_rows && all_column_major(signal, m))
        in_best_build([&](auto) KESTRELIA_BODY {
            const bool totaled = totals.traded || totals.held;
            if (f.by_day() && totaled)
                simulate_stocks<Sums<true, true>>(days, n_days, signal, signal_rows, hold, m, f);
            else if (f.by_day())
                simulate_stocks<Sums<true, false>>(days, n_days, signal, signal_rows, hold, m, f);
            else if (totaled)
                simulate_stocks<Sums<false, true>>(days, n_days, signal, signal_rows, hold, m, f);
            else
                simulate_stocks<Sums<false, false>>(days, n_days, signal, signal_rows, hold, m, f);
        });
    else if (by_rows)
        in_best_build([&](auto) KESTRELIA_BODY {
            simulate_rows(days, n_days, signal, signal_rows, hold, m, f, nullptr);
        });
    else
        in_best_build([&](auto) KESTRELIA_BODY {
            simulate_columns(days, n_days, signal, signal_rows, hold, m, f);
        });

    const bool minimum_paid = params.min_commission > 0.0;
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const DaySums& d = days[static_cast<std::size_t>(i)];
        const double cash = day_cash(d, minimum_paid);
        out[i] = cash / params.total_money;
        if (totals.traded) totals.traded[i] = lane_sum(d.part[traded]);
        if (totals.held) totals.held[i] = lane_sum(d.part[holding]);
        if (totals.cash) totals.cash[i] = cash;
        if (totals.money)
            totals.money[i] = params.compound ? equity[static_cast<std::size_t>(i)]
                              : params.money  ? params.money[i]
                                              : params.total_money;
    }
    return status;
}

}  // namespace kestrelia::kernels
