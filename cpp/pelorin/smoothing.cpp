// Trailing-window smoothing of the target weights.
#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "kestrelia/kernels/rolling.hpp"
#include "pelorin.hpp"

namespace kestrelia::pelorin {

namespace {

// The pandas expression the kernel replaces; used for frames that are not plain float64.
py::object smooth_with_pandas(const py::object& matrix, long long window) {
    py::object smoothed = matrix.attr("fillna")(0.0).attr("rolling")(window).attr("mean")().attr(
        "dropna")(py::arg("how") = "all");
    return smoothed.attr("where")(smoothed.attr("__ne__")(0));
}

}  // namespace

py::object smooth_strategy_weights(const Args& args) {
    return smooth(args["strategy_matrix"], args.i64("rolling_window"));
}

py::object smooth(const py::object& matrix, long long window) {
    // 0, 1 and negative windows mean no smoothing: the very object comes back.
    if (window <= 1) return matrix;
    if (!py::isinstance(matrix, binding::pandas().attr("DataFrame")) ||
        !binding::all_float64(matrix))
        return smooth_with_pandas(matrix, window);

    binding::F64Matrix values = binding::frame_f64(matrix);
    const kernels::F64View in = values.view();
    std::vector<std::uint8_t> keep;
    std::ptrdiff_t kept = 0;
    {
        // Reads the caller's array and writes our own buffers only.
        py::gil_scoped_release nogil;
        kept = kernels::smoothing_kept_rows(keep, in, static_cast<std::ptrdiff_t>(window));
    }
    // The result keeps the input's layout: a row-major weight matrix stays row-major, so
    // the simulation reads it on the same path as the market matrices that came with it.
    const bool row_major = in.col_stride == 1 && in.cols > 1 && in.rows > 1;
    py::array out = row_major ? py::array(py::array_t<double, py::array::c_style>({kept, in.cols}))
                              : py::array(binding::new_f64_fortran(kept, in.cols));
    double* dst = static_cast<double*>(out.mutable_data());
    kernels::Status status;
    {
        py::gil_scoped_release nogil;
        status = kernels::smooth_weights(dst, kept, keep, in, static_cast<std::ptrdiff_t>(window),
                                         row_major);
    }
    if (!status)
        throw py::value_error("weight smoothing failed: inconsistent window bounds (window " +
                              std::to_string(window) + ", " + std::to_string(kept) + " of " +
                              std::to_string(in.rows) + " rows kept)");

    py::array_t<bool> mask(static_cast<py::ssize_t>(keep.size()));
    bool* m = mask.mutable_data();
    for (std::size_t i = 0; i < keep.size(); ++i) m[i] = keep[i] != 0;
    py::object index = matrix.attr("index").attr("__getitem__")(mask);
    return binding::frame_from_array(out, index, matrix.attr("columns"));
}

}  // namespace kestrelia::pelorin
