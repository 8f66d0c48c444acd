// Benchmark series: each index's daily-return series cut out of one index-daily table.
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

const char* const return_candidates[] = {"return", "returns", "pct_change", "change_rate"};

py::list text_list(std::initializer_list<const char*> items) {
    py::list out;
    for (const char* item : items) out.append(py::str(item));
    return out;
}

}  // namespace

py::object format_benchmark_daily_return(const Args& a) {
    py::object df = a["df"];
    const std::string name = py::str(a["benchmark_name"]).cast<std::string>();
    const std::string code = py::str(a["index_code"]).cast<std::string>();
    py::object pd = binding::pandas();
    if (!has_rows(df)) raise_key_error("基准日频数据为空: " + name + " (" + code + ")");

    py::dict rename;
    rename["date"] = "DataDate";
    df = df.attr("copy")().attr("rename")(py::arg("columns") = rename);
    if (!df.attr("columns").contains("DataDate")) raise_key_error(name + " 基准缺少 DataDate 列");
    df = df.attr("assign")(py::arg("DataDate") = call_global("series_to_yyyymmdd", df["DataDate"]));
    // A stable sort: of two rows of one date the later one in service order stays later,
    // so it is the one that the keep="last" steps below retain.
    df = df.attr("dropna")(py::arg("subset") = text_list({"DataDate"}))
             .attr("sort_values")("DataDate", py::arg("kind") = "stable");
    if (df.attr("columns").contains("ukey")) {
        df = df.attr("assign")(
            py::arg("ukey") = df["ukey"].attr("astype")(
                py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type))));
        df = df.attr("loc")[df["ukey"].attr("eq")(a["index_code"])];
    }
    py::object columns = df.attr("columns");
    if (!columns.contains("daily_return")) {
        const char* found = nullptr;
        for (const char* candidate : return_candidates)
            if (columns.contains(candidate)) {
                found = candidate;
                break;
            }
        if (found != nullptr) {
            df = df.attr("assign")(py::arg("daily_return") = pd.attr("to_numeric")(
                                       df[found], py::arg("errors") = "coerce"));
        } else if (columns.contains("close")) {
            df = df.attr("assign")(
                py::arg("daily_return") =
                    pd.attr("to_numeric")(df["close"], py::arg("errors") = "coerce")
                        .attr("pct_change")());
        } else {
            raise_key_error(name + " 基准缺少 daily_return/close 列");
        }
    }
    df = df.attr("assign")(py::arg("daily_return") = pd.attr("to_numeric")(
                               df["daily_return"], py::arg("errors") = "coerce"));
    py::list duplicate_subset;
    for (const char* key : {"ukey", "DataDate"})
        if (df.attr("columns").contains(key)) duplicate_subset.append(key);
    if (!duplicate_subset.empty())
        df = df.attr("drop_duplicates")(py::arg("subset") = duplicate_subset,
                                        py::arg("keep") = "last");
    return df
        .attr("drop_duplicates")(py::arg("subset") = text_list({"DataDate"}),
                                 py::arg("keep") = "last")
        .attr("set_index")("DataDate")["daily_return"]
        .attr("rename")("index_daily_return")
        .attr("dropna")()
        .attr("sort_index")();
}

py::object read_benchmark_dict(const Args& a) {
    py::object self = a["self"];
    py::object codes = binding::global("BENCHMARK_INDEX_CODES");
    py::object fetch = data_client().attr("get_index_daily");
    py::list ukeys(codes.attr("values")());
    py::object df =
        fetch(py::arg("ukeys") = ukeys, py::arg("start_date") = self.attr("default_start"),
              py::arg("end_date") = self.attr("end_date"));
    py::dict result;
    for (py::handle item : codes.attr("items")()) {
        py::object name = item[py::int_(0)];
        result[name] =
            call_method(self, "_format_benchmark_daily_return", df, name, item[py::int_(1)]);
    }
    return result;
}

}  // namespace kestrelia::prepare
