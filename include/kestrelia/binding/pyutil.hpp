// Small helpers shared by the module code of both extensions: exception translation at
// the C API boundary, module-global lookup at call time, cached library handles and
// zero-copy views of NumPy arrays for the kernels.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>

#include "kestrelia/kernels/matrix.hpp"

namespace kestrelia::binding {

namespace py = pybind11;

// Runs `body` and turns any C++ exception into the matching Python exception (the one
// place where exceptions cross into the interpreter); returns nullptr on error. The mapping
// is pybind11's default one, written with its public API: no module registers translators.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {  // py::value_error, py::type_error, ...
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
    }
    return nullptr;
}

// The extension module whose namespace holds the outside helpers and the module
// functions. Names are looked up there at call time, so a host or a test can replace
// them after import.
void set_home_module(py::module_ module);
// NameError "name '%s' is not defined" when absent, like a Python global.
py::object global(const char* name);

// Calls a name of the module namespace (looked up now, so that a function a host or a test
// replaced is the one that runs) with positional arguments.
template <class... T>
py::object call_global(const char* name, T&&... values) {
    return global(name)(std::forward<T>(values)...);
}

py::module_ numpy();
py::module_ pandas();

// A read-only 2-D float64 matrix: data pointer with row and column strides in elements.
// `owner` keeps the memory alive (a view of the caller's data when possible).
struct F64Matrix {
    py::array owner;
    const double* data = nullptr;
    Py_ssize_t rows = 0, cols = 0;
    Py_ssize_t row_stride = 0, col_stride = 0;

    kernels::F64View view() const { return {data, rows, cols, row_stride, col_stride}; }
};

// A read-only 2-D boolean matrix as bytes (0 or 1).
struct BoolMatrix {
    py::array owner;
    const std::uint8_t* data = nullptr;
    Py_ssize_t rows = 0, cols = 0;
    Py_ssize_t row_stride = 0, col_stride = 0;

    kernels::MaskView view() const { return {data, rows, cols, row_stride, col_stride}; }
};

// Views a 2-D array as float64 (converting only when dtype or alignment require it).
F64Matrix f64_matrix(py::handle array);
BoolMatrix bool_matrix(py::handle array);

// `frame.to_numpy(dtype=float, copy=False)` viewed as a matrix.
F64Matrix frame_f64(py::handle frame);

// A new Fortran-ordered (column-major) float64 array, the layout of a pandas block.
py::array_t<double, py::array::f_style> new_f64_fortran(Py_ssize_t rows, Py_ssize_t cols);

// pd.DataFrame(values, index=index, columns=columns, copy=False): takes ownership of a
// freshly allocated array without copying it.
py::object frame_from_array(py::handle values, py::handle index, py::handle columns);

// True when every column of the frame is a float64 NumPy column.
bool all_float64(py::handle frame);

// Python's float('nan').
py::float_ nan();

// The built-in type `float`, as passed to dtype= arguments.
py::object float_type();

// A Python list of the given texts (column lists, subsets, labels).
py::list texts(std::initializer_list<const char*> values);

// obj.replace([inf, -inf], np.nan): infinite values become missing ones.
py::object without_infinities(const py::object& obj);

}  // namespace kestrelia::binding
