// Function objects and the argument-binding layer shared by every entry
// point: binding by position and keyword, conversions, messages, tracebacks
// and the routine attributes.
#include "function.h"

#include <structmember.h>

#include <string>

#include "ref.h"
#include "traceback.h"

// Critical sections guard mutable attributes on free-threaded builds; before
// 3.13 the interpreter lock does.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace korvane::capi {
namespace {

bool has_double(const FunctionSpec &spec, Py_ssize_t i) { return (spec.doubles >> i) & 1u; }

// "f() takes exactly 6 positional arguments (5 given)", and its variants.
void raise_count(const FunctionSpec &spec, Py_ssize_t given, bool too_few)
{
    const Py_ssize_t expected = too_few ? spec.n_required : spec.n_params;
    const char *qualifier = spec.n_required == spec.n_params ? "exactly"
                            : too_few                         ? "at least"
                                                              : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, qualifier, expected, expected == 1 ? "" : "s", given);
}

// Count check, before any keyword is looked at: without keywords the
// positional count must cover the required parameters, with them it only
// must not exceed the parameter count.
bool check_count(const FunctionSpec &spec, Py_ssize_t nargs, bool has_keywords)
{
    if (nargs > spec.n_params) {
        raise_count(spec, nargs, false);
        return false;
    }
    if (!has_keywords && nargs < spec.n_required) {
        raise_count(spec, nargs, true);
        return false;
    }
    return true;
}

constexpr Py_ssize_t NO_PARAMETER = -1;
constexpr Py_ssize_t NOT_A_STRING = -2;
constexpr Py_ssize_t LOOKUP_ERROR = -3;

// The parameter a keyword names.  Identity with the interned names first;
// otherwise an exact str by hash and content, a str subclass by ==.  The
// parameters that positional arguments left open are tried before the
// others (which can only give "multiple values").
Py_ssize_t find_parameter(const Function *fn, PyObject *key, Py_ssize_t nargs)
{
    const Py_ssize_t n = fn->spec->n_params;
    for (Py_ssize_t j = 0; j < n; ++j) {
        const Py_ssize_t i = (nargs + j) % n;
        if (fn->names[i] == key)
            return i;
    }
    if (!PyUnicode_Check(key))
        return NOT_A_STRING;
    if (PyUnicode_CheckExact(key)) {
        const Py_hash_t hash = PyObject_Hash(key);
        for (Py_ssize_t j = 0; j < n; ++j) {
            const Py_ssize_t i = (nargs + j) % n;
            if (PyObject_Hash(fn->names[i]) == hash && PyUnicode_Compare(key, fn->names[i]) == 0)
                return i;
        }
        return NO_PARAMETER;
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        const Py_ssize_t i = (nargs + j) % n;
        const int eq = PyObject_RichCompareBool(key, fn->names[i], Py_EQ);
        if (eq < 0)
            return LOOKUP_ERROR;
        if (eq)
            return i;
    }
    return NO_PARAMETER;
}

// Binds one keyword argument; false with an exception set.
bool bind_keyword(const Function *fn, Bound &b, Py_ssize_t nargs, PyObject *key, PyObject *value,
                  bool from_mapping)
{
    const char *name = fn->spec->name;
    const Py_ssize_t i = find_parameter(fn, key, nargs);
    if (i >= 0) {
        if (b.obj[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, key);
            return false;
        }
        b.obj[i] = Py_NewRef(value);
        return true;
    }
    if (i == NO_PARAMETER)
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
    else if (i == NOT_A_STRING && from_mapping)
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    else if (i == NOT_A_STRING)
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
    return false;
}

// After the keywords: the first required parameter still open is reported
// with its position as the "given" count.  Then defaults and conversions,
// in declaration order.
bool complete(const FunctionSpec &spec, Bound &b)
{
    for (Py_ssize_t i = 0; i < spec.n_required; ++i) {
        if (!b.obj[i]) {
            raise_count(spec, i, true);
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < spec.n_params; ++i) {
        if (!has_double(spec, i))
            continue;
        PyObject *o = b.obj[i];
        if (!o) {
            b.num[i] = spec.default_value;
        } else if (PyFloat_CheckExact(o)) {
            b.num[i] = PyFloat_AS_DOUBLE(o);
        } else {
            const double x = PyFloat_AsDouble(o);
            if (x == -1.0 && PyErr_Occurred())
                return false;
            b.num[i] = x;
        }
    }
    return true;
}

bool bind_vector(const Function *fn, Bound &b, PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames)
{
    const FunctionSpec &spec = *fn->spec;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (!check_count(spec, nargs, nkw > 0))
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        b.obj[i] = Py_NewRef(args[i]);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (!bind_keyword(fn, b, nargs, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], false))
            return false;
    }
    return complete(spec, b);
}

bool bind_tuple(const Function *fn, Bound &b, PyObject *args, PyObject *kwargs)
{
    const FunctionSpec &spec = *fn->spec;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const bool has_keywords = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    if (!check_count(spec, nargs, has_keywords))
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        b.obj[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    if (has_keywords) {
        // A private copy: matching may run Python code (str subclasses'
        // __eq__) that could change the caller's mapping.
        Ref copy(PyDict_Copy(kwargs));
        if (!copy)
            return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(copy.get(), &pos, &key, &value)) {
            if (!bind_keyword(fn, b, nargs, key, value, true))
                return false;
        }
    }
    return complete(spec, b);
}

PyObject *finish_call(const Function *fn, const Bound &b, bool bound)
{
    PyObject *result = bound ? fn->spec->body(fn, b) : nullptr;
    if (!result)
        add_traceback(fn->code, fn->globals);
    return result;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, std::size_t nargsf,
                              PyObject *kwnames)
{
    const auto *fn = reinterpret_cast<const Function *>(self);
    Bound b;
    const bool bound = bind_vector(fn, b, args, PyVectorcall_NARGS(nargsf), kwnames);
    return finish_call(fn, b, bound);
}

PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs)
{
    const auto *fn = reinterpret_cast<const Function *>(self);
    Bound b;
    const bool bound = bind_tuple(fn, b, args, kwargs);
    return finish_call(fn, b, bound);
}

// -- the function type's slots

int function_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *fn = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->globals);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->doc);
    return 0;
}

int function_clear(PyObject *self)
{
    auto *fn = reinterpret_cast<Function *>(self);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->doc);
    return 0;
}

void function_dealloc(PyObject *self)
{
    auto *fn = reinterpret_cast<Function *>(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    for (PyObject *&name : fn->names)
        Py_CLEAR(name);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->code);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// "S, K, D, F, sigma, flag", with "=default" on optional parameters.
PyObject *parameter_list(const Function *fn)
{
    const FunctionSpec &spec = *fn->spec;
    std::string text;
    for (Py_ssize_t i = 0; i < spec.n_params; ++i) {
        if (i)
            text += ", ";
        text += spec.params[i];
        if (i >= spec.n_required) {
            char *repr = PyOS_double_to_string(spec.default_value, 'r', 0, 0, nullptr);
            if (!repr)
                return nullptr;
            text += '=';
            text += repr;
            PyMem_Free(repr);
        }
    }
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject *function_repr(PyObject *self)
{
    const auto *fn = reinterpret_cast<const Function *>(self);
    Ref params(parameter_list(fn));
    if (!params)
        return nullptr;
    return PyUnicode_FromFormat("<function %U.%U(%U)>", fn->module, fn->qualname, params.get());
}

// Looked up on a class, a function stays unbound, as built-in functions do.
// Having __get__ makes inspect and pydoc treat it as a routine.
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *)
{
    return Py_NewRef(self);
}

// Pickled by reference: the name under which the module publishes it.
PyObject *function_reduce(PyObject *self, PyObject *)
{
    return Py_NewRef(reinterpret_cast<Function *>(self)->qualname);
}

PyObject *get_defaults(PyObject *self, void *)
{
    auto *fn = reinterpret_cast<Function *>(self);
    PyObject *value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = Py_NewRef(fn->defaults);
    Py_END_CRITICAL_SECTION();
    return value;
}

int set_defaults(PyObject *self, PyObject *value, void *)
{
    if (!value || value == Py_None) {
        value = Py_None;
    } else if (!PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    auto *fn = reinterpret_cast<Function *>(self);
    Py_BEGIN_CRITICAL_SECTION(self);
    Py_XSETREF(fn->defaults, Py_NewRef(value));
    Py_END_CRITICAL_SECTION();
    return 0;
}

PyObject *get_doc(PyObject *self, void *)
{
    return Py_NewRef(reinterpret_cast<Function *>(self)->doc);
}

// inspect.Signature of the parameters, with the defaults a call really uses.
PyObject *get_signature(PyObject *self, void *)
{
    const auto *fn = reinterpret_cast<const Function *>(self);
    const FunctionSpec &spec = *fn->spec;
    Ref inspect(PyImport_ImportModule("inspect"));
    if (!inspect)
        return nullptr;
    Ref parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter || !signature)
        return nullptr;
    Ref kind(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref params(PyList_New(spec.n_params));
    if (!kind || !params)
        return nullptr;
    for (Py_ssize_t i = 0; i < spec.n_params; ++i) {
        Ref args(PyTuple_Pack(2, fn->names[i], kind.get()));
        Ref kwargs;
        if (i >= spec.n_required)
            kwargs.reset(Py_BuildValue("{s:d}", "default", spec.default_value));
        if (!args || (i >= spec.n_required && !kwargs))
            return nullptr;
        PyObject *p = PyObject_Call(parameter.get(), args.get(), kwargs.get());
        if (!p)
            return nullptr;
        PyList_SET_ITEM(params.get(), i, p);
    }
    return PyObject_CallOneArg(signature.get(), params.get());
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    nullptr,  // named by new_function_type
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

PyObject *new_function_type(const char *qualified_name)
{
    PyType_Spec spec = function_type_spec;
    spec.name = qualified_name;
    return PyType_FromSpec(&spec);
}

PyObject *new_function(PyObject *type, const FunctionSpec &spec, const char *module_name,
                       const char *source_file, PyObject *globals, PyObject *defaults)
{
    Ref self(reinterpret_cast<PyObject *>(
        PyObject_GC_New(Function, reinterpret_cast<PyTypeObject *>(type))));
    if (!self)
        return nullptr;
    auto *fn = reinterpret_cast<Function *>(self.get());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    for (PyObject *&name : fn->names)
        name = nullptr;
    fn->globals = Py_NewRef(globals);
    fn->defaults = Py_NewRef(defaults ? defaults : Py_None);
    fn->dict = nullptr;
    fn->name = PyUnicode_InternFromString(spec.name);
    fn->qualname = Py_XNewRef(fn->name);
    fn->module = PyUnicode_InternFromString(module_name);
    fn->doc = PyUnicode_FromString(spec.doc);
    const std::string traced = std::string(module_name) + "." + spec.name;
    fn->code = PyCode_NewEmpty(source_file, traced.c_str(), spec.line);
    PyObject_GC_Track(self.get());
    if (!fn->name || !fn->module || !fn->doc || !fn->code)
        return nullptr;
    for (Py_ssize_t i = 0; i < spec.n_params; ++i) {
        fn->names[i] = PyUnicode_InternFromString(spec.params[i]);
        if (!fn->names[i])
            return nullptr;
    }
    return self.release();
}

}  // namespace korvane::capi
