// Module utilities: name lists, the storage dtype map, the date-string normaliser, and
// the small helpers shared by the builder and the store.
#include <pybind11/numpy.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "columns.hpp"
#include "kestrelia/kernels/yyyymmdd.hpp"
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

PyObject* store_cls = nullptr;  // strong reference, kept for the life of the process

using kernels::EightDigitHit;
using kernels::EightDigits;

py::object text_of(const EightDigitHit& hit) {
    if (hit.kind == EightDigits::invalid) return binding::nan();
    return py::str(hit.digits, 8);
}

void scan_object_array(std::vector<EightDigitHit>& hits, const py::array& array) {
    py::object np_integer = binding::numpy().attr("integer");
    py::object np_floating = binding::numpy().attr("floating");
    const auto n = static_cast<std::int64_t>(array.size());
    PyObject* const* items = static_cast<PyObject* const*>(array.data());
    const Py_ssize_t stride = array.strides(0) / static_cast<Py_ssize_t>(sizeof(PyObject*));
    EightDigitHit hit{};
    for (std::int64_t i = 0; i < n; ++i) {
        PyObject* v = items[i * stride];
        hit.kind = EightDigits::none;
        if (v == Py_None || PyBool_Check(v)) {
            continue;
        } else if (PyLong_Check(v)) {
            int overflow = 0;
            const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (overflow == 0) hit.kind = kernels::eight_digit_integer(x, hit.digits);
        } else if (PyFloat_Check(v)) {
            hit.kind = kernels::eight_digit_float(PyFloat_AS_DOUBLE(v), hit.digits);
        } else if (PyUnicode_Check(v)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(v, &size);
            if (text == nullptr) {
                PyErr_Clear();  // lone surrogates: not a date text of ours
                continue;
            }
            hit.kind =
                kernels::eight_digit_text({text, static_cast<std::size_t>(size)}, hit.digits);
        } else if (PyObject_IsInstance(v, np_integer.ptr()) == 1) {
            hit.kind = kernels::eight_digit_integer(
                py::reinterpret_borrow<py::object>(v).cast<long long>(), hit.digits);
        } else if (PyObject_IsInstance(v, np_floating.ptr()) == 1) {
            hit.kind = kernels::eight_digit_float(
                py::reinterpret_borrow<py::object>(v).cast<double>(), hit.digits);
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        if (hit.kind == EightDigits::none) continue;
        hit.position = i;
        hits.push_back(hit);
    }
}

struct Scan {
    std::vector<EightDigitHit> hits;
    py::object array;  // the one-dimensional array the positions refer to
};

std::vector<EightDigitHit> eight_digit_hits(const py::object& values, py::object* scanned);

// The eight-digit dates among `values`, by position. Only sequences that pandas reads
// element by element are scanned: Series, Index, arrays, lists and tuples, and scalars.
Scan scan_eight_digits(const py::object& values) {
    Scan scan;
    scan.hits = eight_digit_hits(values, &scan.array);
    return scan;
}

std::vector<EightDigitHit> eight_digit_hits(const py::object& values, py::object* scanned) {
    std::vector<EightDigitHit> hits;
    py::object pd = binding::pandas();
    py::object np = binding::numpy();
    py::object array;
    if (py::isinstance(values, pd.attr("Series")) || py::isinstance(values, pd.attr("Index"))) {
        array = values.attr("array");
    } else if (py::isinstance<py::array>(values) ||
               py::isinstance(values, pd.attr("api").attr("extensions").attr("ExtensionArray"))) {
        array = values;
    } else if (py::isinstance<py::list>(values) || py::isinstance<py::tuple>(values)) {
        array = np.attr("array")(values, py::arg("dtype") = "object");
    } else if (!pd.attr("api").attr("types").attr("is_list_like")(values).cast<bool>()) {
        py::list one;
        one.append(values);
        array = np.attr("array")(one, py::arg("dtype") = "object");
    } else {
        return hits;
    }
    *scanned = array;

    py::object dtype = array.attr("dtype");
    if (py::isinstance(dtype, pd.attr("CategoricalDtype"))) {
        std::vector<EightDigitHit> per_category =
            eight_digit_hits(array.attr("categories"), scanned);
        *scanned = array;
        if (per_category.empty()) return hits;
        py::array_t<std::int64_t> codes = np.attr("asarray")(array.attr("codes"), "int64");
        std::vector<const EightDigitHit*> of_category(
            static_cast<std::size_t>(py::len(array.attr("categories"))), nullptr);
        for (const auto& hit : per_category)
            of_category[static_cast<std::size_t>(hit.position)] = &hit;
        auto c = codes.unchecked<1>();
        for (py::ssize_t i = 0; i < c.shape(0); ++i) {
            if (c(i) < 0 || of_category[static_cast<std::size_t>(c(i))] == nullptr) continue;
            EightDigitHit hit = *of_category[static_cast<std::size_t>(c(i))];
            hit.position = i;
            hits.push_back(hit);
        }
        return hits;
    }
    ArrowStrings strings;
    if (arrow_strings(array, strings)) {
        std::int64_t base = 0;
        {
            // Reads Arrow buffers only; `strings.owner` keeps them alive.
            py::gil_scoped_release nogil;
            for (const auto& chunk : strings.chunks) {
                kernels::scan_eight_digit_texts(hits, chunk, base);
                base += chunk.length;
            }
        }
        return hits;
    }
    const std::string kind = dtype.attr("kind").cast<std::string>();
    const bool is_numpy = py::isinstance(dtype, np.attr("dtype"));
    if (kind == "i" || kind == "u" || kind == "f") {
        py::array_t<double> as_float;
        if (is_numpy && kind != "f") {
            py::array_t<std::int64_t> ints = np.attr("asarray")(array, "int64");
            const auto n = static_cast<std::ptrdiff_t>(ints.size());
            const std::ptrdiff_t stride = ints.strides(0) / 8;
            const std::int64_t* data = ints.data();
            py::gil_scoped_release nogil;  // reads our own int64 array only
            kernels::scan_eight_digit_integers(hits, data, n, stride);
            return hits;
        }
        if (is_numpy) {
            as_float = np.attr("asarray")(array, "float64");
        } else {
            as_float = array.attr("to_numpy")(py::arg("dtype") = "float64",
                                              py::arg("na_value") = np.attr("nan"));
        }
        const auto n = static_cast<std::ptrdiff_t>(as_float.size());
        const std::ptrdiff_t stride = as_float.strides(0) / 8;
        const double* data = as_float.data();
        py::gil_scoped_release nogil;  // reads our own float64 array only
        kernels::scan_eight_digit_floats(hits, data, n, stride);
        return hits;
    }
    if (kind == "O" || kind == "U" || kind == "S" ||
        py::isinstance(dtype, pd.attr("StringDtype"))) {
        py::array objects = np.attr("asarray")(array, py::arg("dtype") = "object");
        if (objects.ndim() == 1) scan_object_array(hits, objects);
    }
    return hits;
}

}  // namespace

py::object store_class() { return py::reinterpret_borrow<py::object>(store_cls); }

void set_store_class(py::object cls) {
    Py_XDECREF(store_cls);
    store_cls = cls.release().ptr();
}

py::dict new_dict(const py::handle& mapping) {
    PyObject* copy = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), mapping.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(copy);
}

bool has_rows(const py::handle& obj) { return !obj.is_none() && py::len(obj) > 0; }

py::object empty_frame() { return binding::pandas().attr("DataFrame")(); }

py::object data_client() { return call_global("get_instance"); }

bool is_network_error(py::error_already_set& e) {
    return e.matches(binding::global("NetworkError"));
}

void raise_key_error(const std::string& message) {
    PyErr_SetObject(PyExc_KeyError, py::str(message).ptr());
    throw py::error_already_set();
}

py::object require_str_or_none(py::object value) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr()))
        binding::raise_wrong_return("str", value);
    return value;
}

py::object parse_name_list(const Args& a) {
    py::object raw = a["raw_values"];
    py::list names;
    if (raw.is_none()) return names;
    py::object items = raw;
    if (PyUnicode_Check(raw.ptr())) {
        py::object text = raw;
        for (const char* separator : {"\xef\xbc\x8c", "\xef\xbc\x9b", ";", "\n"})
            text = text.attr("replace")(py::str(separator), py::str(","));
        items = text.attr("split")(",");
    }
    for (py::handle value : py::iter(items)) {
        py::object text = py::str(value).attr("strip")();
        if (py::len(text) > 0) names.append(text);
    }
    return names;
}

py::object get_component_factor_names(const Args&) {
    return call_global("parse_name_list", binding::global("COMPONENT_FACTOR_NAMES"));
}

py::object build_matrix_dtype(const Args& a) {
    py::dict result = new_dict(binding::global("BASE_MATRIX_DTYPE"));
    py::object names = a.is_none("component_names") ? call_global("get_component_factor_names")
                                                    : a["component_names"];
    names = call_global("parse_name_list", names);
    for (py::handle name : names) {
        result[call_global("component_dataset_key", name)] = binding::global("FLOAT_STORAGE_DTYPE");
    }
    return result;
}

py::object series_to_yyyymmdd(const Args& a) {
    py::object values = a["values"];
    py::object pd = binding::pandas();
    py::object np = binding::numpy();

    // pandas reads an integer such as 20240102 as nanoseconds since 1970, and a column
    // whose format it infers from one text may drop other texts: eight-digit numbers and
    // texts are read as YYYYMMDD here, and hidden from pd.to_datetime (which then infers
    // its format from the remaining values).
    const Scan scan = scan_eight_digits(values);
    py::object input = values;
    if (!scan.hits.empty()) {
        const bool floats = py::isinstance(scan.array.attr("dtype"), np.attr("dtype")) &&
                            scan.array.attr("dtype").attr("kind").cast<std::string>() == "f";
        // An explicit copy: np.array(..., copy=True) trusts an array's __array__ to have
        // copied, and older pandas hands out its own buffer there, so masking would write
        // into the caller's column.
        py::array masked =
            np.attr("asarray")(scan.array, py::arg("dtype") = floats ? "float64" : "object")
                .attr("copy")();
        if (masked.ndim() != 1) throw py::value_error("series_to_yyyymmdd: expected one dimension");
        for (const auto& hit : scan.hits) {
            if (floats) {
                static_cast<double*>(masked.mutable_data())[hit.position] =
                    std::numeric_limits<double>::quiet_NaN();
            } else {
                PyObject** items = static_cast<PyObject**>(masked.mutable_data());
                Py_INCREF(Py_None);
                Py_XSETREF(items[hit.position], Py_None);
            }
        }
        input = masked;
        if (py::isinstance(values, pd.attr("Series")))
            input =
                pd.attr("Series")(masked, py::arg("index") = values.attr("index"),
                                  py::arg("name") = values.attr("name"), py::arg("copy") = false);
        else if (py::isinstance(values, pd.attr("Index")))
            input =
                pd.attr("Index")(masked, py::arg("dtype") = masked.attr("dtype"),
                                 py::arg("name") = values.attr("name"), py::arg("copy") = false);
    }
    py::object parsed = pd.attr("to_datetime")(input, py::arg("errors") = "coerce");
    py::object series =
        py::isinstance(parsed, pd.attr("Series")) ? parsed : pd.attr("Series")(parsed);
    py::object text = series.attr("dt").attr("strftime")("%Y%m%d");
    if (scan.hits.empty()) return text;

    const auto n = static_cast<std::int64_t>(py::len(text));
    py::array cells = text.attr("to_numpy")(py::arg("dtype") = "object", py::arg("copy") = true);
    PyObject** items = static_cast<PyObject**>(cells.mutable_data());
    for (const auto& hit : scan.hits) {
        if (hit.position >= n) throw py::value_error("series_to_yyyymmdd: length mismatch");
        PyObject* fresh = text_of(hit).release().ptr();
        Py_XSETREF(items[hit.position], fresh);
    }
    return pd.attr("Series")(cells, py::arg("index") = text.attr("index"),
                             py::arg("name") = text.attr("name"),
                             py::arg("dtype") = text.attr("dtype"));
}

}  // namespace kestrelia::prepare
