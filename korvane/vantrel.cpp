// korvane.vantrel: the Python face of the Barone-Adesi-Whaley kernels.
//
// Module initialisation (multi-phase), the function objects and the one
// argument-binding layer that all four entry points share, the 1-D buffer
// views of array arguments, and the four bodies.  The numeric work is in
// kernels/, which never sees a Python object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#define NO_IMPORT_UFUNC
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "kernels/kernels.h"

// Critical sections guard mutable attributes on free-threaded builds; before
// 3.13 the interpreter lock does.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace {

namespace k = korvane::kernels;

constexpr char MODULE_NAME[] = "korvane.vantrel";
constexpr char SOURCE_FILE[] = "korvane/vantrel.cpp";
constexpr char INIT_NAME[] = "init korvane.vantrel";
constexpr char BRENTQ_MODULE[] = "scipy.optimize.cython_optimize._zeros";
constexpr char BRENTQ_SIGNATURE[] =
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, "
    "double, void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";

// ---------------------------------------------------------------------------
// Owned references.

// Owns one strong reference (or none); every early return drops it.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *owned) noexcept : obj_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset(PyObject *owned = nullptr) noexcept { Py_XSETREF(obj_, owned); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject *obj_ = nullptr;
};

// d[key] as a new reference: 1 found, 0 absent, -1 error.
int dict_get_ref(PyObject *dict, PyObject *key, PyObject **value)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    PyObject *item = PyDict_GetItemWithError(dict, key);
    *value = Py_XNewRef(item);
    return item ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// ---------------------------------------------------------------------------
// Process-wide state: written by the execute step only, read-only afterwards.

// Type objects bound at import, with the sizes the compiled headers expect.
struct TypeImport {
    const char *module;
    const char *name;
    std::size_t size;     // the smallest tp_basicsize + tp_itemsize accepted
    bool warn_if_larger;  // a larger tp_basicsize only warns
};

const TypeImport TYPE_IMPORTS[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), true},
    {"numpy", "dtype", sizeof(PyArray_Descr), false},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), false},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), false},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), false},
    {"numpy", "generic", sizeof(PyObject), true},
    {"numpy", "number", sizeof(PyObject), true},
    {"numpy", "integer", sizeof(PyObject), true},
    {"numpy", "signedinteger", sizeof(PyObject), true},
    {"numpy", "unsignedinteger", sizeof(PyObject), true},
    {"numpy", "inexact", sizeof(PyObject), true},
    {"numpy", "floating", sizeof(PyObject), true},
    {"numpy", "complexfloating", sizeof(PyObject), true},
    {"numpy", "flexible", sizeof(PyObject), true},
    {"numpy", "character", sizeof(PyObject), true},
    {"numpy", "ufunc", sizeof(PyUFuncObject), false},
};
constexpr std::size_t N_TYPES = std::size(TYPE_IMPORTS);

struct ProcessState {
    PyObject *module = nullptr;     // the module, once the execute step has begun
    std::int64_t interpreter = -1;  // identifier of the interpreter that created it
    PyObject *types[N_TYPES] = {};  // TYPE_IMPORTS, bound
    PyObject *str_c = nullptr;      // "c", the call flag
    PyObject *str_np = nullptr;     // "np"
    PyObject *kw_dtype = nullptr;   // ("dtype",), keyword names for NumPy calls
    PyObject *zero = nullptr;       // 0, the no-solution threshold of batch results
    PyObject *function_type = nullptr;  // type of the published functions
};

ProcessState state;

// ---------------------------------------------------------------------------
// Tracebacks.

// Adds a frame for `code` (with the function's qualified name and this
// source file) to the exception being raised, as the interpreter does for a
// Python function.  The frame is built with the exception set aside.
void add_traceback(PyCodeObject *code, PyObject *globals)
{
    if (!code || !globals)
        return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = PyErr_GetRaisedException();
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Restore(type, value, tb);
#endif
    if (!frame)
        return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ---------------------------------------------------------------------------
// 1-D views of buffers.

template <class T>
struct ElementType;
template <>
struct ElementType<double> {
    static constexpr char code = 'd';
    static constexpr const char *name = "double";
};
template <>
struct ElementType<std::int32_t> {
    static constexpr char code = 'i';
    static constexpr const char *name = "int";
};

// A strided 1-D view of another object's memory, taken through the buffer
// protocol and held until release() or destruction, so the exporter can
// neither free nor resize the memory meanwhile.  Reading and writing it calls
// nothing in the interpreter.
template <class T>
class View {
public:
    View() noexcept = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() { release(); }

    // 0, or -1 with an exception set and nothing held.
    int acquire(PyObject *obj, bool writable)
    {
        release();
        const int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &buf_, flags) < 0)
            return -1;
        held_ = true;
        if (buf_.ndim != 1) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                         buf_.ndim);
            release();
            return -1;
        }
        if (!is_element_format(buf_.format) || buf_.itemsize != sizeof(T) ||
            (buf_.suboffsets && buf_.suboffsets[0] >= 0)) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch, expected '%s' but got '%s' of %zd bytes",
                         ElementType<T>::name, buf_.format ? buf_.format : "B", buf_.itemsize);
            release();
            return -1;
        }
        base_ = static_cast<char *>(buf_.buf);
        size_ = buf_.shape[0];
        stride_ = buf_.strides[0];
        return 0;
    }

    void release() noexcept
    {
        if (held_) {
            PyBuffer_Release(&buf_);
            held_ = false;
        }
    }

    Py_ssize_t size() const noexcept { return size_; }
    // Repeat element 0 for every index.
    void broadcast() noexcept { stride_ = 0; }
    const T *contiguous_data() const noexcept { return reinterpret_cast<const T *>(base_); }

    T operator[](Py_ssize_t i) const noexcept
    {
        T value;
        std::memcpy(&value, base_ + i * stride_, sizeof(T));
        return value;
    }
    void set(Py_ssize_t i, T value) noexcept { std::memcpy(base_ + i * stride_, &value, sizeof(T)); }

private:
    // One native item of T: "d", "@d" or "=d" (likewise "i").
    static bool is_element_format(const char *fmt)
    {
        if (!fmt)
            return false;
        if (*fmt == '@' || *fmt == '=')
            ++fmt;
        return fmt[0] == ElementType<T>::code && fmt[1] == '\0';
    }

    Py_buffer buf_{};
    bool held_ = false;
    char *base_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t stride_ = 0;
};

// ---------------------------------------------------------------------------
// Function objects and argument binding.

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

PyType_Spec function_spec = {
    "korvane.vantrel.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// A new function object for `spec`, published in `globals`.
PyObject *new_function(const FunctionSpec &spec, PyObject *globals, PyObject *defaults)
{
    auto *type = reinterpret_cast<PyTypeObject *>(state.function_type);
    Ref self(reinterpret_cast<PyObject *>(PyObject_GC_New(Function, type)));
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
    fn->module = PyUnicode_InternFromString(MODULE_NAME);
    fn->doc = PyUnicode_FromString(spec.doc);
    const std::string traced = std::string(MODULE_NAME) + "." + spec.name;
    fn->code = PyCode_NewEmpty(SOURCE_FILE, traced.c_str(), spec.line);
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

// ---------------------------------------------------------------------------
// Shared pieces of the bodies.

// Flag code: CALL when `flag` == "c", PUT otherwise, 0 with an exception set.
// None is unequal without a call; other objects compare through ==.
std::int32_t flag_code(PyObject *flag)
{
    if (PyUnicode_CheckExact(flag))
        return PyUnicode_GET_LENGTH(flag) == 1 && PyUnicode_READ_CHAR(flag, 0) == 'c' ? k::CALL
                                                                                       : k::PUT;
    if (flag == Py_None)
        return k::PUT;
    const int eq = PyObject_RichCompareBool(flag, state.str_c, Py_EQ);
    if (eq < 0)
        return 0;
    return eq ? k::CALL : k::PUT;
}

// numpy.<name>, where numpy is the module global `np`, looked up at each use.
PyObject *np_attr(const Function *fn, const char *name)
{
    PyObject *np;
    const int found = dict_get_ref(fn->globals, state.str_np, &np);
    if (found <= 0) {
        if (found == 0)
            PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
        return nullptr;
    }
    Ref owner(np);
    return PyObject_GetAttrString(np, name);
}

// numpy.<func>(arg, dtype=numpy.<dtype>), or dtype=bool when dtype is null.
PyObject *np_call_dtype(const Function *fn, const char *func, PyObject *arg, const char *dtype)
{
    Ref f(np_attr(fn, func));
    if (!f)
        return nullptr;
    Ref type(dtype ? np_attr(fn, dtype) : Py_NewRef(reinterpret_cast<PyObject *>(&PyBool_Type)));
    if (!type)
        return nullptr;
    PyObject *argv[] = {arg, type.get()};
    return PyObject_Vectorcall(f.get(), argv, 1, state.kw_dtype);
}

// A view of doubles of numpy.ascontiguousarray(obj, dtype=float64).  Inputs
// are only read, so a read-only array is fine.
int as_double_view(const Function *fn, PyObject *obj, View<double> &view)
{
    Ref arr(np_call_dtype(fn, "ascontiguousarray", obj, "float64"));
    return arr ? view.acquire(arr.get(), false) : -1;
}

// An input of `size` elements read at every index below n: length 1 is
// repeated, a longer input is read in part, anything shorter is refused.
template <class T>
int fit_length(View<T> &view, Py_ssize_t n, const char *arg)
{
    const Py_ssize_t size = view.size();
    if (size == 1)
        view.broadcast();
    else if (size < n) {
        if (n == 1)
            PyErr_Format(PyExc_ValueError, "%s has %zd elements, expected 1", arg, size);
        else
            PyErr_Format(PyExc_ValueError, "%s has %zd elements, expected %zd (or 1)", arg, size, n);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The four bodies.

PyObject *baw_price_body(const Function *, const Bound &a)
{
    const std::int32_t q = flag_code(a.obj[5]);
    if (!q)
        return nullptr;
    return PyFloat_FromDouble(k::_baw_price(q, a.num[0], a.num[1], a.num[2], a.num[3], a.num[4]));
}

PyObject *baw_implied_vol_body(const Function *, const Bound &a)
{
    const std::int32_t q = flag_code(a.obj[5]);
    if (!q)
        return nullptr;
    const double r = k::_baw_implied_vol_c(q, a.num[0], a.num[1], a.num[2], a.num[3], a.num[4]);
    return PyFloat_FromDouble(r < 0 ? Py_NAN : r);
}

// [1, -1, ...]: the flag code of every element of `flags`, in iteration order.
PyObject *flag_codes(PyObject *flags)
{
    Ref iter(PyObject_GetIter(flags));
    Ref codes(PyList_New(0));
    if (!iter || !codes)
        return nullptr;
    while (PyObject *item = PyIter_Next(iter.get())) {
        const std::int32_t q = flag_code(item);
        Py_DECREF(item);
        if (!q)
            return nullptr;
        Ref code(PyLong_FromLong(q));
        if (!code || PyList_Append(codes.get(), code.get()) < 0)
            return nullptr;
    }
    return PyErr_Occurred() ? nullptr : codes.release();
}

PyObject *vectorized_body(const Function *fn, const Bound &a)
{
    static constexpr const char *ARG_NAMES[] = {"prices", "S_arr", "K_arr", "D_arr", "F_arr"};
    const Py_ssize_t n = PyObject_Size(a.obj[0]);
    if (n < 0)
        return nullptr;
    View<double> in[5];  // prices, spots, strikes, discount factors, forwards
    for (int j = 0; j < 5; ++j) {
        if (as_double_view(fn, a.obj[j], in[j]) < 0)
            return nullptr;
    }
    View<std::int32_t> q_view;
    {
        Ref codes(flag_codes(a.obj[5]));
        if (!codes)
            return nullptr;
        Ref arr(np_call_dtype(fn, "array", codes.get(), "intc"));
        if (!arr || q_view.acquire(arr.get(), false) < 0)
            return nullptr;
    }
    // Every length is settled before the loop, which then reads in bounds.
    for (int j = 0; j < 5; ++j) {
        if (fit_length(in[j], n, ARG_NAMES[j]) < 0)
            return nullptr;
    }
    if (fit_length(q_view, n, "flags") < 0)
        return nullptr;

    Ref size(PyLong_FromSsize_t(n));
    if (!size)
        return nullptr;
    Ref out(np_call_dtype(fn, "empty", size.get(), "float64"));
    if (!out)
        return nullptr;
    {
        View<double> out_view;
        if (out_view.acquire(out.get(), true) < 0)
            return nullptr;
        Py_BEGIN_ALLOW_THREADS
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double result = k::_baw_implied_vol_c(q_view[i], in[0][i], in[1][i], in[2][i],
                                                         in[3][i], in[4][i]);
            out_view.set(i, result);
        }
        Py_END_ALLOW_THREADS
    }

    // No solution (-1.0, or any negative root) becomes NaN in one masked
    // assignment over the whole result.
    Ref asarray(np_attr(fn, "asarray"));
    if (!asarray)
        return nullptr;
    Ref result(PyObject_CallOneArg(asarray.get(), out.get()));
    if (!result)
        return nullptr;
    Ref mask(PyObject_RichCompare(result.get(), state.zero, Py_LT));
    Ref nan(mask ? np_attr(fn, "nan") : nullptr);
    if (!nan || PyObject_SetItem(result.get(), mask.get(), nan.get()) < 0)
        return nullptr;
    return result.release();
}

// The strikes in the first window around S that holds any: half-widths
// strike_pct, 2%, 5%, 10%, 20%, 50% and 100% of S, ends inclusive; all
// strikes when none does.  Returns the boolean mask.
PyObject *select_strikes(const Function *fn, PyObject *strikes, double S, double strike_pct)
{
    static constexpr double FIXED_WIDTHS[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1.0};
    for (int stage = 0; stage < 7; ++stage) {
        const double pct = stage == 0 ? strike_pct : FIXED_WIDTHS[stage - 1];
        Ref lo(PyFloat_FromDouble(S * (1 - pct)));
        Ref hi(PyFloat_FromDouble(S * (1 + pct)));
        if (!lo || !hi)
            return nullptr;
        Ref above(PyObject_RichCompare(strikes, lo.get(), Py_GE));
        Ref below(above ? PyObject_RichCompare(strikes, hi.get(), Py_LE) : nullptr);
        Ref mask(below ? PyNumber_And(above.get(), below.get()) : nullptr);
        Ref any(mask ? PyObject_CallMethod(mask.get(), "any", nullptr) : nullptr);
        if (!any)
            return nullptr;
        const int hit = PyObject_IsTrue(any.get());
        if (hit < 0)
            return nullptr;
        if (hit)
            return mask.release();
    }
    const Py_ssize_t n = PyObject_Size(strikes);
    if (n < 0)
        return nullptr;
    Ref size(PyLong_FromSsize_t(n));
    return size ? np_call_dtype(fn, "ones", size.get(), nullptr) : nullptr;
}

PyObject *find_forward_body(const Function *fn, const Bound &a)
{
    const double S = a.num[3];
    const double D = a.num[4];
    Ref arrays[3];  // calls, puts, strikes as float64 arrays
    for (int j = 0; j < 3; ++j) {
        arrays[j].reset(np_call_dtype(fn, "asarray", a.obj[j], "float64"));
        if (!arrays[j])
            return nullptr;
    }
    Ref mask(select_strikes(fn, arrays[2].get(), S, a.num[5]));
    if (!mask)
        return nullptr;

    // Private contiguous copies of the selection (boolean indexing copies).
    View<double> sel[3];  // c_calls, c_puts, c_strikes
    for (int j = 0; j < 3; ++j) {
        Ref picked(PyObject_GetItem(arrays[j].get(), mask.get()));
        if (!picked || as_double_view(fn, picked.get(), sel[j]) < 0)
            return nullptr;
    }
    const Py_ssize_t n_sel = sel[0].size();
    if (sel[1].size() != n_sel || sel[2].size() != n_sel) {
        PyErr_SetString(PyExc_ValueError, "call_prices, put_prices and strikes select "
                                          "different numbers of strikes");
        return nullptr;
    }

    // First guess: the mean put-call parity forward K + (C - P)/D.
    double F_init = S;
    if (n_sel >= 1) {
        double f_est_sum = 0.0;
        for (Py_ssize_t j = 0; j < n_sel; ++j)
            f_est_sum += sel[2][j] + (sel[0][j] - sel[1][j]) / D;
        const auto f_est_count = static_cast<double>(n_sel);
        F_init = f_est_sum / f_est_count;
    }
    const double search_lo = F_init * 0.97;
    const double search_hi = F_init * 1.03;

    k::ForwardParams params{S,
                            D,
                            sel[0].contiguous_data(),
                            sel[1].contiguous_data(),
                            sel[2].contiguous_data(),
                            static_cast<std::int64_t>(n_sel)};
    double result, best_mismatch;
    Py_BEGIN_ALLOW_THREADS
    result = k::_fminbound(&params, search_lo, search_hi, &best_mismatch);
    Py_END_ALLOW_THREADS
    // No strike qualified at any trial forward: there is no estimate.
    if (best_mismatch == k::NO_DATA_MISMATCH)
        result = Py_NAN;
    return PyFloat_FromDouble(result);
}

// ---------------------------------------------------------------------------
// The published functions.

constexpr unsigned FIRST_FIVE = 0x1Fu;

const FunctionSpec BAW_PRICE = {
    "baw_price",
    "BAW American option price in forward form.\n"
    "\n"
    "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
    "    flag: 'c' or 'p'.",
    {"S", "K", "D", "F", "sigma", "flag"},
    6, 6, FIRST_FIVE, 0.0, baw_price_body, __LINE__};

const FunctionSpec BAW_IMPLIED_VOL = {
    "baw_implied_vol",
    "BAW implied total std dev of an American option price.\n"
    "\n"
    "    Returns sigma or NaN on failure.",
    {"price", "S", "K", "D", "F", "flag"},
    6, 6, FIRST_FIVE, 0.0, baw_implied_vol_body, __LINE__};

const FunctionSpec VECTORIZED_BAW_IMPLIED_VOL = {
    "vectorized_baw_implied_vol",
    "Batch BAW IV extraction\n"
    "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
    "    Returns numpy array of implied vols.",
    {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"},
    6, 6, 0u, 0.0, vectorized_body, __LINE__};

constexpr double DEFAULT_STRIKE_PCT = 0.01;

const FunctionSpec FIND_FORWARD_BAW = {
    "find_forward_baw",
    "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.",
    {"call_prices", "put_prices", "strikes", "S", "D", "strike_pct"},
    6, 5, 0x38u, DEFAULT_STRIKE_PCT, find_forward_body, __LINE__};

// ---------------------------------------------------------------------------
// Module initialisation.

// Copies spec.<from> to the module's <to>; a missing attribute is skipped.
int copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to,
                   bool allow_none)
{
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

// One module object per process, in one interpreter only.
PyObject *module_create(PyObject *spec, PyModuleDef *)
{
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1)
        return nullptr;
    if (state.interpreter != -1 && state.interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module)
        return Py_NewRef(state.module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    state.interpreter = interpreter;
    return module.release();
}

// A RuntimeWarning when the interpreter's version is not the one built for.
int check_version()
{
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)
        return 0;
    return PyErr_WarnFormat(
        PyExc_RuntimeWarning, 1,
        "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
        PY_MAJOR_VERSION, PY_MINOR_VERSION, MODULE_NAME, "does not match", major, minor);
}

// The type objects of TYPE_IMPORTS, checked against the compiled sizes.
int bind_types()
{
    for (std::size_t i = 0; i < N_TYPES; ++i) {
        const TypeImport &t = TYPE_IMPORTS[i];
        Ref module(PyImport_ImportModule(t.module));
        if (!module)
            return -1;
        Ref obj(PyObject_GetAttrString(module.get(), t.name));
        if (!obj)
            return -1;
        if (!PyType_Check(obj.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", t.module, t.name);
            return -1;
        }
        const auto *type = reinterpret_cast<PyTypeObject *>(obj.get());
        const Py_ssize_t basic = type->tp_basicsize;
        const Py_ssize_t total = basic + type->tp_itemsize;
        const auto expected = static_cast<Py_ssize_t>(t.size);
        if (total < expected) {
            PyErr_Format(PyExc_ValueError,
                         "%.200s.%.200s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         t.module, t.name, expected, total);
            return -1;
        }
        if (t.warn_if_larger && basic > expected &&
            PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                             "%.200s.%.200s size changed, may indicate binary incompatibility. "
                             "Expected %zd from C header, got %zd from PyObject",
                             t.module, t.name, expected, basic) < 0)
            return -1;
        Py_XSETREF(state.types[i], obj.release());
    }
    return 0;
}

// SciPy's compiled brentq, from the module's exported C function table.
int fetch_brentq()
{
    Ref module(PyImport_ImportModule(BRENTQ_MODULE));
    if (!module)
        return -1;
    Ref table(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!table)
        return -1;
    Ref capsule(PyMapping_GetItemString(table.get(), "brentq"));
    if (!capsule) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                         BRENTQ_MODULE, "function", "brentq");
        }
        return -1;
    }
    if (!PyCapsule_IsValid(capsule.get(), BRENTQ_SIGNATURE)) {
        const char *got = Py_TYPE(capsule.get())->tp_name;
        if (PyCapsule_CheckExact(capsule.get())) {
            got = PyCapsule_GetName(capsule.get());
            if (!got)
                got = "(null)";
        }
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", BRENTQ_MODULE, "brentq", BRENTQ_SIGNATURE, got);
        return -1;
    }
    void *pointer = PyCapsule_GetPointer(capsule.get(), BRENTQ_SIGNATURE);
    if (!pointer)
        return -1;
    k::brentq = reinterpret_cast<k::brentq_fn>(pointer);
    return 0;
}

// NumPy's compiled interface; any failure reads as the ImportError below,
// with the original exception as its context.
int import_numpy_api()
{
    if (_import_array() >= 0)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *replacement = PyErr_GetRaisedException();
    PyException_SetContext(replacement, cause);
    PyErr_SetRaisedException(replacement);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *rtype, *rvalue, *rtb;
    PyErr_Fetch(&rtype, &rvalue, &rtb);
    PyErr_NormalizeException(&rtype, &rvalue, &rtb);
    PyException_SetContext(rvalue, value);
    PyErr_Restore(rtype, rvalue, rtb);
#endif
    return -1;
}

int add_function(PyObject *dict, const FunctionSpec &spec, PyObject *defaults = nullptr)
{
    Ref fn(new_function(spec, dict, defaults));
    return fn ? PyDict_SetItemString(dict, spec.name, fn.get()) : -1;
}

int intern_constants()
{
    if (!state.str_c && !(state.str_c = PyUnicode_InternFromString("c")))
        return -1;
    if (!state.str_np && !(state.str_np = PyUnicode_InternFromString("np")))
        return -1;
    if (!state.kw_dtype && !(state.kw_dtype = Py_BuildValue("(s)", "dtype")))
        return -1;
    if (!state.zero && !(state.zero = PyLong_FromLong(0)))
        return -1;
    return 0;
}

// Everything the execute step does after recording the module; -1 on error.
int fill_module(PyObject *module)
{
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0)
        return -1;
#endif
    PyObject *dict = PyModule_GetDict(module);
    {
        Ref builtins(PyImport_ImportModule("builtins"));
        if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0)
            return -1;
    }
    if (check_version() < 0 || bind_types() < 0 || fetch_brentq() < 0)
        return -1;
    {
        Ref numpy(PyImport_ImportModule("numpy"));
        if (!numpy || PyDict_SetItemString(dict, "np", numpy.get()) < 0)
            return -1;
    }
    if (import_numpy_api() < 0 || intern_constants() < 0)
        return -1;
    if (!state.function_type && !(state.function_type = PyType_FromSpec(&function_spec)))
        return -1;
    if (add_function(dict, BAW_PRICE) < 0 || add_function(dict, BAW_IMPLIED_VOL) < 0 ||
        add_function(dict, VECTORIZED_BAW_IMPLIED_VOL) < 0)
        return -1;
    Ref defaults(Py_BuildValue("(d)", DEFAULT_STRIKE_PCT));
    if (!defaults || add_function(dict, FIND_FORWARD_BAW, defaults.get()) < 0)
        return -1;
    Ref test(PyDict_New());
    return test ? PyDict_SetItemString(dict, "__test__", test.get()) : -1;
}

int module_exec(PyObject *module)
{
    if (state.module) {
        if (state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'vantrel' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (fill_module(module) == 0)
        return 0;

    // Failed: the next import starts afresh.
    if (PyErr_Occurred()) {
        Ref code(reinterpret_cast<PyObject *>(PyCode_NewEmpty(SOURCE_FILE, INIT_NAME, __LINE__)));
        add_traceback(reinterpret_cast<PyCodeObject *>(code.get()), PyModule_GetDict(module));
    }
    Py_CLEAR(state.module);
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, INIT_NAME);
    return -1;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantrel",
    "Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n"
    "\n"
    "baw_price, baw_implied_vol, vectorized_baw_implied_vol and find_forward_baw run as\n"
    "compiled loops without the interpreter lock, with SciPy's compiled brentq inside.",
    0,
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vantrel(void)
{
    return PyModuleDef_Init(&module_def);
}
