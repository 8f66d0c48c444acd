// Whole-matrix reductions over weight matrices.
#pragma once

#include <cstdint>
#include <limits>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels {

// out[i] = 1 where row i holds any non-NaN value (the rows kept by dropna(how="all")).
void rows_with_value(std::uint8_t* out, const F64View& m);

// out[j] = 1 where column j holds any non-NaN value (dropna(axis=1, how="all")).
void columns_with_value(std::uint8_t* out, const F64View& m);

// rows[i] = 1 where row i of a weight matrix holds a non-NaN value, cols[j] = 1 where
// column j does (what dropna(how="all") keeps on either axis), over the view's columns
// (through its map, when it has one), reading each value at most once and stopping early
// where the layout allows.
void scan_weights(std::uint8_t* rows, std::uint8_t* cols, const F64View& m);

// A cell of a matrix; {-1, -1} for none.
struct Cell {
    std::ptrdiff_t row = -1, col = -1;
};

// What the engine can price with: a finite number above 0 (prices, split factors) or of 0
// or more (dividends); NaN (missing) passes both.
enum class ValueRule { positive, non_negative };

// The first cell, by row then column, whose value breaks the rule, or {-1, -1}.
Cell first_bad_value(const F64View& m, ValueRule rule);

// How many cells are finite, and how many have a magnitude of at least a limit (infinite
// ones, with an infinite limit).
struct CellCounts {
    std::int64_t finite = 0, beyond = 0;
};

// One pass over a weight matrix for the holding and turnover statistics:
// returns np.isfinite(m).sum() (and the count of cells of magnitude `limit` or more), and
// writes row_sums[i] =
// sum over columns of |z[i+1, j] - z[i, j]| with z = np.nan_to_num(m) for the m.rows - 1
// consecutive pairs, in NumPy's summation order for the array's layout.
CellCounts holdings_and_turnover(double* row_sums, const F64View& m,
                                 double limit = std::numeric_limits<double>::infinity());

// holdings_and_turnover of the matrix whose row k is m's row rows[k] (k < n_rows) and whose
// columns are m's (through its column map, when it has one), without making it: the
// changes are summed column after column, as NumPy sums the rows of a column-major matrix.
// Both layouts are walked in place.
CellCounts holdings_and_turnover_rows(double* row_sums, const F64View& m, const std::int64_t* rows,
                                      std::ptrdiff_t n_rows,
                                      double limit = std::numeric_limits<double>::infinity());

}  // namespace kestrelia::kernels
