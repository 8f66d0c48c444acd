#include "kestrelia/binding/pyutil.hpp"

#include <limits>

namespace kestrelia::binding {

namespace {

PyObject* home = nullptr;  // strong reference, kept for the life of the process

// Cached imports, intentionally leaked: they must outlive static destruction.
py::module_& cached(const char* name, py::module_*& slot) {
    if (slot == nullptr) slot = new py::module_(py::module_::import(name));
    return *slot;
}

py::module_* numpy_module = nullptr;
py::module_* pandas_module = nullptr;

template <class T>
void fill_strides(const py::array& arr, Py_ssize_t& rows, Py_ssize_t& cols, Py_ssize_t& rs,
                  Py_ssize_t& cs) {
    rows = arr.shape(0);
    cols = arr.shape(1);
    rs = arr.strides(0) / static_cast<Py_ssize_t>(sizeof(T));
    cs = arr.strides(1) / static_cast<Py_ssize_t>(sizeof(T));
}

bool aligned_strides(const py::array& arr, Py_ssize_t item) {
    return arr.strides(0) % item == 0 && arr.strides(1) % item == 0 &&
           reinterpret_cast<std::uintptr_t>(arr.data()) % static_cast<std::uintptr_t>(item) == 0;
}

}  // namespace

void set_home_module(py::module_ module) {
    Py_XDECREF(home);
    home = module.release().ptr();
}

py::object global(const char* name) {
    PyObject* dict = PyModule_GetDict(home);  // borrowed
    PyObject* value = PyDict_GetItemString(dict, name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::module_ numpy() { return cached("numpy", numpy_module); }
py::module_ pandas() { return cached("pandas", pandas_module); }

F64Matrix f64_matrix(py::handle array) {
    py::array arr = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(array));
    if (arr.ndim() != 2) throw py::value_error("expected a 2-D array");
    if (!arr.dtype().is(py::dtype::of<double>()) ||
        !aligned_strides(arr, static_cast<Py_ssize_t>(sizeof(double)))) {
        arr = py::reinterpret_borrow<py::array>(
            numpy().attr("array")(arr, py::arg("dtype") = "float64", py::arg("order") = "F"));
    }
    F64Matrix m;
    m.data = static_cast<const double*>(arr.data());
    fill_strides<double>(arr, m.rows, m.cols, m.row_stride, m.col_stride);
    m.owner = std::move(arr);
    return m;
}

BoolMatrix bool_matrix(py::handle array) {
    py::array arr = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(array));
    if (arr.ndim() != 2) throw py::value_error("expected a 2-D array");
    if (!arr.dtype().is(py::dtype::of<bool>())) {
        arr = py::reinterpret_borrow<py::array>(
            numpy().attr("array")(arr, py::arg("dtype") = "bool", py::arg("order") = "F"));
    }
    BoolMatrix m;
    m.data = static_cast<const std::uint8_t*>(arr.data());
    fill_strides<std::uint8_t>(arr, m.rows, m.cols, m.row_stride, m.col_stride);
    m.owner = std::move(arr);
    return m;
}

F64Matrix frame_f64(py::handle frame) {
    return f64_matrix(
        frame.attr("to_numpy")(py::arg("dtype") = float_type(), py::arg("copy") = false));
}

py::array_t<double, py::array::f_style> new_f64_fortran(Py_ssize_t rows, Py_ssize_t cols) {
    return py::array_t<double, py::array::f_style>({rows, cols});
}

py::object frame_from_array(py::handle values, py::handle index, py::handle columns) {
    return pandas().attr("DataFrame")(values, py::arg("index") = index,
                                      py::arg("columns") = columns, py::arg("copy") = false);
}

bool all_float64(py::handle frame) {
    py::object float64 = numpy().attr("dtype")("float64");
    return py::bool_(frame.attr("dtypes").attr("__eq__")(float64).attr("all")());
}

py::object float_type() {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type));
}

py::list texts(std::initializer_list<const char*> values) {
    py::list out;
    for (const char* v : values) out.append(v);
    return out;
}

py::object without_infinities(const py::object& obj) {
    py::list infinities;
    infinities.append(py::float_(std::numeric_limits<double>::infinity()));
    infinities.append(py::float_(-std::numeric_limits<double>::infinity()));
    return obj.attr("replace")(infinities, numpy().attr("nan"));
}

py::float_ nan() { return py::float_(std::numeric_limits<double>::quiet_NaN()); }

}  // namespace kestrelia::binding
