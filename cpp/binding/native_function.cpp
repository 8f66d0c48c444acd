#include "kestrelia/binding/native_function.hpp"

#include <structmember.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "kestrelia/binding/pyutil.hpp"

namespace kestrelia::binding {

namespace {

struct NativeFunction {
    PyObject_HEAD FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // built on first access, then kept (mutable like a function's)
    PyObject* signature;    // built on first access
    PyObject* dict;
    PyObject* weakrefs;
    std::uint64_t reads;  // parameters any call has looked up (updated under the GIL)
};

PyTypeObject* function_type = nullptr;

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    NativeFunction* f = as_function(self);
    return guarded([&]() -> PyObject* {
        Args bound(*f->spec, bind_call(*f->spec, args, kwargs));
        struct Record {  // also when the body raises: its reads up to then count
            NativeFunction* f;
            const Args& bound;
            ~Record() { f->reads |= bound.reads(); }
        } record{f, bound};
        py::object result = f->spec->impl(bound);
        check_return(*f->spec, result);
        return result.release().ptr();
    });
}

// Bound like a Python function: through an instance it becomes a method.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// A function's __dict__, __module__ and __doc__ can hold any object, so a function can be
// part of a reference cycle: the type takes part in garbage collection.
int traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->dict);
    if (f->spec != nullptr)
        for (const auto& p : f->spec->params) Py_VISIT(p.default_value.ptr());
    return 0;
}

// Name and qualname are always texts and cannot take part in a cycle; they stay so that
// repr() works until the object is freed.
int clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->dict);
    return 0;
}

void dealloc(PyObject* self) {
    NativeFunction* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->spec;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, like a module-level function.
PyObject* reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_slot(PyObject* value) {
    if (value == nullptr) value = Py_None;  // cleared by the garbage collector
    Py_INCREF(value);
    return value;
}

int set_text(PyObject** slot, PyObject* value, const char* what, bool allow_none) {
    if (value == nullptr || (!PyUnicode_Check(value) && !(allow_none && value == Py_None))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_slot(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_text(&as_function(self)->name, v, "__name__", false);
}
PyObject* get_qualname(PyObject* self, void*) { return get_slot(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text(&as_function(self)->qualname, v, "__qualname__", false);
}
PyObject* get_module(PyObject* self, void*) { return get_slot(as_function(self)->module); }
int set_module(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    Py_INCREF(v);
    Py_XSETREF(as_function(self)->module, v);
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return get_slot(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    Py_INCREF(v);
    Py_XSETREF(as_function(self)->doc, v);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = guarded([&]() -> PyObject* {
            py::dict out;
            for (const auto& p : f->spec->params)
                if (!p.annotation.empty()) out[py::str(p.name)] = py::str(p.annotation);
            if (!f->spec->returns.empty()) out["return"] = py::str(f->spec->returns);
            return out.release().ptr();
        });
        if (f->annotations == nullptr) return nullptr;
    }
    return get_slot(f->annotations);
}

PyObject* get_defaults(PyObject* self, void*) {
    const FunctionSpec& spec = *as_function(self)->spec;
    return guarded([&]() -> PyObject* {
        py::list values;
        for (std::size_t i = 0; i < spec.n_positional; ++i)
            if (spec.params[i].has_default) values.append(spec.params[i].default_value);
        if (values.empty()) return py::none().release().ptr();
        return py::tuple(values).release().ptr();
    });
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    const FunctionSpec& spec = *as_function(self)->spec;
    return guarded([&]() -> PyObject* {
        py::dict values;
        for (std::size_t i = spec.n_positional; i < spec.params.size(); ++i)
            if (spec.params[i].has_default)
                values[py::str(spec.params[i].name)] = spec.params[i].default_value;
        if (values.empty()) return py::none().release().ptr();
        return values.release().ptr();
    });
}

// inspect.Signature with the annotations kept as the declared texts.
PyObject* get_signature(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    if (f->signature == nullptr) {
        f->signature = guarded([&]() -> PyObject* {
            py::module_ inspect = py::module_::import("inspect");
            py::object parameter = inspect.attr("Parameter");
            py::object empty = parameter.attr("empty");
            py::list params;
            for (const auto& p : f->spec->params) {
                py::dict kw;
                kw["default"] = p.has_default ? p.default_value : empty;
                kw["annotation"] = p.annotation.empty() ? empty : py::object(py::str(p.annotation));
                py::object kind = p.keyword_only ? parameter.attr("KEYWORD_ONLY")
                                                 : parameter.attr("POSITIONAL_OR_KEYWORD");
                params.append(parameter(py::str(p.name), kind, **kw));
            }
            py::object ret = f->spec->returns.empty() ? inspect.attr("Signature").attr("empty")
                                                      : py::object(py::str(f->spec->returns));
            return inspect.attr("Signature")(params, py::arg("return_annotation") = ret)
                .release()
                .ptr();
        });
        if (f->signature == nullptr) return nullptr;
    }
    return get_slot(f->signature);
}

// The names of the parameters that calls in this process have looked up, in declaration
// order: a test that calls every function compares them with the declared ones.
PyObject* get_params_read(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    return guarded([&]() -> PyObject* {
        py::list names;
        for (std::size_t i = 0; i < f->spec->params.size(); ++i)
            if (f->reads & (std::uint64_t{1} << i)) names.append(py::str(f->spec->params[i].name));
        return py::tuple(names).release().ptr();
    });
}

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__params_read__", get_params_read, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "kestrelia.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

PyTypeObject* get_type() {
    if (function_type == nullptr) {
        PyObject* type = PyType_FromSpec(&type_spec);
        if (type == nullptr) throw py::error_already_set();
        function_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
    }
    return function_type;
}

}  // namespace

py::object make_function(FunctionSpec spec, const std::string& module_name) {
    finalise(spec);
    PyTypeObject* type = get_type();
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) throw py::error_already_set();
    auto result = py::reinterpret_steal<py::object>(obj);
    NativeFunction* f = as_function(obj);
    f->spec = new FunctionSpec(std::move(spec));
    f->name = py::str(f->spec->name).release().ptr();
    f->qualname = py::str(f->spec->qualname).release().ptr();
    f->module = py::str(module_name).release().ptr();
    f->doc =
        f->spec->doc.empty() ? py::none().release().ptr() : py::str(f->spec->doc).release().ptr();
    return result;
}

void define(py::module_ module, std::vector<FunctionSpec> table) {
    const std::string module_name = module.attr("__name__").cast<std::string>();
    for (auto& spec : table) {
        if (spec.is_static) throw std::logic_error(spec.name + ": staticmethod outside a class");
        const std::string name = spec.name;
        module.attr(name.c_str()) = make_function(std::move(spec), module_name);
    }
}

void define(py::dict ns, std::vector<FunctionSpec> table, const std::string& module_name,
            const std::string& class_name) {
    py::object staticmethod = py::module_::import("builtins").attr("staticmethod");
    for (auto& spec : table) {
        const std::string name = spec.name;
        const bool is_static = spec.is_static;
        if (spec.qualname.empty()) spec.qualname = class_name + "." + name;
        py::object fn = make_function(std::move(spec), module_name);
        ns[name.c_str()] = is_static ? staticmethod(fn) : fn;
    }
}

}  // namespace kestrelia::binding
