// A Python-callable object for one FunctionSpec.
//
// It behaves like a Python function where the host can see it: __name__, __qualname__,
// __module__, __doc__, __annotations__ (the annotation texts as written), __defaults__,
// __kwdefaults__, __signature__ for inspect.signature(), a __dict__, pickling by
// reference, and method binding when stored in a class (the descriptor protocol).
#pragma once

#include "kestrelia/binding/signature.hpp"

namespace kestrelia::binding {

// Creates the callable. `module_name` becomes __module__.
py::object make_function(FunctionSpec spec, const std::string& module_name);

}  // namespace kestrelia::binding
