// The weekly net-value frame: the total frame sampled on Friday-anchored week ends, each
// column taking its own last finite value of the week.
#include <cmath>

#include "pelorin.hpp"

namespace kestrelia::pelorin {

py::object build_weekly_net_value_frame(const Args& args) {
    py::object pd = binding::pandas();
    py::object plot_df = binding::global("_with_datetime_index")(args["total"]);
    if (py::bool_(plot_df.attr("empty"))) return pd.attr("DataFrame")();

    py::list columns;
    for (const char* c : {"long", "close_net_value", "extra_return"}) columns.append(c);
    py::list infinities;
    infinities.append(py::float_(INFINITY));
    infinities.append(py::float_(-INFINITY));
    // Infinities become gaps first, so a week's last value is its last finite one.
    py::object weekly = plot_df[columns]
                            .attr("replace")(infinities, binding::numpy().attr("nan"))
                            .attr("resample")("W-FRI")
                            .attr("last")()
                            .attr("dropna")(py::arg("how") = "all");
    if (py::bool_(weekly.attr("empty"))) return weekly;

    weekly.attr("loc").attr("__setitem__")(
        py::make_tuple(py::slice(py::none(), py::none(), py::none()), "extra_net_value"),
        py::object(weekly[py::str("extra_return")]) + py::int_(1));
    py::list subset;
    for (const char* c : {"long", "close_net_value", "extra_net_value"}) subset.append(c);
    return weekly.attr("dropna")(py::arg("subset") = subset, py::arg("how") = "all");
}

}  // namespace kestrelia::pelorin
