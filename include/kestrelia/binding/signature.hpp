// The declarative argument layer shared by both extension modules.
//
// Every module function is declared once as a FunctionSpec: its parameters (names,
// annotations as written, defaults, keyword-only markers), its return annotation, its
// docstring and the C++ implementation. A generic binder parses (args, kwargs) from that
// declaration with CPython's own rules and messages, then converts or checks each
// parameter from its annotation:
//   str / dict / list (and "T | None")   exact type, no subclasses
//   int                                  any number, converted with int()
//   float                                the float protocol
//   bool                                 truth value
// Other annotations are documentation only.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelia::binding {

namespace py = pybind11;

// How a parameter's annotation is enforced on entry.
enum class Check { none, exact_str, exact_dict, exact_list, to_int, to_float, truth };

struct Param {
    std::string name;
    std::string annotation;  // empty: no annotation
    bool has_default = false;
    py::object default_value;
    bool keyword_only = false;

    // Derived from the annotation when the declaration is finalised.
    Check check = Check::none;
    bool accepts_none = false;

    Param kw_only() && {
        keyword_only = true;
        return std::move(*this);
    }
};

// A required parameter.
Param arg(std::string name, std::string annotation = {});
// A parameter with a default value.
Param arg(std::string name, std::string annotation, py::object default_value);

class Args;
using Impl = std::function<py::object(const Args&)>;

// One entry of a module's function table, written with designated initialisers:
//   {.name = "f", .params = {arg("x", "int")}, .returns = "str", .doc = "...", .impl = f}
struct FunctionSpec {
    std::string name;
    std::vector<Param> params;
    std::string returns;  // return annotation as written; empty: none
    std::string doc;
    Impl impl;
    std::string qualname = {};  // defaults to name ("Class.name" when defined into a class)
    bool is_static = false;     // a staticmethod when defined into a class namespace

    // Derived when finalised.
    Check return_check = Check::none;
    std::size_t n_positional = 0;  // parameters that may be given by position
};

// Bodies may declare at most this many parameters (the reads of a call are a bit set).
inline constexpr std::size_t max_params = 64;

// Converted arguments of one call, looked up by parameter name. A name that the table
// does not declare is a programming error (std::logic_error). Every lookup is recorded, so
// that a test can show that each declared parameter is read by its body.
class Args {
public:
    Args(const FunctionSpec& spec, std::vector<py::object> values)
        : spec_(&spec), values_(std::move(values)) {}

    py::object operator[](std::string_view name) const { return values_[index(name)]; }
    bool is_none(std::string_view name) const { return values_[index(name)].is_none(); }
    double f64(std::string_view name) const;
    long long i64(std::string_view name) const;
    bool flag(std::string_view name) const;
    std::string str(std::string_view name) const;

    const FunctionSpec& spec() const { return *spec_; }
    // Bit i is set once parameter i has been looked up.
    std::uint64_t reads() const { return reads_; }

private:
    std::size_t index(std::string_view name) const;

    const FunctionSpec* spec_;
    std::vector<py::object> values_;
    mutable std::uint64_t reads_ = 0;
};

// Derives checks and counts from the annotations; rejects malformed declarations.
void finalise(FunctionSpec& spec);

// Parses and converts a call against the declaration. Raises TypeError (as
// py::error_already_set) with CPython's wording for arity and keyword errors and with
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" for type errors.
std::vector<py::object> bind_call(const FunctionSpec& spec, PyObject* args, PyObject* kwargs);

// Applies the return annotation: exact dict/list/str (or None), else
// TypeError "Expected %s, got %.200s".
void check_return(const FunctionSpec& spec, const py::object& result);

// Raises TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
[[noreturn]] void raise_incorrect_type(std::string_view name, std::string_view expected,
                                       py::handle got);

// Raises TypeError "Expected %s, got %.200s" for a callee that returned the wrong type.
[[noreturn]] void raise_wrong_return(std::string_view expected, py::handle got);

}  // namespace kestrelia::binding
