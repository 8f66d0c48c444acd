#include "kestrelia/kernels/rolling.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "lanes.hpp"

namespace kestrelia::kernels {

namespace {

using namespace lanes;

// fillna(0.0), then the window's own conversion of infinities to missing values.
KESTRELIA_INLINE v4d smoothing_input(v4d v) {
    const v4d filled = select(is_nan(v), splat(0.0), v);
    return select(is_inf(filled), splat(__builtin_nan("")), filled);
}

// pandas' rolling-mean state, one lane per column: a Kahan-compensated sum with separate
// compensation for additions and removals, the count of negative values (to clamp the
// sign of a mean of one-signed values) and the length of the latest run of equal values
// (a window made of one repeated value yields exactly that value). Missing values leave
// the state untouched, lane by lane.
struct MeanState {
    v4d sum = splat(0.0), comp_add = splat(0.0), comp_remove = splat(0.0);
    v4d prev_value = splat(0.0), nobs = splat(0.0), neg_ct = splat(0.0), same_run = splat(0.0);

    KESTRELIA_INLINE void add(v4d v) {
        const v4i present = ~is_nan(v);
        nobs += count_if(present);
        const v4d y = v - comp_add;
        const v4d t = sum + y;
        comp_add = select(present, t - sum - y, comp_add);
        sum = select(present, t, sum);
        neg_ct += count_if(present & sign_bit(v));
        same_run =
            select(present, select(v == prev_value, same_run + splat(1.0), splat(1.0)), same_run);
        prev_value = select(present, v, prev_value);
    }

    KESTRELIA_INLINE void remove(v4d v) {
        const v4i present = ~is_nan(v);
        nobs -= count_if(present);
        const v4d y = -v - comp_remove;
        const v4d t = sum + y;
        comp_remove = select(present, t - sum - y, comp_remove);
        sum = select(present, t, sum);
        neg_ct -= count_if(present & sign_bit(v));
    }

    KESTRELIA_INLINE v4d mean(double min_periods) const {
        const v4d zero = splat(0.0);
        v4d result = sum / nobs;
        const v4i one_signed =
            ((neg_ct == zero) & (result < zero)) | ((neg_ct == nobs) & (result > zero));
        result = select(one_signed, zero, result);
        result = select(same_run >= nobs, prev_value, result);
        const v4i enough = (nobs >= splat(min_periods)) & (nobs > zero);
        return select(enough, result, splat(__builtin_nan("")));
    }
};

// Where the smoothed values go: element (k, j) is data[k * row_stride + j * col_stride].
struct OutMatrix {
    double* data;
    std::ptrdiff_t row_stride, col_stride;
};

template <bool Full>
KESTRELIA_INLINE void smooth_block(const OutMatrix& out, const std::vector<std::uint8_t>& keep,
                                   const ColumnReader<double>& reader, std::ptrdiff_t n,
                                   std::ptrdiff_t window, std::ptrdiff_t j0) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double raw[width], mean[width];
    MeanState state;
    std::ptrdiff_t k = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        reader.read<Full>(i, nan, raw);
        const v4d incoming = smoothing_input(load(raw));
        if (i == 0) {
            state.prev_value = incoming;
        } else if (i >= window) {
            reader.read<Full>(i - window, nan, raw);
            state.remove(smoothing_input(load(raw)));
        }
        state.add(incoming);
        if (!keep[static_cast<std::size_t>(i)]) continue;
        const v4d m = state.mean(static_cast<double>(window));
        // An exact zero means "no signal".
        store(mean, select(m == splat(0.0), splat(nan), m));
        for (std::ptrdiff_t lane = 0; lane < (Full ? width : reader.used()); ++lane)
            out.data[k * out.row_stride + (j0 + lane) * out.col_stride] = mean[lane];
        ++k;
    }
}

KESTRELIA_INLINE void smooth_all(const OutMatrix& out, const std::vector<std::uint8_t>& keep,
                                 const F64View& in, std::ptrdiff_t window) {
    ColumnReader<double> reader(in);
    for (std::ptrdiff_t j0 = 0; j0 < in.cols; j0 += width) {
        reader.start_block(j0);
        if (j0 + width <= in.cols)
            smooth_block<true>(out, keep, reader, in.rows, window, j0);
        else
            smooth_block<false>(out, keep, reader, in.rows, window, j0);
    }
}

// Day-outer path for a row-major input written to a row-major output: each day's run of
// a strip of stocks is read and written contiguously. Every lane sees the same operations
// in the same order as on the column path.
template <bool Full>
KESTRELIA_INLINE v4d row_input(const double* row, std::ptrdiff_t j0, std::ptrdiff_t cols) {
    double raw[width];
    for (std::ptrdiff_t k = 0; k < width; ++k)
        raw[k] = (Full || j0 + k < cols) ? row[j0 + k] : std::numeric_limits<double>::quiet_NaN();
    return smoothing_input(load(raw));
}

template <bool Full>
KESTRELIA_INLINE void smooth_row_block(MeanState& state, const double* row, const double* leaving,
                                       bool first, double* out_row, std::ptrdiff_t j0,
                                       std::ptrdiff_t cols, double window) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const v4d incoming = row_input<Full>(row, j0, cols);
    if (first)
        state.prev_value = incoming;
    else if (leaving != nullptr)
        state.remove(row_input<Full>(leaving, j0, cols));
    state.add(incoming);
    if (out_row != nullptr) {
        const v4d m = state.mean(window);
        double mean[width];
        store(mean, select(m == splat(0.0), splat(nan), m));
        for (std::ptrdiff_t lane = 0; lane < width; ++lane)
            if (Full || j0 + lane < cols) out_row[j0 + lane] = mean[lane];
    }
}

KESTRELIA_INLINE void smooth_rows(const OutMatrix& out, const std::vector<std::uint8_t>& keep,
                                  const F64View& in, std::ptrdiff_t window) {
    // Strips of 256 stocks over all days: the strip's states (14 KiB) stay in L1 while
    // each day's run of the strip is read and written contiguously.
    constexpr std::ptrdiff_t strip = 256;
    const std::ptrdiff_t cols = in.cols;
    MeanState states[strip / width];  // on the stack: over-aligned vectors stay out of the heap
    for (std::ptrdiff_t s0 = 0; s0 < cols; s0 += strip) {
        const std::ptrdiff_t s1 = std::min(cols, s0 + strip);
        for (auto& st : states) st = MeanState{};
        std::ptrdiff_t k = 0;
        for (std::ptrdiff_t i = 0; i < in.rows; ++i) {
            const double* row = in.data + i * in.row_stride;
            const double* leaving =
                i > 0 && i >= window ? in.data + (i - window) * in.row_stride : nullptr;
            double* out_row =
                keep[static_cast<std::size_t>(i)] ? out.data + k * out.row_stride : nullptr;
            std::ptrdiff_t j0 = s0;
            for (; j0 + width <= s1; j0 += width)
                smooth_row_block<true>(states[(j0 - s0) / width], row, leaving, i == 0, out_row, j0,
                                       cols, static_cast<double>(window));
            if (j0 < s1)
                smooth_row_block<false>(states[(j0 - s0) / width], row, leaving, i == 0, out_row,
                                        j0, cols, static_cast<double>(window));
            if (out_row != nullptr) ++k;
        }
    }
}

KESTRELIA_INLINE void smooth_any(const OutMatrix& out, const std::vector<std::uint8_t>& keep,
                                 const F64View& in, std::ptrdiff_t window) {
    if (out.col_stride == 1 && in.col_stride == 1)
        smooth_rows(out, keep, in, window);
    else
        smooth_all(out, keep, in, window);
}

}  // namespace

std::ptrdiff_t smoothing_kept_rows(std::vector<std::uint8_t>& keep, const F64View& in,
                                   std::ptrdiff_t window) {
    const std::ptrdiff_t n = in.rows;
    keep.assign(static_cast<std::size_t>(std::max<std::ptrdiff_t>(n, 0)), 0);
    if (window < 1 || window > n || in.cols == 0) return 0;

    // Whether any cell is infinite, read in the matrix's own memory order (a row-major
    // matrix walked column by column would touch a new cache line for every cell).
    bool any_inf = false;
    const bool by_rows = !in.column_major();
    const std::ptrdiff_t outer = by_rows ? n : in.cols, inner = by_rows ? in.cols : n;
    const std::ptrdiff_t outer_stride = by_rows ? in.row_stride : in.col_stride;
    const std::ptrdiff_t inner_stride = by_rows ? in.col_stride : in.row_stride;
    for (std::ptrdiff_t a = 0; a < outer && !any_inf; ++a) {
        const double* line = in.data + a * outer_stride;
        bool inf = false;
        for (std::ptrdiff_t b = 0; b < inner; ++b) inf |= std::isinf(line[b * inner_stride]);
        any_inf = inf;
    }
    if (!any_inf) {
        for (std::ptrdiff_t i = window - 1; i < n; ++i) keep[static_cast<std::size_t>(i)] = 1;
        return n - window + 1;
    }
    // A row survives when at least one column's window is free of infinities.
    for (std::ptrdiff_t j = 0; j < in.cols; ++j) {
        std::ptrdiff_t last_inf = -1 - window;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            if (std::isinf(in(i, j))) last_inf = i;
            if (i >= window - 1 && last_inf < i - window + 1) keep[static_cast<std::size_t>(i)] = 1;
        }
    }
    std::ptrdiff_t kept = 0;
    for (auto k : keep) kept += k;
    return kept;
}

Status smooth_weights(double* out, std::ptrdiff_t kept, const std::vector<std::uint8_t>& keep,
                      const F64View& in, std::ptrdiff_t window, bool row_major_out) {
    Status status;
    const std::ptrdiff_t n = in.rows;
    if (window < 1) {
        status.code = Status::bad_argument;
        return status;
    }
    std::ptrdiff_t marked = 0;
    for (auto k : keep) marked += k;
    if (static_cast<std::ptrdiff_t>(keep.size()) != n || marked != kept) {
        status.code = Status::shape_mismatch;
        return status;
    }
    const OutMatrix target{out, row_major_out ? in.cols : 1, row_major_out ? 1 : kept};
    in_best_build([&](auto) KESTRELIA_BODY { smooth_any(target, keep, in, window); });
    return status;
}

}  // namespace kestrelia::kernels
