// korvane.ufuncs: NumPy ufuncs over the pricing kernels, four per method
// (Barone-Adesi-Whaley, Andersen-Lake-Offengenden, European, and finite
// differences with a cash dividend schedule as a core dimension).
//
// Each inner loop reads one element of every operand, hands the doubles to a
// kernel and writes the result; NumPy does the rest (broadcasting, casting to
// float64, out= and where=, __array_ufunc__ dispatch) and runs long loops with
// the thread detached; the slow loops detach themselves when NumPy has not.
// The kernels are pure and re-entrant, so the module declares that it runs
// without the interpreter lock.
//
// The kernels define a result for every input (NaN and infinities flow
// through, as in korvane.vantrel, which never warns), so the floating-point
// exception flags they raise on the way mean nothing: each loop clears them
// before NumPy looks, and no "invalid value" warning follows a NaN quote.
#include <Python.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "capi/brentq.h"
#include "capi/detach.h"
#include "capi/numpy_import.h"
#include "capi/ref.h"
#include "kernels/alo.h"
#include "kernels/black.h"
#include "kernels/fd.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

namespace {

namespace k = korvane::kernels;
namespace capi = korvane::capi;


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
// The kernels of one method, as the loops call them.

using price_fn = double (*)(std::int32_t flag, double S, double K, double D, double F, double sigma);
using greeks_fn = void (*)(std::int32_t flag, double S, double K, double D, double F, double sigma,
                           k::Greeks *out);

// Black's price needs no spot, but a NaN one is still a NaN input.
double european_price(std::int32_t flag, double S, double K, double D, double F, double sigma)
{
    return std::isnan(S) ? S : k::_black_price(flag, K, D, F, sigma);
}

// ---------------------------------------------------------------------------
// Element-wise loops: five double inputs, the boolean "is call", one double out.

// Loops whose elements cost microseconds detach however short they are
// (`Slow`); for the cheap ones NumPy's own rule is the better trade.
enum class Cost { Cheap, Slow };

template <Cost cost>
struct LoopGuard {};

template <>
struct LoopGuard<Cost::Slow> : capi::DetachedIfAttached {};

template <double (*kernel)(std::int32_t flag, const double *x), Cost cost>
void elementwise_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    [[maybe_unused]] const LoopGuard<cost> guard;  // empty for the cheap loops
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];
        const std::int32_t flag = load_contract<5>(args, steps, i, x);
        store(args[6], steps[6], i, kernel(flag, x));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

template <price_fn f>
double price_of(std::int32_t flag, const double *x)  // S, K, D, F, sigma
{
    return f(flag, x[0], x[1], x[2], x[3], x[4]);
}

template <k::implied_vol_fn f>
double implied_vol_of(std::int32_t flag, const double *x)  // price, S, K, D, F
{
    return k::iv_or_nan(f(flag, x[0], x[1], x[2], x[3], x[4]));
}

// ---------------------------------------------------------------------------
// The price and its Greeks: S, K, D, F, sigma, is_call, T -> price, delta,
// gamma, vega, theta, rho, psi (the last three NaN unless T > 0).

// The Greeks of a method whose kernel keeps what it may reuse for the next
// element in a State of the loop's own (Stateless for the others).
struct Stateless {};

template <greeks_fn f>
void greeks_with(Stateless &, std::int32_t flag, const double *x, k::Greeks *g)
{
    f(flag, x[0], x[1], x[2], x[3], x[4], g);
}

// The accurate Greeks, each contract's boundary and its partials reused from
// the one before where they share the put's rates and vol.
template <greeks_fn f>
void greeks_with(k::AloGreeksReuse &reuse, std::int32_t flag, const double *x, k::Greeks *g)
{
    k::_alo_greeks_reusing(reuse, flag, x[0], x[1], x[2], x[3], x[4], g);
}

template <greeks_fn f, Cost cost, class State = Stateless>
void greeks_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    constexpr int N_IN = 7;
    [[maybe_unused]] const LoopGuard<cost> guard;  // empty for the cheap loops
    State state;  // this loop's own: threads never share one
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];  // S, K, D, F, sigma
        const std::int32_t flag = load_contract<5>(args, steps, i, x);
        const double T = load<double>(args[6], steps[6], i);
        k::Greeks g;
        greeks_with<f>(state, flag, x, &g);
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

// The i-th chain of a forward loop: calls, puts and strikes in args[0..2]
// with their steps along the chain in core, S and D in args[3..4].
k::ChainParams chain_at(char **args, const npy_intp *steps, const npy_intp *core, npy_intp n,
                        npy_intp i, k::implied_vol_fn f)
{
    return k::ChainParams{
        .implied_vol = f,
        .S = load<double>(args[3], steps[3], i),
        .D = load<double>(args[4], steps[4], i),
        .calls = args[0] + i * steps[0],
        .puts = args[1] + i * steps[1],
        .strikes = args[2] + i * steps[2],
        .calls_step = core[0],
        .puts_step = core[1],
        .strikes_step = core[2],
        .n_strikes = static_cast<std::int64_t>(n),
        .lo = 0.0,
        .hi = 0.0,
    };
}

template <k::implied_vol_fn f>
void forward_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const npy_intp n_outer = dims[0];
    const npy_intp *core = steps + 7;  // calls, puts and strikes along the chain
    const capi::DetachedIfAttached guard;  // a search takes milliseconds at least
    for (npy_intp i = 0; i < n_outer; ++i) {
        k::ChainParams chain = chain_at(args, steps, core, dims[1], i, f);
        const double strike_pct = load<double>(args[5], steps[5], i);
        store(args[6], steps[6], i, k::_find_forward_chain(&chain, strike_pct));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// ---------------------------------------------------------------------------
// Finite differences with cash dividends: generalized ufuncs whose last
// three inputs are the schedule: the life in the unit of its times (1 for
// fractions of the life, the maturity for years), and the ex-dates and
// amounts along a core dimension m, read in place.  Every element costs tens
// of microseconds at least, so the loops detach themselves.

// The schedule of outer element i: the life in operand `at`, the times and
// amounts in `at + 1` and `at + 2`, their core strides in core[0] and core[1].
k::Dividends schedule_of(char **args, const npy_intp *steps, const npy_intp *core, int at,
                         npy_intp m, npy_intp i)
{
    return {args[at + 1] + i * steps[at + 1], args[at + 2] + i * steps[at + 2], core[0], core[1],
            static_cast<std::int64_t>(m), load<double>(args[at], steps[at], i)};
}

// S, K, D, F, sigma, is_call, life, (m), (m) -> price, and price, S, K, D, F,
// is_call, life, (m), (m) -> implied sigma.
template <double (*kernel)(std::int32_t flag, const double *x, const k::Dividends &divs)>
void fd_elementwise_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const capi::DetachedIfAttached guard;
    const npy_intp *core = steps + 10;
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];
        const std::int32_t flag = load_contract<5>(args, steps, i, x);
        const k::Dividends divs = schedule_of(args, steps, core, 6, dims[1], i);
        store(args[9], steps[9], i, kernel(flag, x, divs));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// S, K, D, F, sigma, is_call, life, (m), (m) -> price, in blocks that
// _fd_price_many solves several at a time.
void fd_price_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const capi::DetachedIfAttached guard;
    const npy_intp *core = steps + 10;
    k::FdContract block[k::FD_BATCH];
    double out[k::FD_BATCH];
    for (npy_intp first = 0; first < dims[0]; first += k::FD_BATCH) {
        const int count = static_cast<int>(std::min<npy_intp>(k::FD_BATCH, dims[0] - first));
        for (int b = 0; b < count; ++b) {
            double x[5];
            const std::int32_t flag = load_contract<5>(args, steps, first + b, x);
            block[b] = {flag, x[0], x[1], x[2], x[3], x[4], schedule_of(args, steps, core, 6, dims[1], first + b)};
        }
        k::_fd_price_many(block, count, out);
        for (int b = 0; b < count; ++b)
            store(args[9], steps[9], first + b, out[b]);
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

double fd_implied_vol_of(std::int32_t flag, const double *x, const k::Dividends &divs)
{
    return k::iv_or_nan(k::_fd_implied_vol_c(flag, x[0], x[1], x[2], x[3], x[4], divs));
}

// S, K, D, F, sigma, is_call, T, life, (m), (m) -> the seven Greeks.
void fd_greeks_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    constexpr int N_IN = 10;
    const capi::DetachedIfAttached guard;
    const npy_intp *core = steps + N_IN + 7;
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];  // S, K, D, F, sigma
        const std::int32_t flag = load_contract<5>(args, steps, i, x);
        const double T = load<double>(args[6], steps[6], i);
        k::FdGreeks g;
        k::_fd_greeks(flag, x[0], x[1], x[2], x[3], x[4], T,
                      schedule_of(args, steps, core, 7, dims[1], i), &g);
        const double results[] = {g.price, g.delta, g.gamma, g.vega, g.theta, g.rho, g.psi};
        for (int j = 0; j < 7; ++j)
            store(args[N_IN + j], steps[N_IN + j], i, results[j]);
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// S, F, life, (m), (m) -> the carry r - q over the life, beyond the dividends.
void fd_carry_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const npy_intp *core = steps + 6;
    for (npy_intp i = 0; i < dims[0]; ++i) {
        const double S = load<double>(args[0], steps[0], i);
        const double F = load<double>(args[1], steps[1], i);
        store(args[5], steps[5], i,
              k::_fd_schedule_carry(S, F, schedule_of(args, steps, core, 2, dims[1], i)));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// (n), (n), (n), S, D, strike_pct, life, (m), (m) -> the chain's forward.
void fd_forward_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const npy_intp n_outer = dims[0];
    const npy_intp *core = steps + 10;  // calls, puts, strikes, times, amounts
    const capi::DetachedIfAttached guard;
    for (npy_intp i = 0; i < n_outer; ++i) {
        k::FdChainParams chain;
        static_cast<k::ChainParams &>(chain) = chain_at(args, steps, core, dims[1], i, nullptr);
        chain.dividends = schedule_of(args, steps, core + 3, 6, dims[2], i);
        const double strike_pct = load<double>(args[5], steps[5], i);
        store(args[9], steps[9], i, k::_find_forward_chain_fd(&chain, strike_pct));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// The private _fd_price_scheme: S, K, D, F, sigma, is_call, (k), (m), (m)
// -> price under the scheme whose fields (in FdScheme's order, booleans as
// 0 or 1) lie along the (k) axis, for tests and benchmarks.  NaN when k is
// not the number of fields or a field is not a whole number where one is
// needed.
constexpr npy_intp FD_SCHEME_FIELDS = 9;

bool scheme_of(const char *first, npy_intp step, npy_intp k, k::FdScheme *out)
{
    if (k != FD_SCHEME_FIELDS)
        return false;
    double f[FD_SCHEME_FIELDS];
    for (npy_intp j = 0; j < k; ++j)
        f[j] = load<double>(first, step, j);
    const auto whole = [](double x) { return x == std::floor(x) && x >= 0 && x <= 1e6; };
    if (!(whole(f[0]) && whole(f[1]) && whole(f[2]) && whole(f[6]) && whole(f[7]) &&
          whole(f[8])))
        return false;
    *out = {static_cast<int>(f[0]), static_cast<int>(f[1]), static_cast<int>(f[2]), f[3], f[4],
            f[5], static_cast<int>(f[6]), f[7] != 0, f[8] != 0};
    return true;
}

void fd_scheme_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const capi::DetachedIfAttached guard;
    const npy_intp *core = steps + 10;  // scheme, times, amounts
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];
        const std::int32_t flag = load_contract<5>(args, steps, i, x);
        k::FdScheme scheme;
        double v = k::NaN;
        if (scheme_of(args[6] + i * steps[6], core[0], dims[1], &scheme))
            v = k::_fd_price_scheme(scheme, flag, x[0], x[1], x[2], x[3], x[4],
                                    {args[7] + i * steps[7], args[8] + i * steps[8], core[1],
                                     core[2], static_cast<std::int64_t>(dims[2])});
        store(args[9], steps[9], i, v);
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

PyUFuncGenericFunction fd_price_loops[] = {fd_price_loop};
PyUFuncGenericFunction fd_scheme_loops[] = {fd_scheme_loop};
PyUFuncGenericFunction fd_implied_vol_loops[] = {fd_elementwise_loop<fd_implied_vol_of>};
PyUFuncGenericFunction fd_greeks_loops[] = {fd_greeks_loop};
PyUFuncGenericFunction fd_forward_loops[] = {fd_forward_loop};
PyUFuncGenericFunction fd_carry_loops[] = {fd_carry_loop};

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

// The four loops of a method, with the cost of a price (and of its Greeks)
// and of an implied volatility; `own_price_loop`, where given, replaces the
// element-wise price loop.
template <price_fn price, k::implied_vol_fn implied_vol, greeks_fn greeks, Cost price_cost,
          Cost iv_cost, PyUFuncGenericFunction own_price_loop = nullptr,
          class GreeksState = Stateless>
struct Loops {
    static inline PyUFuncGenericFunction price_loop[] = {
        own_price_loop ? own_price_loop : elementwise_loop<price_of<price>, price_cost>};
    static inline PyUFuncGenericFunction implied_vol_loop[] = {
        elementwise_loop<implied_vol_of<implied_vol>, iv_cost>};
    static inline PyUFuncGenericFunction greeks_loops[] = {
        greeks_loop<greeks, price_cost, GreeksState>};
    static inline PyUFuncGenericFunction forward_loops[] = {forward_loop<implied_vol>};
};

// The accurate price, each contract's boundary reused from the one before
// where they share the put's rates and vol (k::AloReuse): S, K, D, F,
// sigma, is_call -> price, or with `counted` the boundary solves each
// element made (0 where it reused one).
template <bool counted>
void alo_price_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const capi::DetachedIfAttached guard;
    k::AloReuse reuse;  // this loop's own: threads never share one
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];
        const std::int32_t flag = load_contract<5>(args, steps, i, x);
        const std::int64_t before = reuse.solves;
        const double price = k::_alo_price_reusing(reuse, flag, x[0], x[1], x[2], x[3], x[4]);
        store(args[6], steps[6], i, counted ? static_cast<double>(reuse.solves - before) : price);
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

using Baw = Loops<k::_baw_price, k::_baw_implied_vol_c, k::_baw_greeks, Cost::Cheap, Cost::Slow>;
using Alo = Loops<k::_alo_price, k::_alo_implied_vol_c, k::_alo_greeks, Cost::Slow, Cost::Slow,
                  alo_price_loop<false>, k::AloGreeksReuse>;
using European = Loops<european_price, k::_black_implied_vol_c, k::_black_greeks, Cost::Cheap,
                       Cost::Cheap>;

// Entries for tests and benchmarks, private to the module: the accurate price
// under a scheme given per element, and the boundary solves an implied
// volatility takes.

// S, K, D, F, sigma, is_call, nodes, points, final_points, iterations,
// tolerance -> price (NaN for a scheme beyond the kernels' maxima).
void scheme_price_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *)
{
    const capi::DetachedIfAttached guard;
    for (npy_intp i = 0; i < dims[0]; ++i) {
        double x[5];
        const std::int32_t flag = load_contract<5>(args, steps, i, x);
        double n[5];
        for (int j = 0; j < 5; ++j)
            n[j] = load<double>(args[6 + j], steps[6 + j], i);
        const bool whole = n[0] >= 2 && n[0] <= k::ALO_MAX_NODES && n[1] >= 1
                           && n[1] <= k::ALO_MAX_POINTS && n[2] >= 1 && n[2] <= k::ALO_MAX_POINTS
                           && n[3] >= 0 && n[3] <= 1000;
        const k::AloScheme scheme{whole ? static_cast<int>(n[0]) : 0, whole ? static_cast<int>(n[3]) : 0,
                                  whole ? static_cast<int>(n[1]) : 0, whole ? static_cast<int>(n[2]) : 0,
                                  n[4]};
        store(args[11], steps[11], i, k::_alo_price_scheme(scheme, flag, x[0], x[1], x[2], x[3], x[4]));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// price, S, K, D, F, is_call -> the number of boundary solves of
// alo_implied_vol under the public schemes, or under its steering scheme.
double implied_vol_solves(std::int32_t flag, const double *x)
{
    int solves = 0, steers = 0;
    k::_alo_implied_vol_counted(flag, x[0], x[1], x[2], x[3], x[4], &solves, &steers);
    return solves;
}

double implied_vol_steers(std::int32_t flag, const double *x)
{
    int solves = 0, steers = 0;
    k::_alo_implied_vol_counted(flag, x[0], x[1], x[2], x[3], x[4], &solves, &steers);
    return steers;
}

PyUFuncGenericFunction scheme_price_loops[] = {scheme_price_loop};
PyUFuncGenericFunction solves_loops[] = {elementwise_loop<implied_vol_solves, Cost::Slow>};
PyUFuncGenericFunction steers_loops[] = {elementwise_loop<implied_vol_steers, Cost::Slow>};
PyUFuncGenericFunction price_solves_loops[] = {alo_price_loop<true>};

void *no_data[] = {nullptr};

constexpr char D = NPY_DOUBLE;
constexpr char B = NPY_BOOL;
const char elementwise_types[] = {D, D, D, D, D, B, D};  // five numbers and is_call
const char forward_types[] = {D, D, D, D, D, D, D};
const char greeks_types[] = {D, D, D, D, D, B, D, D, D, D, D, D, D, D};
const char fd_types[] = {D, D, D, D, D, B, D, D, D, D};  // five numbers, is_call, the schedule
const char fd_greeks_types[] = {D, D, D, D, D, B, D, D, D, D, D, D, D, D, D, D, D};
const char fd_forward_types[] = {D, D, D, D, D, D, D, D, D, D};
const char fd_carry_types[] = {D, D, D, D, D, D};
const char fd_scheme_types[] = {D, D, D, D, D, B, D, D, D, D};
const char scheme_types[] = {D, D, D, D, D, B, D, D, D, D, D, D};

// The operands of each kind of ufunc, the same for every method.
struct Shape {
    const char *types;
    int nin;
    int nout;
    const char *signature;
};

constexpr Shape ELEMENTWISE{elementwise_types, 6, 1, nullptr};
constexpr Shape GREEKS{greeks_types, 7, 7, nullptr};
constexpr Shape FORWARD{forward_types, 6, 1, "(n),(n),(n),(),(),()->()"};
constexpr Shape FD_ELEMENTWISE{fd_types, 9, 1, "(),(),(),(),(),(),(),(m),(m)->()"};
constexpr Shape FD_GREEKS{fd_greeks_types, 10, 7,
                          "(),(),(),(),(),(),(),(),(m),(m)->(),(),(),(),(),(),()"};
constexpr Shape FD_FORWARD{fd_forward_types, 9, 1, "(n),(n),(n),(),(),(),(),(m),(m)->()"};
constexpr Shape FD_CARRY{fd_carry_types, 5, 1, "(),(),(),(m),(m)->()"};
constexpr Shape FD_SCHEME_PRICE{fd_scheme_types, 9, 1, "(),(),(),(),(),(),(k),(m),(m)->()"};
constexpr Shape SCHEME{scheme_types, 11, 1, nullptr};

constexpr UfuncSpec spec(const char *name, PyUFuncGenericFunction *loops, const Shape &shape,
                         const char *doc)
{
    return {.name = name, .doc = doc, .loops = loops, .types = shape.types, .nin = shape.nin,
            .nout = shape.nout, .signature = shape.signature};
}

const UfuncSpec UFUNCS[] = {
    spec("baw_price", Baw::price_loop, ELEMENTWISE,
         "American option price (Barone-Adesi-Whaley) from spot S, strike K, discount\n"
         "factor D, forward F, total standard deviation sigma and a boolean is_call."),
    spec("baw_implied_vol", Baw::implied_vol_loop, ELEMENTWISE,
         "Total standard deviation at which baw_price reproduces price, from price, S,\n"
         "K, D, F and is_call: 0.0 for a price without time value, NaN without a\n"
         "solution or for a NaN input."),
    spec("baw_forward", Baw::forward_loops, FORWARD,
         "Forward at which call and put implied volatilities (baw_implied_vol) agree\n"
         "best over each chain (call prices, put prices and strikes along the last\n"
         "axis), with its spot S, discount factor D and strike_pct.  Strikes with a\n"
         "NaN quote are left out; NaN when no strike qualifies."),
    spec("baw_greeks", Baw::greeks_loops, GREEKS,
         "The American price and its Greeks from S, K, D, F, sigma, is_call and the\n"
         "maturity T in years: price, delta and gamma (F/S held), vega (per unit of\n"
         "sigma), theta (-dV/dT per year), rho and psi (dV/dr, dV/dq); the last three\n"
         "are NaN unless T > 0."),
    spec("alo_price", Alo::price_loop, ELEMENTWISE,
         "American option price by the fixed-point method of Andersen, Lake and\n"
         "Offengenden (2016), from S, K, D, F, sigma and is_call (two exercise\n"
         "boundaries, under negative rates: fd_price's finer scheme)."),
    spec("alo_implied_vol", Alo::implied_vol_loop, ELEMENTWISE,
         "Total standard deviation at which alo_price reproduces price, from price, S,\n"
         "K, D, F and is_call: 0.0 for a price without time value, NaN without a\n"
         "solution or for a NaN input."),
    spec("alo_forward", Alo::forward_loops, FORWARD,
         "Forward at which call and put implied volatilities (alo_implied_vol) agree\n"
         "best over each chain; arguments as for baw_forward."),
    spec("alo_greeks", Alo::greeks_loops, GREEKS,
         "alo_price and its Greeks; arguments and outputs as for baw_greeks."),
    spec("european_price", European::price_loop, ELEMENTWISE,
         "European option price (Black's formula on the forward) from S, K, D, F,\n"
         "sigma and is_call; sigma <= 0 gives the discounted intrinsic value."),
    spec("european_implied_vol", European::implied_vol_loop, ELEMENTWISE,
         "Total standard deviation at which european_price reproduces price, from\n"
         "price, S, K, D, F and is_call: 0.0 at the discounted intrinsic value, NaN\n"
         "below it, at or above the bound D F (call) or D K (put), or for a NaN input."),
    spec("european_forward", European::forward_loops, FORWARD,
         "Forward at which call and put implied volatilities (european_implied_vol)\n"
         "agree best over each chain; arguments as for baw_forward."),
    spec("european_greeks", European::greeks_loops, GREEKS,
         "european_price and its Greeks (closed form); arguments and outputs as for\n"
         "baw_greeks."),
    spec("fd_price", fd_price_loops, FD_ELEMENTWISE,
         "American option price with cash dividends by finite differences, from S, K,\n"
         "D, F, sigma, is_call, the life in the unit of the ex-dates (1 for fractions\n"
         "of it) and the schedule along the last axis: ex-dates and cash amounts (NaN\n"
         "entries pad; ex-dates at 0 or from the life on are no dividend).  F includes\n"
         "the dividends; the yield beyond them is read back from it.  Without\n"
         "dividends, alo_price's result."),
    spec("fd_implied_vol", fd_implied_vol_loops, FD_ELEMENTWISE,
         "Total standard deviation at which fd_price reproduces price, from price, S,\n"
         "K, D, F, is_call, the life and the schedule: 0.0 for a price without time\n"
         "value, NaN\n"
         "without a solution or for a NaN input."),
    spec("fd_forward", fd_forward_loops, FD_FORWARD,
         "Forward at which call and put implied volatilities (fd_implied_vol) agree\n"
         "best over each chain; arguments as for baw_forward, then the life and the\n"
         "chain's dividend schedule (ex-dates and amounts along the last axis)."),
    spec("fd_carry", fd_carry_loops, FD_CARRY,
         "The carry (r - q) T beyond the dividends that forward F implies, from S, F,\n"
         "the life and the schedule: the root b of S e^b - sum_i d_i e^{b(1 - t_i)} =\n"
         "F, t_i the ex-dates as fractions of the life; NaN where none fits."),
    spec("_fd_price_scheme", fd_scheme_loops, FD_SCHEME_PRICE,
         "fd_price under another scheme, for tests and benchmarks: S, K, D, F, sigma,\n"
         "is_call, the scheme's fields along the last axis (nodes, steps, min_steps,\n"
         "width, density, time_power, damping, extrapolate, control) and the\n"
         "schedule.  NaN for a malformed scheme or one beyond the largest grid."),
    spec("fd_greeks", fd_greeks_loops, FD_GREEKS,
         "fd_price and its Greeks from S, K, D, F, sigma, is_call, the maturity T in\n"
         "years, the life and the schedule: price, delta and gamma (r, q, sigma and the\n"
         "dividends held), vega (per unit of sigma), theta (dV/dt per year as time\n"
         "passes, expiry and ex-dates fixed), rho and psi (dV/dr, dV/dq, the cash\n"
         "amounts and dates held); the last three are NaN unless T > 0."),
    spec("_alo_scheme_price", scheme_price_loops, SCHEME,
         "alo_price under the scheme given by nodes, points, final_points, iterations\n"
         "and tolerance (for tests and benchmarks)."),
    spec("_alo_implied_vol_solves", solves_loops, ELEMENTWISE,
         "The boundary solves alo_implied_vol makes under alo_price's schemes on price,\n"
         "S, K, D, F and is_call (for tests of its cost)."),
    spec("_alo_implied_vol_steers", steers_loops, ELEMENTWISE,
         "The boundary solves alo_implied_vol makes under its steering scheme, a\n"
         "fraction of a price each, on price, S, K, D, F and is_call (for tests of its\n"
         "cost)."),
    spec("_alo_price_solves", price_solves_loops, ELEMENTWISE,
         "The boundary solves alo_price makes on each of S, K, D, F, sigma and is_call\n"
         "in one loop, 0 where it reuses the one before (for tests of its cost)."),
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
    // The vector instruction set, chosen here once for the process.
    return PyModule_AddStringConstant(module, "_simd", k::simd_name(k::simd_level()));
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
    "NumPy ufuncs of korvane: <method>_price, <method>_implied_vol, <method>_greeks\n"
    "and the generalized ufunc <method>_forward for the methods baw (over the same\n"
    "compiled kernels as korvane.vantrel), alo and european; and the generalized\n"
    "ufuncs fd_price, fd_implied_vol, fd_greeks and fd_forward with a cash dividend\n"
    "schedule.",
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
