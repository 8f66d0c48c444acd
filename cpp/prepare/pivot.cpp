// Service tables to date x stock matrices: the pivot of every factor read.
//
// The native path codes each key column once (each distinct stock key is cut to six
// characters once, each distinct date value normalised once), coerces the values, and
// scatters the rows into a dense float64 matrix in row order, so that the last valid row
// of a (stock, date) pair wins, exactly as dropna + drop_duplicates(keep="last") + pivot.
// Tables that pandas would treat in some other way (duplicate or multi-level column
// labels, a factor named like a key column, objects that are not frames) take the literal
// pandas chain instead.
#include "kestrelia/kernels/pivot.hpp"

#include <pybind11/numpy.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "columns.hpp"
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

const char* const missing_key_message = "因子查询返回结果缺少 ukey/date 列";

const char* const renames[][2] = {
    {"date", "DataDate"},
    {"value", "x"},
    {"factor", "factorname"},
    {"factor_name", "factorname"},
};

py::object str_type() {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

// dropna, keep the last row per (stock, date), pivot, clean.
py::object literal_matrix(py::object part) {
    part = part.attr("dropna")(py::arg("subset") = binding::texts({"ukey", "DataDate", "x"}));
    part = part.attr("drop_duplicates")(py::arg("subset") = binding::texts({"ukey", "DataDate"}),
                                        py::arg("keep") = "last");
    py::object wide = part.attr("pivot")(py::arg("index") = "DataDate", py::arg("columns") = "ukey",
                                         py::arg("values") = "x");
    return call_global("clean_matrix", wide);
}

// The pandas chain itself, for tables the native path does not take.
py::object literal_pivot(py::object df, const py::object& names, py::dict result) {
    py::object pd = binding::pandas();
    df = df.attr("copy")();
    py::object rename = df.attr("rename");  // looked up before its argument, as Python does
    py::dict mapping;
    py::object columns = df.attr("columns");
    for (const auto& pair : renames)
        if (columns.contains(py::str(pair[0]))) mapping[py::str(pair[0])] = py::str(pair[1]);
    df = rename(py::arg("columns") = mapping);
    columns = df.attr("columns");
    if (!columns.contains("ukey") || !columns.contains("DataDate"))
        raise_key_error(missing_key_message);
    py::object six =
        py::reinterpret_steal<py::object>(PySlice_New(Py_None, py::int_(6).ptr(), Py_None));
    py::object ukey = df["ukey"].attr("astype")(str_type()).attr("str").attr("__getitem__")(six);
    py::object dates = call_global("series_to_yyyymmdd", df["DataDate"]);
    df = df.attr("assign")(py::arg("ukey") = ukey, py::arg("DataDate") = dates);

    if (df.attr("columns").contains("x")) {
        df = df.attr("assign")(py::arg("x") =
                                   pd.attr("to_numeric")(df["x"], py::arg("errors") = "coerce"));
        py::list groups;
        if (df.attr("columns").contains("factorname")) {
            df = df.attr("assign")(py::arg("factorname") =
                                       df["factorname"].attr("astype")(str_type()));
            groups = py::list(df.attr("groupby")("factorname", py::arg("sort") = false,
                                                 py::arg("observed") = true));
        } else if (py::len(names) == 1) {
            groups.append(py::make_tuple(names[py::int_(0)], df));
        } else {
            return result;
        }
        const py::list wanted = binding::texts({"DataDate", "ukey", "x"});
        for (py::handle group : groups) {
            py::object name = group[py::int_(0)];
            if (!result.contains(name)) continue;
            result[name] = literal_matrix(group[py::int_(1)][wanted]);
        }
        return result;
    }
    for (py::handle name : names) {
        if (!df.attr("columns").contains(name)) continue;
        py::list wanted = binding::texts({"DataDate", "ukey"});
        wanted.append(name);
        py::dict to_x;
        to_x[name] = "x";
        py::object part = df[wanted].attr("rename")(py::arg("columns") = to_x);
        part = part.attr("assign")(
            py::arg("x") = pd.attr("to_numeric")(part["x"], py::arg("errors") = "coerce"));
        result[name] = literal_matrix(part);
    }
    return result;
}

// Sorted distinct labels and, per code, the label's position (-1 for a missing label).
struct Axis {
    py::list labels;
    std::vector<std::int32_t> slot;
};

Axis make_axis(const py::list& values) {
    Axis axis;
    py::dict position;
    py::list distinct;
    for (py::handle v : values)
        if (!v.is_none() && !position.contains(v)) {
            position[v] = py::none();
            distinct.append(v);
        }
    // Python's ordering of text is code-point order, the order pivot gives its labels.
    distinct.attr("sort")();
    for (std::size_t i = 0; i < distinct.size(); ++i) position[distinct[i]] = py::int_(i);
    axis.labels = distinct;
    axis.slot.reserve(values.size());
    for (py::handle v : values)
        axis.slot.push_back(v.is_none() ? -1 : position[v].cast<std::int32_t>());
    return axis;
}

struct Table {
    ColumnCodes dates;
    ColumnCodes stocks;
    Axis date_axis;
    Axis stock_axis;
};

// Numbers of `pd.to_numeric(column, errors="coerce")` as float64 (missing: NaN).
py::array_t<double> numeric_values(const py::object& column) {
    py::object pd = binding::pandas();
    py::object np = binding::numpy();
    py::object numbers = pd.attr("to_numeric")(column, py::arg("errors") = "coerce");
    if (py::object(numbers.attr("dtype")).equal(np.attr("dtype")("float64")))
        return numbers.attr("to_numpy")(py::arg("copy") = false);
    return numbers.attr("to_numpy")(py::arg("dtype") = binding::float_type(),
                                    py::arg("na_value") = np.attr("nan"));
}

py::object text_index(const py::list& labels, const char* name) {
    return binding::pandas().attr("Index")(labels, py::arg("dtype") = "str",
                                           py::arg("name") = name);
}

// The rows of one factor: all rows, the rows of one group (checked row by row), or a list.
struct RowSelection {
    const CodeArray* group_codes = nullptr;
    const std::vector<std::int32_t>* group_slot = nullptr;
    std::int32_t group = 0;
    const std::uint32_t* listed = nullptr;
    std::ptrdiff_t count = 0;
};

// One factor's matrix from the selected rows.
py::object scatter_matrix(const Table& t, const RowSelection& selection,
                          const py::array_t<double>& values) {
    const auto n_dates = static_cast<std::ptrdiff_t>(t.date_axis.labels.size());
    const auto n_stocks = static_cast<std::ptrdiff_t>(t.stock_axis.labels.size());
    if (values.ndim() != 1 || static_cast<std::size_t>(values.shape(0)) != t.dates.codes.size())
        throw py::value_error("factor values do not match the table's rows");
    kernels::PivotRows rows;
    rows.date = t.dates.codes.data();
    rows.stock = t.stocks.codes.data();
    rows.rows = static_cast<std::ptrdiff_t>(t.dates.codes.size());
    kernels::PivotSlots slots;
    slots.date = t.date_axis.slot.data();
    slots.date_codes = static_cast<std::ptrdiff_t>(t.date_axis.slot.size());
    slots.stock = t.stock_axis.slot.data();
    slots.stock_codes = static_cast<std::ptrdiff_t>(t.stock_axis.slot.size());
    slots.dates = n_dates;
    slots.stocks = n_stocks;
    if (selection.group_codes != nullptr) {
        rows.group = selection.group_codes->data();
        slots.group = selection.group_slot->data();
        slots.group_codes = static_cast<std::ptrdiff_t>(selection.group_slot->size());
    }
    auto full = binding::new_f64_fortran(n_dates, n_stocks);
    std::vector<std::uint8_t> date_used(static_cast<std::size_t>(n_dates));
    std::vector<std::uint8_t> stock_used(static_cast<std::size_t>(n_stocks));
    const double* x = values.data();
    const std::ptrdiff_t stride = values.strides(0) / static_cast<std::ptrdiff_t>(sizeof(double));
    double* out = full.mutable_data();
    kernels::Status status;
    {
        // Reads our code vectors and the value array (kept alive by `values`), writes our
        // own new array: no Python object is touched.
        py::gil_scoped_release nogil;
        status = kernels::scatter_last_valid(out, date_used.data(), stock_used.data(), rows, slots,
                                             selection.group, x, stride, selection.listed,
                                             selection.count);
    }
    if (!status)
        throw py::value_error("pivot: a row code is out of range at row " +
                              std::to_string(status.position));

    std::vector<std::int64_t> keep_rows, keep_cols;
    py::list row_labels, col_labels;
    for (std::ptrdiff_t i = 0; i < n_dates; ++i)
        if (date_used[static_cast<std::size_t>(i)]) {
            keep_rows.push_back(i);
            row_labels.append(t.date_axis.labels[static_cast<std::size_t>(i)]);
        }
    for (std::ptrdiff_t j = 0; j < n_stocks; ++j)
        if (stock_used[static_cast<std::size_t>(j)]) {
            keep_cols.push_back(j);
            col_labels.append(t.stock_axis.labels[static_cast<std::size_t>(j)]);
        }
    py::object matrix = full;
    if (static_cast<std::ptrdiff_t>(keep_rows.size()) != n_dates ||
        static_cast<std::ptrdiff_t>(keep_cols.size()) != n_stocks) {
        // Dates or stocks of other factors (or of dropped rows) do not belong here.
        const auto kr = static_cast<std::ptrdiff_t>(keep_rows.size());
        const auto kc = static_cast<std::ptrdiff_t>(keep_cols.size());
        auto compact = binding::new_f64_fortran(kr, kc);
        double* dst = compact.mutable_data();
        {
            py::gil_scoped_release nogil;  // our own arrays only
            kernels::gather_rows_columns(dst, out, n_dates, keep_rows.data(), kr, keep_cols.data(),
                                         kc);
        }
        matrix = compact;
    }
    py::object frame = binding::frame_from_array(matrix, text_index(row_labels, "DataDate"),
                                                 text_index(col_labels, "ukey"));
    return call_global("clean_matrix", frame);
}

struct Layout {
    bool native = true;
    py::object renamed;  // the column labels after the renames
    Py_ssize_t ukey = -1, date = -1, x = -1, factorname = -1;
};

Layout inspect_columns(const py::object& df) {
    Layout layout;
    py::object pd = binding::pandas();
    py::object columns = df.attr("columns");
    if (py::isinstance(columns, pd.attr("MultiIndex"))) {
        layout.native = false;
        return layout;
    }
    py::list labels;
    for (py::handle label : columns) {
        py::object renamed = py::reinterpret_borrow<py::object>(label);
        if (PyUnicode_Check(label.ptr()))
            for (const auto& pair : renames)
                if (label.equal(py::str(pair[0]))) renamed = py::str(pair[1]);
        labels.append(renamed);
    }
    layout.renamed = pd.attr("Index")(labels, py::arg("dtype") = "object");
    if (!layout.renamed.attr("is_unique").cast<bool>()) {
        layout.native = false;
        return layout;
    }
    for (std::size_t i = 0; i < labels.size(); ++i) {
        py::handle label = labels[i];
        if (!PyUnicode_Check(label.ptr())) continue;
        const std::string text = label.cast<std::string>();
        const auto pos = static_cast<Py_ssize_t>(i);
        if (text == "ukey")
            layout.ukey = pos;
        else if (text == "DataDate")
            layout.date = pos;
        else if (text == "x")
            layout.x = pos;
        else if (text == "factorname")
            layout.factorname = pos;
    }
    return layout;
}

py::object column_at(const py::object& df, Py_ssize_t pos) {
    return df.attr("iloc")[py::make_tuple(
        py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr)), py::int_(pos))];
}

}  // namespace

py::object ks_factors_to_matrices(const Args& a) {
    py::object df = a["df"];
    py::object names = a["names"];
    py::dict result;
    for (py::handle name : names) result[name] = empty_frame();
    if (df.is_none() || py::len(df) == 0) return result;

    py::object pd = binding::pandas();
    if (!py::isinstance(df, pd.attr("DataFrame"))) return literal_pivot(df, names, result);
    Layout layout = inspect_columns(df);
    if (!layout.native) return literal_pivot(df, names, result);
    if (layout.ukey < 0 || layout.date < 0) raise_key_error(missing_key_message);
    if (layout.x < 0) {
        // A wide factor named like a key column is read by pandas from the key itself.
        for (py::handle name : names)
            if (PyUnicode_Check(name.ptr()) &&
                (name.equal(py::str("ukey")) || name.equal(py::str("DataDate"))) &&
                layout.renamed.contains(name))
                return literal_pivot(df, names, result);
    }

    Table t;
    // Stock keys are coded by their first six characters: keys that share them (one code
    // with two exchange suffixes) are one stock.
    t.stocks = text_codes(column_at(df, layout.ukey), 6);
    t.dates = date_codes(column_at(df, layout.date));
    t.stock_axis = make_axis(t.stocks.values);
    t.date_axis = make_axis(t.dates.values);

    if (layout.x >= 0) {
        py::array_t<double> values = numeric_values(column_at(df, layout.x));
        if (layout.factorname < 0) {
            if (py::len(names) != 1) return result;
            result[names[py::int_(0)]] = scatter_matrix(t, RowSelection{}, values);
            return result;
        }
        ColumnCodes factor = text_codes(column_at(df, layout.factorname));
        // Each factor name that occurs in the table and is a requested name becomes one
        // group (a categorical column may list names that no row has).
        std::vector<std::uint8_t> occurs(factor.values.size(), 0);
        for (std::int32_t code : factor.codes)
            if (code >= 0 && static_cast<std::size_t>(code) < occurs.size())
                occurs[static_cast<std::size_t>(code)] = 1;
        std::vector<std::int32_t> group_slot;
        py::list group_names;
        py::dict group_of;
        std::size_t code = 0;
        for (py::handle v : factor.values) {
            std::int32_t g = -1;
            if (occurs[code++] && !v.is_none() && result.contains(v)) {
                if (!group_of.contains(v)) {
                    group_of[v] = py::int_(group_names.size());
                    group_names.append(v);
                }
                g = group_of[v].cast<std::int32_t>();
            }
            group_slot.push_back(g);
        }
        const auto n_groups = static_cast<std::int32_t>(group_names.size());
        const auto n_rows = static_cast<std::ptrdiff_t>(factor.codes.size());
        std::vector<std::uint32_t> order;
        std::vector<std::int64_t> starts(static_cast<std::size_t>(n_groups) + 1, 0);
        const bool bucketed = n_groups > 1 && n_rows < static_cast<std::ptrdiff_t>(UINT32_MAX);
        if (bucketed) {
            // One pass sorts the rows by group, so each factor visits only its own rows.
            order.resize(static_cast<std::size_t>(n_rows));
            kernels::PivotRows rows;
            rows.group = factor.codes.data();
            rows.rows = n_rows;
            kernels::PivotSlots slots;
            slots.group = group_slot.data();
            slots.group_codes = static_cast<std::ptrdiff_t>(group_slot.size());
            kernels::Status status;
            {
                py::gil_scoped_release nogil;  // our own vectors only
                status = kernels::group_rows(order.data(), starts.data(), rows, slots, n_groups);
            }
            if (!status)
                throw py::value_error("pivot: a factor-name code is out of range at row " +
                                      std::to_string(status.position));
        }
        for (std::int32_t g = 0; g < n_groups; ++g) {
            RowSelection selection;
            selection.group_codes = &factor.codes;
            selection.group_slot = &group_slot;
            selection.group = g;
            if (bucketed) {
                selection.listed = order.data() + starts[static_cast<std::size_t>(g)];
                selection.count = static_cast<std::ptrdiff_t>(
                    starts[static_cast<std::size_t>(g) + 1] - starts[static_cast<std::size_t>(g)]);
            }
            result[group_names[static_cast<std::size_t>(g)]] = scatter_matrix(t, selection, values);
        }
        return result;
    }

    for (py::handle name : names) {
        if (!layout.renamed.contains(name)) continue;
        const Py_ssize_t pos = layout.renamed.attr("get_loc")(name).cast<Py_ssize_t>();
        py::array_t<double> values = numeric_values(column_at(df, pos));
        result[name] = scatter_matrix(t, RowSelection{}, values);
    }
    return result;
}

}  // namespace kestrelia::prepare
