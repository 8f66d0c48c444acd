// Source reading, payload assembly and the two build drivers.
#include "prepare.hpp"

namespace kestrelia::prepare {

py::object read_source_data(const Args& a) {
    py::object self = a["self"];
    const bool incremental = a.flag("incremental");
    py::object component_names = call_global("get_component_factor_names");
    py::object required = binding::global("REQUIRED_FACTOR_NAMES");
    py::object optional = binding::global("OPTIONAL_FACTOR_NAMES");
    py::dict source;
    py::object component_matrices;
    if (incremental) {
        // One request for the ten source factors and the components together.
        py::list wanted;
        for (py::handle name : binding::global("BUILD_INPUT_NAMES")) wanted.append(name);
        for (py::handle name : component_names) wanted.append(name);
        py::object batch = call_method(self, "_read_normal_factor_batch", wanted);
        source["Close"] = call_method(self, "_batch_or_read", batch, "Close");
        py::object reference = py::object(source["Close"]) * py::int_(0) + py::int_(1);
        component_matrices =
            self.attr("_component_matrices")(component_names, py::arg("batch") = batch);
        for (py::handle name : required)
            if (!name.equal(py::str("Close")))
                source[name] = call_method(self, "_batch_or_read", batch, name);
        for (py::handle name : optional)
            source[name] = self.attr("_read_or_empty")(name, reference, py::arg("batch") = batch);
    } else {
        for (py::handle name : required)
            source[name] = call_method(self, "_read_normal_factor_matrix", name);
        py::object reference = py::object(source["Close"]) * py::int_(0) + py::int_(1);
        for (py::handle name : optional)
            source[name] = call_method(self, "_read_or_empty", name, reference);
        component_matrices = call_method(self, "_component_matrices", component_names);
    }
    py::object benchmark_dict = call_method(self, "_read_benchmark_dict");
    return py::make_tuple(source, component_matrices, benchmark_dict, component_names);
}

py::object assemble_payload(const Args& a) {
    py::object self = a["self"];
    py::object component_names = a["component_names"];
    py::dict component_dataset_keys;
    for (py::handle name : component_names)
        component_dataset_keys[name] = call_global("component_dataset_key", name);
    py::dict data = new_dict(a["data"]);  // a shallow copy: the caller's dict stays as it was
    for (py::handle item : a["component_matrices"].attr("items")())
        data[call_global("component_dataset_key", item[py::int_(0)])] = item[py::int_(1)];
    data["benchmark_dict"] = a["benchmark_dict"];

    py::dict meta;
    meta["start_date"] = self.attr("default_start");
    meta["end_date"] = self.attr("end_date");
    meta["ddb_start"] = self.attr("_ddb_start");
    meta["ddb_end"] = self.attr("_ddb_end");
    meta["component_names"] = component_names;
    meta["component_dataset_keys"] = component_dataset_keys;
    meta[a["meta_time_key"]] =
        binding::pandas().attr("Timestamp").attr("now")().attr("isoformat")();
    py::dict payload;
    payload["version"] = binding::global("PREPARED_DATA_VERSION");
    payload["meta"] = meta;
    payload["data"] = data;
    return payload;
}

py::object build_payload(const Args& a) {
    py::object self = a["self"];
    py::object read = call_method(self, "_read_source_data", a["incremental"]);
    // Unpacked like `a, b, c, d = read`.
    py::list parts;
    for (py::handle part : read) {
        if (parts.size() == 4) throw py::value_error("too many values to unpack (expected 4)");
        parts.append(part);
    }
    if (parts.size() != 4)
        throw py::value_error("not enough values to unpack (expected 4, got " +
                              std::to_string(parts.size()) + ")");
    py::object source = parts[0], component_matrices = parts[1], benchmark_dict = parts[2],
               component_names = parts[3];

    py::list missing;
    for (py::handle name : component_names)
        if (!component_matrices.contains(name)) missing.append(name);
    if (!missing.empty())
        throw py::value_error("成分股矩阵缺失，无法精确生成二进制缓存: " +
                              py::str(missing).cast<std::string>());
    py::object data = call_method(self, "_build_from_matrices", source);
    return call_method(self, "_assemble_payload", data, component_matrices, benchmark_dict,
                       component_names, a["meta_time_key"]);
}

py::object build(const Args& a) {
    return call_method(a["self"], "_build_payload", py::bool_(false), "created_at");
}

py::object build_incremental(const Args& a) {
    return call_method(a["self"], "_build_payload", py::bool_(true), "updated_at");
}

}  // namespace kestrelia::prepare
