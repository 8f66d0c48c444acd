// Trailing-window smoothing of a weight matrix, equal to
//     m.fillna(0.0).rolling(window).mean().dropna(how="all")
// followed by .where(result != 0).
#pragma once

#include <cstdint>
#include <vector>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels {

// Marks the rows that survive dropna(how="all") after the rolling mean: a mean exists
// where the full window holds no NaN, and fillna(0) leaves only infinities (which rolling
// treats as missing) to break a window. Returns the number of kept rows.
std::ptrdiff_t smoothing_kept_rows(std::vector<std::uint8_t>& keep, const F64View& in,
                                   std::ptrdiff_t window);

// Writes the smoothed matrix of the kept rows into `out`, zeros turned into NaN:
// column-major with leading dimension `kept`, or row-major with leading dimension
// in.cols when `row_major_out` (so that a row-major input keeps its layout). The mean is pandas'
// own rolling-mean arithmetic (Kahan-compensated add and remove, sign clamps, repeated-value
// shortcut), so the values match bit for bit.
Status smooth_weights(double* out, std::ptrdiff_t kept, const std::vector<std::uint8_t>& keep,
                      const F64View& in, std::ptrdiff_t window, bool row_major_out = false);

}  // namespace kestrelia::kernels
