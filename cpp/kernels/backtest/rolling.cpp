#include "kestrelia/kernels/rolling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrelia::kernels {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// fillna(0.0), then the window's own conversion of infinities to missing values.
inline double smoothing_input(double v) {
    if (std::isnan(v)) return 0.0;
    if (std::isinf(v)) return nan;
    return v;
}

// pandas' rolling-mean state: a Kahan-compensated sum with separate compensation for
// additions and removals, the count of negative values (to clamp the sign of a mean of
// one-signed values) and the length of the latest run of equal values (a window made of
// one repeated value yields exactly that value).
struct MeanState {
    double sum = 0.0, comp_add = 0.0, comp_remove = 0.0, prev_value = 0.0;
    std::ptrdiff_t nobs = 0, neg_ct = 0, same_run = 0;

    void reset(double first) {
        sum = comp_add = comp_remove = 0.0;
        nobs = neg_ct = 0;
        prev_value = first;
        same_run = 0;
    }

    void add(double v) {
        if (std::isnan(v)) return;
        ++nobs;
        const double y = v - comp_add;
        const double t = sum + y;
        comp_add = t - sum - y;
        sum = t;
        if (std::signbit(v)) ++neg_ct;
        if (v == prev_value) ++same_run;
        else same_run = 1;
        prev_value = v;
    }

    void remove(double v) {
        if (std::isnan(v)) return;
        --nobs;
        const double y = -v - comp_remove;
        const double t = sum + y;
        comp_remove = t - sum - y;
        sum = t;
        if (std::signbit(v)) --neg_ct;
    }

    double mean(std::ptrdiff_t min_periods) const {
        if (nobs < min_periods || nobs <= 0) return nan;
        double result = sum / static_cast<double>(nobs);
        if (same_run >= nobs) result = prev_value;
        else if (neg_ct == 0 && result < 0) result = 0.0;
        else if (neg_ct == nobs && result > 0) result = 0.0;
        return result;
    }
};

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

    std::ptrdiff_t kept = 0;
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
    if (static_cast<std::ptrdiff_t>(keep.size()) != n) {
        status.code = Status::shape_mismatch;
        return status;
    }
    std::vector<double> values(static_cast<std::size_t>(n));
    for (std::ptrdiff_t j = 0; j < in.cols; ++j) {
        for (std::ptrdiff_t i = 0; i < n; ++i)
            values[static_cast<std::size_t>(i)] = smoothing_input(in(i, j));
        double* col = out + j * kept;
        std::ptrdiff_t k = 0;
        MeanState state;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            const std::ptrdiff_t start = std::max<std::ptrdiff_t>(0, i + 1 - window);
            if (i == 0) {
                state.reset(values[static_cast<std::size_t>(start)]);
                for (std::ptrdiff_t t = start; t <= i; ++t)
                    state.add(values[static_cast<std::size_t>(t)]);
            } else {
                const std::ptrdiff_t prev_start = std::max<std::ptrdiff_t>(0, i - window);
                for (std::ptrdiff_t t = prev_start; t < start; ++t)
                    state.remove(values[static_cast<std::size_t>(t)]);
                state.add(values[static_cast<std::size_t>(i)]);
            }
            if (!keep[static_cast<std::size_t>(i)]) continue;
            if (k >= kept) {
                status.code = Status::shape_mismatch;
                status.position = i;
                return status;
            }
            const double mean = state.mean(window);
            col[k++] = mean == 0.0 ? nan : mean;  // an exact zero means "no signal"
        }
    }
    return status;
}

}  // namespace kestrelia::kernels
