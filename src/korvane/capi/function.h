// Function objects for compiled entry points, and the one argument-binding
// layer behind them: a parameter table per function, the vectorcall and
// tp_call paths with their TypeError messages, traceback entries, and the
// attributes (__signature__, __defaults__, __dict__, ...) that make them
// behave as routines for inspect, pydoc and pickle.
#ifndef KORVANE_CAPI_FUNCTION_H
#define KORVANE_CAPI_FUNCTION_H

#include <Python.h>

#include <array>
#include <initializer_list>

namespace korvane::capi {

constexpr Py_ssize_t MAX_PARAMS = 6;

struct Function;

// Arguments of one call, bound to parameters.
struct Bound {
    PyObject *obj[MAX_PARAMS] = {};  // strong references; null where not given
    double num[MAX_PARAMS] = {};     // the double parameters, converted

    Bound() = default;
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
    ~Bound()
    {
        for (PyObject *o : obj)
            Py_XDECREF(o);
    }
};

using Body = PyObject *(*)(const Function *fn, const Bound &args);

// The `doubles` mask of a parameter table: these positions are converted to doubles.
constexpr unsigned double_params(std::initializer_list<int> positions)
{
    unsigned mask = 0;
    for (int i : positions)
        mask |= 1u << i;
    return mask;
}

// Parameter table of one public function.  Every parameter is positional-
// or-keyword; those from n_required on are optional, with doubles as defaults.
struct FunctionSpec {
    const char *name;
    const char *doc;
    std::array<const char *, MAX_PARAMS> params;
    Py_ssize_t n_params;
    Py_ssize_t n_required;
    unsigned doubles;       // bit i: parameter i is converted to a double
    double default_value;   // of the optional parameter
    Body body;
    int line;               // line of the body, named in tracebacks
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *names[MAX_PARAMS];  // interned parameter names
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *globals;   // the module dictionary
    PyObject *defaults;  // __defaults__: shown, never read by a call
    PyObject *dict;      // __dict__
    PyCodeObject *code;  // names the function in tracebacks
};

// The heap type of a module's function objects; `qualified_name` (such as
// "korvane.vantrel.function") is a static string.
PyObject *new_function_type(const char *qualified_name);

// A new function object of `type` for `spec`: `__module__` is `module_name`,
// `__globals__` is `globals`, `__defaults__` is `defaults` (None when null),
// and its traceback entries read "<module_name>.<name>" in `source_file`.
PyObject *new_function(PyObject *type, const FunctionSpec &spec, const char *module_name,
                       const char *source_file, PyObject *globals, PyObject *defaults);

}  // namespace korvane::capi

#endif  // KORVANE_CAPI_FUNCTION_H
