#include "kestrelia/kernels/gather.hpp"

#include <cstddef>
#include <cstring>
#include <vector>

namespace kestrelia::kernels {

template <class T>
void gather_rows(T* out, const MatrixView<T>& src, const std::int64_t* rows, std::ptrdiff_t n_rows,
                 bool column_major_out) {
    const std::ptrdiff_t cols = src.cols;
    if (column_major_out && src.row_stride == 1) {
        // The selected rows as runs of consecutive ones (a selection of days is mostly
        // such runs), each copied as one block from every column.
        struct Run {
            std::int64_t from;
            std::ptrdiff_t to, length;
        };
        std::vector<Run> runs;
        for (std::ptrdiff_t i = 0; i < n_rows; ++i) {
            if (!runs.empty() && runs.back().from + runs.back().length == rows[i])
                ++runs.back().length;
            else
                runs.push_back({rows[i], i, 1});
        }
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            const T* col = src.column(j);
            T* dst = out + j * n_rows;
            for (const Run& run : runs)
                std::memcpy(dst + run.to, col + run.from,
                            static_cast<std::size_t>(run.length) * sizeof(T));
        }
        return;
    }
    if (column_major_out) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            const T* col = src.column(j);
            T* dst = out + j * n_rows;
            for (std::ptrdiff_t i = 0; i < n_rows; ++i) dst[i] = col[rows[i] * src.row_stride];
        }
        return;
    }
    for (std::ptrdiff_t i = 0; i < n_rows; ++i) {
        const T* row = src.data + rows[i] * src.row_stride;
        T* dst = out + i * cols;
        if (src.col_map == nullptr && src.col_stride == 1) {
            for (std::ptrdiff_t j = 0; j < cols; ++j) dst[j] = row[j];
        } else {
            for (std::ptrdiff_t j = 0; j < cols; ++j) dst[j] = row[src.column_offset(j)];
        }
    }
}

template void gather_rows<double>(double*, const MatrixView<double>&, const std::int64_t*,
                                  std::ptrdiff_t, bool);
template void gather_rows<bool>(bool*, const MatrixView<bool>&, const std::int64_t*, std::ptrdiff_t,
                                bool);

}  // namespace kestrelia::kernels
