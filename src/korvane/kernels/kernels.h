// Numeric kernels of korvane: Barone-Adesi-Whaley (1987) American option
// prices in forward form, their inversion for total standard deviation, and
// the forward search.
//
// Everything here works on doubles and plain records, allocates nothing,
// never raises and touches no Python object, so it runs with the calling
// thread detached from the interpreter.  Records live on their callers'
// stacks; the only shared state is the constants below and the root-finder
// entry point, written once at import and read-only afterwards.
//
// Results must be the same doubles on every build: compile with
// -ffp-contract=off and without -ffast-math, and keep every expression in the
// grouping written here.
#ifndef KORVANE_KERNELS_H
#define KORVANE_KERNELS_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace korvane::kernels {

// What a kernel returns where it has no number to give.
inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Flag code handed to every kernel: CALL prices a call, any other value a put.
inline constexpr std::int32_t CALL = 1;
inline constexpr std::int32_t PUT = -1;

// Value of immediate exercise on the spot (not the forward); a NaN gives 0.
inline double intrinsic_value(std::int32_t q, double S, double K)
{
    if (q == CALL)
        return S > K ? S - K : 0.0;
    return K > S ? K - S : 0.0;
}

// Normal distribution (Abramowitz & Stegun 26.2.12 for the tail).
inline constexpr double INV_SQRT2 = 0.7071067811865476;     // nearest double to 1/sqrt(2)
inline constexpr double INV_SQRT_2PI = 0.3989422804014327;  // 1/sqrt(2 pi)
inline constexpr double NORM_CDF_TAIL = -10.0;              // at or below: Mills-ratio series
inline constexpr double NORM_CDF_FAR_TAIL = -67108864.0;    // -2^26: below, the series is 1
inline constexpr double SERIES_START = std::numeric_limits<double>::max();
inline constexpr double SERIES_EPS = std::numeric_limits<double>::epsilon();

// Root finding and minimisation.
inline constexpr double PRICE_EPS = 1e-10;             // tolerances of the critical-price solve
inline constexpr double IV_TOL = 1e-10;                // time-value margin and IV solve tolerances
inline constexpr double IV_SIGMA_HI = 10.0;            // the IV bracket stops doubling here
inline constexpr double GOLDEN_C = 0.3819660112501051;  // (3 - sqrt 5)/2
inline constexpr double SQRT_EPS = 1.4901161193847656e-08;  // sqrt(DBL_EPSILON) = 2^-26

// ---------------------------------------------------------------------------
// SciPy's compiled Brent root finder, taken at import from
// scipy.optimize.cython_optimize._zeros.  It calls f(x, args) and returns its
// best root after `iter` iterations at most; the caller must pass a bracket
// on which f changes sign.  The full-output record is filled by the finder
// and never read here: the returned value alone is used.
//
// Every solver callback has this shape: a trial value and an opaque record.
using scalar_fn = double (*)(double x, void *args);

struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

using brentq_fn = double (*)(scalar_fn f, double xa, double xb, void *args,
                             double xtol, double rtol, int iter,
                             zeros_full_output *full_output);

// Set once by module initialisation before any kernel runs.
extern brentq_fn brentq;

// ---------------------------------------------------------------------------
// Records passed by address to the solvers' callbacks.

// Boundary equation of the critical spot price (S* for a call, S** for a put).
struct CriticalParams {
    double K;        // strike
    double D;        // discount factor to expiry
    double F_ratio;  // F/S of the option priced; a trial spot x has forward x*F_ratio
    double sigma;    // total standard deviation
    double q_exp;    // BAW exponent: q2 > 0 for a call, q1 < 0 for a put
};

// Implied-volatility objective: American price at a trial sigma minus `price`.
struct IvParams {
    double S;
    double K;
    double D;
    double F;
    double price;       // target price
    std::int32_t flag;  // flag code
};

// Forward mismatch over a selection of strikes the caller made; arrays are
// contiguous and owned by the caller for the whole search.
struct ForwardParams {
    double S;
    double D;
    const double *calls;    // call prices, one per strike
    const double *puts;     // put prices, one per strike
    const double *strikes;
    std::int64_t n_strikes;
};

// An implied-volatility solver: 0.0 without time value, -1.0 without a
// solution, else the root (the price comes first after the flag).
using implied_vol_fn = double (*)(std::int32_t flag, double price, double S, double K,
                                  double D, double F);

// One whole chain read in place from strided memory (a gufunc's core
// dimension).  A strike takes part when its call, put and strike are all
// numbers and the strike lies in [lo, hi].
struct ChainParams {
    implied_vol_fn implied_vol; // the method whose volatilities must agree
    double S;
    double D;
    const char *calls;          // the first strike's call price
    const char *puts;           // the first strike's put price
    const char *strikes;        // the first strike
    std::ptrdiff_t calls_step;  // bytes from one strike's call price to the next
    std::ptrdiff_t puts_step;
    std::ptrdiff_t strikes_step;
    std::int64_t n_strikes;
    double lo;                  // strike window, ends included
    double hi;
};

// ---------------------------------------------------------------------------
// Normal CDF and the European (Black) price on the forward.

double _norm_cdf_tail(double x);

// Phi(x).  Above -10 the complementary error function is exact to a few ulp;
// at and below it erfc loses relative accuracy, so the tail uses the Mills
// ratio series instead (the NaN goes the erfc way).
inline double _norm_cdf(double x)
{
    if (x > NORM_CDF_TAIL || std::isnan(x))
        return std::erfc(-(x * INV_SQRT2)) * 0.5;
    return _norm_cdf_tail(x);
}

// d1 of the Black formula with total standard deviation sigma.
inline double black_d1(double F, double K, double sigma)
{
    return std::log(F / K) / sigma + 0.5 * sigma;
}

// Black price from a ready d1.  *phi_d1 receives Phi(d1) for a call and
// Phi(-d1) for a put, the one normal value the BAW boundary term shares with
// the European price.
inline double black_from_d1(std::int32_t q, double K, double D, double F,
                            double sigma, double d1, double *phi_d1)
{
    const double d2 = d1 - sigma;
    if (q == CALL) {
        const double n1 = _norm_cdf(d1);
        *phi_d1 = n1;
        return D * (F * n1 - K * _norm_cdf(d2));
    }
    const double n1 = _norm_cdf(-d1);
    *phi_d1 = n1;
    return D * (K * _norm_cdf(-d2) - F * n1);
}

// European price: D*(F*Phi(d1) - K*Phi(d2)) for a call,
// D*(K*Phi(-d2) - F*Phi(-d1)) for a put.  Needs sigma > 0 (or NaN).
inline double _bsm_price(std::int32_t q, double K, double D, double F, double sigma)
{
    double unused;
    return black_from_d1(q, K, D, F, sigma, black_d1(F, K, sigma), &unused);
}

// ---------------------------------------------------------------------------
// Barone-Adesi-Whaley American price.

double _call_critical_func(double x, void *params);  // CriticalParams *
double _put_critical_func(double x, void *params);   // CriticalParams *
// S* and S**; *solved is false when the result is an end of the search
// rather than a root of the boundary condition.
double _call_critical_price(CriticalParams *p, bool *solved);
double _put_critical_price(CriticalParams *p, bool *solved);

double _baw_price(std::int32_t q, double S, double K, double D, double F, double sigma);

// What the price was made of, for its Greeks: which branch of the formula
// gave it and the pieces the branch used.  Fields a branch does not reach
// are left unset.
struct BawState {
    enum Branch {
        INTRINSIC,  // sigma <= 0: the undiscounted exercise value
        EUROPEAN,   // no early exercise premium: the Black price E
        EXERCISE,   // at or beyond the critical price, or the formula below it: the exercise value
        PREMIUM,    // E + A (S/S*)^q
    } branch;
    double E;       // European price (from EUROPEAN on)
    double g;       // F/S                      (from the exponents on)
    double N;       // 2 ln(F/S)/sigma^2
    double M;       // -2 ln(D)/sigma^2
    double q;       // q2 (call) or q1 (put)     (PREMIUM, and EXERCISE at S*)
    double s_star;  // critical price S* or S**
    bool solved;    // s_star is a root of the boundary condition, not an end of its search
    double A;       // A2 or A1                  (PREMIUM)
};

// _baw_price, filling *st on the way; the same doubles.
double _baw_state(std::int32_t q, double S, double K, double D, double F, double sigma,
                  BawState *st);

// ---------------------------------------------------------------------------
// Greeks of the American price.

// The price and its partial derivatives in forward form.
struct Greeks {
    double price;  // _baw_price's
    double delta;  // dV/dS, F/S held
    double gamma;  // d2V/dS2, F/S held
    double vega;   // dV/dsigma
    double dD;     // dV/dD
    double dF;     // dV/dF, S held
};

// All of *out for one contract; a NaN input gives NaN Greeks (the price is
// still _baw_price's).
void _baw_greeks(std::int32_t q, double S, double K, double D, double F, double sigma,
                 Greeks *out);

// Rate-form sensitivities for maturity T (years), reading D = exp(-rT),
// F = S exp((r - q)T), sigma = vol sqrt(T): theta = -dV/dT per year, rho =
// dV/dr, psi = dV/dq.  NaN unless T > 0.
void _rate_greeks(const Greeks &g, double S, double D, double F, double sigma, double T,
                  double *theta, double *rho, double *psi);

// ---------------------------------------------------------------------------
// Implied total standard deviation.

double _iv_objective(double x, void *params);  // IvParams *

// 0.0 for a price without time value, -1.0 when no sigma in (1e-8, 8]
// reproduces it or an input is NaN, otherwise the root.  Note the price
// comes first.
double _baw_implied_vol_c(std::int32_t flag, double price, double S, double K,
                          double D, double F);

// A solver's result at the Python boundary: no solution (any negative
// result) is NaN, 0.0 and roots pass unchanged.
inline double iv_or_nan(double r)
{
    return r < 0 ? NaN : r;
}

// ---------------------------------------------------------------------------
// Forward search.

// Half-widths of the strike windows tried after the caller's own, as
// fractions of the spot; when none holds a strike, every strike is used.
inline constexpr double STRIKE_WINDOWS[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1.0};

// Mean |sigma_call - sigma_put| over the strikes where both solves give a
// positive sigma, at trial forward F; NO_DATA_MISMATCH when none qualifies.
inline constexpr double NO_DATA_MISMATCH = 1e10;
double _forward_mismatch(double F, void *params);  // ForwardParams *
double _chain_mismatch(double F, void *params);    // ChainParams *

// Bounded Brent minimisation (golden section plus parabolic interpolation)
// of f(x, args) on [lo, hi].  Returns the best point; *f_best receives its
// value.
double _bounded_brent(scalar_fn f, void *args, double lo, double hi,
                      double *f_best);

// The forward in [lo, hi] with the smallest mismatch; *f_best as above.
double _fminbound(ForwardParams *params, double lo, double hi, double *f_best);
double _fminbound(ChainParams *params, double lo, double hi, double *f_best);

// The search on a selection: the mean put-call parity forward K + (C - P)/D
// over its strikes (S when there are none) is the first guess, and the
// mismatch is minimised over [0.97, 1.03] times it.  NaN when no strike
// qualifies at any trial forward.
double _find_forward(ForwardParams *params);

// The same on a whole chain: strikes with a NaN quote or strike are left
// out, then the strikes of the first window around S that holds any
// (strike_pct, then STRIKE_WINDOWS; all when none does) are searched.
// Sets params->lo and params->hi.
double _find_forward_chain(ChainParams *params, double strike_pct);

}  // namespace korvane::kernels

#endif  // KORVANE_KERNELS_H
