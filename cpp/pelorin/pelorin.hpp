// Implementations of the _pelorin module functions, one concern per source file. The
// declarations (parameters, annotations, defaults, docstrings) live in module.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include "kestrelia/binding/pyutil.hpp"
#include "kestrelia/binding/signature.hpp"

namespace kestrelia::pelorin {

namespace py = pybind11;
using binding::Args;

inline constexpr long TRADING_DAYS_PER_YEAR = 252;
inline constexpr long ROLLING_STABILITY_DAYS = 60;
inline constexpr long MIN_ROLLING_STABILITY_DAYS = 5;

// smoothing.cpp
py::object smooth_strategy_weights(const Args& args);

// vwap.cpp
py::object calc_strategy_vwap_daily_return(const Args& args);

// total_frame.cpp
py::object build_total_backtesting_frame(const Args& args);

// stats.cpp
py::object calc_strategy_stats(const Args& args);

// pipeline.cpp
py::object run_strategy_backtest_core(const Args& args);

// Calls a module function through the module namespace (so a replaced function is the
// one that runs), with positional arguments.
template <class... T>
py::object call_global(const char* name, T&&... values) {
    return binding::global(name)(std::forward<T>(values)...);
}

}  // namespace kestrelia::pelorin
