#include "kestrelia/kernels/scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

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
        for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
            const double* col = m.column(j);
            for (std::ptrdiff_t i = 0; i < m.rows; ++i)
                out[i] |= static_cast<std::uint8_t>(!std::isnan(col[i * m.row_stride]));
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

std::int64_t holdings_and_turnover(double* row_sums, const F64View& m) {
    const std::ptrdiff_t pairs = m.rows - 1;
    for (std::ptrdiff_t i = 0; i < pairs; ++i) row_sums[i] = 0.0;
    std::int64_t finite_cells = 0;
    if (m.column_major()) {
        // The difference array keeps the input's column-major layout, and NumPy then sums
        // each row column after column.
        for (std::ptrdiff_t j = 0; j < m.cols; ++j) {
            const double* col = m.column(j);
            std::int64_t count = 0;
            for (std::ptrdiff_t i = 0; i < m.rows; ++i) count += finite(col[i]) ? 1 : 0;
            finite_cells += count;
            for (std::ptrdiff_t i = 0; i < pairs; ++i)
                row_sums[i] += std::fabs(nan_to_num(col[i + 1]) - nan_to_num(col[i]));
        }
        return finite_cells;
    }
    // Row-major input: each row of differences is contiguous and summed pairwise.
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

}  // namespace kestrelia::kernels
