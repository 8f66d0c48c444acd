#include "kestrelia/binding/signature.hpp"

#include <stdexcept>

namespace kestrelia::binding {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// "dict[str, pd.Series] | None" -> parts split on top-level '|'.
std::vector<std::string_view> union_parts(std::string_view annotation) {
    std::vector<std::string_view> parts;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < annotation.size(); ++i) {
        char c = annotation[i];
        if (c == '[') ++depth;
        if (c == ']') --depth;
        if (c == '|' && depth == 0) {
            parts.push_back(trim(annotation.substr(start, i - start)));
            start = i + 1;
        }
    }
    parts.push_back(trim(annotation.substr(start)));
    return parts;
}

std::string_view head(std::string_view type) {
    auto bracket = type.find('[');
    return bracket == std::string_view::npos ? type : type.substr(0, bracket);
}

// Only a single built-in type (optionally "| None") is enforced; anything else is
// documentation.
void derive_check(std::string_view annotation, Check& check, bool& accepts_none) {
    check = Check::none;
    accepts_none = false;
    if (annotation.empty()) return;
    std::string_view only;
    int concrete = 0;
    for (auto part : union_parts(annotation)) {
        if (part == "None") {
            accepts_none = true;
        } else {
            only = part;
            ++concrete;
        }
    }
    if (concrete != 1) {
        accepts_none = false;
        return;
    }
    auto h = head(only);
    if (h == "str")
        check = Check::exact_str;
    else if (h == "dict")
        check = Check::exact_dict;
    else if (h == "list")
        check = Check::exact_list;
    else if (h == "int" && h == only)
        check = Check::to_int;
    else if (h == "float" && h == only)
        check = Check::to_float;
    else if (h == "bool" && h == only)
        check = Check::truth;
    if (check == Check::none) accepts_none = false;
}

const char* type_name(Check check) {
    switch (check) {
        case Check::exact_str:
            return "str";
        case Check::exact_dict:
            return "dict";
        case Check::exact_list:
            return "list";
        case Check::to_int:
            return "int";
        case Check::to_float:
            return "float";
        case Check::truth:
            return "bool";
        case Check::none:
            break;
    }
    return "object";
}

bool exact_type_matches(Check check, PyObject* value) {
    switch (check) {
        case Check::exact_str:
            return PyUnicode_CheckExact(value);
        case Check::exact_dict:
            return PyDict_CheckExact(value);
        case Check::exact_list:
            return PyList_CheckExact(value);
        default:
            return true;
    }
}

[[noreturn]] void throw_type_error(PyObject* message) {
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    throw py::error_already_set();
}

// CPython: "f() missing 2 required positional arguments: 'a' and 'b'".
[[noreturn]] void raise_missing(const FunctionSpec& spec, const std::vector<std::string>& names,
                                const char* kind) {
    py::list reprs;
    for (const auto& name : names) reprs.append(py::repr(py::str(name)));
    std::string joined;
    const auto n = names.size();
    if (n == 1) {
        joined = reprs[0].cast<std::string>();
    } else if (n == 2) {
        joined = reprs[0].cast<std::string>() + " and " + reprs[1].cast<std::string>();
    } else {
        for (std::size_t i = 0; i + 2 < n; ++i) {
            if (i) joined += ", ";
            joined += reprs[i].cast<std::string>();
        }
        joined +=
            ", " + reprs[n - 2].cast<std::string>() + ", and " + reprs[n - 1].cast<std::string>();
    }
    throw_type_error(PyUnicode_FromFormat("%s() missing %zd required %s argument%s: %s",
                                          spec.qualname.c_str(), static_cast<Py_ssize_t>(n), kind,
                                          n == 1 ? "" : "s", joined.c_str()));
}

// CPython: "f() takes from 2 to 8 positional arguments but 9 were given".
[[noreturn]] void raise_too_many(const FunctionSpec& spec, Py_ssize_t given,
                                 Py_ssize_t kwonly_given) {
    Py_ssize_t argcount = static_cast<Py_ssize_t>(spec.n_positional);
    Py_ssize_t defcount = 0;
    for (std::size_t i = 0; i < spec.n_positional; ++i)
        if (spec.params[i].has_default) ++defcount;
    std::string sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = "from " + std::to_string(argcount - defcount) + " to " + std::to_string(argcount);
    } else {
        plural = argcount != 1;
        sig = std::to_string(argcount);
    }
    std::string kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" +
                     (kwonly_given != 1 ? "s" : "") + ")";
    }
    throw_type_error(PyUnicode_FromFormat("%s() takes %s positional argument%s but %zd%s %s given",
                                          spec.qualname.c_str(), sig.c_str(), plural ? "s" : "",
                                          given, kwonly_sig.c_str(),
                                          given == 1 && !kwonly_given ? "was" : "were"));
}

py::object convert(const Param& param, PyObject* value) {
    py::object obj = py::reinterpret_borrow<py::object>(value);
    if (param.check == Check::none) return obj;
    if (value == Py_None && param.accepts_none) return obj;
    switch (param.check) {
        case Check::exact_str:
        case Check::exact_dict:
        case Check::exact_list:
            if (!exact_type_matches(param.check, value))
                raise_incorrect_type(param.name, type_name(param.check), value);
            return obj;
        case Check::to_int: {
            if (PyLong_CheckExact(value)) return obj;
            // Any number is accepted and converted with int(); text and None are not.
            if (!PyLong_Check(value) && !PyNumber_Check(value))
                raise_incorrect_type(param.name, "int", value);
            PyObject* converted = PyNumber_Long(value);
            if (converted == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(converted);
        }
        case Check::to_float: {
            if (PyFloat_CheckExact(value)) return obj;
            double d = PyFloat_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            return py::float_(d);
        }
        case Check::truth: {
            int truth = PyObject_IsTrue(value);
            if (truth < 0) throw py::error_already_set();
            return py::bool_(truth != 0);
        }
        case Check::none:
            break;
    }
    return obj;
}

}  // namespace

Param arg(std::string name, std::string annotation) {
    Param p;
    p.name = std::move(name);
    p.annotation = std::move(annotation);
    return p;
}

Param arg(std::string name, std::string annotation, py::object default_value) {
    Param p = arg(std::move(name), std::move(annotation));
    p.has_default = true;
    p.default_value = std::move(default_value);
    return p;
}

void finalise(FunctionSpec& spec) {
    if (spec.qualname.empty()) spec.qualname = spec.name;
    if (spec.params.size() > max_params)
        throw std::logic_error(spec.name + ": more than 64 parameters");
    for (std::size_t i = 0; i < spec.params.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (spec.params[i].name == spec.params[j].name)
                throw std::logic_error(spec.name + ": parameter " + spec.params[i].name +
                                       " declared twice");
    bool seen_default = false;
    bool seen_kwonly = false;
    spec.n_positional = 0;
    for (auto& p : spec.params) {
        derive_check(p.annotation, p.check, p.accepts_none);
        if (p.keyword_only) {
            seen_kwonly = true;
            continue;
        }
        if (seen_kwonly)
            throw std::logic_error(spec.name + ": positional parameter after keyword-only");
        if (p.has_default)
            seen_default = true;
        else if (seen_default)
            throw std::logic_error(spec.name + ": required parameter after a default");
        ++spec.n_positional;
    }
    bool ignored = false;
    derive_check(spec.returns, spec.return_check, ignored);
    if (spec.return_check == Check::to_int || spec.return_check == Check::to_float ||
        spec.return_check == Check::truth)
        spec.return_check = Check::none;
}

std::vector<py::object> bind_call(const FunctionSpec& spec, PyObject* args, PyObject* kwargs) {
    const std::size_t n_params = spec.params.size();
    std::vector<PyObject*> slots(n_params, nullptr);  // borrowed
    const Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    const Py_ssize_t n_pos = static_cast<Py_ssize_t>(spec.n_positional);

    for (Py_ssize_t i = 0; i < std::min(given, n_pos); ++i)
        slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);

    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key))
                throw_type_error(
                    PyUnicode_FromFormat("%s() keywords must be strings", spec.qualname.c_str()));
            std::size_t found = n_params;
            for (std::size_t j = 0; j < n_params; ++j) {
                if (PyUnicode_CompareWithASCIIString(key, spec.params[j].name.c_str()) == 0) {
                    found = j;
                    break;
                }
            }
            if (found == n_params)
                throw_type_error(PyUnicode_FromFormat(
                    "%s() got an unexpected keyword argument '%S'", spec.qualname.c_str(), key));
            if (slots[found] != nullptr)
                throw_type_error(PyUnicode_FromFormat("%s() got multiple values for argument '%S'",
                                                      spec.qualname.c_str(), key));
            slots[found] = value;
        }
    }

    if (given > n_pos) {
        Py_ssize_t kwonly_given = 0;
        for (std::size_t j = spec.n_positional; j < n_params; ++j)
            if (slots[j] != nullptr) ++kwonly_given;
        raise_too_many(spec, given, kwonly_given);
    }

    std::vector<std::string> missing;
    for (std::size_t j = 0; j < spec.n_positional; ++j)
        if (slots[j] == nullptr && !spec.params[j].has_default)
            missing.push_back(spec.params[j].name);
    if (!missing.empty()) raise_missing(spec, missing, "positional");
    for (std::size_t j = spec.n_positional; j < n_params; ++j)
        if (slots[j] == nullptr && !spec.params[j].has_default)
            missing.push_back(spec.params[j].name);
    if (!missing.empty()) raise_missing(spec, missing, "keyword-only");

    // Defaults are taken as they are (like Python's); given values are converted in
    // parameter order, so the first offending parameter is the one reported.
    std::vector<py::object> values(n_params);
    for (std::size_t j = 0; j < n_params; ++j) {
        const Param& p = spec.params[j];
        if (slots[j] == nullptr)
            values[j] = p.default_value;
        else
            values[j] = convert(p, slots[j]);
    }
    return values;
}

void check_return(const FunctionSpec& spec, const py::object& result) {
    if (spec.return_check == Check::none || result.is_none()) return;
    if (!exact_type_matches(spec.return_check, result.ptr()))
        raise_wrong_return(type_name(spec.return_check), result);
}

void raise_incorrect_type(std::string_view name, std::string_view expected, py::handle got) {
    std::string n(name), e(expected);
    throw_type_error(
        PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                             n.c_str(), e.c_str(), Py_TYPE(got.ptr())->tp_name));
}

void raise_wrong_return(std::string_view expected, py::handle got) {
    std::string e(expected);
    throw_type_error(
        PyUnicode_FromFormat("Expected %s, got %.200s", e.c_str(), Py_TYPE(got.ptr())->tp_name));
}

std::size_t Args::index(std::string_view name) const {
    for (std::size_t i = 0; i < spec_->params.size(); ++i) {
        if (spec_->params[i].name == name) {
            reads_ |= std::uint64_t{1} << i;
            return i;
        }
    }
    throw std::logic_error(spec_->name + ": no parameter named " + std::string(name));
}

double Args::f64(std::string_view name) const { return values_[index(name)].cast<double>(); }

long long Args::i64(std::string_view name) const {
    long long v = PyLong_AsLongLong(values_[index(name)].ptr());
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

bool Args::flag(std::string_view name) const {
    int truth = PyObject_IsTrue(values_[index(name)].ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

std::string Args::str(std::string_view name) const {
    return values_[index(name)].cast<std::string>();
}

}  // namespace kestrelia::binding
