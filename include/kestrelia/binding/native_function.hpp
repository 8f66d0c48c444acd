// A Python-callable object for one FunctionSpec.
//
// It behaves like a Python function where the host can see it: __name__, __qualname__,
// __module__, __doc__, __annotations__ (the annotation texts as written), __defaults__,
// __kwdefaults__, __signature__ for inspect.signature(), a __dict__, pickling by
// reference, and method binding when stored in a class (the descriptor protocol).
#pragma once

#include <string>
#include <vector>

#include "kestrelia/binding/signature.hpp"

namespace kestrelia::binding {

// Creates the callable. `module_name` becomes __module__.
py::object make_function(FunctionSpec spec, const std::string& module_name);

// Adds every function of the table to the module, under its name.
void define(py::module_ module, std::vector<FunctionSpec> table);

// Adds every function of the table to a class namespace: __qualname__ "Class.name" unless
// the entry gives one, and wrapped in staticmethod where the entry says is_static.
void define(py::dict ns, std::vector<FunctionSpec> table, const std::string& module_name,
            const std::string& class_name);

}  // namespace kestrelia::binding
