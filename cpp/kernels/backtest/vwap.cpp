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
// `track` says whether the schedule has such days at all.
template <bool Full>
KESTRELIA_INLINE void stock_quad(double& position, double& carried, LaneSums& sums,
                                 std::ptrdiff_t lane, const DayRows& col, std::ptrdiff_t i0,
                                 std::ptrdiff_t n_days, const std::int64_t* signal_rows,
                                 bool signal_in_step, bool track, const std::uint8_t* hold,
                                 const DayRates& rates) {
    if (Full && idle_quad(position, carried, col, i0, signal_rows, signal_in_step)) return;
    const DayVectors in = stock_days<Full>(col, i0, n_days, signal_rows, signal_in_step);
    DayDetail unused;
    const DayProducts p = trade_quad(position, carried, track, hold, Full ? width : n_days - i0, in,
                                     rates.on_days(i0), unused);
    for (int k = 0; k < n_parts; ++k) add_at(sums.of(lane, k) + i0, p.part[k]);
}

// Stock path, for inputs that all keep each stock's days contiguous (column-major): one
// stock at a time over its whole history, four days to a vector, its products added to
// the sums of lane (stock mod 4). Every day's lane sums take the stocks in the same order
// as the block walk, so the bits are the same.
KESTRELIA_INLINE void simulate_stocks(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                                      const F64View& signal, const std::int64_t* signal_rows,
                                      const std::uint8_t* hold, const VwapMarket& m,
                                      const DayRates& f) {
    LaneSums sums(n_days);
    std::vector<std::uint8_t> in_step, holding;
    quads_in_step(in_step, signal_rows, 0, n_days);
    quads_holding(holding, hold, 0, n_days);
    const bool track = hold != nullptr;
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
            stock_quad<true>(position, carried, sums, lane, col, i0, n_days, signal_rows,
                             in_step[q], track, holding[q] ? hold + i0 : nullptr, f);
        }
        if (i0 < n_days)
            stock_quad<false>(position, carried, sums, lane, col, i0, n_days, signal_rows, false,
                              track, track ? hold + i0 : nullptr, f);
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
    // before the next day's targets: the day-outer walk, whatever the layout.
    if (params.compound)
        in_best_build([&](auto) KESTRELIA_BODY {
            simulate_rows(days, n_days, signal, signal_rows, hold, m, f, equity.data());
        });
    else if (!by_rows && all_column_major(signal, m))
        in_best_build([&](auto) KESTRELIA_BODY {
            simulate_stocks(days, n_days, signal, signal_rows, hold, m, f);
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
