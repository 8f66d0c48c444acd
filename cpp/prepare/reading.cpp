// The reading half of GroupPreparedDataBuilder: construction and date forms, single and
// batch factor reads, placeholders and index-component masks.
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

// The two service dates of every factor read, in "YYYY-MM-DD" form.
std::pair<py::object, py::object> factor_dates(const py::object& self) {
    py::object start = call_method(self, "_ks_factor_date", self.attr("default_start"));
    py::object end = call_method(self, "_ks_factor_date", self.attr("end_date"));
    return {start, end};
}

py::object get_factors(const py::object& self, const py::object& factor) {
    py::object fetch = data_client().attr("get_factors");
    auto [start, end] = factor_dates(self);
    return fetch(py::arg("factor") = factor, py::arg("start_date") = start,
                 py::arg("end_date") = end);
}

// batch.get(name), sorted by date when it has rows; None otherwise.
py::object from_batch(const py::object& batch, const py::object& name) {
    py::object matrix = batch.attr("get")(name);
    if (has_rows(matrix)) return matrix.attr("sort_index")();
    return py::none();
}

}  // namespace

py::object builder_init(const Args& a) {
    py::object self = a["self"];
    self.attr("default_start") = call_global("normalize_yyyymmdd", a["start_date"]);
    self.attr("end_date") = call_global("normalize_yyyymmdd", a["end_date"]);
    self.attr("_ddb_start") =
        call_method(self, "_normalize_ddb_backtest_date", self.attr("default_start"));
    self.attr("_ddb_end") =
        call_method(self, "_normalize_ddb_backtest_date", self.attr("end_date"));
    return py::none();
}

py::object normalize_ddb_backtest_date(const Args& a) {
    py::object value = a["date_value"];
    if (value.is_none()) return value;
    py::object text = PyUnicode_Check(value.ptr()) ? value : py::object(py::str(value));
    if (py::len(text) == 7 && text.attr("isdigit")().cast<bool>()) {
        // A seven-digit backtest date gains its missing trailing zero ("2024010").
        return text + py::str("0");
    }
    return text;
}

py::object ks_factor_date(const Args& a) {
    py::object value = require_str_or_none(call_global("normalize_yyyymmdd", a["date_value"]));
    if (value.is_none()) return value;
    return binding::pandas()
        .attr("to_datetime")(value, py::arg("format") = "%Y%m%d")
        .attr("strftime")("%Y-%m-%d");
}

py::object empty_like(const Args& a) {
    py::object reference = a["reference"];
    return binding::pandas().attr("DataFrame")(a["fill_value"],
                                               py::arg("index") = reference.attr("index"),
                                               py::arg("columns") = reference.attr("columns"));
}

py::object read_normal_factor_matrix(const Args& a) {
    py::object self = a["self"];
    py::object name = a["name"];
    py::object df = get_factors(self, name);
    py::list names;
    names.append(name);
    py::object matrix =
        call_method(self, "_ks_factors_to_matrices", df, names).attr("get")(name, empty_frame());
    if (has_rows(matrix)) return matrix;
    return empty_frame();
}

py::object read_normal_factor_batch(const Args& a) {
    py::object self = a["self"];
    py::object names = call_global("parse_name_list", a["names"]);
    if (py::len(names) == 0) return py::dict();
    py::object result;
    try {
        py::object df = get_factors(self, names);
        result = call_method(self, "_ks_factors_to_matrices", df, names);
    } catch (py::error_already_set& e) {
        if (!is_network_error(e)) throw;
        // The batch request failed: every factor is read singly below.
        py::dict empty;
        for (py::handle name : names) empty[name] = empty_frame();
        result = empty;
    }
    py::list missing;
    for (py::handle name : names)
        if (!has_rows(result.attr("get")(name))) missing.append(name);
    for (py::handle name : missing)
        result[name] = call_method(self, "_read_normal_factor_matrix", name);
    return result;
}

py::object read_or_empty(const Args& a) {
    py::object self = a["self"];
    py::object name = a["name"];
    if (!a.is_none("batch")) {
        py::object matrix = from_batch(a["batch"], name);
        if (!matrix.is_none()) return matrix;
    } else {
        py::object matrix = call_method(self, "_read_normal_factor_matrix", name);
        if (has_rows(matrix)) return matrix;
    }
    return call_method(self, "_empty_like", a["reference"]);
}

py::object batch_or_read(const Args& a) {
    py::object matrix = from_batch(a["batch"], a["name"]);
    if (!matrix.is_none()) return matrix;
    return call_method(a["self"], "_read_normal_factor_matrix", a["name"]);
}

py::object component_matrices(const Args& a) {
    py::object self = a["self"];
    py::object batch = a["batch"];
    py::object np = binding::numpy();
    py::dict matrices;
    for (py::handle name : a["component_names"]) {
        py::object matrix;
        try {
            if (batch.is_none()) {
                matrix = call_method(self, "_read_normal_factor_matrix", name);
            } else {
                matrix = batch.attr("get")(name);
                if (!has_rows(matrix))
                    matrix = call_method(self, "_read_normal_factor_matrix", name);
            }
        } catch (py::error_already_set& e) {
            if (!is_network_error(e)) throw;
            continue;  // an unreachable component is left out
        }
        if (!has_rows(matrix)) continue;
        py::list infinities;
        infinities.append(np.attr("inf"));
        infinities.append(-np.attr("inf"));
        // Zeros, NaN and infinities mean "not a member": the comparison sees the values
        // before the infinities are replaced.
        py::object replaced = matrix.attr("replace")(infinities, np.attr("nan"));
        matrix = replaced.attr("where")(matrix.attr("__ne__")(0));
        py::object present = matrix.attr("notna")();
        matrices[name] = present.attr("astype")(binding::float_type())
                             .attr("where")(matrix.attr("notna")())
                             .attr("sort_index")();
    }
    return matrices;
}

}  // namespace kestrelia::prepare
