#include "kestrelia/kernels/rolling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
        same_run = select(present, select(v == prev_value, same_run + splat(1.0), splat(1.0)),
                          same_run);
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
        const v4i one_signed = ((neg_ct == zero) & (result < zero)) |
                               ((neg_ct == nobs) & (result > zero));
        result = select(one_signed, zero, result);
        result = select(same_run >= nobs, prev_value, result);
        const v4i enough = (nobs >= splat(min_periods)) & (nobs > zero);
        return select(enough, result, splat(__builtin_nan("")));
    }
};

template <bool Full>
KESTRELIA_INLINE void smooth_block(double* out, std::ptrdiff_t kept, const std::vector<std::uint8_t>& keep,
                  const ColumnReader<double>& reader, std::ptrdiff_t n, std::ptrdiff_t window,
                  std::ptrdiff_t j0) {
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
            out[(j0 + lane) * kept + k] = mean[lane];
        ++k;
    }
}

KESTRELIA_INLINE void smooth_all(double* out, std::ptrdiff_t kept,
                                 const std::vector<std::uint8_t>& keep, const F64View& in,
                                 std::ptrdiff_t window) {
    ColumnReader<double> reader(in);
    for (std::ptrdiff_t j0 = 0; j0 < in.cols; j0 += width) {
        reader.start_block(j0);
        if (j0 + width <= in.cols)
            smooth_block<true>(out, kept, keep, reader, in.rows, window, j0);
        else
            smooth_block<false>(out, kept, keep, reader, in.rows, window, j0);
    }
}

KESTRELIA_AVX2_CLONE void smooth_avx2(double* out, std::ptrdiff_t kept,
                                                 const std::vector<std::uint8_t>& keep,
                                                 const F64View& in, std::ptrdiff_t window) {
    smooth_all(out, kept, keep, in, window);
}

void smooth_portable(double* out, std::ptrdiff_t kept, const std::vector<std::uint8_t>& keep,
                     const F64View& in, std::ptrdiff_t window) {
    smooth_all(out, kept, keep, in, window);
}

}  // namespace

std::ptrdiff_t smoothing_kept_rows(std::vector<std::uint8_t>& keep, const F64View& in,
                                   std::ptrdiff_t window) {
    const std::ptrdiff_t n = in.rows;
    keep.assign(static_cast<std::size_t>(std::max<std::ptrdiff_t>(n, 0)), 0);
    if (window < 1 || window > n || in.cols == 0) return 0;

    bool any_inf = false;
    for (std::ptrdiff_t j = 0; j < in.cols && !any_inf; ++j)
        for (std::ptrdiff_t i = 0; i < n; ++i)
            if (std::isinf(in(i, j))) {
                any_inf = true;
                break;
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
                      const F64View& in, std::ptrdiff_t window) {
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
    if (use_avx2())
        smooth_avx2(out, kept, keep, in, window);
    else
        smooth_portable(out, kept, keep, in, window);
    return status;
}

}  // namespace kestrelia::kernels
