#include "kestrelia/kernels/vwap.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "lanes.hpp"

namespace kestrelia::kernels {

namespace {

using namespace lanes;

struct Factors {
    double total_money, lot_size, buy, sell;
};

// Five lane-wise day sums, stored as plain doubles (no over-aligned allocation needed).
struct DaySums {
    double bought[width], held[width], held_dividend[width], sold[width], sold_dividend[width];
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

struct Readers {
    ColumnReader<double> sig, prev_close, close, buy, sell, split, dividend;
    ColumnReader<std::uint8_t> can_buy, cant_sell;

    void start_block(std::ptrdiff_t j0) {
        for (auto* r : {&sig, &prev_close, &close, &buy, &sell, &split, &dividend})
            r->start_block(j0);
        can_buy.start_block(j0);
        cant_sell.start_block(j0);
    }
};

// One block of four stocks over all days. Every expression keeps the order of the NumPy
// formulation, so lot rounding and the per-share coefficients are bit-identical to it.
template <bool Full>
KESTRELIA_INLINE void simulate_block(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                                     const std::int64_t* signal_rows, const Readers& r,
                                     const Factors& f) {
    const double nan = __builtin_nan("");
    const v4d total_money = splat(f.total_money), lot = splat(f.lot_size);
    const v4d buy_factor = splat(f.buy), sell_factor = splat(f.sell), zero = splat(0.0);
    v4d position = zero;
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        double w[width], pc[width], c[width], bp[width], sp[width], sf[width], dv[width];
        std::uint8_t cb[width], cs[width];
        r.sig.read<Full>(signal_rows[i], nan, w);
        r.prev_close.read<Full>(i, nan, pc);
        r.close.read<Full>(i, nan, c);
        r.buy.read<Full>(i, nan, bp);
        r.sell.read<Full>(i, nan, sp);
        r.split.read<Full>(i, nan, sf);
        r.dividend.read<Full>(i, nan, dv);
        r.can_buy.read<Full>(i, 0, cb);
        r.cant_sell.read<Full>(i, 1, cs);
        const v4d weight = load(w), prev = load(pc), cl = load(c);

        const v4d raw_target = (total_money * weight) / (prev * lot);
        const v4i valid = is_finite(weight) & is_finite(prev) & (prev > zero);
        const v4d target = select(valid, floor4(raw_target) * lot, zero);

        const v4d diff = target - position;
        const v4d real_buy = select((diff > zero) & mask_of(cb), diff, zero);
        const v4d sold = select((diff < zero) & ~mask_of(cs), -diff, zero);
        const v4d hold = position - sold;
        position = hold + real_buy;

        const v4d split_factor = load(sf);
        const v4d split_eff = select(is_nan(split_factor), splat(1.0), split_factor);
        const v4d dividend_eff = nan_to_num(load(dv));
        const v4d buy_coeff = nan_to_num(cl - load(bp) * buy_factor);
        const v4d hold_coeff = nan_to_num(split_eff * cl - prev);
        const v4d sell_coeff = nan_to_num(split_eff * load(sp) * sell_factor - prev);

        DaySums& d = days[static_cast<std::size_t>(i)];
        add_to(d.bought, real_buy * buy_coeff);
        add_to(d.held, hold * hold_coeff);
        add_to(d.held_dividend, hold * dividend_eff);
        add_to(d.sold, sold * sell_coeff);
        add_to(d.sold_dividend, sold * dividend_eff);
    }
}

KESTRELIA_INLINE void simulate(std::vector<DaySums>& days, std::ptrdiff_t n_days,
                               const F64View& signal, const std::int64_t* signal_rows,
                               const VwapMarket& m, const Factors& f) {
    Readers r{ColumnReader<double>(signal),       ColumnReader<double>(m.prev_close),
              ColumnReader<double>(m.close),      ColumnReader<double>(m.buy_price),
              ColumnReader<double>(m.sell_price), ColumnReader<double>(m.split),
              ColumnReader<double>(m.dividend),   ColumnReader<std::uint8_t>(m.can_buy),
              ColumnReader<std::uint8_t>(m.cant_sell)};
    for (std::ptrdiff_t j0 = 0; j0 < signal.cols; j0 += width) {
        r.start_block(j0);
        if (j0 + width <= signal.cols)
            simulate_block<true>(days, n_days, signal_rows, r, f);
        else
            simulate_block<false>(days, n_days, signal_rows, r, f);
    }
}

KESTRELIA_AVX2_CLONE void simulate_avx2(std::vector<DaySums>& days,
                                                   std::ptrdiff_t n_days, const F64View& signal,
                                                   const std::int64_t* signal_rows,
                                                   const VwapMarket& m, const Factors& f) {
    simulate(days, n_days, signal, signal_rows, m, f);
}

void simulate_portable(std::vector<DaySums>& days, std::ptrdiff_t n_days, const F64View& signal,
                       const std::int64_t* signal_rows, const VwapMarket& m, const Factors& f) {
    simulate(days, n_days, signal, signal_rows, m, f);
}

KESTRELIA_INLINE double lane_sum(const double (&x)[width]) { return (x[0] + x[1]) + (x[2] + x[3]); }

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

    const Factors f{params.total_money, params.lot_size, 1 + params.fee,
                    (1.0 - params.fee) - params.rule_fee};
    std::vector<DaySums> days(static_cast<std::size_t>(n_days), DaySums{});
    if (use_avx2())
        simulate_avx2(days, n_days, signal, signal_rows, m, f);
    else
        simulate_portable(days, n_days, signal, signal_rows, m, f);

    // Each of the five day sums (the five dot products) is reduced over its lanes, then
    // the five are added left to right.
    for (std::ptrdiff_t i = 0; i < n_days; ++i) {
        const DaySums& d = days[static_cast<std::size_t>(i)];
        const double cash = lane_sum(d.bought) + lane_sum(d.held) + lane_sum(d.held_dividend) +
                            lane_sum(d.sold) + lane_sum(d.sold_dividend);
        out[i] = cash / params.total_money;
    }
    return status;
}

}  // namespace kestrelia::kernels
