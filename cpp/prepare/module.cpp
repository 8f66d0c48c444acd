// kestrelia.backtest._prepare: the module frame (imports, constants, the two classes) and
// the declarative tables of its functions and methods.
#include <pybind11/pybind11.h>

#include <vector>

#include "kestrelia/binding/native_function.hpp"
#include "kestrelia/binding/pyutil.hpp"
#include "prepare.hpp"

namespace py = pybind11;
using kestrelia::binding::arg;
using kestrelia::binding::FunctionSpec;

namespace kestrelia::prepare {

namespace {

constexpr const char* module_doc =
    "Prepared data of the backtest: builder, incremental write window and binary store.\n"
    "\n"
    "GroupPreparedDataBuilder pulls factor and index data through the data-service client\n"
    "(kestrelia.singleton.get_instance()), pivots them into date x stock matrices, derives\n"
    "the matrices the backtest needs and assembles a payload {\"version\", \"meta\", \"data\"};\n"
    "BinaryPreparedDataStore reads and supplements a store of such payloads, and\n"
    "build_incremental_write_window builds the payload that rewrites a store's tail.";

constexpr const char* store_doc =
    "Binary prepared-data store with component extension.\n"
    "\n"
    "On top of BinaryPreparedDataStoreBase it extends the matrix dtype map by one float\n"
    "matrix per index-component factor (the built-in component factor names unless others\n"
    "are given) and supplements, on demand, component matrices that a store lacks.";

constexpr const char* builder_doc =
    "Incremental builder of backtest prepared data.\n"
    "\n"
    "Pulls factor and index data through the already-initialised data-service client\n"
    "singleton, pivots them into date x stock wide tables, derives the matrices the\n"
    "backtest needs and assembles a payload that the binary store can write.";

const char* const component_factor_names[] = {
    "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
};

const char* const benchmark_index_codes[][2] = {
    {"000852", "000852.XSHG"},
    {"000300", "000300.XSHG"},
    {"000905", "000905.XSHG"},
};

const char* const required_factor_names[] = {
    "rq_industry_exposure_new",
    "limit_down",
    "limit_up",
    "Close",
    "Open",
    "tick_vwap_price_935_1005",
    "tick_vwap_price_925_1000",
};

const char* const optional_factor_names[] = {
    "split_coefficient_to",
    "rq_get_dividend",
    "rq_is_suspended",
};

// Dataset key and whether it is a mask (bool) rather than a float matrix.
const std::pair<const char*, bool> base_matrix_dtype[] = {
    {"industry_matrix", false},   {"close_price", false},    {"open_price", false},
    {"close_price_valid", false}, {"prev_close", false},     {"buy_price", false},
    {"sell_price", false},        {"rq_get_split", false},   {"rq_get_dividend", false},
    {"can_buy_stock", true},      {"cant_sell_stock", true}, {"forward_return_rank_cache", false},
};

template <class Range>
py::list text_list(const Range& names) {
    py::list out;
    for (const char* name : names) out.append(py::str(name));
    return out;
}

void bind_constants(py::module_& m) {
    py::module_ typing = py::module_::import("typing");
    m.attr("PathLike") = typing.attr("Union")[py::make_tuple(
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
        m.attr("Path"))];
    m.attr("FLOAT_STORAGE_DTYPE") = py::str(FLOAT_STORAGE_DTYPE);
    m.attr("BOOL_STORAGE_DTYPE") = py::str(BOOL_STORAGE_DTYPE);
    m.attr("TAIL_RELOAD_ROWS") = py::int_(TAIL_RELOAD_ROWS);
    m.attr("PREPARED_DATA_VERSION") = py::int_(PREPARED_DATA_VERSION);
    m.attr("COMPONENT_FACTOR_NAMES") = text_list(component_factor_names);
    py::dict benchmarks;
    for (const auto& pair : benchmark_index_codes) benchmarks[py::str(pair[0])] = py::str(pair[1]);
    m.attr("BENCHMARK_INDEX_CODES") = benchmarks;
    py::list required = text_list(required_factor_names);
    py::list optional = text_list(optional_factor_names);
    m.attr("REQUIRED_FACTOR_NAMES") = required;
    m.attr("OPTIONAL_FACTOR_NAMES") = optional;
    py::list inputs;
    for (py::handle name : required) inputs.append(name);
    for (py::handle name : optional) inputs.append(name);
    m.attr("BUILD_INPUT_NAMES") = inputs;
    // The dtype strings are the constants' objects, taken once here.
    py::object float_dtype = m.attr("FLOAT_STORAGE_DTYPE");
    py::object bool_dtype = m.attr("BOOL_STORAGE_DTYPE");
    py::dict dtypes;
    for (const auto& [key, is_mask] : base_matrix_dtype)
        dtypes[py::str(key)] = is_mask ? bool_dtype : float_dtype;
    m.attr("BASE_MATRIX_DTYPE") = dtypes;
}

const std::string df = "pd.DataFrame";

std::vector<FunctionSpec> utility_table() {
    const py::object none = py::none();
    std::vector<FunctionSpec> t;
    t.push_back({.name = "parse_name_list",
                 .params = {arg("raw_values")},
                 .returns = "list[str]",
                 .doc =
                     "Turn factor names given as text or as an iterable into a clean list.\n"
                     "\n"
                     "None gives an empty list. Text is split on commas after full-width commas,\n"
                     "full-width semicolons, semicolons and line feeds become commas; any other\n"
                     "iterable is taken element by element. Each element is converted with str()\n"
                     "and stripped; empty names are dropped, duplicates kept, order preserved.",
                 .impl = parse_name_list});
    t.push_back({.name = "get_component_factor_names",
                 .params = {},
                 .returns = "list[str]",
                 .doc = "A new list of the built-in index-component factor names, in order.",
                 .impl = get_component_factor_names});
    t.push_back(
        {.name = "build_matrix_dtype",
         .params = {arg("component_names", "list[str] | None", none)},
         .returns = "dict[str, str]",
         .doc = "The dataset key -> storage dtype map of a store: the base matrices of\n"
                "BASE_MATRIX_DTYPE followed by one \"float64\" entry per component dataset key\n"
                "(the built-in component names when component_names is None).",
         .impl = build_matrix_dtype});
    t.push_back({.name = "series_to_yyyymmdd",
                 .params = {arg("values")},
                 .returns = "pd.Series",
                 .doc =
                     "Normalise a date-like sequence to YYYYMMDD text.\n"
                     "\n"
                     "Values are read with pd.to_datetime(errors=\"coerce\"); eight-digit numbers\n"
                     "and texts such as 20240102 are read as YYYYMMDD dates (not as nanoseconds).\n"
                     "Unreadable values become missing (NaN). A Series keeps its index; any other\n"
                     "input gives a Series with a fresh 0..n-1 index.",
                 .impl = series_to_yyyymmdd});
    return t;
}

std::vector<FunctionSpec> store_table() {
    const py::object none = py::none();
    std::vector<FunctionSpec> t;
    t.push_back({.name = "__init__",
                 .params = {arg("self"), arg("store_dir", "PathLike"),
                            arg("component_names", "list[str] | None", none)},
                 .returns = "",
                 .doc =
                     "Open the store in store_dir; the matrix dtype map holds the base matrices\n"
                     "and one float matrix per component name (the built-in names when None).",
                 .impl = store_init});
    t.push_back(
        {.name = "load",
         .params = {arg("self"), arg("start_date", "", none), arg("end_date", "", none),
                    arg("keys", "list[str] | None", none), arg("mmap", "bool", py::bool_(true))},
         .returns = "dict",
         .doc = "Load datasets between two inclusive dates as {\"version\", \"meta\", \"data\"}.\n"
                "\n"
                "keys=None loads every dataset of the matrix dtype map that the store holds,\n"
                "in that order; date slicing and memory mapping are the base class's.",
         .impl = store_load});
    t.push_back({.name = "add_component_matrices",
                 .params = {arg("self"), arg("component_matrices", "dict[str, pd.DataFrame]"),
                            arg("component_names", "list[str]")},
                 .returns = "list[str]",
                 .doc = "Write the component matrices that the store lacks and record them in its\n"
                        "metadata; returns the names written, in order (present ones are skipped).",
                 .impl = store_add_component_matrices});
    return t;
}

std::vector<FunctionSpec> builder_table(const py::object& nan_default) {
    const py::object none = py::none();
    const std::string dict_frames = "dict[str, pd.DataFrame]";
    std::vector<FunctionSpec> t;
    t.push_back({.name = "__init__",
                 .params = {arg("self"), arg("start_date", "str"), arg("end_date", "str")},
                 .returns = "",
                 .doc =
                     "Set the build range: default_start and end_date as YYYYMMDD text (or None),\n"
                     "_ddb_start and _ddb_end as the backtest's date forms of them.",
                 .impl = builder_init});
    t.push_back({.name = "_normalize_ddb_backtest_date",
                 .params = {arg("date_value")},
                 .returns = "",
                 .doc =
                     "The backtest's form of a date: None stays None, a seven-digit text such as\n"
                     "\"2024010\" gains a trailing \"0\", any other value is returned as text.",
                 .impl = normalize_ddb_backtest_date,
                 .is_static = true});
    t.push_back({.name = "_ks_factor_date",
                 .params = {arg("date_value", "str | None")},
                 .returns = "str | None",
                 .doc = "The date as YYYY-MM-DD text for the data service, or None.",
                 .impl = ks_factor_date,
                 .is_static = true});
    t.push_back({.name = "_empty_like",
                 .params = {arg("reference", df), arg("fill_value", "", nan_default)},
                 .returns = df,
                 .doc = "A frame with the reference's index and columns, every cell fill_value.",
                 .impl = empty_like,
                 .is_static = true});
    t.push_back(
        {.name = "_read_normal_factor_matrix",
         .params = {arg("self"), arg("name", "str")},
         .returns = df,
         .doc = "Read one factor over the build range as a date x stock matrix (empty when the\n"
                "service has no data for it).",
         .impl = read_normal_factor_matrix});
    t.push_back(
        {.name = "_ks_factors_to_matrices",
         .params = {arg("self"), arg("df", "pd.DataFrame | None"), arg("names", "list[str]")},
         .returns = dict_frames,
         .doc =
             "Pivot a service table into one date x stock matrix per requested name.\n"
             "\n"
             "Narrow tables (a value column, with factor names unless one name is requested)\n"
             "and wide tables (one column per factor) are accepted. Stock keys are cut to their\n"
             "first six characters, dates normalised to YYYYMMDD, values made numeric; rows\n"
             "without a date, stock or number are dropped and of several rows for one stock\n"
             "and date the last one wins. Names without data map to empty frames.",
         .impl = ks_factors_to_matrices});
    t.push_back(
        {.name = "_read_normal_factor_batch",
         .params = {arg("self"), arg("names", "list[str]")},
         .returns = dict_frames,
         .doc = "Read several factors in one request; a NetworkError or a factor missing from\n"
                "the answer falls back to single reads.",
         .impl = read_normal_factor_batch});
    t.push_back(
        {.name = "_read_or_empty",
         .params = {arg("self"), arg("name", "str"), arg("reference", df),
                    arg("batch", "dict[str, pd.DataFrame] | None", none)},
         .returns = df,
         .doc = "The factor's matrix from the batch (sorted by date) or, without a batch, from a\n"
                "single read; a NaN frame shaped like reference when there is no data.",
         .impl = read_or_empty});
    t.push_back(
        {.name = "_batch_or_read",
         .params = {arg("self"), arg("batch", dict_frames), arg("name", "str")},
         .returns = df,
         .doc = "The factor's matrix from the batch (sorted by date), else from a single read.",
         .impl = batch_or_read});
    t.push_back(
        {.name = "_component_matrices",
         .params = {arg("self"), arg("component_names", "list[str]"),
                    arg("batch", "dict[str, pd.DataFrame] | None", none)},
         .returns = dict_frames,
         .doc = "Index-component membership masks (1.0 member, NaN otherwise), one per component\n"
                "with data; components without data or whose read fails with NetworkError are\n"
                "left out.",
         .impl = component_matrices});
    t.push_back(
        {.name = "_format_benchmark_daily_return",
         .params = {arg("self"), arg("df", df), arg("benchmark_name", "str"),
                    arg("index_code", "str")},
         .returns = "pd.Series",
         .doc = "One index's daily-return series (name index_daily_return, YYYYMMDD index) cut\n"
                "out of the service's index table; from a return column or, failing that, from\n"
                "the close price's relative change.",
         .impl = format_benchmark_daily_return});
    t.push_back(
        {.name = "_read_benchmark_dict",
         .params = {arg("self")},
         .returns = "dict[str, pd.Series]",
         .doc = "The benchmark dict: one daily-return series per benchmark, from one request.",
         .impl = read_benchmark_dict});
    t.push_back(
        {.name = "_read_source_data",
         .params = {arg("self"), arg("incremental", "bool")},
         .returns = "tuple[dict[str, pd.DataFrame], dict[str, pd.DataFrame], dict[str, pd.Series], "
                    "list[str]]",
         .doc = "Read every input of a build: (source factors, component masks, benchmark dict,\n"
                "component names). The incremental branch reads all factors in one batch.",
         .impl = read_source_data});
    t.push_back(
        {.name = "_assemble_payload",
         .params = {arg("self"), arg("data", dict_frames), arg("component_matrices", dict_frames),
                    arg("benchmark_dict", "dict[str, pd.Series]"),
                    arg("component_names", "list[str]"), arg("meta_time_key", "str")},
         .returns = "dict",
         .doc =
             "The payload {\"version\", \"meta\", \"data\"} of derived matrices, component masks\n"
             "and benchmark dict.",
         .impl = assemble_payload});
    t.push_back(
        {.name = "_build_from_matrices",
         .params = {arg("self"), arg("source", dict_frames)},
         .returns = dict_frames,
         .doc = "Derive the twelve base matrices of the backtest from the ten source factors.",
         .impl = build_from_matrices});
    t.push_back({.name = "_build_payload",
                 .params = {arg("self"), arg("incremental", "bool"), arg("meta_time_key", "str")},
                 .returns = "dict",
                 .doc = "Read, check that every component mask is present, derive and assemble.",
                 .impl = build_payload});
    t.push_back(
        {.name = "build",
         .params = {arg("self")},
         .returns = "dict",
         .doc = "Full build: one request per factor; the payload's meta carries created_at.",
         .impl = build});
    t.push_back(
        {.name = "build_incremental",
         .params = {arg("self")},
         .returns = "dict",
         .doc = "Batch build for store updates: one request for all factors; the payload's meta\n"
                "carries updated_at.",
         .impl = build_incremental});
    return t;
}

std::vector<FunctionSpec> window_table() {
    std::vector<FunctionSpec> t;
    t.push_back({.name = "payload_slice_from_date",
                 .params = {arg("payload", "dict"), arg("write_start_date", "str")},
                 .returns = "dict",
                 .doc =
                     "A new payload whose matrices and benchmark series keep only the rows from\n"
                     "write_start_date on; meta records the write start and the read start.",
                 .impl = payload_slice_from_date});
    t.push_back({.name = "build_incremental_write_window",
                 .params = {arg("base_index", "list[str]"), arg("write_start_date", "str"),
                            arg("write_end_date", "str")},
                 .returns = "dict",
                 .doc =
                     "Build the payload that rewrites the local dates from write_start_date to\n"
                     "write_end_date: read from the last local trading day before the window (so\n"
                     "one-day look-backs are right on its first day), then trim to the window.",
                 .impl = build_incremental_write_window});
    return t;
}

py::object make_class(const char* name, py::tuple bases, const char* doc, py::dict ns,
                      const py::object& module_name) {
    ns["__module__"] = module_name;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return py::module_::import("builtins").attr("type")(name, bases, ns);
}

}  // namespace

}  // namespace kestrelia::prepare

PYBIND11_MODULE(_prepare, m) {
    using namespace kestrelia;
    m.doc() = prepare::module_doc;
    binding::set_home_module(m);

    m.attr("pickle") = py::module_::import("pickle");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("Union") = py::module_::import("typing").attr("Union");
    m.attr("np") = binding::numpy();
    m.attr("pd") = binding::pandas();
    m.attr("NetworkError") = py::module_::import("kestrelia.exceptions").attr("NetworkError");
    m.attr("get_instance") = py::module_::import("kestrelia.singleton").attr("get_instance");
    py::module_ store = py::module_::import("kestrelia.backtest._store");
    for (const char* name : {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key",
                             "normalize_yyyymmdd"})
        m.attr(name) = store.attr(name);

    prepare::bind_constants(m);

    py::object module_name = m.attr("__name__");
    const std::string module_text = module_name.cast<std::string>();
    binding::define(m, prepare::utility_table());

    py::dict store_ns;
    binding::define(store_ns, prepare::store_table(), module_text, "BinaryPreparedDataStore");
    py::object store_cls = prepare::make_class(
        "BinaryPreparedDataStore", py::make_tuple(m.attr("BinaryPreparedDataStoreBase")),
        prepare::store_doc, store_ns, module_name);
    prepare::set_store_class(store_cls);
    m.attr("BinaryPreparedDataStore") = store_cls;

    // The default of _empty_like's fill_value is the np.nan object, taken once here.
    py::dict builder_ns;
    binding::define(builder_ns, prepare::builder_table(binding::numpy().attr("nan")), module_text,
                    "GroupPreparedDataBuilder");
    m.attr("GroupPreparedDataBuilder") = prepare::make_class(
        "GroupPreparedDataBuilder", py::make_tuple(py::module_::import("builtins").attr("object")),
        prepare::builder_doc, builder_ns, module_name);

    binding::define(m, prepare::window_table());
}
