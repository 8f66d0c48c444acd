// BinaryPreparedDataStore: the store base class plus component matrices.
#include "prepare.hpp"

namespace kestrelia::prepare {

namespace {

// super(BinaryPreparedDataStore, self)
py::object super_of(const py::object& self) {
    return py::module_::import("builtins").attr("super")(store_class(), self);
}

// Replaces the metadata file through the store's one durable-write path (temporary file,
// fsync, rename, folder sync), pickling with this module's pickle, so that a failure while
// pickling leaves the previous metadata (and with it the previous store) in force.
void replace_metadata(const py::object& self, const py::object& metadata) {
    py::object pickle = binding::global("pickle");
    py::cpp_function write([pickle, metadata](const py::object& file) {
        pickle.attr("dump")(metadata, file, py::arg("protocol") = pickle.attr("HIGHEST_PROTOCOL"));
    });
    call_method(self, "_replace_metadata", write);
}

// Runs `body` while holding the store's writer lock (a Python context manager): another
// process's write, and its removal of files no metadata lists yet, cannot interleave.
template <class Body>
py::object with_writer_lock(const py::object& self, Body&& body) {
    py::object lock = call_method(self, "_writer_lock");
    lock.attr("__enter__")();
    py::object result;
    try {
        result = body();
    } catch (...) {
        // Release the lock and keep the original error; __exit__ sees no exception, so it
        // cannot swallow it.
        lock.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    lock.attr("__exit__")(py::none(), py::none(), py::none());
    return result;
}

}  // namespace

py::object store_init(const Args& a) {
    py::object self = a["self"];
    super_of(self).attr("__init__")(
        a["store_dir"], call_global("build_matrix_dtype", a["component_names"]),
        binding::global("PREPARED_DATA_VERSION"), binding::global("FLOAT_STORAGE_DTYPE"));
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
                                       py::arg("end_date") = a["end_date"], py::arg("keys") = keys,
                                       py::arg("mmap") = a["mmap"]);
}

static py::object add_components_locked(const py::object& self,
                                        const py::object& component_matrices,
                                        const py::object& component_names) {
    py::object metadata = call_method(self, "load_metadata");
    py::object datasets = metadata.attr("setdefault")("datasets", py::dict());
    py::list written;
    for (py::handle name : call_global("parse_name_list", component_names)) {
        py::object key = call_global("component_dataset_key", name);
        if (datasets.contains(key)) continue;
        py::object matrix = component_matrices.attr("get")(name);
        if (!has_rows(matrix))
            throw py::value_error("缺失成分股矩阵为空，无法补充: " +
                                  py::str(name).cast<std::string>());
        datasets[key] = call_method(self, "_write_matrix", self.attr("store_dir"), key, matrix,
                                    binding::global("FLOAT_STORAGE_DTYPE"));
        written.append(name);
    }
    if (written.empty()) return py::list();

    py::object meta = metadata.attr("setdefault")("meta", py::dict());
    py::object existing =
        call_global("parse_name_list", meta.attr("get")("component_names", py::list()));
    py::list combined;
    for (py::handle name : existing) combined.append(name);
    for (py::handle name : component_names) combined.append(name);
    py::object merged = py::list(py::module_::import("builtins")
                                     .attr("dict")
                                     .attr("fromkeys")(call_global("parse_name_list", combined)));
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

    replace_metadata(self, metadata);
    call_method(self, "_write_manifest", self.attr("store_dir"), metadata);
    return written;
}

py::object store_add_component_matrices(const Args& a) {
    py::object self = a["self"];
    py::object component_matrices = a["component_matrices"];
    py::object component_names = a["component_names"];
    return with_writer_lock(
        self, [&] { return add_components_locked(self, component_matrices, component_names); });
}

}  // namespace kestrelia::prepare
