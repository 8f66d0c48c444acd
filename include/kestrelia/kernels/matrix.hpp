// Read-only strided views over caller-owned memory, the only data type the kernels take.
// Strides are in elements. Most pandas frames viewed through to_numpy() are column-major
// (row stride 1: each stock's history contiguous); frames over a C-order array and pivots
// are row-major (column stride 1). Kernels serve both at full speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrelia::kernels {

template <class T>
struct MatrixView {
    const T* data = nullptr;
    std::ptrdiff_t rows = 0;
    std::ptrdiff_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    const T& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
        return data[i * row_stride + j * col_stride];
    }
    const T* column(std::ptrdiff_t j) const { return data + j * col_stride; }
    bool column_major() const { return row_stride == 1; }
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
