#include "kestrelia/kernels/vwap.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace kestrelia::kernels {

namespace {

// Four stocks are simulated side by side in one vector. The lanes are a logical width:
// the same code runs as two SSE2 halves or as one AVX2 register, with identical IEEE
// results (no fused multiply-add, no reassociation).
constexpr std::ptrdiff_t lanes = 4;
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));

#define KESTRELIA_INLINE inline __attribute__((always_inline))

KESTRELIA_INLINE v4d splat(double x) { return v4d{x, x, x, x}; }
KESTRELIA_INLINE v4d select(v4i mask, v4d a, v4d b) { return mask ? a : b; }
KESTRELIA_INLINE v4d abs4(v4d x) {
    return (v4d)((v4i)x & v4i{0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL,
                              0x7fffffffffffffffLL});
}
KESTRELIA_INLINE v4i is_nan(v4d x) { return x != x; }
KESTRELIA_INLINE v4i is_finite(v4d x) { return abs4(x) <= splat(1.7976931348623157e308); }

// np.nan_to_num: NaN -> 0, +/-inf -> the largest finite value of that sign.
KESTRELIA_INLINE v4d nan_to_num(v4d v) {
    const v4d max_finite = splat(1.7976931348623157e308);
    v4d x = select(is_nan(v), splat(0.0), v);
    x = select(x > max_finite, max_finite, x);
    return select(x < -max_finite, -max_finite, x);
}

// floor(), bit for bit: adding and removing 2^52 rounds |x| < 2^52 to the nearest integer,
// a step down fixes the values that rounded up, and zero results take the sign of x
// (floor(-0.0) is -0.0). NaN, infinities and |x| >= 2^52 (already integral) pass through.
KESTRELIA_INLINE v4d floor4(v4d x) {
    const v4d two52 = splat(4503599627370496.0);
    const v4i small = abs4(x) < two52;
    const v4d shift = select(x < splat(0.0), -two52, two52);
    v4d r = (x + shift) - shift;
    r = select(r > x, r - splat(1.0), r);
    r = select(r == splat(0.0), x * splat(0.0), r);
    return select(small, r, x);
}

// Reads the values of four consecutive stocks on one day, whatever the matrix layout.
// Columns of a column-major matrix (each stock's history contiguous, the usual pandas
// block) are read in place. A row-major matrix would make every day a jump across a whole
// row, so its next sixteen stocks are first copied column-wise into scratch, reading each
// row's run of sixteen values at once.
template <class T>
class LaneReader {
public:
    static constexpr std::ptrdiff_t staged = 16;

    explicit LaneReader(const MatrixView<T>& v) : v_(v) {
        if (v_.row_stride != 1 && v_.rows > 0)
            scratch_.resize(static_cast<std::size_t>(staged * v_.rows));
    }

    void start_block(std::ptrdiff_t j0) {
        width_ = std::min(lanes, v_.cols - j0);
        if (scratch_.empty()) {
            for (std::ptrdiff_t k = 0; k < lanes; ++k)
                base_[k] = k < width_ ? v_.data + (j0 + k) * v_.col_stride : nullptr;
            stride_ = 1;
            return;
        }
        if (j0 % staged == 0) stage(j0);
        for (std::ptrdiff_t k = 0; k < lanes; ++k)
            base_[k] = scratch_.data() + (j0 % staged + k) * v_.rows;
        stride_ = 1;
    }

    // Lanes past the last stock read `pad`, a value that makes the cell contribute zero.
    template <bool Full>
    KESTRELIA_INLINE void read(std::ptrdiff_t row, T pad, T (&out)[lanes]) const {
        for (std::ptrdiff_t k = 0; k < lanes; ++k)
            out[k] = (Full || k < width_) ? base_[k][row * stride_] : pad;
    }

private:
    void stage(std::ptrdiff_t j0) {
        const std::ptrdiff_t width = std::min(staged, v_.cols - j0);
        T* dst = scratch_.data();
        // Rows are far apart (a page or more), so the hardware prefetcher does not follow
        // them: ask for the rows a little ahead explicitly.
        constexpr std::ptrdiff_t ahead = 16;
        const std::ptrdiff_t run_bytes = width * v_.col_stride * static_cast<std::ptrdiff_t>(sizeof(T));
        for (std::ptrdiff_t i = 0; i < v_.rows; ++i) {
            if (i + ahead < v_.rows) {
                const char* next = reinterpret_cast<const char*>(
                    v_.data + (i + ahead) * v_.row_stride + j0 * v_.col_stride);
                for (std::ptrdiff_t b = 0; b < run_bytes; b += 64) __builtin_prefetch(next + b);
            }
            const T* row = v_.data + i * v_.row_stride + j0 * v_.col_stride;
            for (std::ptrdiff_t k = 0; k < width; ++k) dst[k * v_.rows + i] = row[k * v_.col_stride];
        }
    }

    MatrixView<T> v_;
    std::vector<T> scratch_;
    std::ptrdiff_t width_ = 0;
    std::ptrdiff_t stride_ = 1;
    const T* base_[lanes] = {};
};

struct Factors {
    double total_money, lot_size, buy, sell;
};

// Five lane-wise day sums, stored as plain doubles (no over-aligned allocation needed).
struct DaySums {
    double bought[lanes], held[lanes], held_dividend[lanes], sold[lanes], sold_dividend[lanes];
};

KESTRELIA_INLINE void add_to(double (&sum)[lanes], v4d x) {
    v4d s;
    std::memcpy(&s, sum, sizeof s);
    s += x;
    std::memcpy(sum, &s, sizeof s);
}

template <class T>
bool shaped(const MatrixView<T>& v, std::ptrdiff_t rows, std::ptrdiff_t cols) {
    return v.rows == rows && v.cols == cols;
}

KESTRELIA_INLINE v4d lanes_of(const double (&x)[lanes]) { return v4d{x[0], x[1], x[2], x[3]}; }
KESTRELIA_INLINE v4i mask_of(const std::uint8_t (&x)[lanes]) {
    return v4i{x[0] ? -1LL : 0LL, x[1] ? -1LL : 0LL, x[2] ? -1LL : 0LL, x[3] ? -1LL : 0LL};
}

struct Readers {
    LaneReader<double> sig, prev_close, close, buy, sell, split, dividend;
    LaneReader<std::uint8_t> can_buy, cant_sell;

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
        double w[lanes], pc[lanes], c[lanes], bp[lanes], sp[lanes], sf[lanes], dv[lanes];
        std::uint8_t cb[lanes], cs[lanes];
        r.sig.read<Full>(signal_rows[i], nan, w);
        r.prev_close.read<Full>(i, nan, pc);
        r.close.read<Full>(i, nan, c);
        r.buy.read<Full>(i, nan, bp);
        r.sell.read<Full>(i, nan, sp);
        r.split.read<Full>(i, nan, sf);
        r.dividend.read<Full>(i, nan, dv);
        r.can_buy.read<Full>(i, 0, cb);
        r.cant_sell.read<Full>(i, 1, cs);
        const v4d weight = lanes_of(w), prev = lanes_of(pc), cl = lanes_of(c);

        const v4d raw_target = (total_money * weight) / (prev * lot);
        const v4i valid = is_finite(weight) & is_finite(prev) & (prev > zero);
        const v4d target = select(valid, floor4(raw_target) * lot, zero);

        const v4d diff = target - position;
        const v4d real_buy = select((diff > zero) & mask_of(cb), diff, zero);
        const v4d sold = select((diff < zero) & ~mask_of(cs), -diff, zero);
        const v4d hold = position - sold;
        position = hold + real_buy;

        const v4d split_factor = lanes_of(sf);
        const v4d split_eff = select(is_nan(split_factor), splat(1.0), split_factor);
        const v4d dividend_eff = nan_to_num(lanes_of(dv));
        const v4d buy_coeff = nan_to_num(cl - lanes_of(bp) * buy_factor);
        const v4d hold_coeff = nan_to_num(split_eff * cl - prev);
        const v4d sell_coeff = nan_to_num(split_eff * lanes_of(sp) * sell_factor - prev);

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
    Readers r{LaneReader<double>(signal),       LaneReader<double>(m.prev_close),
              LaneReader<double>(m.close),      LaneReader<double>(m.buy_price),
              LaneReader<double>(m.sell_price), LaneReader<double>(m.split),
              LaneReader<double>(m.dividend),   LaneReader<std::uint8_t>(m.can_buy),
              LaneReader<std::uint8_t>(m.cant_sell)};
    for (std::ptrdiff_t j0 = 0; j0 < signal.cols; j0 += lanes) {
        r.start_block(j0);
        if (j0 + lanes <= signal.cols)
            simulate_block<true>(days, n_days, signal_rows, r, f);
        else
            simulate_block<false>(days, n_days, signal_rows, r, f);
    }
}

__attribute__((target("avx2"))) void simulate_avx2(std::vector<DaySums>& days,
                                                   std::ptrdiff_t n_days, const F64View& signal,
                                                   const std::int64_t* signal_rows,
                                                   const VwapMarket& m, const Factors& f) {
    simulate(days, n_days, signal, signal_rows, m, f);
}

void simulate_portable(std::vector<DaySums>& days, std::ptrdiff_t n_days, const F64View& signal,
                       const std::int64_t* signal_rows, const VwapMarket& m, const Factors& f) {
    simulate(days, n_days, signal, signal_rows, m, f);
}

KESTRELIA_INLINE double lane_sum(const double (&x)[lanes]) { return (x[0] + x[1]) + (x[2] + x[3]); }

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
    if (__builtin_cpu_supports("avx2"))
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
