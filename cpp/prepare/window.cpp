// The incremental write window: build with one local trading day of look-back, then trim
// the payload back to the days that are written.
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

const char* const empty_date_message = "write_start_date / write_end_date 不能为空。";

py::object normalized_date(const py::object& value) {
    return require_str_or_none(call_global("normalize_yyyymmdd", value));
}

// {**mapping}: a new dict, refusing what is not a mapping as the ** form does.
py::dict unpacked(const py::object& mapping) {
    if (mapping.is_none() || !py::hasattr(mapping, "keys"))
        throw py::type_error(std::string("argument after ** must be a mapping, not ") +
                             Py_TYPE(mapping.ptr())->tp_name);
    py::dict out;
    if (PyDict_Merge(out.ptr(), mapping.ptr(), 1) < 0) throw py::error_already_set();
    return out;
}

bool less_equal(const py::handle& x, const py::handle& y) {
    const int r = PyObject_RichCompareBool(x.ptr(), y.ptr(), Py_LE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool less(const py::handle& x, const py::handle& y) {
    const int r = PyObject_RichCompareBool(x.ptr(), y.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Rows whose label, as text, is not before `start`.
py::object rows_from(const py::object& frame, const py::object& start) {
    py::object labels = frame.attr("index").attr("astype")(
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    return frame.attr("loc")[labels.attr("__ge__")(start)];
}

}  // namespace

py::object payload_slice_from_date(const Args& a) {
    py::object payload = a["payload"];
    py::object start = normalized_date(a["write_start_date"]);
    // Comparing labels with a missing start would drop every row of every matrix.
    if (start.is_none()) throw py::value_error(empty_date_message);

    py::object data_frame_type = binding::pandas().attr("DataFrame");
    py::dict data;
    for (py::handle item : payload["data"].attr("items")()) {
        py::object key = item[py::int_(0)];
        py::object value = item[py::int_(1)];
        if (key.equal(py::str("benchmark_dict"))) {
            py::dict series_dict;
            for (py::handle pair : value.attr("items")())
                series_dict[pair[py::int_(0)]] = rows_from(pair[py::int_(1)], start);
            data[key] = series_dict;
        } else if (py::isinstance(value, data_frame_type)) {
            data[key] = rows_from(value, start);
        } else {
            data[key] = value;
        }
    }
    py::dict sliced = new_dict(payload);
    sliced["data"] = data;
    py::object old_meta = payload.attr("get")("meta", py::dict());
    py::dict meta = unpacked(old_meta);
    meta["write_start_date"] = start;
    meta["read_start_date"] = old_meta.attr("get")("start_date");
    meta["start_date"] = start;
    sliced["meta"] = meta;
    return sliced;
}

py::object build_incremental_write_window(const Args& a) {
    py::list base_index = a["base_index"];
    if (base_index.empty())
        throw py::value_error("本地准备数据 close_price 日期索引为空,无法增量更新。");
    py::object write_start = normalized_date(a["write_start_date"]);
    py::object write_end = normalized_date(a["write_end_date"]);
    if (write_start.is_none() || write_end.is_none()) throw py::value_error(empty_date_message);

    py::object actual_start = write_start;
    for (py::handle date : base_index)
        if (less_equal(write_start, date) && less_equal(date, write_end)) {
            actual_start = py::reinterpret_borrow<py::object>(date);
            break;
        }
    py::object read_start = actual_start;
    for (py::handle date : base_index)
        if (less(date, actual_start)) read_start = py::reinterpret_borrow<py::object>(date);

    py::object builder = binding::global("GroupPreparedDataBuilder")(
        py::arg("start_date") = read_start, py::arg("end_date") = write_end);
    py::object payload = call_method(builder, "build_incremental");
    payload = call_global("payload_slice_from_date", payload, actual_start);
    py::dict meta = unpacked(payload.attr("get")("meta", py::dict()));
    meta["requested_write_start_date"] = write_start;
    meta["write_end_date"] = write_end;
    meta["read_start_date"] = read_start;
    payload["meta"] = meta;
    return payload;
}

}  // namespace kestrelia::prepare
