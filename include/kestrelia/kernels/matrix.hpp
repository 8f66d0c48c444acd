// Read-only strided views over caller-owned memory, the only data type the kernels take.
// Strides are in elements. Most pandas frames viewed through to_numpy() are column-major
// (row stride 1: each stock's history contiguous); frames over a C-order array and pivots
// are row-major (column stride 1). Kernels serve both at full speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrelia::kernels {

// A view may select its columns through `col_map` (column j is the underlying matrix's
// column col_map[j]), so that a selection of a market's stocks is read in place rather than
// copied; only the kernels that say so accept such a view.
template <class T>
struct MatrixView {
    const T* data = nullptr;
    std::ptrdiff_t rows = 0;
    std::ptrdiff_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    const std::int64_t* col_map = nullptr;

    std::ptrdiff_t column_offset(std::ptrdiff_t j) const {
        return (col_map ? static_cast<std::ptrdiff_t>(col_map[j]) : j) * col_stride;
    }
    const T& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
        return data[i * row_stride + column_offset(j)];
    }
    const T* column(std::ptrdiff_t j) const { return data + column_offset(j); }
    bool column_major() const { return row_stride == 1; }
    // Whether row i's values are one contiguous run (no map, columns next to each other).
    bool rows_contiguous() const { return col_map == nullptr && (col_stride == 1 || cols <= 1); }
};

using F64View = MatrixView<double>;
using MaskView = MatrixView<std::uint8_t>;

// Outcome of a kernel that validates its input: the first offending position is reported
// instead of throwing from inside a loop.
struct Status {
    enum Code { ok = 0, bad_argument, shape_mismatch } code = ok;
    std::ptrdiff_t position = -1;
    explicit operator bool() const { return code == ok; }
};

}  // namespace kestrelia::kernels
