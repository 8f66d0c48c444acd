// Arrow-backed text columns as raw chunks, and integer codes of text and date columns.
#include "columns.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "kestrelia/kernels/pivot.hpp"

namespace kestrelia::prepare {

namespace {

const char empty_text[1] = {0};

// The built-in type `str`, as passed to astype().
py::object str_type() {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

py::object decode(std::string_view text) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

template <class T>
const T* buffer_address(const py::handle& buffer) {
    if (buffer.is_none()) return nullptr;
    return reinterpret_cast<const T*>(buffer.attr("address").cast<std::uintptr_t>());
}

bool is_text_dtype(const py::handle& dtype) {
    py::object pd = binding::pandas();
    if (py::isinstance(dtype, pd.attr("StringDtype")))
        return dtype.attr("storage").cast<std::string>() == "pyarrow";
    if (py::isinstance(dtype, pd.attr("ArrowDtype"))) {
        py::object types = py::module_::import("pyarrow").attr("types");
        py::object t = dtype.attr("pyarrow_dtype");
        return types.attr("is_string")(t).cast<bool>() ||
               types.attr("is_large_string")(t).cast<bool>();
    }
    return false;
}

ColumnCodes codes_from_strings(const py::object& owner,
                               const std::vector<kernels::Utf8Chunk>& chunks, std::int64_t length,
                               std::size_t prefix_chars) {
    ColumnCodes out;
    out.owner = owner;
    out.codes.resize(static_cast<std::size_t>(length));
    kernels::StringCodes table;
    {
        // Reads Arrow buffers kept alive by `owner`; writes our own vectors.
        py::gil_scoped_release nogil;
        std::int32_t* dst = out.codes.data();
        for (const auto& chunk : chunks) {
            table.encode(dst, chunk, prefix_chars);
            dst += chunk.length;
        }
    }
    for (const auto& text : table.uniques()) out.values.append(decode(text));
    return out;
}

// Object arrays: str elements by content, None / NaN / pd.NA as missing; anything else
// means the column is not plain text.
bool object_text_codes(const py::array& objects, ColumnCodes& out, std::size_t prefix_chars) {
    PyObject* na = binding::pandas().attr("NA").ptr();
    const auto n = static_cast<std::int64_t>(objects.size());
    PyObject* const* items = static_cast<PyObject* const*>(objects.data());
    const Py_ssize_t stride = objects.strides(0) / static_cast<Py_ssize_t>(sizeof(PyObject*));
    kernels::StringCodes table;
    out.codes.resize(static_cast<std::size_t>(n));
    PyObject* previous = nullptr;
    std::int32_t previous_code = -1;
    for (std::int64_t i = 0; i < n; ++i) {
        PyObject* v = items[i * stride];
        if (v == previous) {
            out.codes[static_cast<std::size_t>(i)] = previous_code;
            continue;
        }
        std::int32_t code;
        if (v == Py_None || v == na || (PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v)))) {
            code = -1;
        } else if (PyUnicode_Check(v)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(v, &size);
            if (text == nullptr) {
                PyErr_Clear();
                return false;
            }
            code = table.code(
                kernels::utf8_prefix({text, static_cast<std::size_t>(size)}, prefix_chars));
        } else {
            return false;
        }
        previous = v;
        previous_code = code;
        out.codes[static_cast<std::size_t>(i)] = code;
    }
    out.owner = objects;
    // Plain str values, also for elements of a str subclass.
    out.values = py::list();
    for (const auto& text : table.uniques()) out.values.append(decode(text));
    return true;
}

template <class T>
bool widen_if(const py::array& array, CodeArray& out) {
    if (!py::isinstance<py::array_t<T>>(array) || !array.dtype().is(py::dtype::of<T>()))
        return false;
    const auto n = static_cast<std::ptrdiff_t>(array.size());
    const std::ptrdiff_t stride =
        array.ndim() == 1 ? array.strides(0) / static_cast<std::ptrdiff_t>(sizeof(T)) : 1;
    const T* data = static_cast<const T*>(array.data());
    out.resize(static_cast<std::size_t>(n));
    py::gil_scoped_release nogil;  // reads the caller's integer array, writes our codes
    kernels::widen_codes(out.data(), data, n, stride);
    return true;
}

// Integer codes (pandas factorize codes, categorical codes) as int32.
CodeArray int32_codes(const py::handle& codes) {
    py::object values = py::hasattr(codes, "to_numpy") ? codes.attr("to_numpy")()
                                                       : py::reinterpret_borrow<py::object>(codes);
    py::array array = binding::numpy().attr("asarray")(values);
    CodeArray out;
    if (array.ndim() == 1 &&
        (widen_if<std::int8_t>(array, out) || widen_if<std::int16_t>(array, out) ||
         widen_if<std::int32_t>(array, out) || widen_if<std::int64_t>(array, out)))
        return out;
    py::array_t<std::int64_t> wide = binding::numpy().attr("asarray")(array, "int64");
    widen_if<std::int64_t>(wide, out);
    return out;
}

// values[code] = the date text of each normalised value, or None.
py::list date_texts(const py::object& normalised) {
    py::list out;
    py::array cells = normalised.attr("to_numpy")(py::arg("dtype") = "object");
    for (py::handle v : cells) {
        if (PyUnicode_Check(v.ptr()))
            out.append(v);
        else
            out.append(py::none());
    }
    return out;
}

}  // namespace

bool arrow_strings(const py::handle& array, ArrowStrings& out) {
    if (!py::hasattr(array, "dtype") || !is_text_dtype(array.attr("dtype"))) return false;
    py::object values = py::hasattr(array, "array") ? array.attr("array")
                                                    : py::reinterpret_borrow<py::object>(array);
    if (!py::hasattr(values, "__arrow_array__")) return false;
    py::object chunked = values.attr("__arrow_array__")();
    py::object types = py::module_::import("pyarrow").attr("types");
    out.chunks.clear();
    out.length = 0;
    for (py::handle chunk : chunked.attr("chunks")) {
        py::object type = chunk.attr("type");
        const bool large = types.attr("is_large_string")(type).cast<bool>();
        if (!large && !types.attr("is_string")(type).cast<bool>()) return false;
        py::list buffers = chunk.attr("buffers")();
        kernels::Utf8Chunk c;
        c.validity = buffer_address<std::uint8_t>(buffers[0]);
        if (large)
            c.offsets64 = buffer_address<std::int64_t>(buffers[1]);
        else
            c.offsets32 = buffer_address<std::int32_t>(buffers[1]);
        c.data = buffer_address<char>(buffers[2]);
        if (c.data == nullptr) c.data = empty_text;
        c.offset = chunk.attr("offset").cast<std::int64_t>();
        c.length = py::len(chunk);
        if (c.length > 0 && c.offsets32 == nullptr && c.offsets64 == nullptr) return false;
        if (c.validity == nullptr && chunk.attr("null_count").cast<std::int64_t>() > 0)
            return false;
        out.chunks.push_back(c);
        out.length += c.length;
    }
    out.owner = chunked;
    return true;
}

bool plain_text_codes(const py::object& series, ColumnCodes& out, std::size_t prefix_chars) {
    ArrowStrings strings;
    if (arrow_strings(series, strings)) {
        out = codes_from_strings(strings.owner, strings.chunks, strings.length, prefix_chars);
        return true;
    }
    py::object dtype = series.attr("dtype");
    py::object pd = binding::pandas();
    const bool object_dtype = dtype.equal(binding::numpy().attr("dtype")("O"));
    const bool python_strings = py::isinstance(dtype, pd.attr("StringDtype"));
    if (!object_dtype && !python_strings) return false;
    py::array objects = series.attr("to_numpy")(py::arg("dtype") = "object");
    return object_text_codes(objects, out, prefix_chars);
}

// values[i][:prefix_chars] for every text value.
void cut_values(ColumnCodes& out, std::size_t prefix_chars) {
    if (prefix_chars == 0) return;
    py::object cut = py::reinterpret_steal<py::object>(
        PySlice_New(Py_None, py::int_(prefix_chars).ptr(), Py_None));
    py::list values;
    for (py::handle v : out.values)
        values.append(PyUnicode_Check(v.ptr()) ? py::object(v[cut]) : py::object(py::none()));
    out.values = values;
}

ColumnCodes text_codes(const py::object& series, std::size_t prefix_chars) {
    ColumnCodes out;
    if (plain_text_codes(series, out, prefix_chars)) return out;
    py::object pd = binding::pandas();
    if (py::isinstance(series.attr("dtype"), pd.attr("CategoricalDtype"))) {
        // astype(str) of a categorical is astype(str) of its categories, taken by code.
        py::object categories = pd.attr("Series")(series.attr("cat").attr("categories"));
        py::object texts = categories.attr("astype")(str_type());
        out.codes = int32_codes(series.attr("cat").attr("codes"));
        out.values = py::list();
        for (py::handle v : texts.attr("to_numpy")(py::arg("dtype") = "object"))
            out.values.append(PyUnicode_Check(v.ptr()) ? py::reinterpret_borrow<py::object>(v)
                                                       : py::object(py::none()));
        cut_values(out, prefix_chars);
        return out;
    }
    py::object texts = series.attr("astype")(str_type());
    if (plain_text_codes(texts, out, prefix_chars)) return out;
    py::tuple factorized = pd.attr("factorize")(texts);
    out.codes = int32_codes(factorized[0]);
    out.values = py::list();
    for (py::handle v : factorized[1]) out.values.append(v);
    cut_values(out, prefix_chars);
    return out;
}

ColumnCodes date_codes(const py::object& series) {
    py::object pd = binding::pandas();
    py::object np = binding::numpy();
    ColumnCodes out;
    if (plain_text_codes(series, out)) {
        py::object uniques = np.attr("array")(out.values, py::arg("dtype") = "object");
        if (py::len(out.values) == 0) uniques = np.attr("empty")(0, py::arg("dtype") = "object");
        out.values = date_texts(call_global("series_to_yyyymmdd", uniques));
        return out;
    }
    py::object dtype = series.attr("dtype");
    const std::string kind = dtype.attr("kind").cast<std::string>();
    py::object np_dtype = np.attr("dtype");
    const bool numpy_dtype = py::isinstance(dtype, np_dtype);
    const auto itemsize = dtype.attr("itemsize").cast<long>();
    if (numpy_dtype && (kind == "M" || kind == "i" || (kind == "u" && itemsize < 8))) {
        // Dates as datetime64 or as integers: coded natively, each distinct value once.
        py::array keys = np.attr("ascontiguousarray")(
            series.attr("to_numpy")(), py::arg("dtype") = kind == "M" ? dtype : np_dtype("int64"));
        py::array_t<std::int64_t> as_int = keys.attr("view")("int64");
        const auto n = static_cast<std::ptrdiff_t>(as_int.size());
        const std::int64_t* data = as_int.data();
        std::vector<std::int64_t> uniques;
        out.codes.resize(static_cast<std::size_t>(n));
        {
            // Our own contiguous int64 array in, our own vectors out.
            py::gil_scoped_release nogil;
            kernels::int64_codes(out.codes.data(), uniques, data, n, 1, kind == "M",
                                 std::numeric_limits<std::int64_t>::min());
        }
        py::array_t<std::int64_t> distinct(static_cast<py::ssize_t>(uniques.size()));
        std::copy(uniques.begin(), uniques.end(), distinct.mutable_data());
        py::object typed =
            kind == "M" ? py::object(distinct.attr("view")(dtype)) : py::object(distinct);
        out.owner = keys;
        out.values = date_texts(call_global("series_to_yyyymmdd", typed));
        return out;
    }
    const bool by_value = py::isinstance(dtype, pd.attr("CategoricalDtype")) || kind == "i" ||
                          kind == "u" || kind == "f" || kind == "M";
    if (by_value) {
        // pandas compares these values exactly, so each distinct value is normalised once.
        py::tuple factorized = pd.attr("factorize")(series);
        out.codes = int32_codes(factorized[0]);
        out.values = date_texts(call_global("series_to_yyyymmdd", factorized[1]));
        return out;
    }
    // Mixed objects: equal-comparing values such as 1, 1.0 and True may read differently,
    // so the whole column is normalised and its texts are coded.
    py::object normalised = call_global("series_to_yyyymmdd", series);
    if (!plain_text_codes(normalised, out)) {
        py::tuple factorized = pd.attr("factorize")(normalised);
        out.codes = int32_codes(factorized[0]);
        out.values = py::list();
        for (py::handle v : factorized[1]) out.values.append(v);
    }
    return out;
}

}  // namespace kestrelia::prepare
