// kestrelia.backtest._prepare: the prepared-data builder and store.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_prepare, m) {
    m.doc() = "Prepared data of the backtest: builder, incremental window and binary store.";
}
