#include "kestrelia/kernels/scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
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

namespace {

// scan_weights over column-major input: each column's flag stops at its first value, and
// the rows' flags are kept as lane masks (8-byte flags, which stay in the cache) over the
// columns that hold a value, until every row has one.
KESTRELIA_INLINE void scan_columns(std::uint8_t* rows, std::uint8_t* cols, const F64View& m,
                                   std::vector<long long>& seen) {
    using lanes::v4d;
    using lanes::v4i;
    const std::ptrdiff_t n = m.rows, whole = n - n % lanes::width;
    seen.assign(static_cast<std::size_t>(whole), 0);
    std::fill(rows + whole, rows + n, std::uint8_t{0});
    bool every_row = false;
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        const double* col = m.column(j);
        std::ptrdiff_t first = 0;
        while (first < n && col[first] != col[first]) ++first;
        cols[j] = first < n;
        if (first < n && !every_row) {
            for (std::ptrdiff_t i = first - first % lanes::width; i < whole; i += lanes::width) {
                const v4d x = lanes::load_at(col + i);
                v4i flags;
                std::memcpy(&flags, seen.data() + i, sizeof flags);
                flags |= x == x;
                std::memcpy(seen.data() + i, &flags, sizeof flags);
            }
            for (std::ptrdiff_t i = std::max(whole, first); i < n; ++i)
                rows[i] |= static_cast<std::uint8_t>(col[i] == col[i]);
        }
        // Every 16 columns, whether all rows have a value (weights usually do after a few
        // dozen stocks): the later columns then only look for their own first value.
        if (j % 16 == 15 && !every_row) {
            bool all = true;
            for (std::ptrdiff_t i = 0; i < whole && all; ++i)
                all = seen[static_cast<std::size_t>(i)] != 0;
            for (std::ptrdiff_t i = whole; i < n && all; ++i) all = rows[i] != 0;
            every_row = all;
        }
    }
    for (std::ptrdiff_t i = 0; i < whole; ++i) rows[i] = seen[static_cast<std::size_t>(i)] != 0;
}

// Over the rows of a row-major matrix (through the view's column map, when it has one).
KESTRELIA_INLINE void scan_rows(std::uint8_t* rows, std::uint8_t* cols, const F64View& m,
                                std::vector<long long>& seen) {
    using lanes::v4d;
    using lanes::v4i;
    const std::ptrdiff_t n = m.cols, whole = n - n % lanes::width;
    std::fill(cols, cols + n, std::uint8_t{0});
    if (m.col_map != nullptr) {
        for (std::ptrdiff_t i = 0; i < m.rows; ++i) {
            const double* row = m.data + i * m.row_stride;
            bool any = false;
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                const double v = row[m.column_offset(j)];
                const bool value = v == v;
                cols[j] |= static_cast<std::uint8_t>(value);
                any |= value;
            }
            rows[i] = any;
        }
        return;
    }
    seen.assign(static_cast<std::size_t>(whole), 0);
    for (std::ptrdiff_t i = 0; i < m.rows; ++i) {
        const double* row = m.data + i * m.row_stride;
        v4i any{0, 0, 0, 0};
        std::ptrdiff_t j = 0;
        for (; j < whole; j += lanes::width) {
            const v4d x = lanes::load_at(row + j);
            const v4i value = x == x;
            v4i flags;
            std::memcpy(&flags, seen.data() + j, sizeof flags);
            flags |= value;
            std::memcpy(seen.data() + j, &flags, sizeof flags);
            any |= value;
        }
        bool has = lanes::any_lane(any);
        for (; j < n; ++j) {
            const bool value = row[j] == row[j];
            cols[j] |= static_cast<std::uint8_t>(value);
            has |= value;
        }
        rows[i] = has;
    }
    for (std::ptrdiff_t j = 0; j < whole; ++j) cols[j] = seen[static_cast<std::size_t>(j)] != 0;
}

}  // namespace

void scan_weights(std::uint8_t* rows, std::uint8_t* cols, const F64View& m) {
    if (m.rows == 0 || m.cols == 0) {
        std::fill(rows, rows + m.rows, std::uint8_t{0});
        std::fill(cols, cols + m.cols, std::uint8_t{0});
        return;
    }
    std::vector<long long> seen;
    if (m.row_stride == 1)
        lanes::in_best_build([&](auto) KESTRELIA_BODY { scan_columns(rows, cols, m, seen); });
    else if (m.col_stride == 1)
        lanes::in_best_build([&](auto) KESTRELIA_BODY { scan_rows(rows, cols, m, seen); });
    else {
        std::fill(rows, rows + m.rows, std::uint8_t{0});
        std::fill(cols, cols + m.cols, std::uint8_t{0});
        for (std::ptrdiff_t i = 0; i < m.rows; ++i)
            for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
                const std::uint8_t value = m(i, j) == m(i, j);
                rows[i] |= value;
                cols[j] |= value;
            }
    }
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

namespace {

// holdings_and_turnover_rows over a matrix laid out by rows: four consecutive pairs at a
// time, each lane one pair's sum taking the columns in order, which are the additions the
// column walk makes to that sum, in the same order.
KESTRELIA_INLINE CellCounts holdings_by_rows(double* row_sums, const F64View& m,
                                             const std::int64_t* rows, std::ptrdiff_t n_rows,
                                             double limit) {
    using lanes::v4d;
    CellCounts cells;
    auto row = [&](std::ptrdiff_t k) { return m.data + rows[k] * m.row_stride; };
    std::vector<std::ptrdiff_t> offsets(static_cast<std::size_t>(m.cols));
    for (std::ptrdiff_t j = 0; j < m.cols; ++j)
        offsets[static_cast<std::size_t>(j)] = m.column_offset(j);
    auto count = [&](const double* r) {
        for (const std::ptrdiff_t at : offsets) {
            cells.finite += finite(r[at]) ? 1 : 0;
            cells.beyond += std::fabs(r[at]) >= limit ? 1 : 0;
        }
    };
    if (n_rows > 0) count(row(0));
    std::ptrdiff_t k = 1;
    for (; k + lanes::width <= n_rows; k += lanes::width) {
        const double *r0 = row(k - 1), *r1 = row(k), *r2 = row(k + 1), *r3 = row(k + 2),
                     *r4 = row(k + 3);
        v4d sums = lanes::splat(0.0);
        for (const std::ptrdiff_t at : offsets) {
            const v4d before{r0[at], r1[at], r2[at], r3[at]};
            const v4d after{r1[at], r2[at], r3[at], r4[at]};
            sums += lanes::abs4(lanes::nan_to_num(after) - lanes::nan_to_num(before));
        }
        lanes::store_at(row_sums + k - 1, sums);
        for (const double* r : {r1, r2, r3, r4}) count(r);
    }
    for (; k < n_rows; ++k) {
        const double *before = row(k - 1), *after = row(k);
        double sum = 0.0;
        for (const std::ptrdiff_t at : offsets)
            sum += std::fabs(nan_to_num(after[at]) - nan_to_num(before[at]));
        row_sums[k - 1] = sum;
        count(after);
    }
    return cells;
}

}  // namespace

namespace {

// holdings_and_turnover_rows down each column (through the view's column map), a run of
// repeated rows at a time: a row repeated changes nothing, and adding its +0.0 to a sum
// (never below +0.0) would leave the sum's bits as they are, so each run costs one read and
// one change, added to the pair where the run begins, column after column, as the
// one-value-at-a-time walk would.
KESTRELIA_INLINE CellCounts holdings_by_columns(double* row_sums, const F64View& m,
                                                const std::int64_t* rows, std::ptrdiff_t n_rows,
                                                double limit) {
    struct Run {
        std::int64_t row, first, length;
    };
    std::vector<Run> runs;
    for (std::ptrdiff_t k = 0; k < n_rows; ++k) {
        if (!runs.empty() && runs.back().row == rows[k])
            ++runs.back().length;
        else
            runs.push_back({rows[k], k, 1});
    }
    CellCounts cells;
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        const double* col = m.column(j);
        double prev = 0.0;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const double v = col[runs[r].row * m.row_stride];
            cells.finite += finite(v) ? runs[r].length : 0;
            cells.beyond += std::fabs(v) >= limit ? runs[r].length : 0;
            const double z = nan_to_num(v);
            if (r > 0) row_sums[runs[r].first - 1] += std::fabs(z - prev);
            prev = z;
        }
    }
    return cells;
}

}  // namespace

CellCounts holdings_and_turnover_rows(double* row_sums, const F64View& m, const std::int64_t* rows,
                                      std::ptrdiff_t n_rows, double limit) {
    const std::ptrdiff_t pairs = std::max<std::ptrdiff_t>(n_rows - 1, 0);
    std::fill(row_sums, row_sums + pairs, 0.0);
    if (!m.column_major() && m.col_stride == 1)
        return lanes::in_best_build([&](auto) KESTRELIA_BODY {
            return holdings_by_rows(row_sums, m, rows, n_rows, limit);
        });
    return lanes::in_best_build(
        [&](auto) KESTRELIA_BODY { return holdings_by_columns(row_sums, m, rows, n_rows, limit); });
}

namespace {

using lanes::v4d;
using lanes::width;

KESTRELIA_INLINE v4d abs_change(v4d next, v4d prev) {
    return lanes::abs4(lanes::nan_to_num(next) - lanes::nan_to_num(prev));
}

KESTRELIA_INLINE std::int64_t lane_total(v4d count) {
    return static_cast<std::int64_t>(count[0] + count[1] + count[2] + count[3]);
}

KESTRELIA_INLINE CellCounts cell_counts(const double* a, std::ptrdiff_t n, double limit) {
    const v4d lim = lanes::splat(limit);
    v4d finite_lanes = lanes::splat(0.0), beyond_lanes = lanes::splat(0.0);
    std::ptrdiff_t i = 0;
    for (; i + width <= n; i += width) {
        const v4d x = lanes::load_at(a + i);
        finite_lanes += lanes::count_if(lanes::is_finite(x));
        beyond_lanes += lanes::count_if(lanes::abs4(x) >= lim);
    }
    CellCounts cells{lane_total(finite_lanes), lane_total(beyond_lanes)};
    for (; i < n; ++i) {
        cells.finite += finite(a[i]) ? 1 : 0;
        cells.beyond += std::fabs(a[i]) >= limit ? 1 : 0;
    }
    return cells;
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

// The recursion calls itself by name, so each build has one.
KESTRELIA_AVX2_CLONE double pairwise_avx2(const double* a, std::ptrdiff_t n);
KESTRELIA_AVX2_CLONE double pairwise_avx2(const double* a, std::ptrdiff_t n) {
    return pairwise_contiguous<pairwise_avx2>(a, n);
}
double pairwise_portable(const double* a, std::ptrdiff_t n) {
    return pairwise_contiguous<pairwise_portable>(a, n);
}
constexpr PairwiseFn pairwise_of(lanes::Avx2Build) { return pairwise_avx2; }
constexpr PairwiseFn pairwise_of(lanes::BaselineBuild) { return pairwise_portable; }

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
KESTRELIA_INLINE CellCounts holdings_columns(double* row_sums, const F64View& m, double limit) {
    const v4d lim = lanes::splat(limit);
    const std::ptrdiff_t n = m.rows, pairs = n - 1;
    CellCounts cells;
    for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
        const double* col = m.column(j);
        std::ptrdiff_t i = 0, counted = 0;
        if (n >= 2 * width) {
            v4d count = lanes::splat(0.0), beyond = lanes::splat(0.0);
            const v4d first = lanes::load_at(col);
            lanes::v4i finite = lanes::is_finite(first);
            count += lanes::count_if(finite);
            beyond += lanes::count_if(lanes::abs4(first) >= lim);
            v4d prev = cleaned(first, finite);
            for (; i + 2 * width <= n; i += width) {
                const v4d x = lanes::load_at(col + i + width);
                finite = lanes::is_finite(x);
                count += lanes::count_if(finite);
                beyond += lanes::count_if(lanes::abs4(x) >= lim);
                const v4d next = cleaned(x, finite);
                const v4d ahead = __builtin_shufflevector(prev, next, 1, 2, 3, 4);
                lanes::store_at(row_sums + i,
                                lanes::load_at(row_sums + i) + lanes::abs4(ahead - prev));
                prev = next;
            }
            cells.finite += lane_total(count);
            cells.beyond += lane_total(beyond);
            counted = i + width;
        }
        const CellCounts rest = cell_counts(col + counted, n - counted, limit);
        cells.finite += rest.finite;
        cells.beyond += rest.beyond;
        for (; i < pairs; ++i)
            row_sums[i] += std::fabs(nan_to_num(col[i + 1]) - nan_to_num(col[i]));
    }
    return cells;
}

// Row-major input: each row of differences is contiguous and summed pairwise. Each value
// is loaded, counted and cleaned as the later of a pair; the row before, still in cache,
// is read and cleaned again rather than kept.
template <PairwiseFn Sum>
KESTRELIA_INLINE CellCounts holdings_rows(double* row_sums, const F64View& m, double* row,
                                          double limit) {
    const v4d lim = lanes::splat(limit);
    const std::ptrdiff_t pairs = m.rows - 1, cols = m.cols, whole = cols - cols % width;
    CellCounts cells = cell_counts(m.data, cols, limit);
    for (std::ptrdiff_t i = 0; i < pairs; ++i) {
        const double* cur = m.data + i * m.row_stride;
        const double* next = cur + m.row_stride;
        // The row after is fetched while this one is walked.
        const double* after = i + 2 < m.rows ? next + m.row_stride : nullptr;
        v4d count = lanes::splat(0.0), beyond = lanes::splat(0.0);
        std::ptrdiff_t j = 0;
        for (; j < whole; j += width) {
            if (after && j % 8 == 0) __builtin_prefetch(after + j);
            const v4d x = lanes::load_at(next + j);
            const lanes::v4i finite = lanes::is_finite(x);
            count += lanes::count_if(finite);
            beyond += lanes::count_if(lanes::abs4(x) >= lim);
            const v4d before = lanes::load_at(cur + j);
            lanes::store_at(row + j, lanes::abs4(cleaned(x, finite) -
                                                 cleaned(before, lanes::is_finite(before))));
        }
        cells.finite += lane_total(count);
        cells.beyond += lane_total(beyond);
        for (; j < cols; ++j) {
            cells.finite += finite(next[j]) ? 1 : 0;
            cells.beyond += std::fabs(next[j]) >= limit ? 1 : 0;
            row[j] = std::fabs(nan_to_num(next[j]) - nan_to_num(cur[j]));
        }
        row_sums[i] = 0.0 + Sum(row, cols);
    }
    return cells;
}

// `row` is a row of scratch (the changes) for row-major input.
template <PairwiseFn Sum>
KESTRELIA_INLINE CellCounts holdings(double* row_sums, const F64View& m, double* row,
                                     double limit) {
    return m.column_major() ? holdings_columns(row_sums, m, limit)
                            : holdings_rows<Sum>(row_sums, m, row, limit);
}

}  // namespace

CellCounts holdings_and_turnover(double* row_sums, const F64View& m, double limit) {
    const std::ptrdiff_t pairs = m.rows - 1;
    for (std::ptrdiff_t i = 0; i < pairs; ++i) row_sums[i] = 0.0;
    if (m.rows == 0 || m.cols == 0) return {};
    if (!m.column_major() && m.col_stride != 1) {
        // Neither layout (a strided view): the scalar formulation, row by row.
        CellCounts cells;
        std::vector<double> row(static_cast<std::size_t>(m.cols));
        for (std::ptrdiff_t i = 0; i < m.rows; ++i) {
            for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
                const double v = m(i, j);
                cells.finite += finite(v) ? 1 : 0;
                cells.beyond += std::fabs(v) >= limit ? 1 : 0;
            }
            if (i == pairs) break;
            for (std::ptrdiff_t j = 0; j < m.cols; ++j)
                row[static_cast<std::size_t>(j)] =
                    std::fabs(nan_to_num(m(i + 1, j)) - nan_to_num(m(i, j)));
            row_sums[i] = 0.0 + pairwise_sum(row.data(), m.cols, 1);
        }
        return cells;
    }
    std::vector<double> row(m.column_major() ? 0 : static_cast<std::size_t>(m.cols));
    return lanes::in_best_build([&](auto build) KESTRELIA_BODY {
        return holdings<pairwise_of(decltype(build){})>(row_sums, m, row.data(), limit);
    });
}

}  // namespace kestrelia::kernels
