// BinaryPreparedDataStore: the store base class plus component matrices.
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

// super(BinaryPreparedDataStore, self)
py::object super_of(const py::object& self) {
    return py::module_::import("builtins").attr("super")(store_class(), self);
}

// Replaces the metadata file by a rename, so that a failure while pickling leaves the
// previous metadata (and with it the previous store) in force.
void replace_metadata(const py::object& metadata_path, const py::object& metadata) {
    py::module_ os = py::module_::import("os");
    py::object path = binding::global("Path")(metadata_path);
    py::object token = py::module_::import("uuid").attr("uuid4")().attr("hex");
    py::str tmp_name("." + path.attr("name").cast<std::string>() + "." +
                     token.cast<std::string>().substr(0, 8) + ".tmp");
    py::object tmp = path.attr("with_name")(tmp_name);
    try {
        py::object file = tmp.attr("open")("wb");
        try {
            py::object pickle = binding::global("pickle");
            pickle.attr("dump")(metadata, file,
                                py::arg("protocol") = pickle.attr("HIGHEST_PROTOCOL"));
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        os.attr("replace")(tmp, path);
    } catch (py::error_already_set& e) {
        // Keep the original error; the temporary file is only tidied up.
        py::error_scope keep;
        try {
            tmp.attr("unlink")(py::arg("missing_ok") = true);
        } catch (py::error_already_set&) {
        }
        throw;
    }
}

}  // namespace

py::object store_init(const Args& a) {
    py::object self = a["self"];
    super_of(self).attr("__init__")(a["store_dir"],
                                    call_global("build_matrix_dtype", a["component_names"]),
                                    binding::global("PREPARED_DATA_VERSION"),
                                    binding::global("FLOAT_STORAGE_DTYPE"));
    return py::none();
}

py::object store_load(const Args& a) {
    py::object self = a["self"];
    py::object keys = a["keys"];
    if (keys.is_none()) {
        py::object metadata = call_method(self, "load_metadata");
        py::object datasets = metadata.attr("get")("datasets", py::dict());
        py::list present;
        for (py::handle key : self.attr("matrix_dtype"))
            if (datasets.contains(key)) present.append(key);
        keys = present;
    }
    return super_of(self).attr("load")(py::arg("start_date") = a["start_date"],
                                       py::arg("end_date") = a["end_date"],
                                       py::arg("keys") = keys, py::arg("mmap") = a["mmap"]);
}

py::object store_add_component_matrices(const Args& a) {
    py::object self = a["self"];
    py::object component_matrices = a["component_matrices"];
    py::object component_names = a["component_names"];
    py::object metadata = call_method(self, "load_metadata");
    py::object datasets = metadata.attr("setdefault")("datasets", py::dict());
    py::list written;
    for (py::handle name : call_global("parse_name_list", component_names)) {
        py::object key = call_global("component_dataset_key", name);
        if (datasets.contains(key)) continue;
        py::object matrix = component_matrices.attr("get")(name);
        if (!has_rows(matrix))
            throw py::value_error("缺失成分股矩阵为空，无法补充: " + py::str(name).cast<std::string>());
        datasets[key] = call_method(self, "_write_matrix", self.attr("store_dir"), key, matrix,
                                    binding::global("FLOAT_STORAGE_DTYPE"));
        written.append(name);
    }
    if (written.empty()) return py::list();

    py::object meta = metadata.attr("setdefault")("meta", py::dict());
    py::object existing = call_global("parse_name_list", meta.attr("get")("component_names",
                                                                          py::list()));
    py::list combined;
    for (py::handle name : existing) combined.append(name);
    for (py::handle name : component_names) combined.append(name);
    py::object merged = py::list(py::module_::import("builtins").attr("dict").attr("fromkeys")(
        call_global("parse_name_list", combined)));
    meta["component_names"] = merged;
    py::dict key_map = new_dict(meta.attr("get")("component_dataset_keys", py::dict()));
    py::dict fresh_keys;
    for (py::handle name : merged) fresh_keys[name] = call_global("component_dataset_key", name);
    key_map.attr("update")(fresh_keys);
    meta["component_dataset_keys"] = key_map;

    py::object updated_at = binding::pandas().attr("Timestamp").attr("now")().attr("isoformat")();
    metadata["updated_at"] = updated_at;
    meta["updated_at"] = updated_at;
    meta["component_supplemented_at"] = updated_at;

    replace_metadata(self.attr("metadata_path"), metadata);
    call_method(self, "_write_manifest", self.attr("store_dir"), metadata);
    return written;
}

}  // namespace kestrelia::prepare
