// Copies of a selection of a matrix's rows and columns.
#pragma once

#include <cstdint>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::kernels {

// out = src[rows][:, cols] (n_rows x src.cols through src's column map, when it has one),
// written in one sequential pass in the output's layout: column-major when
// `column_major_out` (each output column filled from one source column), row-major
// otherwise. `rows` must hold valid row positions of src.
template <class T>
void gather_rows(T* out, const MatrixView<T>& src, const std::int64_t* rows, std::ptrdiff_t n_rows,
                 bool column_major_out);

}  // namespace kestrelia::kernels
