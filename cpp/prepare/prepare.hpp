// Implementations of the _prepare module functions and methods, one concern per source
// file. The declarations (parameters, annotations, defaults, docstrings), the constants
// and the classes live in module.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "kestrelia/binding/pyutil.hpp"
#include "kestrelia/binding/signature.hpp"

namespace kestrelia::prepare {

namespace py = pybind11;
using binding::Args;

inline constexpr long TAIL_RELOAD_ROWS = 2;
inline constexpr long PREPARED_DATA_VERSION = 1;
inline constexpr const char* FLOAT_STORAGE_DTYPE = "float64";
inline constexpr const char* BOOL_STORAGE_DTYPE = "bool";

// utilities.cpp
py::object parse_name_list(const Args& a);
py::object get_component_factor_names(const Args& a);
py::object build_matrix_dtype(const Args& a);
py::object series_to_yyyymmdd(const Args& a);

// store.cpp
py::object store_init(const Args& a);
py::object store_load(const Args& a);
py::object store_add_component_matrices(const Args& a);

// reading.cpp
py::object builder_init(const Args& a);
py::object normalize_ddb_backtest_date(const Args& a);
py::object ks_factor_date(const Args& a);
py::object empty_like(const Args& a);
py::object read_normal_factor_matrix(const Args& a);
py::object read_normal_factor_batch(const Args& a);
py::object read_or_empty(const Args& a);
py::object batch_or_read(const Args& a);
py::object component_matrices(const Args& a);

// pivot.cpp
py::object ks_factors_to_matrices(const Args& a);

// benchmark.cpp
py::object format_benchmark_daily_return(const Args& a);
py::object read_benchmark_dict(const Args& a);

// derivation.cpp
py::object build_from_matrices(const Args& a);

// payload.cpp
py::object read_source_data(const Args& a);
py::object assemble_payload(const Args& a);
py::object build_payload(const Args& a);
py::object build(const Args& a);
py::object build_incremental(const Args& a);

// window.cpp
py::object payload_slice_from_date(const Args& a);
py::object build_incremental_write_window(const Args& a);

// The class object BinaryPreparedDataStore, as `super()` inside its methods sees it.
py::object store_class();
void set_store_class(py::object cls);

using binding::call_global;

// Calls a method through `self`, so that an instance or subclass may override it.
template <class... T>
py::object call_method(const py::handle& self, const char* name, T&&... values) {
    return self.attr(name)(std::forward<T>(values)...);
}

// dict(mapping): always a new dict. (Constructing py::dict from an object that already is
// a dict would share it instead of copying.)
py::dict new_dict(const py::handle& mapping);

// `obj is not None and len(obj) > 0`.
bool has_rows(const py::handle& obj);

// A new empty frame, pd.DataFrame().
py::object empty_frame();

// `get_instance()` looked up in the module namespace, as every read does.
py::object data_client();

// True when the pending Python exception is the module's NetworkError.
bool is_network_error(py::error_already_set& e);

// Raises KeyError(message) with the message as its only argument.
[[noreturn]] void raise_key_error(const std::string& message);

// Requires `value` to be a str or None (the result of the store's date normaliser).
py::object require_str_or_none(py::object value);

}  // namespace kestrelia::prepare
