// Whole-matrix checks of the public layer, in one native pass each with the GIL released.
#include <string>
#include <vector>

#include "engine.hpp"
#include "kestrelia/binding/pyutil.hpp"
#include "kestrelia/kernels/gather.hpp"
#include "kestrelia/kernels/scan.hpp"

namespace kestrelia::engine {

namespace {

py::object cell_or_none(const kernels::Cell& cell) {
    if (cell.row < 0) return py::none();
    return py::make_tuple(cell.row, cell.col);
}

using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// `given` as int64 positions, each in [0, limit), else IndexError naming the function and
// the axis.
Ints positions_in(const py::object& given, py::ssize_t limit, const char* what, const char* axis) {
    Ints positions = Ints::ensure(given);
    if (!positions) throw py::error_already_set();
    for (py::ssize_t k = 0; k < positions.size(); ++k)
        if (positions.data()[k] < 0 || positions.data()[k] >= limit)
            throw py::index_error(std::string(what) + ": a " + axis +
                                  " position is outside the array");
    return positions;
}

py::array_t<bool> as_bools(const std::vector<std::uint8_t>& flags) {
    py::array_t<bool> out(static_cast<py::ssize_t>(flags.size()));
    bool* dst = out.mutable_data();
    for (std::size_t i = 0; i < flags.size(); ++i) dst[i] = flags[i] != 0;
    return out;
}

}  // namespace

py::tuple scan_weights(const py::array& values, const py::object& cols) {
    const binding::F64Matrix m = binding::f64_matrix(values);
    kernels::F64View view = m.view();
    Ints positions;
    if (!cols.is_none()) {
        positions = positions_in(cols, view.cols, "scan_weights", "column");
        view.col_map = positions.data();
        view.cols = positions.size();
    }
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(view.rows)),
        has(static_cast<std::size_t>(view.cols));
    {
        py::gil_scoped_release nogil;  // reads the array, writes the two vectors
        kernels::scan_weights(rows.data(), has.data(), view);
    }
    return py::make_tuple(as_bools(rows), as_bools(has));
}

py::object first_bad_value(const py::array& values, const std::string& rule) {
    kernels::ValueRule r;
    if (rule == "positive")
        r = kernels::ValueRule::positive;
    else if (rule == "non_negative")
        r = kernels::ValueRule::non_negative;
    else
        throw py::value_error("unknown value rule '" + rule + "'");
    const binding::F64Matrix m = binding::f64_matrix(values);
    kernels::Cell bad;
    {
        py::gil_scoped_release nogil;  // reads the array only
        bad = kernels::first_bad_value(m.view(), r);
    }
    return cell_or_none(bad);
}

namespace {

template <class T>
py::array gather_as(const py::array& values, const py::object& rows, const py::object& cols) {
    const auto arr = py::array_t<T, py::array::forcecast>::ensure(values);
    if (!arr || arr.ndim() != 2) throw py::value_error("gather takes a 2-D array");
    kernels::MatrixView<T> src{arr.data(), arr.shape(0), arr.shape(1),
                               arr.strides(0) / static_cast<py::ssize_t>(sizeof(T)),
                               arr.strides(1) / static_cast<py::ssize_t>(sizeof(T))};
    if (arr.strides(0) % static_cast<py::ssize_t>(sizeof(T)) ||
        arr.strides(1) % static_cast<py::ssize_t>(sizeof(T)))
        throw py::value_error("gather takes an array of aligned elements");
    Ints row_positions, col_positions;
    std::vector<std::int64_t> all_rows;
    if (rows.is_none()) {
        all_rows.resize(static_cast<std::size_t>(src.rows));
        for (std::size_t i = 0; i < all_rows.size(); ++i)
            all_rows[i] = static_cast<std::int64_t>(i);
    } else {
        row_positions = positions_in(rows, arr.shape(0), "gather", "row");
    }
    if (!cols.is_none()) {
        col_positions = positions_in(cols, src.cols, "gather", "column");
        src.col_map = col_positions.data();
        src.cols = col_positions.size();
    }
    const std::int64_t* r = rows.is_none() ? all_rows.data() : row_positions.data();
    const std::ptrdiff_t n_rows = rows.is_none() ? src.rows : row_positions.size();
    // The output keeps the source's layout, so the walks that read it take the same path.
    const bool column_major = src.row_stride == 1;
    py::array_t<T, py::array::f_style> f_out;
    py::array_t<T, py::array::c_style> c_out;
    T* dst;
    if (column_major) {
        f_out = py::array_t<T, py::array::f_style>({n_rows, src.cols});
        dst = f_out.mutable_data();
    } else {
        c_out = py::array_t<T, py::array::c_style>({n_rows, src.cols});
        dst = c_out.mutable_data();
    }
    {
        py::gil_scoped_release nogil;  // reads the source and the positions, writes `dst`
        kernels::gather_rows(dst, src, r, n_rows, column_major);
    }
    return column_major ? py::array(f_out) : py::array(c_out);
}

}  // namespace

py::array gather(const py::array& values, const py::object& rows, const py::object& cols) {
    if (values.dtype().is(py::dtype::of<bool>())) return gather_as<bool>(values, rows, cols);
    return gather_as<double>(values, rows, cols);
}

}  // namespace kestrelia::engine
