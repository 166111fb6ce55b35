// korvane.ufuncs: NumPy ufuncs over the Barone-Adesi-Whaley kernels.
//
// Each inner loop reads one element of every operand, hands the doubles to a
// kernel and writes the result; NumPy does the rest (broadcasting, casting to
// float64, out= and where=, __array_ufunc__ dispatch) and runs the loops with
// the thread detached.  The kernels are pure and re-entrant, so the module
// declares that it runs without the interpreter lock.
//
// The kernels define a result for every input (NaN and infinities flow
// through, as in korvane.vantrel, which never warns), so the floating-point
// exception flags they raise on the way mean nothing: each loop clears them
// before NumPy looks, and no "invalid value" warning follows a NaN quote.
#include <Python.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cfenv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "capi/brentq.h"
#include "capi/numpy_import.h"
#include "capi/ref.h"
#include "kernels/kernels.h"

namespace {

namespace k = korvane::kernels;
namespace capi = korvane::capi;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Element i of an operand whose elements are `step` bytes apart.
template <class T>
T load(const char *first, npy_intp step, npy_intp i)
{
    T value;
    std::memcpy(&value, first + i * step, sizeof value);
    return value;
}

void store(char *first, npy_intp step, npy_intp i, double value)
{
    std::memcpy(first + i * step, &value, sizeof value);
}

// The kernels' flag code of a boolean "is call".
std::int32_t flag_of(npy_bool is_call) { return is_call ? k::CALL : k::PUT; }

// Element i of the first N + 1 operands: N numbers into x, then the boolean
// "is call", returned as a flag code.
template <std::size_t N>
std::int32_t load_contract(char **args, const npy_intp *steps, npy_intp i, double *x)
{
    for (std::size_t j = 0; j < N; ++j)
        x[j] = load<double>(args[j], steps[j], i);
    return flag_of(load<npy_bool>(args[N], steps[N], i));
}

// ---------------------------------------------------------------------------
// Element-wise loops: N double inputs, the boolean "is call", one double out.

template <std::size_t N, double (*kernel)(std::int32_t q, const double *x)>
void elementwise_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[N];
        const std::int32_t q = load_contract<N>(args, steps, i, x);
        store(args[N + 1], steps[N + 1], i, kernel(q, x));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

double price_of(std::int32_t q, const double *x)  // S, K, D, F, sigma
{
    return k::_baw_price(q, x[0], x[1], x[2], x[3], x[4]);
}

double implied_vol_of(std::int32_t q, const double *x)  // price, S, K, D, F
{
    return k::iv_or_nan(k::_baw_implied_vol_c(q, x[0], x[1], x[2], x[3], x[4]));
}

// ---------------------------------------------------------------------------
// The price and its Greeks: S, K, D, F, sigma, is_call, T -> price, delta,
// gamma, vega, theta, rho, psi (the last three NaN unless T > 0).

void greeks_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    constexpr int N_IN = 7;
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];  // S, K, D, F, sigma
        const std::int32_t q = load_contract<5>(args, steps, i, x);
        const double T = load<double>(args[6], steps[6], i);
        k::Greeks g;
        k::_baw_greeks(q, x[0], x[1], x[2], x[3], x[4], &g);
        double rate[3];  // theta, rho, psi
        k::_rate_greeks(g, x[0], x[2], x[3], x[4], T, &rate[0], &rate[1], &rate[2]);
        const double results[] = {g.price, g.delta, g.gamma, g.vega, rate[0], rate[1], rate[2]};
        for (int j = 0; j < 7; ++j)
            store(args[N_IN + j], steps[N_IN + j], i, results[j]);
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// ---------------------------------------------------------------------------
// The forward of each chain: (n),(n),(n),(),(),()->().  The chain is read in
// place, so the loop allocates nothing.

void forward_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const npy_intp n_outer = dims[0];
    const npy_intp n = dims[1];
    const npy_intp *core = steps + 7;  // calls, puts and strikes along the chain
    for (npy_intp i = 0; i < n_outer; ++i) {
        k::ChainParams chain{load<double>(args[3], steps[3], i),
                             load<double>(args[4], steps[4], i),
                             args[0] + i * steps[0],
                             args[1] + i * steps[1],
                             args[2] + i * steps[2],
                             core[0],
                             core[1],
                             core[2],
                             static_cast<std::int64_t>(n),
                             0.0,
                             0.0};
        const double strike_pct = load<double>(args[5], steps[5], i);
        store(args[6], steps[6], i, k::_find_forward_chain(&chain, strike_pct));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// ---------------------------------------------------------------------------
// The ufuncs.  NumPy keeps pointers to these tables: they must stay put.

struct UfuncSpec {
    const char *name;
    const char *doc;
    PyUFuncGenericFunction *loops;  // one loop
    const char *types;              // nin + nout type numbers
    int nin;
    int nout;
    const char *signature;          // of a generalized ufunc, else null
};

PyUFuncGenericFunction price_loops[] = {elementwise_loop<5, price_of>};
PyUFuncGenericFunction implied_vol_loops[] = {elementwise_loop<5, implied_vol_of>};
PyUFuncGenericFunction forward_loops[] = {forward_loop};
PyUFuncGenericFunction greeks_loops[] = {greeks_loop};
void *no_data[] = {nullptr};

constexpr char D = NPY_DOUBLE;
constexpr char B = NPY_BOOL;
const char elementwise_types[] = {D, D, D, D, D, B, D};  // five numbers and is_call
const char forward_types[] = {D, D, D, D, D, D, D};
const char greeks_types[] = {D, D, D, D, D, B, D, D, D, D, D, D, D, D};

const UfuncSpec UFUNCS[] = {
    {"baw_price",
     "American option price (Barone-Adesi-Whaley) from spot S, strike K, discount\n"
     "factor D, forward F, total standard deviation sigma and a boolean is_call.",
     price_loops, elementwise_types, 6, 1, nullptr},
    {"baw_implied_vol",
     "Total standard deviation at which baw_price reproduces price, from price, S,\n"
     "K, D, F and is_call: 0.0 for a price without time value, NaN without a\n"
     "solution.",
     implied_vol_loops, elementwise_types, 6, 1, nullptr},
    {"baw_forward",
     "Forward at which call and put implied volatilities agree best over each\n"
     "chain (call prices, put prices and strikes along the last axis), with its\n"
     "spot S, discount factor D and strike_pct.  Strikes with a NaN quote are\n"
     "left out; NaN when no strike qualifies.",
     forward_loops, forward_types, 6, 1, "(n),(n),(n),(),(),()->()"},
    {"baw_greeks",
     "The American price and its Greeks from S, K, D, F, sigma, is_call and the\n"
     "maturity T in years: price, delta and gamma (F/S held), vega (per unit of\n"
     "sigma), theta (-dV/dT per year), rho and psi (dV/dr, dV/dq); the last three\n"
     "are NaN unless T > 0.",
     greeks_loops, greeks_types, 7, 7, nullptr},
};

int add_ufunc(PyObject *module, const UfuncSpec &u)
{
    capi::Ref ufunc(PyUFunc_FromFuncAndDataAndSignature(
        u.loops, no_data, u.types, 1, u.nin, u.nout, PyUFunc_None, u.name, u.doc, 0,
        u.signature));
    return ufunc ? PyModule_AddObjectRef(module, u.name, ufunc.get()) : -1;
}

int module_exec(PyObject *module)
{
    if (capi::import_numpy_api(_import_array) < 0 || capi::import_numpy_api(_import_umath) < 0)
        return -1;
    // Written once per process, before any loop can run (a re-import finds it set).
    if (!k::brentq && capi::fetch_brentq(&k::brentq) < 0)
        return -1;
    for (const UfuncSpec &u : UFUNCS) {
        if (add_ufunc(module, u) < 0)
            return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ufuncs",
    "NumPy ufuncs of korvane: baw_price, baw_implied_vol, baw_greeks and the\n"
    "generalized ufunc baw_forward, over the same compiled kernels as korvane.vantrel.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ufuncs(void)
{
    return PyModuleDef_Init(&module_def);
}
