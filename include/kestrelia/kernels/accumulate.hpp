// Running sums and maxima with pandas' missing-value rules.
#pragma once

#include <cstddef>

namespace kestrelia::kernels {

// Series.cumsum(skipna=True) of float64: NaN cells stay NaN and do not interrupt the sum;
// the sum runs left to right like np.cumsum, so infinities propagate as IEEE says.
void cumsum_skipna(double* out, const double* in, std::size_t n);

// Series.expanding().max() (min_periods=1): NaN until the first non-NaN value, NaN cells
// skipped; of equal maxima the latest one is kept (as pandas' monotonic deque does).
void expanding_max(double* out, const double* in, std::size_t n);

}  // namespace kestrelia::kernels
