// The two public chart functions and the pipeline's chart step. pyplot's state is
// process-global, so every rendering runs under the module's re-entrant lock; the lock is
// taken here, never by the renderers, and released on every path.
#include "charts.hpp"

namespace kestrelia::pelorin {

namespace {

// `with _MATPLOTLIB_PLOT_LOCK: body()`, with the statement's semantics: the lock (looked
// up in the module namespace at call time) is entered first and exited whatever happens,
// and an exception propagates unless __exit__ says otherwise.
template <class Body>
void with_plot_lock(Body&& body) {
    py::object lock = binding::global("_MATPLOTLIB_PLOT_LOCK");
    py::object exit = lock.attr("__exit__");
    lock.attr("__enter__")();
    try {
        body();
    } catch (py::error_already_set& e) {
        const bool suppress = py::bool_(exit(e.type(), e.value(), e.trace()));
        if (!suppress) throw;
        return;
    } catch (...) {
        exit(py::none(), py::none(), py::none());
        throw;
    }
    exit(py::none(), py::none(), py::none());
}

py::dict one_path(const char* key, const py::object& path) {
    py::dict out;
    out[key] = py::str(path);
    return out;
}

}  // namespace

py::object plot_strategy_performance(const Args& args) {
    with_plot_lock([&] {
        binding::global("_plot_strategy_performance_unlocked")(
            py::arg("total") = args["total"], py::arg("stats") = args["stats"],
            py::arg("strategy_name") = args["strategy_name"],
            py::arg("plot_title") = args["plot_title"], py::arg("save_path") = args["save_path"],
            py::arg("image_kind") = args["image_kind"],
            py::arg("benchmark_name") = args["benchmark_name"],
            py::arg("rolling_window") = args["rolling_window"]);
    });
    return one_path("main", args["save_path"]);
}

py::object plot_weekly_net_value(const Args& args) {
    with_plot_lock([&] {
        binding::global("_plot_weekly_net_value_unlocked")(
            py::arg("total") = args["total"], py::arg("strategy_name") = args["strategy_name"],
            py::arg("plot_title") = args["plot_title"], py::arg("save_path") = args["save_path"],
            py::arg("image_kind") = args["image_kind"],
            py::arg("benchmark_name") = args["benchmark_name"]);
    });
    return one_path("weekly_net_value", args["save_path"]);
}

py::dict run_chart_step(const Args& args, const py::object& total, const py::object& stats) {
    py::dict plot_paths;
    const py::object kind = args["plot_image_kind"];
    const py::object save_path = args["plot_save_path"];
    if (kind.is_none() || save_path.is_none()) return plot_paths;

    // The weekly chart goes next to the main one: <stem>_weekly_net_value<suffix>.
    py::object main_path = binding::global("Path")(save_path);
    py::object weekly_path =
        main_path.attr("with_name")(py::object(main_path.attr("stem")) +
                                    py::str("_weekly_net_value") + main_path.attr("suffix"));
    const py::object strategy_name = args["strategy_name"];
    const py::object plot_title = args["plot_title"];
    const py::object primary = args["benchmark_names"];
    binding::global("plot_strategy_performance")(
        py::arg("total") = total, py::arg("stats") = stats,
        py::arg("strategy_name") = strategy_name, py::arg("plot_title") = plot_title,
        py::arg("save_path") = main_path, py::arg("image_kind") = kind,
        py::arg("benchmark_name") = primary, py::arg("rolling_window") = args["rolling_window"]);
    binding::global("plot_weekly_net_value")(
        py::arg("total") = total, py::arg("strategy_name") = strategy_name,
        py::arg("plot_title") = plot_title, py::arg("save_path") = weekly_path,
        py::arg("image_kind") = kind, py::arg("benchmark_name") = primary);
    plot_paths["main"] = py::str(main_path);
    plot_paths["weekly_net_value"] = py::str(weekly_path);
    return plot_paths;
}

}  // namespace kestrelia::pelorin
