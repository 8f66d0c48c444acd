// The nine-column table of yearly strategy (blue) and excess (red) metrics, drawn into an
// axes of either figure. The wide layouts use the compact headers and smaller type.
#include "charts.hpp"

namespace kestrelia::pelorin {

namespace {

struct Column {
    const char* metric;  // column of the yearly metrics frame; nullptr for the year
    const char* formatter;
    const char* full_header;
    const char* compact_header;
    double full_width;
    double compact_width;
};

constexpr Column COLUMNS[] = {
    {nullptr, nullptr, "Year", "Year", 0.08, 0.09},
    {"strategy_return", "_format_pct", "Strategy Return", "Ret", 0.115, 0.11},
    {"strategy_sharpe", "_format_num", "Strategy Sharpe", "Sharpe", 0.115, 0.11},
    {"strategy_max_dd", "_format_pct", "Strategy Max DD", "MaxDD", 0.115, 0.12},
    {"strategy_calmar", "_format_num", "Strategy Calmar", "Calmar", 0.115, 0.11},
    {"excess_return", "_format_pct", "Excess Return", "ExRet", 0.115, 0.12},
    {"excess_sharpe", "_format_num", "Excess Sharpe", "ExSh", 0.115, 0.11},
    {"excess_max_dd", "_format_pct", "Excess Max DD", "ExDD", 0.115, 0.11},
    {"excess_calmar", "_format_num", "Excess Calmar", "ExCal", 0.115, 0.12},
};

}  // namespace

py::object draw_yearly_metrics_table(const Args& args) {
    const py::object ax = args["ax"];
    const py::object yearly_metrics = args["yearly_metrics"];
    const bool compact = args.flag("compact");

    ax.attr("axis")("off");
    if (py::len(yearly_metrics) == 0) {
        ax.attr("text")(0.5, 0.5, "No yearly metric data", py::arg("ha") = "center",
                        py::arg("va") = "center", py::arg("transform") = ax.attr("transAxes"));
        return py::none();
    }

    py::object formatters[std::size(COLUMNS)];
    for (std::size_t c = 1; c < std::size(COLUMNS); ++c)
        formatters[c] = binding::global(COLUMNS[c].formatter);
    py::list rows;
    for (py::handle item : yearly_metrics.attr("iterrows")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object row = pair[1];
        py::list cells;
        cells.append(py::str(py::int_(pair[0])));
        for (std::size_t c = 1; c < std::size(COLUMNS); ++c)
            cells.append(formatters[c](row[py::str(COLUMNS[c].metric)]));
        rows.append(cells);
    }

    py::list labels, widths;
    for (const Column& c : COLUMNS) {
        labels.append(compact ? c.compact_header : c.full_header);
        widths.append(compact ? c.compact_width : c.full_width);
    }
    py::object table = ax.attr("table")(
        py::arg("cellText") = rows, py::arg("colLabels") = labels, py::arg("loc") = "center",
        py::arg("cellLoc") = "center", py::arg("colLoc") = "center", py::arg("colWidths") = widths);
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(compact ? 7.8 : 8.4);
    table.attr("scale")(1.0, compact ? 1.22 : 1.24);

    for (py::handle item : table.attr("get_celld")().attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::tuple key = pair[0];
        py::object cell = pair[1];
        const long row = key[0].cast<long>();
        const long col = key[1].cast<long>();
        cell.attr("set_edgecolor")("#e2e8f0");
        if (row == 0) {
            cell.attr("set_text_props")(py::arg("weight") = "bold", py::arg("color") = "#0f172a");
            cell.attr("set_facecolor")("#eef2ff");
            continue;
        }
        // Banded rows that start white under the header.
        cell.attr("set_facecolor")(row % 2 ? "white" : "#f8fafc");
        if (1 <= col && col <= 4)
            cell.attr("set_text_props")(py::arg("color") = "#1d4ed8");
        else if (5 <= col && col <= 8)
            cell.attr("set_text_props")(py::arg("color") = "#b91c1c");
    }

    ax.attr("set_title")("Yearly Strategy & Excess Metrics",
                         py::arg("fontsize") = compact ? 10.2 : 11.5, py::arg("color") = "#0f172a",
                         py::arg("pad") = compact ? 4 : 8);
    return py::none();
}

}  // namespace kestrelia::pelorin
