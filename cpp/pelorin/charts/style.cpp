// The global plot style and the prologue that opens every rendering. pyplot's state (the
// backend, rcParams, the active style) is process-global, so both are repeated on every
// rendering: each chart is drawn with the same settings even if the host changed them in
// between.
#include "charts.hpp"

namespace kestrelia::pelorin {

py::object configure_strategy_plot_style(const Args& args) {
    const py::object plt = args["plt"];
    try {
        plt.attr("style").attr("use")("seaborn-v0_8-whitegrid");
    } catch (py::error_already_set& e) {
        // A matplotlib without this style sheet still gets the settings below.
        if (!e.matches(PyExc_Exception)) throw;
    }
    py::object rc = plt.attr("rcParams");
    // Fonts with a true bold face on macOS first, then CJK-capable ones, then the
    // universal fallback; the first one installed wins.
    py::list fonts;
    for (const char* name :
         {"Helvetica Neue", "Arial", "PingFang SC", "Noto Sans CJK SC", "Source Han Sans SC",
          "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS", "DejaVu Sans"})
        fonts.append(name);
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = py::bool_(false);
    rc["axes.titleweight"] = "bold";
    rc["figure.facecolor"] = "white";
    rc["axes.facecolor"] = "#fbfbfd";
    return py::none();
}

namespace charts {

Pyplot renderer_prologue() {
    py::module_::import("matplotlib").attr("use")("Agg");
    Pyplot out;
    out.plt = py::module_::import("matplotlib.pyplot");
    out.percent_formatter = py::module_::import("matplotlib.ticker").attr("PercentFormatter");
    binding::global("_configure_strategy_plot_style")(out.plt);
    return out;
}

py::str figure_title(const Args& args, const char* kind) {
    py::object title = args["plot_title"];
    if (!py::bool_(title)) title = args["strategy_name"];
    return py::str(title + py::str(" | Benchmark ") + args["benchmark_name"] + py::str(" | ") +
                   py::str(kind));
}

py::list floats(std::initializer_list<double> values) {
    py::list out;
    for (double v : values) out.append(py::float_(v));
    return out;
}

void zero_line(const py::object& ax) {
    ax.attr("axhline")(0, py::arg("color") = "#94a3b8", py::arg("linewidth") = 0.8);
}

void percent_axis(const py::object& ax, const py::object& percent_formatter) {
    ax.attr("yaxis").attr("set_major_formatter")(percent_formatter(1.0));
}

void style_panel(const py::object& ax) {
    ax.attr("grid")(true, py::arg("color") = "#e5e7eb", py::arg("linewidth") = 0.75,
                    py::arg("alpha") = 0.84);
    py::object spines = ax.attr("spines");
    spines[py::str("top")].attr("set_visible")(false);
    spines[py::str("right")].attr("set_visible")(false);
}

void date_axis(const py::object& ax) {
    py::module_ dates = py::module_::import("matplotlib.dates");
    py::object locator = dates.attr("AutoDateLocator")(py::arg("minticks") = 3);
    py::object xaxis = ax.attr("xaxis");
    xaxis.attr("set_major_locator")(locator);
    xaxis.attr("set_major_formatter")(dates.attr("ConciseDateFormatter")(locator));
}

void mark_lone_points(const py::object& lines) {
    py::object np = binding::numpy();
    for (py::handle line : lines) {
        py::object y =
            np.attr("asarray")(line.attr("get_ydata")(), py::arg("dtype") = binding::float_type());
        if (np.attr("isfinite")(y).attr("sum")().cast<long>() == 1) {
            line.attr("set_marker")("o");
            line.attr("set_markersize")(6.0);
            // A lone point may sit on the edge of the axes (the last date of a panel whose
            // x range is the whole history); draw its marker whole.
            line.attr("set_clip_on")(false);
        }
    }
}

void frame_single_date(const py::object& ax, const py::object& index) {
    if (py::len(index) == 0) return;
    py::object first = index.attr("min")(), last = index.attr("max")();
    if (!first.equal(last)) return;
    py::object week = binding::pandas().attr("Timedelta")(py::arg("days") = 7);
    ax.attr("set_xlim")(first - week, last + week);
}

}  // namespace charts

}  // namespace kestrelia::pelorin
