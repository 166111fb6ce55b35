// korvane.vantrel: the Python face of the Barone-Adesi-Whaley kernels.
//
// This module's own parts: the four bodies with their parameter tables and
// docstrings, the process-wide state, and multi-phase initialisation (the
// version check, NumPy's type objects, SciPy's brentq).  The binding layer,
// views and references are the shared glue in capi/; the numeric work is in
// kernels/, which never sees a Python object.
#include <Python.h>

#define NO_IMPORT_UFUNC
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdint>
#include <iterator>

#include "capi/brentq.h"
#include "capi/function.h"
#include "capi/numpy_import.h"
#include "capi/ref.h"
#include "capi/traceback.h"
#include "capi/view.h"
#include "kernels/kernels.h"

namespace {

namespace k = korvane::kernels;
using namespace korvane::capi;

constexpr char MODULE_NAME[] = "korvane.vantrel";
constexpr char SOURCE_FILE[] = "korvane/vantrel.cpp";
constexpr char INIT_NAME[] = "init korvane.vantrel";
constexpr char FUNCTION_TYPE_NAME[] = "korvane.vantrel.function";

// ---------------------------------------------------------------------------
// Process-wide state: written by the execute step only, read-only afterwards.

// Type objects bound at import, with the sizes the compiled headers expect.
// No code reads them: binding them is the import's check that the NumPy it
// meets is binary compatible with the headers the module was compiled
// against (a smaller type fails the import, a larger one warns), as
// extensions compiled against NumPy's declarations do; the references keep
// what was checked alive for the life of the process.
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
    return PyFloat_FromDouble(
        k::iv_or_nan(k::_baw_implied_vol_c(q, a.num[0], a.num[1], a.num[2], a.num[3], a.num[4])));
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
// strike_pct, then the kernels' STRIKE_WINDOWS, ends inclusive; all strikes
// when none does.  Returns the boolean mask.
PyObject *select_strikes(const Function *fn, PyObject *strikes, double S, double strike_pct)
{
    for (int stage = 0; stage <= static_cast<int>(std::size(k::STRIKE_WINDOWS)); ++stage) {
        const double pct = stage == 0 ? strike_pct : k::STRIKE_WINDOWS[stage - 1];
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

    k::ForwardParams params{S,
                            D,
                            sel[0].contiguous_data(),
                            sel[1].contiguous_data(),
                            sel[2].contiguous_data(),
                            static_cast<std::int64_t>(n_sel)};
    double result;
    Py_BEGIN_ALLOW_THREADS
    result = k::_find_forward(&params);
    Py_END_ALLOW_THREADS
    return PyFloat_FromDouble(result);
}

// ---------------------------------------------------------------------------
// The published functions.

// The numeric parameters: the five contract numbers, or S, D and strike_pct.
constexpr unsigned FIRST_FIVE = double_params({0, 1, 2, 3, 4});
constexpr unsigned SPOT_DISCOUNT_PCT = double_params({3, 4, 5});

const FunctionSpec BAW_PRICE = {
    .name = "baw_price",
    .doc = "BAW American option price in forward form.\n"
           "\n"
           "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
           "    flag: 'c' or 'p'.",
    .params = {"S", "K", "D", "F", "sigma", "flag"},
    .n_params = 6,
    .n_required = 6,
    .doubles = FIRST_FIVE,
    .default_value = 0.0,
    .body = baw_price_body,
    .line = __LINE__,
};

const FunctionSpec BAW_IMPLIED_VOL = {
    .name = "baw_implied_vol",
    .doc = "BAW implied total std dev of an American option price.\n"
           "\n"
           "    Returns sigma or NaN on failure.\n"
           "    0.0 for a price without time value; NaN for a NaN input.",
    .params = {"price", "S", "K", "D", "F", "flag"},
    .n_params = 6,
    .n_required = 6,
    .doubles = FIRST_FIVE,
    .default_value = 0.0,
    .body = baw_implied_vol_body,
    .line = __LINE__,
};

const FunctionSpec VECTORIZED_BAW_IMPLIED_VOL = {
    .name = "vectorized_baw_implied_vol",
    .doc = "Batch BAW IV extraction\n"
           "    Inputs of len(prices) elements, or of one for every element (longer\n"
           "    ones are read in part). flags is array of 'c'/'p'.\n"
           "    Returns numpy array of implied vols: 0.0 for a price without time\n"
           "    value, NaN without a solution or for a NaN input.",
    .params = {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"},
    .n_params = 6,
    .n_required = 6,
    .doubles = 0u,
    .default_value = 0.0,
    .body = vectorized_body,
    .line = __LINE__,
};

constexpr double DEFAULT_STRIKE_PCT = 0.01;

const FunctionSpec FIND_FORWARD_BAW = {
    .name = "find_forward_baw",
    .doc = "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.",
    .params = {"call_prices", "put_prices", "strikes", "S", "D", "strike_pct"},
    .n_params = 6,
    .n_required = 5,
    .doubles = SPOT_DISCOUNT_PCT,
    .default_value = DEFAULT_STRIKE_PCT,
    .body = find_forward_body,
    .line = __LINE__,
};

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

int add_function(PyObject *dict, const FunctionSpec &spec, PyObject *defaults = nullptr)
{
    Ref fn(new_function(state.function_type, spec, MODULE_NAME, SOURCE_FILE, dict, defaults));
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
    if (check_version() < 0 || bind_types() < 0 || fetch_brentq(&k::brentq) < 0)
        return -1;
    {
        Ref numpy(PyImport_ImportModule("numpy"));
        if (!numpy || PyDict_SetItemString(dict, "np", numpy.get()) < 0)
            return -1;
    }
    if (import_numpy_api(_import_array) < 0 || intern_constants() < 0)
        return -1;
    if (!state.function_type && !(state.function_type = new_function_type(FUNCTION_TYPE_NAME)))
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
    "baw_price, baw_implied_vol, vectorized_baw_implied_vol and find_forward_baw are compiled,\n"
    "the last two running without the interpreter lock, with SciPy's compiled brentq inside.",
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
