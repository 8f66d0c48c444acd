// The scatter step of a long-to-wide pivot: narrow rows (date, stock, value) become a dense
// date x stock matrix in which, of several rows for one cell, the last row with a value
// wins (rows without a value, date or stock are skipped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels {

// Per-row codes of a narrow table. A code indexes the matching slot map, which gives the
// label's position in the output (or -1: the row is skipped); a negative code is a
// missing label. `group` may be null (every row belongs to the one group).
struct PivotRows {
    const std::int32_t* date = nullptr;
    const std::int32_t* stock = nullptr;
    const std::int32_t* group = nullptr;
    std::ptrdiff_t rows = 0;
};

struct PivotSlots {
    const std::int32_t* date = nullptr;  // date code -> row of the output
    std::ptrdiff_t date_codes = 0;
    const std::int32_t* stock = nullptr;  // stock code -> column of the output
    std::ptrdiff_t stock_codes = 0;
    const std::int32_t* group = nullptr;  // group code -> group number
    std::ptrdiff_t group_codes = 0;
    std::ptrdiff_t dates = 0;   // rows of the output
    std::ptrdiff_t stocks = 0;  // columns of the output
};

// Fills `out` (column-major, slots.dates x slots.stocks) with NaN, then writes the value of
// every row of group `group` (any row when rows.group is null) that has a date, a stock and
// a non-NaN value, in row order. With a row list (ascending row numbers, e.g. one bucket of
// group_rows) only the listed rows are visited and their group is not checked again.
// date_used / stock_used (slots.dates / slots.stocks bytes) flag the rows and columns that
// received a value. A code beyond its slot map is reported with its row as bad_argument.
Status scatter_last_valid(double* out, std::uint8_t* date_used, std::uint8_t* stock_used,
                          const PivotRows& rows, const PivotSlots& slots, std::int32_t group,
                          const double* values, std::ptrdiff_t value_stride,
                          const std::uint32_t* row_list = nullptr, std::ptrdiff_t listed = 0);

// A stable bucket sort of the rows by group number: rows of group g are
// order[starts[g] .. starts[g + 1]), ascending. `starts` holds n_groups + 1 entries; rows
// outside every group (or without a group code) are left out. Needs rows.rows < 2^32.
Status group_rows(std::uint32_t* order, std::int64_t* starts, const PivotRows& rows,
                  const PivotSlots& slots, std::int32_t n_groups);

// Integer codes of int64 keys (first appearance order), `missing` standing for a missing
// value (code -1); uniques receives the distinct keys by code.
void int64_codes(std::int32_t* out, std::vector<std::int64_t>& uniques, const std::int64_t* keys,
                 std::ptrdiff_t n, std::ptrdiff_t stride, bool has_missing, std::int64_t missing);

// Widens integer codes of any width to int32 (stride in elements).
template <class T>
void widen_codes(std::int32_t* out, const T* in, std::ptrdiff_t n, std::ptrdiff_t stride) {
    for (std::ptrdiff_t i = 0; i < n; ++i) out[i] = static_cast<std::int32_t>(in[i * stride]);
}

// Copies the listed rows and columns of `in` (column-major, in_rows high) into `out`
// (column-major, n_rows x n_cols).
void gather_rows_columns(double* out, const double* in, std::ptrdiff_t in_rows,
                         const std::int64_t* row_pos, std::ptrdiff_t n_rows,
                         const std::int64_t* col_pos, std::ptrdiff_t n_cols);

}  // namespace kestrelia::kernels
