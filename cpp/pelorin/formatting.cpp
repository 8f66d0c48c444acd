// Display strings of the charts' cards and tables. A missing value is always "--"; ratios
// and percentage points have separate formatters so that a value is multiplied by 100
// exactly once. Numbers go through Python's own format() of a float, so rounding (round
// half to even on the stored binary value), inf, nan and a signed zero read exactly as
// Python writes them.
#include <cmath>
#include <string>

#include "pelorin.hpp"

namespace kestrelia::pelorin {

namespace {

py::object steal(PyObject* obj) {
    if (obj == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(obj);
}

// `value is None or pd.isna(value)`. Exact floats and ints are answered directly (for
// them pd.isna is just a NaN test); everything else asks pandas, so pd.NA and NaT count as
// missing and an array-like value fails in the truth test as it does in pandas.
bool is_missing(const py::object& value) {
    PyObject* v = value.ptr();
    if (v == Py_None) return true;
    if (PyFloat_CheckExact(v)) return std::isnan(PyFloat_AS_DOUBLE(v));
    if (PyLong_CheckExact(v)) return false;
    py::object na = binding::pandas().attr("isna")(value);
    const int truth = PyObject_IsTrue(na.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

// format(float(value), "." + str(digits) + suffix)
py::str format_float(const py::object& value, const py::object& digits, const char* suffix) {
    py::object number = steal(PyNumber_Float(value.ptr()));
    py::str spec(std::string(".") + py::str(digits).cast<std::string>() + suffix);
    return steal(PyObject_Format(number.ptr(), spec.ptr()));
}

py::object format_scalar(const Args& args, const char* suffix, bool append_percent) {
    const py::object value = args["value"];
    if (is_missing(value)) return py::str("--");
    py::str text = format_float(value, args["digits"], suffix);
    if (append_percent) return text + py::str("%");
    return text;
}

}  // namespace

py::object format_pct(const Args& args) { return format_scalar(args, "%", false); }

py::object format_pct_points(const Args& args) { return format_scalar(args, "f", true); }

py::object format_num(const Args& args) { return format_scalar(args, "f", false); }

py::object format_annual_excess(const Args& args) {
    const py::object series = args["annual_excess"];
    const py::str none_text("--");
    if (series.is_none() || py::len(series) == 0) return none_text;
    py::object format_pct = binding::global("_format_pct");
    const py::str separator(": ");
    py::list parts;
    for (py::handle item : series.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object value = pair[1];
        if (is_missing(value)) continue;
        parts.append(py::str(pair[0]) + separator + format_pct(value));
    }
    if (parts.empty()) return none_text;
    return py::str(" | ").attr("join")(parts);
}

}  // namespace kestrelia::pelorin
