#include "kestrelia/kernels/scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "lanes.hpp"

namespace kestrelia::kernels {

namespace {

// np.nan_to_num, as selects so that the column loops below vectorise.
inline double nan_to_num(double v) {
    constexpr double max_finite = std::numeric_limits<double>::max();
    const double x = v != v ? 0.0 : v;
    return std::min(std::max(x, -max_finite), max_finite);
}

inline bool finite(double v) { return std::fabs(v) <= std::numeric_limits<double>::max(); }

// NumPy's pairwise summation of a contiguous run (blocks of 128 summed with eight
// interleaved accumulators), which is what a reduction along a contiguous axis does.
double pairwise_sum(const double* a, std::ptrdiff_t n, std::ptrdiff_t stride) {
    if (n < 8) {
        double res = -0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i * stride];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k * stride];
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += a[(i + k) * stride];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i * stride];
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

}  // namespace

void rows_with_value(std::uint8_t* out, const F64View& m) {
    for (std::ptrdiff_t i = 0; i < m.rows; ++i) out[i] = 0;
    if (m.column_major()) {
        // Column by column into local copies (a byte store may alias the view, which would
        // keep the loop scalar), stopping once every row has a value: in weight matrices
        // that happens after a few dozen stocks.
        const std::ptrdiff_t n = m.rows;
        std::uint8_t* __restrict flags = out;
        for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
            const double* __restrict col = m.column(j);
            for (std::ptrdiff_t i = 0; i < n; ++i)
                flags[i] |= static_cast<std::uint8_t>(col[i] == col[i]);
            if (j % 16 == 15) {
                std::uint8_t all = 1;
                for (std::ptrdiff_t i = 0; i < n; ++i) all &= flags[i];
                if (all) return;
            }
        }
        return;
    }
    for (std::ptrdiff_t i = 0; i < m.rows; ++i)
        for (std::ptrdiff_t j = 0; j < m.cols; ++j)
            if (!std::isnan(m(i, j))) {
                out[i] = 1;
                break;
            }
}

void columns_with_value(std::uint8_t* out, const F64View& m) {
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        out[j] = 0;
        for (std::ptrdiff_t i = 0; i < m.rows; ++i)
            if (!std::isnan(m(i, j))) {
                out[j] = 1;
                break;
            }
    }
}

Cell scan_weights(std::uint8_t* rows, std::uint8_t* cols, const F64View& m) {
    std::fill(rows, rows + m.rows, std::uint8_t{0});
    Cell bad;
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        const double* col = m.column(j);
        std::uint8_t any = 0;
        for (std::ptrdiff_t i = 0; i < m.rows; ++i) {
            const double v = col[i * m.row_stride];
            const std::uint8_t value = v == v;
            rows[i] |= value;
            any |= value;
            if (value && !finite(v) && (bad.row < 0 || i < bad.row)) bad = {i, j};
        }
        cols[j] = any;
    }
    return bad;
}

Cell first_bad_value(const F64View& m, ValueRule rule) {
    Cell bad;
    const bool zero_ok = rule == ValueRule::non_negative;
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        const double* col = m.column(j);
        const std::ptrdiff_t stop = bad.row < 0 ? m.rows : bad.row;
        for (std::ptrdiff_t i = 0; i < stop; ++i) {
            const double v = col[i * m.row_stride];
            const bool ok = v != v || (finite(v) && (v > 0.0 || (zero_ok && v == 0.0)));
            if (!ok) {
                bad = {i, j};
                break;
            }
        }
    }
    return bad;
}

std::int64_t holdings_and_turnover_rows(double* row_sums, const F64View& m,
                                        const std::int64_t* rows, std::ptrdiff_t n_rows) {
    const std::ptrdiff_t pairs = std::max<std::ptrdiff_t>(n_rows - 1, 0);
    std::fill(row_sums, row_sums + pairs, 0.0);
    std::int64_t finite_cells = 0;
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        const double* col = m.column(j);
        double prev = 0.0;
        for (std::ptrdiff_t k = 0; k < n_rows; ++k) {
            const double v = col[rows[k] * m.row_stride];
            finite_cells += finite(v) ? 1 : 0;
            const double z = nan_to_num(v);
            if (k > 0) row_sums[k - 1] += std::fabs(z - prev);
            prev = z;
        }
    }
    return finite_cells;
}

namespace {

using lanes::v4d;
using lanes::width;

KESTRELIA_INLINE v4d abs_change(v4d next, v4d prev) {
    return lanes::abs4(lanes::nan_to_num(next) - lanes::nan_to_num(prev));
}

KESTRELIA_INLINE std::int64_t finite_count(const double* a, std::ptrdiff_t n) {
    v4d count = lanes::splat(0.0);
    std::ptrdiff_t i = 0;
    for (; i + width <= n; i += width)
        count += lanes::count_if(lanes::is_finite(lanes::load_at(a + i)));
    std::int64_t total = static_cast<std::int64_t>(count[0] + count[1] + count[2] + count[3]);
    for (; i < n; ++i) total += finite(a[i]) ? 1 : 0;
    return total;
}

// pairwise_sum's run of at most 128 values, with its eight accumulators as two vectors:
// every accumulator takes the same values in the same order.
KESTRELIA_INLINE double pairwise_block(const double* a, std::ptrdiff_t n) {
    v4d lo = lanes::load_at(a), hi = lanes::load_at(a + width);
    std::ptrdiff_t i = 8;
    for (; i < n - (n % 8); i += 8) {
        lo += lanes::load_at(a + i);
        hi += lanes::load_at(a + i + width);
    }
    double res = ((lo[0] + lo[1]) + (lo[2] + lo[3])) + ((hi[0] + hi[1]) + (hi[2] + hi[3]));
    for (; i < n; ++i) res += a[i];
    return res;
}

// NumPy's pairwise summation of a contiguous run; `Self` is the build (AVX2 or baseline)
// of this same function, so the recursion stays within one build.
using PairwiseFn = double (*)(const double*, std::ptrdiff_t);

template <PairwiseFn Self>
KESTRELIA_INLINE double pairwise_contiguous(const double* a, std::ptrdiff_t n) {
    if (n < 8) {
        double res = -0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) return pairwise_block(a, n);
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return Self(a, n2) + Self(a + n2, n - n2);
}

KESTRELIA_AVX2_CLONE double pairwise_avx2(const double* a, std::ptrdiff_t n);
KESTRELIA_AVX2_CLONE double pairwise_avx2(const double* a, std::ptrdiff_t n) {
    return pairwise_contiguous<pairwise_avx2>(a, n);
}
double pairwise_portable(const double* a, std::ptrdiff_t n) {
    return pairwise_contiguous<pairwise_portable>(a, n);
}

// nan_to_num(x) bit for bit, from x's finite mask (which the count needs anyway): most
// weights are NaN, so both branches are taken all the time and each is a select.
KESTRELIA_INLINE v4d cleaned(v4d x, lanes::v4i finite) {
    using lanes::splat;
    const v4d infinite =
        lanes::select(x > splat(0.0), splat(lanes::max_finite), splat(-lanes::max_finite));
    return lanes::select(finite, x, lanes::select(lanes::is_nan(x), splat(0.0), infinite));
}

// The difference array keeps the input's column-major layout, and NumPy then sums each
// row column after column: row_sums[i] takes column j's change before column j + 1's.
// Each value is loaded, counted and cleaned once; the next quad's first value completes
// the changes of the quad before.
KESTRELIA_INLINE std::int64_t holdings_columns(double* row_sums, const F64View& m) {
    const std::ptrdiff_t n = m.rows, pairs = n - 1;
    std::int64_t finite_cells = 0;
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        const double* col = m.column(j);
        std::ptrdiff_t i = 0, counted = 0;
        if (n >= 2 * width) {
            v4d count = lanes::splat(0.0);
            const v4d first = lanes::load_at(col);
            lanes::v4i finite = lanes::is_finite(first);
            count += lanes::count_if(finite);
            v4d prev = cleaned(first, finite);
            for (; i + 2 * width <= n; i += width) {
                const v4d x = lanes::load_at(col + i + width);
                finite = lanes::is_finite(x);
                count += lanes::count_if(finite);
                const v4d next = cleaned(x, finite);
                const v4d ahead = __builtin_shufflevector(prev, next, 1, 2, 3, 4);
                lanes::store_at(row_sums + i,
                                lanes::load_at(row_sums + i) + lanes::abs4(ahead - prev));
                prev = next;
            }
            finite_cells += static_cast<std::int64_t>(count[0] + count[1] + count[2] + count[3]);
            counted = i + width;
        }
        for (std::ptrdiff_t k = counted; k < n; ++k) finite_cells += finite(col[k]) ? 1 : 0;
        for (; i < pairs; ++i)
            row_sums[i] += std::fabs(nan_to_num(col[i + 1]) - nan_to_num(col[i]));
    }
    return finite_cells;
}

// Row-major input: each row of differences is contiguous and summed pairwise. Each value
// is loaded, counted and cleaned as the later of a pair; the row before, still in cache,
// is read and cleaned again rather than kept.
template <PairwiseFn Sum>
KESTRELIA_INLINE std::int64_t holdings_rows(double* row_sums, const F64View& m, double* row) {
    const std::ptrdiff_t pairs = m.rows - 1, cols = m.cols, whole = cols - cols % width;
    std::int64_t finite_cells = finite_count(m.data, cols);
    for (std::ptrdiff_t i = 0; i < pairs; ++i) {
        const double* cur = m.data + i * m.row_stride;
        const double* next = cur + m.row_stride;
        // The row after is fetched while this one is walked.
        const double* after = i + 2 < m.rows ? next + m.row_stride : nullptr;
        v4d count = lanes::splat(0.0);
        std::ptrdiff_t j = 0;
        for (; j < whole; j += width) {
            if (after && j % 8 == 0) __builtin_prefetch(after + j);
            const v4d x = lanes::load_at(next + j);
            const lanes::v4i finite = lanes::is_finite(x);
            count += lanes::count_if(finite);
            const v4d before = lanes::load_at(cur + j);
            lanes::store_at(row + j, lanes::abs4(cleaned(x, finite) -
                                                 cleaned(before, lanes::is_finite(before))));
        }
        finite_cells += static_cast<std::int64_t>(count[0] + count[1] + count[2] + count[3]);
        for (; j < cols; ++j) {
            finite_cells += finite(next[j]) ? 1 : 0;
            row[j] = std::fabs(nan_to_num(next[j]) - nan_to_num(cur[j]));
        }
        row_sums[i] = 0.0 + Sum(row, cols);
    }
    return finite_cells;
}

// `row` is a row of scratch (the changes) for row-major input.
template <PairwiseFn Sum>
KESTRELIA_INLINE std::int64_t holdings(double* row_sums, const F64View& m, double* row) {
    return m.column_major() ? holdings_columns(row_sums, m) : holdings_rows<Sum>(row_sums, m, row);
}

KESTRELIA_AVX2_CLONE std::int64_t holdings_avx2(double* row_sums, const F64View& m, double* row) {
    return holdings<pairwise_avx2>(row_sums, m, row);
}

std::int64_t holdings_portable(double* row_sums, const F64View& m, double* row) {
    return holdings<pairwise_portable>(row_sums, m, row);
}

}  // namespace

std::int64_t holdings_and_turnover(double* row_sums, const F64View& m) {
    const std::ptrdiff_t pairs = m.rows - 1;
    for (std::ptrdiff_t i = 0; i < pairs; ++i) row_sums[i] = 0.0;
    if (m.rows == 0 || m.cols == 0) return 0;
    if (!m.column_major() && m.col_stride != 1) {
        // Neither layout (a strided view): the scalar formulation, row by row.
        std::int64_t finite_cells = 0;
        std::vector<double> row(static_cast<std::size_t>(m.cols));
        for (std::ptrdiff_t i = 0; i < m.rows; ++i) {
            for (std::ptrdiff_t j = 0; j < m.cols; ++j) finite_cells += finite(m(i, j)) ? 1 : 0;
            if (i == pairs) break;
            for (std::ptrdiff_t j = 0; j < m.cols; ++j)
                row[static_cast<std::size_t>(j)] =
                    std::fabs(nan_to_num(m(i + 1, j)) - nan_to_num(m(i, j)));
            row_sums[i] = 0.0 + pairwise_sum(row.data(), m.cols, 1);
        }
        return finite_cells;
    }
    std::vector<double> row(m.column_major() ? 0 : static_cast<std::size_t>(m.cols));
    return lanes::use_avx2() ? holdings_avx2(row_sums, m, row.data())
                             : holdings_portable(row_sums, m, row.data());
}

}  // namespace kestrelia::kernels
