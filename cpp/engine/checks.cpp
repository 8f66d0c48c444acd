// Whole-matrix checks of the public layer, in one native pass each with the GIL released.
#include <string>
#include <vector>

#include "engine.hpp"
#include "kestrelia/binding/pyutil.hpp"
#include "kestrelia/kernels/scan.hpp"

namespace kestrelia::engine {

namespace {

py::object cell_or_none(const kernels::Cell& cell) {
    if (cell.row < 0) return py::none();
    return py::make_tuple(cell.row, cell.col);
}

py::array_t<bool> as_bools(const std::vector<std::uint8_t>& flags) {
    py::array_t<bool> out(static_cast<py::ssize_t>(flags.size()));
    bool* dst = out.mutable_data();
    for (std::size_t i = 0; i < flags.size(); ++i) dst[i] = flags[i] != 0;
    return out;
}

}  // namespace

py::tuple scan_weights(const py::array& values) {
    const binding::F64Matrix m = binding::f64_matrix(values);
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(m.rows)),
        cols(static_cast<std::size_t>(m.cols));
    {
        py::gil_scoped_release nogil;  // reads the array, writes the two vectors
        kernels::scan_weights(rows.data(), cols.data(), m.view());
    }
    return py::make_tuple(as_bools(rows), as_bools(cols));
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

}  // namespace kestrelia::engine
