// The weekly net-value frame: the total frame sampled on Friday-anchored week ends, each
// column taking its own last finite value of the week.
#include <cmath>

#include "pelorin.hpp"

namespace kestrelia::pelorin {

py::object build_weekly_net_value_frame(const Args& args) {
    py::object pd = binding::pandas();
    py::object plot_df = binding::global("_with_datetime_index")(args["total"]);
    if (py::bool_(plot_df.attr("empty"))) return pd.attr("DataFrame")();

    const py::list columns = binding::texts({"long", "close_net_value", "extra_return"});
    // Infinities become gaps first, so a week's last value is its last finite one.
    py::object weekly = binding::without_infinities(plot_df[columns])
                            .attr("resample")("W-FRI")
                            .attr("last")()
                            .attr("dropna")(py::arg("how") = "all");
    if (py::bool_(weekly.attr("empty"))) return weekly;

    weekly.attr("loc").attr("__setitem__")(
        py::make_tuple(py::slice(py::none(), py::none(), py::none()), "extra_net_value"),
        py::object(weekly[py::str("extra_return")]) + py::int_(1));
    const py::list subset = binding::texts({"long", "close_net_value", "extra_net_value"});
    return weekly.attr("dropna")(py::arg("subset") = subset, py::arg("how") = "all");
}

}  // namespace kestrelia::pelorin
