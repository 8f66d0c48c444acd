// Whole-matrix reductions over weight matrices.
#pragma once

#include <cstdint>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels {

// out[i] = 1 where row i holds any non-NaN value (the rows kept by dropna(how="all")).
void rows_with_value(std::uint8_t* out, const F64View& m);

// out[j] = 1 where column j holds any non-NaN value (dropna(axis=1, how="all")).
void columns_with_value(std::uint8_t* out, const F64View& m);

// One pass over a weight matrix for the holding and turnover statistics:
// returns np.isfinite(m).sum(), and writes row_sums[i] = sum over columns of
// |z[i+1, j] - z[i, j]| with z = np.nan_to_num(m) for the m.rows - 1 consecutive pairs,
// in NumPy's summation order for the array's layout.
std::int64_t holdings_and_turnover(double* row_sums, const F64View& m);

}  // namespace kestrelia::kernels
